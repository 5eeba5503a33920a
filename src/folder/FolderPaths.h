#pragma once
// Paths inside an encrypted folder, shared by the reader, the folder handle and
// the loopback volume so that every layer hides and refuses the same names.
//
// Callers hand in paths relative to the folder root, often with a leading "/"
// ("/" itself is the root). Joining such a path onto the root as it is would
// name a file outside the folder, so every path goes through `relative` first.

#include <sys/types.h>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace FolderPaths {

inline constexpr std::string_view kConfigDatabaseName = "_QXCFG.MOX";
inline constexpr std::string_view kConfigJournalName = "_QXCFG.MOX-JOURNAL";

// The configuration database or its journal, in any letter case. Such names are
// left out of every listing and no operation is allowed on them. The name a new
// folder's database is built under ("_QXCFG.MOX-new") is not among them: it
// never sits beside a database (creation refuses a directory that holds one and
// renames the build into place), so in a folder that opens it can only be a
// user's own file.
bool isHiddenName(std::string_view name);

// `path` as a clean path relative to the root: "/" separators collapsed,
// leading "/" and "." components dropped; "" is the root. Refused (nullopt)
// when a component is "..", contains a NUL byte, or is a hidden name.
std::optional<std::string> relative(std::string_view path);

// Last component of a clean relative path ("" for the root) and the rest.
std::pair<std::string, std::string> splitParent(const std::string& rel);

// `root` and a clean relative path joined with exactly one "/"; an empty root
// leaves the path relative.
std::string join(std::string_view root, std::string_view rel);

// openat2 beneath `rootFd`: resolution (symbolic links included) may never
// leave the directory. `rel` "" opens the root itself. Returns the descriptor,
// or -1 with errno set (EXDEV when the path would leave the root). Paths
// longer than the kernel takes in one call are walked name by name, with the
// same result, links climbing up included.
int openBeneath(int rootFd, const std::string& rel, int flags, mode_t mode = 0);

// The directory that holds `rel` (not the root itself), opened O_PATH beneath
// `rootFd`; *name receives the last component. -1 with errno (EINVAL for the
// root, which has no parent inside the folder).
int openParentBeneath(int rootFd, const std::string& rel, std::string* name);

// Moves `fromRel` to `toRel`, both beneath `rootFd`, never replacing an
// existing item (EEXIST). 0 or an errno value.
int moveBeneath(int rootFd, const std::string& fromRel, const std::string& toRel);

}  // namespace FolderPaths

#pragma once
// Reading files that a user or a build names: only regular files are opened,
// so that a FIFO, a device or a socket at the path can never hang or feed the
// reader.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A read-only, close-on-exec descriptor for `path` when it is a regular file
// (symbolic links followed); -1 otherwise, with errno set (EINVAL for a file
// of another kind). The open itself never blocks.
int openRegularFile(const std::string& path);

// The whole contents of the regular file at `path`; none for anything else
// or when reading fails.
std::optional<std::string> readRegularFile(const std::string& path);

// Replaces the contents of the file at `path` so that a crash leaves either
// the old or the new contents: a temporary file beside it, flushed to disk,
// renamed over it. A symbolic link at `path` is followed and stays a link
// (its target is what the user edits); the file's permission bits are kept,
// a new file gets `newFileMode` less the umask. False, errno set, when it
// fails.
bool replaceFileContents(const std::string& path, std::string_view bytes,
                         mode_t newFileMode = 0666);

}  // namespace platform

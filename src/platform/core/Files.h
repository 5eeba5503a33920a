#pragma once
// Reading files that a user or a build names: only regular files are opened,
// so that a FIFO, a device or a socket at the path can never hang or feed the
// reader.

#include <optional>
#include <string>

namespace platform {

// A read-only, close-on-exec descriptor for `path` when it is a regular file
// (symbolic links followed); -1 otherwise, with errno set (EINVAL for a file
// of another kind). The open itself never blocks.
int openRegularFile(const std::string& path);

// The whole contents of the regular file at `path`; none for anything else
// or when reading fails.
std::optional<std::string> readRegularFile(const std::string& path);

}  // namespace platform

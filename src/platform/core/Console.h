#pragma once
// The console: one line to standard error, written in one call and never
// through the logging framework, so that the framework itself and code that
// runs before or beneath it can report problems.

#include <sys/uio.h>

#include <cstddef>
#include <string_view>

namespace platform {

// printf-style; a newline is added unless the text ends in one.
[[gnu::format(printf, 1, 2)]] void consoleLog(const char* format, ...);
void consoleLogText(std::string_view text);

// Writes every byte of the pieces to `fd` with as few calls as the kernel
// allows: a short write is continued where it stopped, EINTR retried, and a
// non-blocking descriptor waited for. False on any other error.
bool writeFully(int fd, const struct iovec* pieces, int count);
bool writeFully(int fd, const void* bytes, std::size_t length);

}  // namespace platform

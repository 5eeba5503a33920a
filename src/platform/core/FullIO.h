#pragma once
// Reads and writes that finish: a short transfer is continued where it
// stopped and EINTR is retried, so a caller sees either every byte or a
// failure with errno set. A write the kernel answers with 0 bytes fails with
// ENOSPC (it would otherwise be retried for ever).

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace platform {

// Writes every byte of the pieces to `fd` with as few calls as the kernel
// allows; a non-blocking descriptor is waited for.
bool writeFully(int fd, const struct iovec* pieces, int count);
bool writeFully(int fd, const void* bytes, std::size_t length);
// The same at `offset`, leaving the file position alone.
bool pwriteFully(int fd, const void* bytes, std::size_t length, std::uint64_t offset);

// Reads until `length` bytes or the end of the file: the count read, fewer
// only at the end; -1 with errno on failure.
ssize_t readFully(int fd, void* buffer, std::size_t length);
ssize_t preadFully(int fd, void* buffer, std::size_t length, std::uint64_t offset);

}  // namespace platform

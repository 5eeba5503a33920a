#include "platform/core/FullIO.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <iterator>
#include <vector>

namespace platform {

bool writeFully(int fd, const struct iovec* pieces, int count) {
    if (count <= 0) return true;
    // A terminal line has 13 pieces: keep those off the heap.
    struct iovec small[16];
    std::vector<struct iovec> large;
    struct iovec* iov = small;
    if (static_cast<std::size_t>(count) <= std::size(small)) {
        std::copy(pieces, pieces + count, small);
    } else {
        large.assign(pieces, pieces + count);
        iov = large.data();
    }
    int n = count;
    while (n > 0 && iov->iov_len == 0) ++iov, --n;
    while (n > 0) {
        ssize_t w = ::writev(fd, iov, n > IOV_MAX ? IOV_MAX : n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {  // a non-blocking descriptor
                struct pollfd p = {fd, POLLOUT, 0};
                if (::poll(&p, 1, -1) >= 0 || errno == EINTR) continue;
            }
            return false;
        }
        if (w == 0) {
            errno = ENOSPC;
            return false;
        }
        auto left = static_cast<std::size_t>(w);
        while (n > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov, --n;
        }
        if (n > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
        while (n > 0 && iov->iov_len == 0) ++iov, --n;
    }
    return true;
}

bool writeFully(int fd, const void* bytes, std::size_t length) {
    struct iovec one = {const_cast<void*>(bytes), length};
    return writeFully(fd, &one, 1);
}

bool pwriteFully(int fd, const void* bytes, std::size_t length, std::uint64_t offset) {
    const auto* p = static_cast<const char*>(bytes);
    std::size_t done = 0;
    while (done < length) {
        ssize_t w = ::pwrite(fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return false;
        if (w == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

ssize_t readFully(int fd, void* buffer, std::size_t length) {
    auto* p = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        ssize_t r = ::read(fd, p + done, length - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

ssize_t preadFully(int fd, void* buffer, std::size_t length, std::uint64_t offset) {
    auto* p = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        ssize_t r = ::pread(fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace platform

#include "platform/core/Console.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <string>
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

void consoleLogText(std::string_view text) {
    struct iovec parts[2] = {{const_cast<char*>(text.data()), text.size()},
                             {const_cast<char*>("\n"), 1}};
    bool newline = text.empty() || text.back() != '\n';
    writeFully(STDERR_FILENO, parts, newline ? 2 : 1);
}

void consoleLog(const char* format, ...) {
    if (!format) return;
    char stackBuf[1024];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(stackBuf, sizeof stackBuf, format, ap);
    va_end(ap);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof stackBuf) {
        consoleLogText(std::string_view(stackBuf, static_cast<std::size_t>(n)));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    va_start(ap, format);
    std::vsnprintf(big.data(), big.size(), format, ap);
    va_end(ap);
    big.resize(static_cast<std::size_t>(n));
    consoleLogText(big);
}

}  // namespace platform

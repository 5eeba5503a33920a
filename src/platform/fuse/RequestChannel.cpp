#define FUSE_USE_VERSION 35
#include "platform/fuse/RequestChannel.h"

#include <fuse_lowlevel.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

// An aborted connection reads as ENODEV, which libfuse takes as the end of
// the loop without a word.
ssize_t readRequest(int fd, void* buf, size_t len, void* /*userdata*/) {
    ssize_t n = ::read(fd, buf, len);
    if (n < 0 && errno == ECONNABORTED) errno = ENODEV;
    return n;
}

ssize_t writeAnswer(int fd, iovec* iov, int count, void* /*userdata*/) {
    return ::writev(fd, iov, count);
}

}  // namespace

bool endLoopQuietlyOnAbort(fuse_session* session) {
    fuse_custom_io io{};
    io.read = readRequest;
    io.writev = writeAnswer;
    return fuse_session_custom_io(session, &io, fuse_session_fd(session)) == 0;
}

}  // namespace platform

#include "platform/core/StdDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool ensureStandardDescriptors() {
    bool ok = true;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is the closed one, since the lower ones
        // are open by now.
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0) {
            ok = false;
            continue;
        }
        if (opened != fd) {
            if (dup2(opened, fd) < 0) ok = false;
            close(opened);
        }
    }
    return ok;
}

}  // namespace platform

#include "platform/core/StdDescriptors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

bool isDevNull(int fd) {
    struct stat st {
    }, null{};
    return fstat(fd, &st) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == null.st_rdev;
}

// Runs `closeMask` (bit n: close descriptor n) in a child and reports through
// the exit status whether every standard descriptor ended up open, the closed
// ones on /dev/null, and a file opened afterwards above 2.
int childStatus(unsigned closeMask) {
    pid_t pid = fork();
    if (pid == 0) {
        for (int fd = 0; fd <= 2; ++fd)
            if (closeMask & (1u << fd)) close(fd);
        if (!platform::ensureStandardDescriptors()) _exit(10);
        for (int fd = 0; fd <= 2; ++fd) {
            if (fcntl(fd, F_GETFD) == -1) _exit(20 + fd);
            if ((closeMask & (1u << fd)) && !isDevNull(fd)) _exit(30 + fd);
        }
        if ((closeMask & 1u) && fcntl(0, F_GETFL) != -1 &&
            (fcntl(0, F_GETFL) & O_ACCMODE) != O_RDONLY)
            _exit(40);
        int later = open("/proc/self/stat", O_RDONLY);
        _exit(later > 2 ? 0 : 50);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StdDescriptors, ClosedStandardDescriptorsReopenOnDevNull) {
    for (unsigned mask : {0u, 1u, 2u, 4u, 5u, 6u, 7u}) {
        EXPECT_EQ(childStatus(mask), 0) << "closed mask " << mask;
    }
}

}  // namespace

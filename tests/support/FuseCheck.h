#pragma once
// Tests that mount real volumes skip, saying why, only where /dev/fuse is
// really unusable.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace testsupport {

inline bool fuseUsable(std::string* why) {
    int fd = open("/dev/fuse", O_RDWR);
    if (fd < 0) {
        *why = std::string("/dev/fuse cannot be opened: ") + std::strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

}  // namespace testsupport

#define REQUIRE_FUSE()                                                       \
    do {                                                                     \
        std::string fuse_why_;                                               \
        if (!testsupport::fuseUsable(&fuse_why_)) GTEST_SKIP() << fuse_why_; \
    } while (0)

#include "platform/core/FullIO.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "support/TempDir.h"

namespace {

// A pipe hands the bytes over in the pieces the writer chose: the reader
// must keep going until it has all it asked for, and stop short only at the
// end.
TEST(FullIO, ReadFullyGathersShortReadsAndStopsAtTheEnd) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    const std::string sent = "0123456789abcdefghij";
    std::thread writer([&] {
        for (size_t i = 0; i < sent.size(); i += 3) {
            (void)::write(p[1], sent.data() + i, std::min<size_t>(3, sent.size() - i));
            usleep(1000);
        }
        ::close(p[1]);
    });
    char first[12];
    EXPECT_EQ(platform::readFully(p[0], first, sizeof first), 12);
    EXPECT_EQ(std::string(first, 12), sent.substr(0, 12));
    char rest[32];
    EXPECT_EQ(platform::readFully(p[0], rest, sizeof rest), 8);
    EXPECT_EQ(std::string(rest, 8), sent.substr(12));
    writer.join();
    ::close(p[0]);

    char none[4];
    EXPECT_EQ(platform::readFully(-1, none, sizeof none), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(FullIO, PositionalReadsAndWritesLeaveTheOffsetAlone) {
    testsupport::TempDir dir;
    int fd = ::open((dir / "f").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(platform::writeFully(fd, "head", 4));
    ASSERT_TRUE(platform::pwriteFully(fd, "tail", 4, 10));  // a gap of zeros between
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 4);
    char buf[20] = {};
    EXPECT_EQ(platform::preadFully(fd, buf, sizeof buf, 2), 12);
    EXPECT_EQ(std::string(buf, 12), std::string("ad\0\0\0\0\0\0tail", 12));
    EXPECT_EQ(platform::preadFully(fd, buf, sizeof buf, 100), 0);
    ::close(fd);

    int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full >= 0) {
        EXPECT_FALSE(platform::pwriteFully(full, "x", 1, 0));
        EXPECT_EQ(errno, ENOSPC);
        ::close(full);
    }
}

}  // namespace

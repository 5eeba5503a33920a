#include "platform/core/Console.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "support/CaptureStderr.h"
#include "support/TempDir.h"

namespace {

// Counts the calls of operator new on threads that ask for it.
thread_local bool countAllocations = false;
thread_local int allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
    if (countAllocations) ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using testsupport::captureStderr;

}  // namespace

TEST(Console, OneLinePerCallNewlineAddedOnce) {
    std::string big(5000, 'x');
    auto out = captureStderr([&] {
        platform::consoleLog("value %d of %s", 42, "answer");
        platform::consoleLog("ends in newline\n");
        platform::consoleLog("%s", big.c_str());
        platform::consoleLogText("");
    });
    EXPECT_EQ(out, "value 42 of answer\nends in newline\n" + big + "\n\n");
}

TEST(Console, WriteFullyFinishesShortAndWouldBlockWrites) {
    // A small non-blocking pipe read slowly: writes come back short or with EAGAIN.
    int p[2];
    ASSERT_EQ(::pipe2(p, O_NONBLOCK), 0);
    ::fcntl(p[1], F_SETPIPE_SZ, 4096);
    std::string a(100000, 'a'), b(37, 'b'), c(70000, 'c');
    std::string got;
    std::thread reader([&] {
        char buf[1000];
        for (;;) {
            ssize_t n = ::read(p[0], buf, sizeof buf);
            if (n == 0) break;
            if (n < 0) {
                usleep(100);
                continue;
            }
            got.append(buf, static_cast<size_t>(n));
        }
    });
    struct iovec parts[4] = {
        {a.data(), a.size()}, {nullptr, 0}, {b.data(), b.size()}, {c.data(), c.size()}};
    EXPECT_TRUE(platform::writeFully(p[1], parts, 4));
    ::close(p[1]);
    reader.join();
    ::close(p[0]);
    EXPECT_EQ(got.size(), a.size() + b.size() + c.size());
    EXPECT_TRUE(got == a + b + c);
}

TEST(Console, WriteFullyOfATerminalLineAllocatesNothing) {
    // The terminal sink writes every line as 13 pieces.
    std::string text(4000, 't');
    struct iovec parts[13];
    for (auto& piece : parts) piece = {const_cast<char*>("x"), 1};
    parts[10] = {text.data(), text.size()};
    testsupport::TempDir dir;
    int fd = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    countAllocations = true;
    bool written = platform::writeFully(fd, parts, 13);
    countAllocations = false;
    ::close(fd);
    EXPECT_TRUE(written);
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(testsupport::readFile(dir / "out").size(), 12 + text.size());
}

// Crash-time helpers: guarded memory reads, hex and UUID text, the stderr
// logger, hashes and escaping.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "reporter/VXMSafe.h"

namespace {

// Two pages: the first readable, the second PROT_NONE.
class GuardedPages {
  public:
    GuardedPages() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        base_ = static_cast<char*>(
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~GuardedPages() { munmap(base_, 2 * page_); }
    char* readable() const { return base_; }
    char* unreadable() const { return base_ + page_; }
    size_t page() const { return page_; }

  private:
    char* base_;
    size_t page_;
};

std::string capturedStderr(const std::function<void()>& write) {
    int pipes[2];
    EXPECT_EQ(pipe(pipes), 0);
    int saved = dup(STDERR_FILENO);
    dup2(pipes[1], STDERR_FILENO);
    write();
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(pipes[1]);
    std::string out;
    char chunk[256];
    ssize_t n;
    while ((n = read(pipes[0], chunk, sizeof(chunk))) > 0)
        out.append(chunk, static_cast<size_t>(n));
    close(pipes[0]);
    return out;
}

// Hidden from the compiler's format check, which rejects a literal null.
__attribute__((noinline)) const char* nullText() {
    static volatile const char* value = nullptr;
    return const_cast<const char*>(value);
}

}  // namespace

TEST(SafeRead, MemoryAndStringsNextToAnUnreadablePage) {
    // Both ways of reading: process_vm_readv, and the pipe that stands in
    // where a sandbox denies it.
    EXPECT_EQ(VXMSafeReadInit(), VXMSafeReadMode::ProcessVMRead);
    for (VXMSafeReadMode mode : {VXMSafeReadMode::ProcessVMRead, VXMSafeReadMode::Pipe}) {
        SCOPED_TRACE(mode == VXMSafeReadMode::Pipe ? "pipe" : "process_vm_readv");
        VXMSafeReadSetMode(mode);
        ASSERT_EQ(VXMSafeReadGetMode(), mode);
        GuardedPages pages;
        char* end = pages.unreadable();
        memcpy(end - 4, "abc", 4);
        char copy[4] = {};
        EXPECT_TRUE(VXMReadMemory(reinterpret_cast<uintptr_t>(end - 4), copy, 4));
        EXPECT_STREQ(copy, "abc");
        EXPECT_FALSE(VXMReadMemory(reinterpret_cast<uintptr_t>(end), copy, 1));
        EXPECT_FALSE(VXMReadMemory(reinterpret_cast<uintptr_t>(end - 2), copy, 4));  // straddles
        EXPECT_FALSE(VXMReadMemory(0, copy, 1));

        const char* out = nullptr;
        EXPECT_TRUE(VXMReadString(reinterpret_cast<uintptr_t>(end - 4), &out, 1024));
        EXPECT_EQ(out, end - 4);
        memset(end - 8, 'x', 8);  // no terminator before the guard page
        EXPECT_FALSE(VXMReadString(reinterpret_cast<uintptr_t>(end - 8), &out, 1024));
        EXPECT_TRUE(VXMReadString(reinterpret_cast<uintptr_t>(end - 8), &out, 8));  // the limit
        EXPECT_FALSE(VXMReadString(reinterpret_cast<uintptr_t>(end), &out, 16));

        // More than one chunk of the pipe, and a range whose end is unreadable.
        std::vector<uint8_t> large(3 * 4096 + 5), back(large.size());
        for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
        EXPECT_TRUE(
            VXMReadMemory(reinterpret_cast<uintptr_t>(large.data()), back.data(), back.size()));
        EXPECT_EQ(back, large);
        EXPECT_FALSE(VXMReadMemory(reinterpret_cast<uintptr_t>(pages.readable()), back.data(),
                                   pages.page() + 1));
        EXPECT_TRUE(VXMReadMemory(reinterpret_cast<uintptr_t>(pages.readable()), back.data(), 4));
    }
    VXMSafeReadSetMode(VXMSafeReadMode::ProcessVMRead);
}

TEST(SafeText, HexUUIDAndNormalisation) {
    const uint8_t bytes[16] = {0x00, 0x01, 0xab, 0xff, 0x10, 0x20, 0x30, 0x40,
                               0x50, 0x60, 0x70, 0x80, 0x90, 0xa0, 0xb0, 0xc0};
    char hex[33];
    VXMSafeHexToString(bytes, 4, hex);
    EXPECT_STREQ(hex, "0001abff");
    VXMSafeHexToString(nullptr, 4, hex);
    EXPECT_STREQ(hex, "");
    EXPECT_EQ(VXMUUIDToNSString(bytes), "0001abff102030405060708090a0b0c0");
    GuardedPages pages;
    EXPECT_EQ(VXMUUIDToNSString(reinterpret_cast<uint8_t*>(pages.unreadable())), "(invalid)");
    EXPECT_EQ(VXMUUIDToNSString(nullptr), "(invalid)");
    EXPECT_EQ(VXMNSDataToNSString({0xde, 0xad}), "dead");

    EXPECT_EQ(VXMNormalizeUUID("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"),
              "0a1b2c3d4e5f60718293a4b5c6d7e8f9");
    std::string fresh = VXMGenerateUUID();
    EXPECT_EQ(fresh.size(), 36u);
    EXPECT_EQ(fresh, [&] {
        std::string upper = fresh;
        for (char& c : upper) c = static_cast<char>(toupper(c));
        return upper;
    }());
    EXPECT_NE(fresh, VXMGenerateUUID());
}

TEST(SafeText, SHA1Hashes) {
    // FIPS 180 test vector, and the salted form: salt first.
    EXPECT_EQ(VXMHashNSString("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(VXMHashBytes("", 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(VXMHashSaltedNSString("device", "key"), "ffaa5ee925811cde1279c92337897d3e119500b2");
}

TEST(SafeText, PercentEscapingAndBoundaryCuts) {
    EXPECT_EQ(VXMPercentEscape("a b\"c%\xc3\xa9-_.~"), "a%20b%22c%25%C3%A9-_.~");
    EXPECT_EQ(*VXMPercentUnescape("a%20b%22c%25%C3%A9"), "a b\"c%\xc3\xa9");
    for (const char* bad : {"%", "%4", "%zz", "%FF"}) EXPECT_FALSE(VXMPercentUnescape(bad)) << bad;

    struct Cut {
        std::string text;
        size_t limit;
        size_t utf8;
        size_t escaped;
    } cuts[] = {
        {"abcdef", 10, 6, 6},    {"abcdef", 4, 4, 4},
        {"ab\xc3\xa9", 3, 2, 2},                                  // would split é
        {"ab%41cd", 3, 3, 2},                                     // would end on "%"
        {"ab%41cd", 4, 4, 2},                                     // would end inside %41
        {"ab%41cd", 5, 5, 5},    {"a\xf0\x9f\x98\x80", 4, 1, 1},  // a 4-byte character
    };
    for (const Cut& c : cuts) {
        EXPECT_EQ(VXMUTF8PrefixLength(c.text.data(), c.text.size(), c.limit), c.utf8) << c.text;
        EXPECT_EQ(VXMEscapedPrefixLength(c.text.data(), c.text.size(), c.limit), c.escaped)
            << c.text;
    }
}

TEST(SafeText, DupAndSwapKeepsAWholeStringInTheSlot) {
    std::atomic<char*> slot{nullptr};
    VXMDupAndSwapString(&slot, std::string("a \"b\""), true);
    EXPECT_STREQ(slot.load(), "a%20%22b%22");
    VXMDupAndSwapString(&slot, std::nullopt, true);
    EXPECT_STREQ(slot.load(), "(null)");
    VXMDupAndSwapString(&slot, std::string(VXMStringLimit + 100, '"'), true);
    EXPECT_EQ(strlen(slot.load()), VXMStringLimit - VXMStringLimit % 3);  // whole escapes only
    free(slot.exchange(nullptr));
}

TEST(SafeLog, FormatsWithoutTheCLibrary) {
    struct Case {
        std::function<void()> write;
        const char* expected;
    } cases[] = {
        {[] { VXMSafeLogToStderr("signal %d, info %p\n", -11, reinterpret_cast<void*>(0x1f)); },
         "signal -11, info 0x1f\n"},
        {[] {
             VXMSafeLogToStderr("%s|%s|%u|%x|%llx|%zd|%lu|%c|%%", "txt", nullText(), 42u, 255u,
                                0xdeadbeefcafeULL, static_cast<ssize_t>(-5), 7ul, 'z');
         },
         "txt|(null)|42|ff|deadbeefcafe|-5|7|z|%"},
        {[] { VXMSafeLogToStderr(nullptr); }, "(NULL)"},
        {[] { VXMSafeLogToStderr("%s", std::string(600, 'q').c_str()); }, nullptr},
    };
    for (const Case& c : cases) {
        std::string out = capturedStderr(c.write);
        if (c.expected)
            EXPECT_EQ(out, c.expected);
        else
            EXPECT_EQ(out, std::string(600, 'q'));  // longer than the logger's buffer
    }
}

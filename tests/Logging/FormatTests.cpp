#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "Logging/LGFormat.h"
#include "RecordingSink.h"

namespace {

struct Result {
    bool plain;        // formatted without vsnprintf
    std::string text;  // what the log line carries
    std::string libc;  // what vsnprintf makes
};

[[gnu::format(printf, 1, 2)]] Result format(const char* fmt, ...) {
    Result r{};
    char out[512];
    va_list ap;
    va_start(ap, fmt);
    int n = lg_detail::formatPlain(out, sizeof out, fmt, ap);
    va_end(ap);
    r.plain = n >= 0;
    if (r.plain) r.text.assign(out, static_cast<std::size_t>(n));
    va_start(ap, fmt);
    int want = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    r.libc.resize(static_cast<std::size_t>(want) + 1);
    va_start(ap, fmt);
    std::vsnprintf(r.libc.data(), r.libc.size(), fmt, ap);
    va_end(ap);
    r.libc.resize(static_cast<std::size_t>(want));
    return r;
}

}  // namespace

// The fast path makes exactly vsnprintf's bytes, and declines everything it
// does not make itself.
TEST(LogFormat, PlainConversionsMatchTheCLibrary) {
    const std::string big(600, 'x');
    const char* volatile noText = nullptr;  // hidden from the format checker
    const char* nothing = noText;
    Result plain[] = {
        format("no conversions"),
        format("%d %d %i %d", INT_MIN, INT_MAX, -1, 0),
        format("%u %x %X", UINT_MAX, 0xdeadbeefu, 0xdeadbeefu),
        format("%ld %lu %lx", LONG_MIN, ULONG_MAX, 0xabcdefUL),
        format("%lld %llu %llX", LLONG_MIN, ULLONG_MAX, 0xfedcba9876543210ULL),
        format("%zu %zd %zx", SIZE_MAX, static_cast<std::ptrdiff_t>(-5), std::size_t{255}),
        format("[%s] [%s] %c%c 100%%", "text", "", 'A', 'z'),
        format("%c|", 0),
        format("QVFileSystem > mount > %s (%d) at %s:%d", "busy", 16, "/tmp/a b", 42),
        format("%s|%c", "h\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", 0xe9),
        format("%lX %lu %llu %zX %zu", 0xabcUL, 0UL, 0ULL, SIZE_MAX, std::size_t{0}),
        format("%d%%", 100),
        format("%s", std::string(512, 'x').c_str()),  // exactly fills the buffer
    };
    for (auto& r : plain) {
        EXPECT_TRUE(r.plain) << r.libc;
        EXPECT_EQ(r.text, r.libc);
    }
    Result declined[] = {
        format("%5d", 1),          format("%-3d|", 1),        format("%05x", 1u),
        format("%+d", 1),          format("% d", 1),          format("%#x", 1u),
        format("%.2s", "abc"),     format("%*d", 3, 1),       format("%1$d", 1),
        format("%hd", short{1}),   format("%hhu", 1),         format("%f", 1.5),
        format("%p", &big),        format("%ls", L"w"),       format("%s", nothing),
        format("%s", big.c_str()), format("%jd", INTMAX_MAX),
    };
    EXPECT_FALSE(format("%s", std::string(513, 'x').c_str()).plain);  // one byte too many
    // Ends and unknown conversions, which the format checker would refuse.
    const char* volatile trailing[] = {"100%", "%", "%l", "%ll", "%z", "%y", "%lc", "%z%"};
    for (const char* fmt : trailing) {
        char out[512];
        va_list none{};
        EXPECT_EQ(lg_detail::formatPlain(out, sizeof out, fmt, none), -1) << fmt;
    }
    for (auto& r : declined) EXPECT_FALSE(r.plain) << r.libc;

    // Declined texts still reach the sink as vsnprintf makes them.
    resetLogging();
    auto sink = std::make_shared<RecordingSink>();
    LGLog::addLogger(sink);
    LGLog::log(false, 7, lg::kLogFlagInfo, 0, __FILE__, __func__, __LINE__, nullptr, "%5.1f|%s|%s",
               2.25, nothing, big.c_str());
    LGLog::log(false, 7, lg::kLogFlagInfo, 0, __FILE__, __func__, __LINE__, nullptr, "%s=%d", "n",
               7);
    // Around the stack buffer's size: 511 bytes and a terminator fit, 512 not.
    for (std::size_t n : {511u, 512u, 513u})
        LGLog::log(false, 7, lg::kLogFlagInfo, 0, __FILE__, __func__, __LINE__, nullptr, "%s%c",
                   std::string(n - 1, 'y').c_str(), 'z');
    ASSERT_EQ(sink->lines().size(), 5u);
    EXPECT_EQ(sink->lines()[0], "  2.2|(null)|" + big);
    EXPECT_EQ(sink->lines()[1], "n=7");
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(sink->lines()[2 + i], std::string(510 + i, 'y') + "z");
    resetLogging();
}

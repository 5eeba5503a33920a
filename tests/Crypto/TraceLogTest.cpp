#include "Crypto/TraceLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

namespace {

CTraceLog::Stamp stampOf(int year, int month, int day, int h, int m, int s, long micros, long pid) {
    CTraceLog::Stamp st{};
    st.local.tm_year = year - 1900;
    st.local.tm_mon = month - 1;
    st.local.tm_mday = day;
    st.local.tm_hour = h;
    st.local.tm_min = m;
    st.local.tm_sec = s;
    st.micros = micros;
    st.pid = pid;
    return st;
}

std::string format(const CTraceLog::Stamp& st, const char* text, const char* file, int line) {
    char out[CTraceLog::kMaxLine + 1];
    size_t n = CTraceLog::FormatLine(out, st, "MOX", text, file, line);
    EXPECT_EQ(n, strlen(out));
    return out;
}

TEST(TraceLog, FormatsLines) {
    struct Case {
        CTraceLog::Stamp stamp;
        const char* text;
        const char* file;
        int line;
        const char* expected;
    } cases[] = {
        {stampOf(2026, 1, 5, 9, 4, 3, 7999, 42), "Entry        DeriveKeyFromPassword",
         "/work/src/folder/KeyDerivation.cpp", 88,
         "05.01.2026 09:04:03.007 MOX [  42] Entry        DeriveKeyFromPassword "
         "(KeyDerivation.cpp : 88)\n"},
        {stampOf(1999, 12, 31, 23, 59, 59, 999999, 7), "Msg          F: x", "Prng.cpp", 1,
         "31.12.1999 23:59:59.999 MOX [   7] Msg          F: x (Prng.cpp : 1)\n"},
        {stampOf(2026, 7, 14, 0, 0, 0, 0, 1234567), "Cnstr        CFoo", "a/b.cpp", -3,
         "14.07.2026 00:00:00.000 MOX [1234567] Cnstr        CFoo (b.cpp : -3)\n"},
        {stampOf(2026, 2, 1, 12, 30, 0, 500, 9999), "Exit         F", "dir/", 5,
         "01.02.2026 12:30:00.000 MOX [9999] Exit         F (/ : 5)\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(format(c.stamp, c.text, c.file, c.line), c.expected);
}

TEST(TraceLog, CutsLongLinesAt499WithoutNewline) {
    std::string text(600, 'a');
    std::string line = format(stampOf(2026, 1, 1, 0, 0, 0, 0, 1), text.c_str(), "x.cpp", 1);
    ASSERT_EQ(line.size(), CTraceLog::kMaxLine);
    EXPECT_EQ(line.substr(0, 35), "01.01.2026 00:00:00.000 MOX [   1] ");
    EXPECT_EQ(line.back(), 'a');
    // Exactly at the limit still has its newline.
    size_t room = CTraceLog::kMaxLine - strlen("01.01.2026 00:00:00.000 MOX [   1]  (x.cpp : 1)\n");
    line = format(stampOf(2026, 1, 1, 0, 0, 0, 0, 1), std::string(room, 'b').c_str(), "x.cpp", 1);
    EXPECT_EQ(line.size(), CTraceLog::kMaxLine);
    EXPECT_EQ(line.back(), '\n');
}

CTraceLog::Stamp fixedStamp() {
    return stampOf(2026, 3, 9, 8, 7, 6, 5000, 321);
}

// Every tag form the core writes, through the global log into a file.
TEST(TraceLog, TagHelpersWriteThroughGlobalLog) {
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    CTraceLog::SetFile(f);
    CTraceLog::SetEcho(false);
    CTraceLog::SetStampSource(fixedStamp);

    int line = __LINE__;
    TRACE_CNSTR("CMoxEncryptedFolder");
    TRACE_DESTR("CMoxEncryptedFolder");
    TRACE_ENTRY("Connect");
    TRACE_ENTRY_D("Connect", "/tmp/a.zel");
    TRACE_EXIT("Connect");
    TRACE_EXIT_D("Connect", "ok");
    TRACE_EXIT_ERR(5, "Connect", "no db");
    TRACE_EXIT_ERR(1326, "Connect", nullptr);
    TRACE_EXIT_STATUS(0x8028000Eu, "MakeKey");
    TRACE_MSG("Connect", "opened %s with %d rows", "db", 3);
    TRACE_MSG("Connect", "plain");
    TRACE_MSG_NUM(42, "Connect", "rows");
    TRACE_CALL("Connect", "sqlite3_open_v2");

    const char* texts[] = {
        "Cnstr        CMoxEncryptedFolder",
        "Destr        CMoxEncryptedFolder",
        "Entry        Connect",
        "Entry        Connect [/tmp/a.zel]",
        "Exit         Connect",
        "Exit         Connect [ok]",
        "Exit:05      Connect [no db]",
        "Exit:1326      Connect",
        "Exit:8028000E MakeKey",
        "Msg          Connect: opened db with 3 rows",
        "Msg          Connect: plain",
        "Msg        42 Connect: rows",
        "Call         Connect: sqlite3_open_v2",
    };
    std::string expected;
    for (const char* t : texts)
        expected += std::string("09.03.2026 08:07:06.005 MOX [ 321] ") + t +
                    " (TraceLogTest.cpp : " + std::to_string(++line) + ")\n";

    fflush(f);
    rewind(f);
    std::string got;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, f)) got.append(buf, n);
    CTraceLog::SetFile(nullptr);  // the log owns and closes it
    CTraceLog::SetStampSource(nullptr);

    testing::internal::CaptureStdout();
    CTraceLog::WriteLine("Msg          quiet: x", "q.cpp", 1);
    CTraceLog::SetEcho(true);
    CTraceLog::WriteLine("Msg          loud: x", "q.cpp", 2);
    std::string echoed = testing::internal::GetCapturedStdout();

    EXPECT_EQ(got, expected);
    // Echo on: the real clock and pid, one line on standard output.
    std::regex real(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\.\d{3} MOX \[ *(\d+)\] )"
                    R"(Msg          loud: x \(q\.cpp : 2\)\n$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(echoed, m, real)) << echoed;
    EXPECT_EQ(std::stol(m[1]), static_cast<long>(getpid()));
}

}  // namespace

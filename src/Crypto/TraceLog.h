#pragma once
// The encryption core's one diagnostic log. Every line carries a timestamp,
// the module name, the process id, a text that starts with a 13-character tag,
// and the source file name and line of the caller:
//
//   10.12.2026 09:41:07.123 MOX [4711] Entry        DeriveKeyFromPassword (KeyDerivation.cpp : 88)
//
// Tag helpers (all write through g_Trace; the macros add __FILE__/__LINE__):
//
// clang-format off
//   TRACE_CNSTR("CMoxEncryptedFolder");         "Cnstr        %s"
//   TRACE_DESTR("CMoxEncryptedFolder");         "Destr        %s"
//   TRACE_ENTRY("Connect");                     "Entry        %s"
//   TRACE_ENTRY_D("Connect", path);             "Entry        %s [%s]"
//   TRACE_EXIT("Connect");                      "Exit         %s"
//   TRACE_EXIT_D("Connect", detail);            "Exit         %s [%s]"
//   TRACE_EXIT_ERR(12L, "Connect", "no db");    "Exit:%02ld      %s [%s]" (message may be null)
//   TRACE_EXIT_STATUS(0x8028000Eu, "MakeKey");  "Exit:%08X %s"
//   TRACE_MSG("Connect", "opened %s", path);    "Msg          %s: %s" (printf form)
//   TRACE_MSG_NUM(42, "Connect", "rows");       "Msg  %8d %s: %s"
//   TRACE_CALL("Connect", "sqlite3_open_v2");   "Call         %s: %s"
// clang-format on
//
// There is no lock: each line is written by one stdio call, so lines of two
// threads interleave only whole.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

class CTraceLog {
  public:
    // Longest line written, without the terminating NUL; longer lines are cut
    // and then lack their newline.
    static constexpr size_t kMaxLine = 499;
    static constexpr size_t kMaxModuleName = 99;

    // What one line is stamped with: local broken-down time, microseconds of
    // the second and the process id. Tests install their own source.
    struct Stamp {
        struct tm local;
        long micros;
        long pid;
    };
    using StampSource = Stamp (*)();

    constexpr CTraceLog(const char* moduleName, bool echo) : m_file(nullptr), m_echo(echo) {
        size_t i = 0;
        for (; moduleName && moduleName[i] && i < kMaxModuleName; ++i) m_module[i] = moduleName[i];
        for (; i <= kMaxModuleName; ++i) m_module[i] = 0;
    }
    virtual ~CTraceLog();
    CTraceLog(const CTraceLog&) = delete;
    CTraceLog& operator=(const CTraceLog&) = delete;

    // Formats one line into out (capacity at least kMaxLine + 1) and returns
    // its length. sourceFile is reduced to the part after its last '/'.
    static size_t FormatLine(char* out, const Stamp& stamp, const char* module, const char* text,
                             const char* sourceFile, int line);

    static void WriteLine(const char* text, const char* sourceFile, int line);
    static void TraceEntry(const char* function, const char* detail, const char* sourceFile,
                           int line);
    static void TracePrintF(const char* function, const char* format, const char* sourceFile,
                            int line, ...) __attribute__((format(printf, 2, 5)));

    // The other tag forms of the core.
    static void TraceCnstr(const char* className, const char* sourceFile, int line);
    static void TraceDestr(const char* className, const char* sourceFile, int line);
    static void TraceExit(const char* function, const char* detail, const char* sourceFile,
                          int line);
    static void TraceExitError(long error, const char* function, const char* message,
                               const char* sourceFile, int line);
    static void TraceExitStatus(uint32_t status, const char* function, const char* sourceFile,
                                int line);
    static void TraceMsgNumber(int number, const char* function, const char* text,
                               const char* sourceFile, int line);
    static void TraceCall(const char* function, const char* what, const char* sourceFile, int line);

    // Where lines go besides standard output: a file owned by the log (closed
    // when replaced or at exit), or none. Echo to standard output is on by default.
    static void SetFile(FILE* file);
    static void SetEcho(bool echo);
    // nullptr restores the clock and getpid().
    static void SetStampSource(StampSource source);
    static Stamp CurrentStamp();

  private:
    void write(const char* text, const char* sourceFile, int line);

    FILE* m_file;
    bool m_echo;
    char m_module[kMaxModuleName + 1];
};

extern CTraceLog g_Trace;

#define TRACE_CNSTR(cls) CTraceLog::TraceCnstr((cls), __FILE__, __LINE__)
#define TRACE_DESTR(cls) CTraceLog::TraceDestr((cls), __FILE__, __LINE__)
#define TRACE_ENTRY(fn) CTraceLog::TraceEntry((fn), nullptr, __FILE__, __LINE__)
#define TRACE_ENTRY_D(fn, detail) CTraceLog::TraceEntry((fn), (detail), __FILE__, __LINE__)
#define TRACE_EXIT(fn) CTraceLog::TraceExit((fn), nullptr, __FILE__, __LINE__)
#define TRACE_EXIT_D(fn, detail) CTraceLog::TraceExit((fn), (detail), __FILE__, __LINE__)
#define TRACE_EXIT_ERR(err, fn, msg) \
    CTraceLog::TraceExitError((long)(err), (fn), (msg), __FILE__, __LINE__)
#define TRACE_EXIT_STATUS(status, fn) \
    CTraceLog::TraceExitStatus((uint32_t)(status), (fn), __FILE__, __LINE__)
#define TRACE_MSG(fn, fmt, ...) \
    CTraceLog::TracePrintF((fn), (fmt), __FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define TRACE_MSG_NUM(n, fn, text) CTraceLog::TraceMsgNumber((n), (fn), (text), __FILE__, __LINE__)
#define TRACE_CALL(fn, what) CTraceLog::TraceCall((fn), (what), __FILE__, __LINE__)

#include "Crypto/TraceLog.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

constinit CTraceLog g_Trace("MOX", true);

namespace {

std::atomic<CTraceLog::StampSource> g_stampSource{nullptr};

// Callers pass their full source path; only the file name reaches the line.
const char* baseName(const char* path) {
    if (!path) return "";
    const char* slash = strrchr(path, '/');
    if (!slash) return path;
    return slash[1] ? slash + 1 : slash;
}

// Texts are formatted by the callers into buffers of this size.
constexpr size_t kTextBuffer = 1224;
constexpr size_t kMessageBuffer = 1024;

}  // namespace

CTraceLog::~CTraceLog() {
    if (m_file) {
        fclose(m_file);
        m_file = nullptr;
    }
}

CTraceLog::Stamp CTraceLog::CurrentStamp() {
    if (StampSource source = g_stampSource.load(std::memory_order_relaxed)) return source();
    // One clock read per line, broken down with the thread-safe call, so the
    // seconds and the milliseconds always belong to the same instant.
    Stamp stamp{};
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &stamp.local);
    stamp.micros = now.tv_nsec / 1000;
    stamp.pid = getpid();
    return stamp;
}

size_t CTraceLog::FormatLine(char* out, const Stamp& stamp, const char* module, const char* text,
                             const char* sourceFile, int line) {
    char time[64];
    snprintf(time, sizeof time, "%02d.%02d.%04d %02d:%02d:%02d.%03d", stamp.local.tm_mday,
             stamp.local.tm_mon + 1, stamp.local.tm_year + 1900, stamp.local.tm_hour,
             stamp.local.tm_min, stamp.local.tm_sec, static_cast<int>(stamp.micros / 1000));
    int n = snprintf(out, kMaxLine + 1, "%s %s [%4d] %s (%s : %d)\n", time, module ? module : "",
                     static_cast<int>(stamp.pid), text ? text : "", baseName(sourceFile), line);
    if (n < 0) {
        out[0] = 0;
        return 0;
    }
    return static_cast<size_t>(n) > kMaxLine ? kMaxLine : static_cast<size_t>(n);
}

void CTraceLog::write(const char* text, const char* sourceFile, int line) {
    char buffer[kMaxLine + 1];
    FormatLine(buffer, CurrentStamp(), m_module, text, sourceFile, line);
    if (m_file) fputs(buffer, m_file);
    if (m_echo) fputs(buffer, stdout);
}

void CTraceLog::WriteLine(const char* text, const char* sourceFile, int line) {
    g_Trace.write(text, sourceFile, line);
}

void CTraceLog::TraceEntry(const char* function, const char* detail, const char* sourceFile,
                           int line) {
    char text[kTextBuffer];
    if (detail)
        snprintf(text, sizeof text, "Entry        %s [%s]", function, detail);
    else
        snprintf(text, sizeof text, "Entry        %s", function);
    WriteLine(text, sourceFile, line);
}

void CTraceLog::TracePrintF(const char* function, const char* format, const char* sourceFile,
                            int line, ...) {
    char message[kMessageBuffer];
    va_list args;
    va_start(args, line);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    char text[kTextBuffer];
    snprintf(text, sizeof text, "Msg          %s: %s", function, message);
    WriteLine(text, sourceFile, line);
}

void CTraceLog::TraceCnstr(const char* className, const char* sourceFile, int line) {
    char text[kTextBuffer];
    snprintf(text, sizeof text, "Cnstr        %s", className);
    WriteLine(text, sourceFile, line);
}

void CTraceLog::TraceDestr(const char* className, const char* sourceFile, int line) {
    char text[kTextBuffer];
    snprintf(text, sizeof text, "Destr        %s", className);
    WriteLine(text, sourceFile, line);
}

void CTraceLog::TraceExit(const char* function, const char* detail, const char* sourceFile,
                          int line) {
    char text[kTextBuffer];
    if (detail)
        snprintf(text, sizeof text, "Exit         %s [%s]", function, detail);
    else
        snprintf(text, sizeof text, "Exit         %s", function);
    WriteLine(text, sourceFile, line);
}

void CTraceLog::TraceExitError(long error, const char* function, const char* message,
                               const char* sourceFile, int line) {
    char text[kTextBuffer];
    if (message)
        snprintf(text, sizeof text, "Exit:%02ld      %s [%s]", error, function, message);
    else
        snprintf(text, sizeof text, "Exit:%02ld      %s", error, function);
    WriteLine(text, sourceFile, line);
}

void CTraceLog::TraceExitStatus(uint32_t status, const char* function, const char* sourceFile,
                                int line) {
    char text[kTextBuffer];
    snprintf(text, sizeof text, "Exit:%08X %s", status, function);
    WriteLine(text, sourceFile, line);
}

void CTraceLog::TraceMsgNumber(int number, const char* function, const char* message,
                               const char* sourceFile, int line) {
    char text[kTextBuffer];
    snprintf(text, sizeof text, "Msg  %8d %s: %s", number, function, message);
    WriteLine(text, sourceFile, line);
}

void CTraceLog::TraceCall(const char* function, const char* what, const char* sourceFile,
                          int line) {
    char text[kTextBuffer];
    snprintf(text, sizeof text, "Call         %s: %s", function, what);
    WriteLine(text, sourceFile, line);
}

void CTraceLog::SetFile(FILE* file) {
    if (g_Trace.m_file && g_Trace.m_file != file) fclose(g_Trace.m_file);
    g_Trace.m_file = file;
}

void CTraceLog::SetEcho(bool echo) {
    g_Trace.m_echo = echo;
}

void CTraceLog::SetStampSource(StampSource source) {
    g_stampSource.store(source, std::memory_order_relaxed);
}

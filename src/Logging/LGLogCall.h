#pragma once
// The one function the log macros call. Until the dispatcher is built this
// writes the formatted line to standard error; its signature is the contract
// the macros rely on.

#include <cstdarg>
#include <cstdio>

namespace lg_detail {

[[gnu::format(printf, 8, 9)]] inline void logCall(bool asynchronous, int level, int flag,
                                                  int context, const char* file,
                                                  const char* function, int line,
                                                  const char* format, ...) {
    (void)asynchronous;
    (void)level;
    (void)flag;
    (void)context;
    (void)file;
    (void)function;
    (void)line;
    if (!format) return;
    char buf[2048];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n < 0) return;
    std::fprintf(stderr, "%s\n", buf);
}

}  // namespace lg_detail

// Preloaded into the `run` tool by its tests: records every syslog(3) entry,
// one per line as "<priority>|<text>" (newlines as "\n"), in the file named by
// TESSARO_SYSLOG_RECORD, so that a test sees what went to the system log
// without a syslog daemon.

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void record(int priority, const char* format, va_list args) {
    const char* path = getenv("TESSARO_SYSLOG_RECORD");
    if (!path) return;
    char text[8192];
    vsnprintf(text, sizeof text, format, args);
    char line[16600];
    int n = snprintf(line, sizeof line, "%d|", priority);
    for (const char* p = text; *p && n < (int)sizeof line - 3; ++p) {
        if (*p == '\n') {
            line[n++] = '\\';
            line[n++] = 'n';
        } else {
            line[n++] = *p;
        }
    }
    line[n++] = '\n';
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, (size_t)n) < 0) {
    }
    close(fd);
}

void openlog(const char* ident, int option, int facility) {
    (void)ident, (void)option, (void)facility;
}

void vsyslog(int priority, const char* format, va_list args) {
    record(priority, format, args);
}

void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

void __syslog_chk(int priority, int flag, const char* format, ...) {
    (void)flag;
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

void __vsyslog_chk(int priority, int flag, const char* format, va_list args) {
    (void)flag;
    record(priority, format, args);
}

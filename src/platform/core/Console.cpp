#include "platform/core/Console.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace platform {

void consoleLogText(std::string_view text) {
    struct iovec parts[2] = {{const_cast<char*>(text.data()), text.size()},
                             {const_cast<char*>("\n"), 1}};
    bool newline = text.empty() || text.back() != '\n';
    writeFully(STDERR_FILENO, parts, newline ? 2 : 1);
}

void consoleLog(const char* format, ...) {
    if (!format) return;
    char stackBuf[1024];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(stackBuf, sizeof stackBuf, format, ap);
    va_end(ap);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof stackBuf) {
        consoleLogText(std::string_view(stackBuf, static_cast<std::size_t>(n)));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    va_start(ap, format);
    std::vsnprintf(big.data(), big.size(), format, ap);
    va_end(ap);
    big.resize(static_cast<std::size_t>(n));
    consoleLogText(big);
}

}  // namespace platform

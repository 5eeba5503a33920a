#pragma once
// The console: one line to standard error, written in one call and never
// through the logging framework, so that the framework itself and code that
// runs before or beneath it can report problems.

#include <string_view>

#include "platform/core/FullIO.h"  // writeFully, which the console writes through

namespace platform {

// printf-style; a newline is added unless the text ends in one.
[[gnu::format(printf, 1, 2)]] void consoleLog(const char* format, ...);
void consoleLogText(std::string_view text);

}  // namespace platform

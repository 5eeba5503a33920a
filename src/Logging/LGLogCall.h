#pragma once
// The one function the log macros call: formats the message in the calling
// thread and hands it to LGLog (Logging/LGLog.h).

namespace lg_detail {

[[gnu::format(printf, 8, 9)]] void logCall(bool asynchronous, int level, int flag, int context,
                                           const char* file, const char* function, int line,
                                           const char* format, ...);

}  // namespace lg_detail

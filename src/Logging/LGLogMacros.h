#pragma once
// Log macros of the application layers. A source file sets its level before
// including this header (`#define LG_LOG_LEVEL 15` adds debug; the default 7
// admits error, warning and info). A call whose flag the level does not admit
// is removed at compile time and never evaluates its arguments.
//
//   LGLogError("QVFileSystem > mount > %s", why);   // synchronous
//   LGLogWarn / LGLogInfo / LGLogDebug(...)          // asynchronous
//
// The dispatcher behind the macros is LGLog (Logging/LGLog.h).

#ifndef LG_LOG_LEVEL
#define LG_LOG_LEVEL 7
#endif

#define LG_LOG_FLAG_ERROR 1
#define LG_LOG_FLAG_WARN 2
#define LG_LOG_FLAG_INFO 4
#define LG_LOG_FLAG_DEBUG 8

#include "Logging/LGLogCall.h"

#define LG_LOG_MAYBE(async, flag, ...)                                                             \
    do {                                                                                           \
        if constexpr ((LG_LOG_LEVEL) & (flag))                                                     \
            ::lg_detail::logCall((async), (LG_LOG_LEVEL), (flag), 0, __FILE__, __func__, __LINE__, \
                                 __VA_ARGS__);                                                     \
    } while (0)

#define LGLogError(...) LG_LOG_MAYBE(false, LG_LOG_FLAG_ERROR, __VA_ARGS__)
#define LGLogWarn(...) LG_LOG_MAYBE(true, LG_LOG_FLAG_WARN, __VA_ARGS__)
#define LGLogInfo(...) LG_LOG_MAYBE(true, LG_LOG_FLAG_INFO, __VA_ARGS__)
#define LGLogDebug(...) LG_LOG_MAYBE(true, LG_LOG_FLAG_DEBUG, __VA_ARGS__)

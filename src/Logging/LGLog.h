#pragma once
// The log dispatcher. Every message goes through one global serial queue,
// "tessaro.logging", and from there to each registered sink on the sink's own
// serial queue. At most 1000 messages wait at once; a caller beyond that
// blocks until one has reached every sink.
//
// Application code logs through Logging/LGLogMacros.h, which filters by level
// at the call site; LGLog itself filters nothing.

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

#include "platform/core/Dispatch.h"

namespace lg {

inline constexpr int kLogFlagError = 1;
inline constexpr int kLogFlagWarn = 2;
inline constexpr int kLogFlagInfo = 4;
inline constexpr int kLogFlagDebug = 8;

// LGLogMessage options.
inline constexpr int kLogMessageCopyFile = 1;
inline constexpr int kLogMessageCopyFunction = 2;

// A newly allocated copy of `s` (nullptr for nullptr); free with delete[].
char* dd_str_copy(const char* s);

}  // namespace lg

class LGLogMessage;
class LGLogger;
class LGLogFormatter;
using LGLogMessagePtr = std::shared_ptr<const LGLogMessage>;
using LGLoggerPtr = std::shared_ptr<LGLogger>;
using LGLogFormatterPtr = std::shared_ptr<LGLogFormatter>;
using LGText = std::shared_ptr<const std::string>;

// One log call, with the metadata of its call site; immutable once made.
class LGLogMessage {
  public:
    using Clock = std::chrono::system_clock;

    // Takes the time, thread and queue of the calling thread now.
    LGLogMessage(std::string logMsg, int level, int flag, int context, const char* file,
                 const char* function, int line, std::optional<std::string> tag, int options);
    // For tests and tools: every field given.
    LGLogMessage(std::string logMsg, int level, int flag, int context, const char* file,
                 const char* function, int line, std::optional<std::string> tag, int options,
                 Clock::time_point timestamp, std::uint32_t threadID, std::string queueLabel,
                 std::string threadName);
    ~LGLogMessage();
    LGLogMessage(const LGLogMessage&) = delete;
    LGLogMessage& operator=(const LGLogMessage&) = delete;

    const std::string& logMsg() const { return logMsg_; }
    int logLevel() const { return logLevel_; }
    int logFlag() const { return logFlag_; }
    int logContext() const { return logContext_; }
    const char* file() const { return file_; }
    const char* function() const { return function_; }
    int lineNumber() const { return lineNumber_; }
    const std::optional<std::string>& tag() const { return tag_; }
    int options() const { return options_; }
    Clock::time_point timestamp() const { return timestamp_; }
    std::uint32_t machThreadID() const { return machThreadID_; }
    const std::string& queueLabel() const { return queueLabel_; }
    const std::string& threadName() const { return threadName_; }

    // machThreadID as "%x".
    std::string threadID() const;
    // The file's last path component without its extension; empty view when
    // there is no file. Refers to the message's bytes.
    std::optional<std::string_view> fileName() const;
    std::optional<std::string> methodName() const;

    // The message's own text as a shared string. A formatter that returns it
    // leaves the message unformatted (sinks compare the pointer).
    static LGText textOf(const LGLogMessagePtr& message);

  private:
    std::string logMsg_;
    int logLevel_, logFlag_, logContext_;
    const char* file_;
    const char* function_;
    int lineNumber_;
    std::optional<std::string> tag_;
    int options_;
    Clock::time_point timestamp_;
    std::uint32_t machThreadID_;
    std::string queueLabel_;
    std::string threadName_;
};

// Produces the text a sink writes. Returning nullptr drops the message in
// that sink; returning LGLogMessage::textOf(message) keeps it unformatted.
class LGLogFormatter {
  public:
    virtual ~LGLogFormatter() = default;
    virtual LGText formatLogMessage(const LGLogMessagePtr& message) = 0;
    virtual void didAddToLogger(LGLogger* logger) {}
    virtual void willRemoveFromLogger(LGLogger* logger) {}
};

// A sink. logMessage is always called on the sink's queue.
class LGLogger {
  public:
    virtual ~LGLogger() = default;
    virtual void logMessage(const LGLogMessagePtr& message) = 0;
    virtual LGLogFormatterPtr logFormatter() { return nullptr; }
    virtual void setLogFormatter(LGLogFormatterPtr formatter) {}

    // The queue the sink wants to be called on; nullptr lets the dispatcher
    // make one labelled loggerName().
    virtual platform::DispatchQueuePtr loggerQueue() { return nullptr; }
    virtual std::string loggerName() { return {}; }
    // Called on the sink's queue after registration / before removal.
    virtual void didAddLogger() {}
    virtual void willRemoveLogger() {}
    // Called on the sink's queue by LGLog::flushLog after every earlier message.
    virtual void flush() {}
};

// Marks the running thread as inside logging while it lives. Work that a
// sink's queue runs outside a message (a settings hop, a timer) holds one, so
// that a log call or flushLog made there cannot wait for the very queue it
// runs on.
class LGInsideLoggingScope {
  public:
    LGInsideLoggingScope();
    ~LGInsideLoggingScope();
    LGInsideLoggingScope(const LGInsideLoggingScope&) = delete;
    LGInsideLoggingScope& operator=(const LGInsideLoggingScope&) = delete;
};

// The dispatcher: class methods only, process-global state.
class LGLog {
  public:
    LGLog() = delete;

    static constexpr int kMaximumQueueSize = 1000;

    static void addLogger(const LGLoggerPtr& logger);
    static void removeLogger(const LGLoggerPtr& logger);
    static void removeAllLoggers();

    [[gnu::format(printf, 9, 10)]] static void log(bool asynchronous, int level, int flag,
                                                   int context, const char* file,
                                                   const char* function, int line, const char* tag,
                                                   const char* format, ...);
    [[gnu::format(printf, 9, 0)]] static void logv(bool asynchronous, int level, int flag,
                                                   int context, const char* file,
                                                   const char* function, int line, const char* tag,
                                                   const char* format, va_list args);
    static void queueLogMessage(LGLogMessagePtr message, bool asynchronous);

    // Returns once every message queued before it has reached every sink and
    // every sink has flushed.
    static void flushLog();
    // The quit hook: flushes.
    static void applicationWillTerminate();

    static const platform::DispatchQueuePtr& loggingQueue();
    // Key of the queue-specific entry that marks the logging queue.
    static const void* globalLoggingQueueIdentityKey();
    // True on the logging queue, inside a sink call or a sink's settings hop:
    // a log call made there is written straight to standard error instead.
    static bool isInsideLogging();

    // Per-class levels (see LG_LOG_LEVEL_CLASS below).
    template <class T>
    static bool isRegisteredClass() {
        return isRegisteredClassWithName(nameOf(typeid(T)));
    }
    template <class T>
    static int logLevelForClass() {
        return logLevelForClassWithName(nameOf(typeid(T)));
    }
    template <class T>
    static void setLogLevelForClass(int level) {
        setLogLevelForClassWithName(level, nameOf(typeid(T)));
    }
    static bool isRegisteredClassWithName(const std::string& name);
    static std::vector<std::string> registeredClassNames();
    static int logLevelForClassWithName(const std::string& name);
    static void setLogLevelForClassWithName(int level, const std::string& name);

    // Used by LG_LOG_LEVEL_CLASS.
    static bool joinClass(const std::type_info& type, const char* name, int (*getter)(),
                          void (*setter)(int));

    // For tests: processors the fan-out assumes (1 runs sinks one after another).
    static void setProcessorCountForTesting(int n);
    // For tests, when nothing is being logged: slots of the bound now free.
    static int freeQueueSlotsForTesting();

  private:
    static std::string nameOf(const std::type_info& type);
};

namespace lg_detail {
template <class T>
constexpr int (*levelGetter())() {
    if constexpr (requires { T::lgLogLevel(); })
        return +[] { return static_cast<int>(T::lgLogLevel()); };
    else
        return nullptr;
}
template <class T>
constexpr void (*levelSetter())(int) {
    if constexpr (requires { T::lgSetLogLevel(0); })
        return +[](int l) { T::lgSetLogLevel(l); };
    else
        return nullptr;
}
}  // namespace lg_detail

// Makes a class known to the per-class level registry. The class is
// registered when it offers both `static int lgLogLevel()` and
// `static void lgSetLogLevel(int)`; otherwise it is known but answers -1.
// Place at namespace scope in one source file.
#define LG_LOG_LEVEL_CLASS(Cls)                                              \
    [[maybe_unused]] static const bool lg_joined_##Cls = ::LGLog::joinClass( \
        typeid(Cls), #Cls, ::lg_detail::levelGetter<Cls>(), ::lg_detail::levelSetter<Cls>())

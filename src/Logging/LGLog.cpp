#include "Logging/LGLog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "Logging/LGLogCall.h"
#include "platform/core/Console.h"

char* lg::dd_str_copy(const char* s) {
    if (!s) return nullptr;
    size_t n = std::strlen(s) + 1;
    char* c = new char[n];
    std::memcpy(c, s, n);
    return c;
}

// ---- LGLogMessage ----------------------------------------------------------

LGLogMessage::LGLogMessage(std::string logMsg, int level, int flag, int context, const char* file,
                           const char* function, int line, std::optional<std::string> tag,
                           int options)
    : LGLogMessage(std::move(logMsg), level, flag, context, file, function, line, std::move(tag),
                   options, Clock::now(), platform::currentThreadId(),
                   platform::DispatchQueue::currentLabel(), platform::currentThreadName()) {}

LGLogMessage::LGLogMessage(std::string logMsg, int level, int flag, int context, const char* file,
                           const char* function, int line, std::optional<std::string> tag,
                           int options, Clock::time_point timestamp, std::uint32_t threadID,
                           std::string queueLabel, std::string threadName)
    : logMsg_(std::move(logMsg)),
      logLevel_(level),
      logFlag_(flag),
      logContext_(context),
      file_((options & lg::kLogMessageCopyFile) ? lg::dd_str_copy(file) : file),
      function_((options & lg::kLogMessageCopyFunction) ? lg::dd_str_copy(function) : function),
      lineNumber_(line),
      tag_(std::move(tag)),
      options_(options),
      timestamp_(timestamp),
      machThreadID_(threadID),
      queueLabel_(std::move(queueLabel)),
      threadName_(std::move(threadName)) {}

LGLogMessage::~LGLogMessage() {
    if (options_ & lg::kLogMessageCopyFile) delete[] file_;
    if (options_ & lg::kLogMessageCopyFunction) delete[] function_;
}

std::string LGLogMessage::threadID() const {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", machThreadID_);
    return buf;
}

std::optional<std::string_view> LGLogMessage::fileName() const {
    if (!file_) return std::nullopt;
    std::string_view path(file_);
    auto slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto dot = last.rfind('.');
    return dot == std::string_view::npos ? last : last.substr(0, dot);
}

std::optional<std::string> LGLogMessage::methodName() const {
    if (!function_) return std::nullopt;
    return std::string(function_);
}

LGText LGLogMessage::textOf(const LGLogMessagePtr& message) {
    return LGText(message, &message->logMsg_);
}

// ---- Dispatcher state ------------------------------------------------------

struct LGLogDispatch {
    static std::atomic<int>& sinksPending(const LGLogMessage& m) { return m.sinksPending_; }
};

namespace {

struct LGLoggerNode {
    LGLoggerPtr logger;
    platform::DispatchQueuePtr loggerQueue;
};

const int kGlobalLoggingQueueIdentityKey = 0;

thread_local int tlsInsideLogging = 0;
thread_local int tlsInSink = 0;

// Marks the running thread as inside the framework for its lifetime.
struct InsideScope {
    InsideScope() { ++tlsInsideLogging; }
    ~InsideScope() { --tlsInsideLogging; }
};

// The same, inside a call of a sink.
struct SinkScope {
    InsideScope inside;
    SinkScope() { ++tlsInSink; }
    ~SinkScope() { --tlsInSink; }
};

struct State {
    std::vector<LGLoggerNode> loggers;  // touched only on loggingQueue
    platform::DispatchQueuePtr loggingQueue;
    platform::DispatchGroup loggingGroup;
    platform::DispatchSemaphore queueSemaphore{LGLog::kMaximumQueueSize};
    std::atomic<int> numProcessors{1};
};

void flushSinks();

// Writes what the sinks still hold when the process exits normally. exit()
// called inside a sink would wait for itself: then nothing is waited for; on
// the logging queue the sinks are waited for directly.
void flushAtExit() {
    if (tlsInSink > 0) return;
    if (LGLog::loggingQueue()->isCurrent()) {
        flushSinks();
        return;
    }
    if (tlsInsideLogging > 0) return;
    LGLog::flushLog();
}

State& state() {
    static State* s = [] {
        auto* st = new State;  // lives to the very end: sinks may log during exit
        st->loggers.reserve(4);
        st->loggingQueue = platform::DispatchQueue::serial("tessaro.logging");
        st->loggingQueue->setSpecific(&kGlobalLoggingQueueIdentityKey,
                                      const_cast<int*>(&kGlobalLoggingQueueIdentityKey));
        st->numProcessors = platform::processorCount();
        std::atexit(flushAtExit);
        return st;
    }();
    return *s;
}

void callSink(const LGLoggerPtr& logger, const LGLogMessagePtr& message) {
    SinkScope inside;
    logger->logMessage(message);
}

void lt_log(const LGLogMessagePtr& message, bool waitForSinks) {
    State& s = state();
    InsideScope inside;
    if (s.loggers.empty()) {
        s.queueSemaphore.signal();
        return;
    }
    if (s.numProcessors < 2) {
        for (auto& node : s.loggers)
            node.loggerQueue->sync([&] { callSink(node.logger, message); });
        s.queueSemaphore.signal();
        return;
    }
    if (waitForSinks) {
        for (auto& node : s.loggers)
            s.loggingGroup.async(node.loggerQueue,
                                 [logger = node.logger, message] { callSink(logger, message); });
        s.loggingGroup.wait();
        s.queueSemaphore.signal();
        return;
    }
    // Asynchronous messages: each sink's serial queue keeps the order, and the
    // last sink to finish gives the queue slot back, so the bound of waiting
    // messages still counts every message some sink has not written yet.
    LGLogDispatch::sinksPending(*message).store(static_cast<int>(s.loggers.size()),
                                                std::memory_order_relaxed);
    for (auto& node : s.loggers)
        node.loggerQueue->async([logger = node.logger, message] {
            callSink(logger, message);
            if (LGLogDispatch::sinksPending(*message).fetch_sub(1, std::memory_order_acq_rel) == 1)
                state().queueSemaphore.signal();
        });
}

// On the logging queue: every sink's flush, after everything it was given.
void flushSinks() {
    State& s = state();
    InsideScope inside;
    for (auto& node : s.loggers)
        s.loggingGroup.async(node.loggerQueue, [logger = node.logger] {
            SinkScope in;
            logger->flush();
        });
    s.loggingGroup.wait();
}

void writeStraight(const LGLogMessage& message) {
    platform::consoleLogText(message.logMsg());
}

struct ClassEntry {
    std::string name;
    int (*getter)();
    void (*setter)(int);
};

struct ClassRegistry {
    std::mutex m;
    std::map<std::type_index, ClassEntry> byType;
};

ClassRegistry& classes() {
    static auto* r = new ClassRegistry;
    return *r;
}

const ClassEntry* findClass(const std::string& name) {
    for (auto& [type, e] : classes().byType)
        if (e.name == name) return &e;
    return nullptr;
}

}  // namespace

// ---- LGLog -----------------------------------------------------------------

const platform::DispatchQueuePtr& LGLog::loggingQueue() {
    return state().loggingQueue;
}

const void* LGLog::globalLoggingQueueIdentityKey() {
    return &kGlobalLoggingQueueIdentityKey;
}

bool LGLog::isInsideLogging() {
    return tlsInsideLogging > 0 || state().loggingQueue->isCurrent();
}

void LGLog::setProcessorCountForTesting(int n) {
    state().numProcessors = n < 1 ? 1 : n;
}

void LGLog::addLogger(const LGLoggerPtr& logger) {
    if (!logger) return;
    loggingQueue()->async([logger] {
        InsideScope inside;
        auto queue = logger->loggerQueue();
        if (!queue) queue = platform::DispatchQueue::serial(logger->loggerName());
        state().loggers.push_back(LGLoggerNode{logger, queue});
        queue->async([logger] {
            SinkScope in;
            logger->didAddLogger();
        });
    });
}

void LGLog::removeLogger(const LGLoggerPtr& logger) {
    if (!logger) return;
    loggingQueue()->async([logger] {
        InsideScope inside;
        auto& nodes = state().loggers;
        auto it = std::find_if(nodes.begin(), nodes.end(),
                               [&](const LGLoggerNode& n) { return n.logger == logger; });
        if (it == nodes.end()) return;
        it->loggerQueue->async([logger] {
            SinkScope in;
            logger->willRemoveLogger();
        });
        nodes.erase(it);
    });
}

void LGLog::removeAllLoggers() {
    loggingQueue()->async([] {
        InsideScope inside;
        auto& nodes = state().loggers;
        for (auto& n : nodes)
            n.loggerQueue->async([logger = n.logger] {
                SinkScope in;
                logger->willRemoveLogger();
            });
        nodes.clear();
    });
}

void LGLog::log(bool asynchronous, int level, int flag, int context, const char* file,
                const char* function, int line, const char* tag, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    logv(asynchronous, level, flag, context, file, function, line, tag, format, ap);
    va_end(ap);
}

void LGLog::logv(bool asynchronous, int level, int flag, int context, const char* file,
                 const char* function, int line, const char* tag, const char* format,
                 va_list args) {
    if (!format) return;
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return;
    std::string text;
    if (static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(n));
    }
    auto message =
        std::make_shared<LGLogMessage>(std::move(text), level, flag, context, file, function, line,
                                       tag ? std::optional<std::string>(tag) : std::nullopt, 0);
    queueLogMessage(std::move(message), asynchronous);
}

void LGLog::queueLogMessage(LGLogMessagePtr message, bool asynchronous) {
    if (!message) return;
    if (isInsideLogging()) {
        // From a sink or the dispatcher itself the call would wait for itself
        // (always when synchronous, and once the queue is full otherwise).
        writeStraight(*message);
        return;
    }
    State& s = state();
    s.queueSemaphore.wait();
    if (asynchronous)
        s.loggingQueue->async([message = std::move(message)] { lt_log(message, false); });
    else
        s.loggingQueue->sync([&] { lt_log(message, true); });
}

void LGLog::flushLog() {
    if (isInsideLogging()) return;  // the sink we run in could never finish first
    state().loggingQueue->sync(flushSinks);
}

void LGLog::applicationWillTerminate() {
    flushLog();
}

// ---- Per-class levels --------------------------------------------------------

std::string LGLog::nameOf(const std::type_info& type) {
    std::lock_guard lk(classes().m);
    auto it = classes().byType.find(type);
    return it == classes().byType.end() ? std::string() : it->second.name;
}

bool LGLog::joinClass(const std::type_info& type, const char* name, int (*getter)(),
                      void (*setter)(int)) {
    std::lock_guard lk(classes().m);
    classes().byType.insert_or_assign(std::type_index(type), ClassEntry{name, getter, setter});
    return true;
}

bool LGLog::isRegisteredClassWithName(const std::string& name) {
    std::lock_guard lk(classes().m);
    const ClassEntry* e = findClass(name);
    return e && e->getter && e->setter;
}

std::vector<std::string> LGLog::registeredClassNames() {
    std::lock_guard lk(classes().m);
    std::vector<std::string> names;
    for (auto& [type, e] : classes().byType)
        if (e.getter && e.setter) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

int LGLog::logLevelForClassWithName(const std::string& name) {
    int (*getter)() = nullptr;
    {
        std::lock_guard lk(classes().m);
        const ClassEntry* e = findClass(name);
        if (!e || !e->getter || !e->setter) return -1;
        getter = e->getter;
    }
    return getter();
}

void LGLog::setLogLevelForClassWithName(int level, const std::string& name) {
    void (*setter)(int) = nullptr;
    {
        std::lock_guard lk(classes().m);
        const ClassEntry* e = findClass(name);
        if (!e || !e->getter || !e->setter) return;
        setter = e->setter;
    }
    setter(level);
}

// ---- The macros' entry -------------------------------------------------------

void lg_detail::logCall(bool asynchronous, int level, int flag, int context, const char* file,
                        const char* function, int line, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    LGLog::logv(asynchronous, level, flag, context, file, function, line, nullptr, format, ap);
    va_end(ap);
}

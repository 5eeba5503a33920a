#include "Logging/LGLog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "Logging/LGFormat.h"
#include "Logging/LGLogCall.h"
#include "Logging/LGMessagePool.h"
#include "platform/core/Console.h"
#include "platform/core/PathPieces.h"

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
    std::string_view last = platform::lastComponent(file_);
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

}  // namespace

LGInsideLoggingScope::LGInsideLoggingScope() {
    ++tlsInsideLogging;
}
LGInsideLoggingScope::~LGInsideLoggingScope() {
    --tlsInsideLogging;
}

namespace {

using Batch = std::vector<LGLogMessagePtr>;
void lt_logBatch(Batch& batch);

// Guards a few instructions that a caller takes per message and the logging
// thread per batch. Under a mutex the two meet so often that most messages
// paid for a futex sleep or wake-up; here the loser waits a moment instead.
class SpinLock {
  public:
    void lock() {
        while (locked_.exchange(true, std::memory_order_acquire))
            for (int i = 0; locked_.load(std::memory_order_relaxed); ++i) {
                if (i < 256)
                    pause();
                else
                    std::this_thread::yield();  // the holder may have lost its processor
            }
    }
    void unlock() { locked_.store(false, std::memory_order_release); }

    static void pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

  private:
    std::atomic<bool> locked_{false};
};

// The global logging queue. Asynchronous messages are gathered into batches:
// one task of the queue dispatches every message that joins its batch until
// the batch runs dry. Any other task submitted to the queue closes the open
// batch first, so a message still takes its place among the queue's tasks,
// and a caller adds a message without waking the queue's thread.
class LoggingQueue final : public platform::DispatchQueue {
  public:
    LoggingQueue()
        : DispatchQueue("tessaro.logging", true),
          inner_(platform::DispatchQueue::serial("tessaro.logging")) {}

    void async(platform::Task task) override {
        std::lock_guard lk(m_);
        open_ = nullptr;
        inner_->async([this, task = std::move(task)] { runAsCurrent(task); });
    }

    void sync(const platform::Task& task) override {
        if (isCurrent()) {
            runAsCurrent(task);
            return;
        }
        {
            std::lock_guard lk(m_);
            open_ = nullptr;
        }
        inner_->sync([&] { runAsCurrent(task); });
    }

    void post(LGLogMessagePtr message) {
        std::lock_guard lk(m_);
        if (!open_) {
            if (spare_.empty()) {
                open_ = new Batch;
                open_->reserve(64);
            } else {
                open_ = spare_.back();
                spare_.pop_back();
            }
            inner_->async([this, batch = open_] { drain(batch); });
        }
        open_->push_back(std::move(message));
    }

  private:
    void drain(Batch* batch) {
        Batch taken;
        taken.reserve(64);
        for (;;) {
            {
                std::lock_guard lk(m_);
                taken.swap(*batch);
                if (taken.empty()) {
                    if (open_ == batch) open_ = nullptr;
                    if (spare_.size() < 4)
                        spare_.push_back(batch);
                    else
                        delete batch;
                    return;
                }
            }
            const std::size_t count = taken.size();
            runAsCurrent([&taken] { lt_logBatch(taken); });
            if (count < kFullBatch) gather();
            taken.clear();
            // Callers append to this buffer next: keep them from growing it.
            if (taken.capacity() < 16) taken.reserve(64);
        }
    }

    // A caller that streams messages is usually only a little slower than
    // this thread: taken at once, its messages would go out one or two at a
    // time, and every batch costs each sink a task and a hand-off between
    // threads. Letting them gather for a moment makes the batches grow.
    static constexpr std::size_t kFullBatch = 32;
    static void gather() {
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(4);
        while (std::chrono::steady_clock::now() < until) SpinLock::pause();
    }

    platform::DispatchQueuePtr inner_;
    SpinLock m_;
    Batch* open_ = nullptr;  // the batch that new messages join
    std::vector<Batch*> spare_;
};

struct State {
    std::vector<LGLoggerNode> loggers;  // touched only on loggingQueue
    std::shared_ptr<LoggingQueue> loggingQueue;
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
        st->loggingQueue = std::make_shared<LoggingQueue>();
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

// A synchronous message: returns once every sink has it.
void lt_logSync(const LGLogMessagePtr& message) {
    State& s = state();
    InsideScope inside;
    if (s.numProcessors < 2) {
        for (auto& node : s.loggers)
            node.loggerQueue->sync([&] { callSink(node.logger, message); });
    } else if (!s.loggers.empty()) {
        for (auto& node : s.loggers)
            s.loggingGroup.async(node.loggerQueue,
                                 [logger = node.logger, message] { callSink(logger, message); });
        s.loggingGroup.wait();
    }
    s.queueSemaphore.signal();
}

// Messages handed to the sinks, shared by them and recycled, buffer and all,
// so that neither the logging queue nor a sink allocates per batch. `pending`
// counts, per entry, the sinks that have not written it yet: per dispatch, not
// per message, since one message object may be queued more than once.
struct SinkBatch {
    Batch messages;
    std::unique_ptr<std::atomic<int>[]> pending;
    std::size_t pendingCapacity = 0;
    std::atomic<int> users{0};
    bool single = false;  // one sink: it is the last to write every entry

    void preparePending(int sinks) {
        if (pendingCapacity < messages.size()) {
            pendingCapacity = std::max<std::size_t>(messages.size(), 64);
            pending.reset(new std::atomic<int>[pendingCapacity]);
        }
        for (std::size_t i = 0; i < messages.size(); ++i)
            pending[i].store(sinks, std::memory_order_relaxed);
    }

    static SinkBatch* acquire() {
        {
            std::lock_guard lk(poolMutex());
            auto& p = pool();
            if (!p.empty()) {
                SinkBatch* b = p.back();
                p.pop_back();
                return b;
            }
        }
        auto* b = new SinkBatch;
        b->messages.reserve(64);
        return b;
    }
    static void release(SinkBatch* b) {
        b->messages.clear();
        std::lock_guard lk(poolMutex());
        if (pool().size() < 64)
            pool().push_back(b);
        else
            delete b;
    }

  private:
    static SpinLock& poolMutex() {
        static auto* m = new SpinLock;
        return *m;
    }
    static std::vector<SinkBatch*>& pool() {
        static auto* p = new std::vector<SinkBatch*>;
        return *p;
    }
};

// Asynchronous messages, in the order they were queued.
void lt_logBatch(Batch& batch) {
    State& s = state();
    InsideScope inside;
    if (s.loggers.empty()) {
        s.queueSemaphore.signal(static_cast<long>(batch.size()));
        return;
    }
    if (s.numProcessors < 2) {
        for (auto& message : batch) {
            for (auto& node : s.loggers)
                node.loggerQueue->sync([&] { callSink(node.logger, message); });
            s.queueSemaphore.signal();
        }
        return;
    }
    // Each sink's serial queue keeps the order, and the last sink to finish a
    // message gives its queue slot back, so the bound of waiting messages
    // still counts every message some sink has not written yet.
    SinkBatch* shared = SinkBatch::acquire();
    shared->messages.swap(batch);  // `batch` takes the recycled, empty buffer
    shared->single = s.loggers.size() == 1;
    if (!shared->single) shared->preparePending(static_cast<int>(s.loggers.size()));
    shared->users.store(static_cast<int>(s.loggers.size()), std::memory_order_relaxed);
    for (auto& node : s.loggers)
        // Two plain pointers fit the task's own storage: no allocation. The
        // sink outlives the task because its removal is queued behind it.
        node.loggerQueue->async([shared, logger = node.logger.get()] {
            long done = 0;
            const std::size_t count = shared->messages.size();
            const bool single = shared->single;
            for (std::size_t i = 0; i < count; ++i) {
                {
                    SinkScope in;
                    logger->logMessage(shared->messages[i]);
                }
                if (single || shared->pending[i].fetch_sub(1, std::memory_order_acq_rel) == 1)
                    ++done;
            }
            if (shared->users.fetch_sub(1, std::memory_order_acq_rel) == 1)
                SinkBatch::release(shared);
            state().queueSemaphore.signal(done);
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
    static const auto* q = new platform::DispatchQueuePtr(state().loggingQueue);
    return *q;
}

const void* LGLog::globalLoggingQueueIdentityKey() {
    return &kGlobalLoggingQueueIdentityKey;
}

bool LGLog::isInsideLogging() {
    return tlsInsideLogging > 0 || state().loggingQueue->isCurrent();
}

int LGLog::freeQueueSlotsForTesting() {
    State& s = state();
    int n = 0;
    while (s.queueSemaphore.tryWait()) ++n;
    s.queueSemaphore.signal(n);
    return n;
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
    int n = lg_detail::formatPlain(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) {
        va_copy(copy, args);
        n = std::vsnprintf(small, sizeof small, format, copy);
        va_end(copy);
    }
    if (n < 0) return;
    std::string text;
    if (static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(n));
    }
    auto message = std::allocate_shared<LGLogMessage>(
        lg_detail::PoolAllocator<LGLogMessage>(), std::move(text), level, flag, context, file,
        function, line, tag ? std::optional<std::string>(tag) : std::nullopt, 0);
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
    if (asynchronous) {
        s.loggingQueue->post(std::move(message));
    } else {
        s.loggingQueue->sync([&] { lt_logSync(message); });
    }
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

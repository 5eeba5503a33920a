#include "platform/core/Dispatch.h"

#include "platform/core/ThreadHooks.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace platform {

// ---- Current-queue chain ---------------------------------------------------
// Each thread keeps the queues it is inside of as a list of frames living on
// its own stack, so entering a queue costs no allocation.

namespace {

struct Frame {
    DispatchQueue* queue;
    Frame* prev;
};

thread_local Frame* tlsTop = nullptr;

class FrameScope {
  public:
    explicit FrameScope(DispatchQueue* q) : f_{q, tlsTop} { tlsTop = &f_; }
    ~FrameScope() { tlsTop = f_.prev; }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;

  private:
    Frame f_;
};

}  // namespace

struct DispatchQueue::Specifics {
    mutable std::mutex m;
    std::vector<std::pair<const void*, void*>> values;
};

DispatchQueue::DispatchQueue(std::string label, bool serial)
    : label_(std::move(label)), serial_(serial), specifics_(std::make_unique<Specifics>()) {}

DispatchQueue::~DispatchQueue() = default;

bool DispatchQueue::isCurrent() const {
    for (Frame* f = tlsTop; f; f = f->prev)
        if (f->queue == this) return true;
    return false;
}

void DispatchQueue::setSpecific(const void* key, void* value) {
    std::lock_guard lk(specifics_->m);
    auto& v = specifics_->values;
    auto it = std::find_if(v.begin(), v.end(), [&](auto& p) { return p.first == key; });
    if (it != v.end()) {
        if (value)
            it->second = value;
        else
            v.erase(it);
    } else if (value) {
        v.emplace_back(key, value);
    }
}

void* DispatchQueue::specific(const void* key) const {
    std::lock_guard lk(specifics_->m);
    for (auto& p : specifics_->values)
        if (p.first == key) return p.second;
    return nullptr;
}

DispatchQueue* DispatchQueue::current() {
    return tlsTop ? tlsTop->queue : nullptr;
}

const char* DispatchQueue::currentLabel() {
    return tlsTop ? tlsTop->queue->label().c_str() : "";
}

void* DispatchQueue::getSpecific(const void* key) {
    for (Frame* f = tlsTop; f; f = f->prev)
        if (void* v = f->queue->specific(key)) return v;
    return nullptr;
}

void DispatchQueue::runAsCurrent(const Task& task) {
    FrameScope scope(this);
    task();
}

// ---- Serial queues ---------------------------------------------------------

namespace {

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

class SerialQueue final : public DispatchQueue {
  public:
    explicit SerialQueue(std::string label)
        : DispatchQueue(std::move(label), true), core_(std::make_shared<Core>()) {}

    ~SerialQueue() override {
        std::thread t;
        {
            std::lock_guard lk(core_->m);
            core_->stopping = true;
            t = std::move(core_->thread);
        }
        core_->cv.notify_all();
        if (t.joinable()) {
            if (t.get_id() == std::this_thread::get_id())
                t.detach();  // the last reference went inside our own task
            else
                t.join();
        }
    }

    void async(Task task) override {
        bool wake;
        {
            std::lock_guard lk(core_->m);
            if (!core_->keepAlive) core_->keepAlive = shared_from_this();
            core_->items.push_back(Item{std::move(task), nullptr});
            core_->hasItems.store(true, std::memory_order_release);
            startLocked();
            wake = core_->workerIdle && !core_->claimed;
            if (wake) core_->workerIdle = false;
        }
        if (wake) core_->cv.notify_one();
    }

    void sync(const Task& task) override {
        if (isCurrent()) {  // re-entry would wait for itself
            runAsCurrent(task);
            return;
        }
        std::unique_lock lk(core_->m);
        if (core_->items.empty() && !core_->running && !core_->claimed) {
            // Idle: take the queue over without waking its thread.
            core_->claimed = true;
            lk.unlock();
            runAsCurrent(task);
            lk.lock();
            core_->claimed = false;
            bool wake = !core_->items.empty() && core_->workerIdle;
            if (wake) core_->workerIdle = false;
            lk.unlock();
            if (wake) core_->cv.notify_one();
            return;
        }
        // Shared with the worker: whichever side lets go last frees it.
        auto slot = std::make_shared<SyncSlot>();
        if (!core_->keepAlive) core_->keepAlive = shared_from_this();
        core_->items.push_back(Item{{}, slot});
        core_->hasItems.store(true, std::memory_order_release);
        startLocked();
        bool wake = core_->workerIdle && !core_->claimed;
        if (wake) core_->workerIdle = false;
        lk.unlock();
        if (wake) core_->cv.notify_one();
        {
            std::unique_lock sl(slot->m);
            slot->cv.wait(sl, [&] { return slot->go; });
        }
        runAsCurrent(task);
        {
            std::lock_guard sl(slot->m);
            slot->done = true;
        }
        slot->cv.notify_all();
    }

  private:
    struct SyncSlot {
        std::mutex m;
        std::condition_variable cv;
        bool go = false;
        bool done = false;
    };
    struct Item {
        Task fn;
        std::shared_ptr<SyncSlot> slot;
    };
    // What the worker thread needs after the queue object may have gone.
    struct Core {
        std::mutex m;
        std::condition_variable cv;
        std::vector<Item> items;
        std::atomic<bool> hasItems{false};  // mirrors !items.empty() for the spinning worker
        std::thread thread;
        std::shared_ptr<DispatchQueue> keepAlive;  // held while tasks wait
        bool workerIdle = false;
        bool running = false;  // the worker is inside a batch
        bool claimed = false;  // a sync caller runs on the idle queue
        bool stopping = false;
    };

    void startLocked() {
        if (core_->thread.joinable() || core_->stopping) return;
        auto core = core_;
        std::string name = label().substr(0, 15);
        core_->thread = std::thread([this, core, name] {
            threadDidStart();
            if (!name.empty()) setCurrentThreadName(name);
            loop(core);
        });
    }

    // `this` is valid whenever core->keepAlive is set, that is while a batch runs.
    void loop(const std::shared_ptr<Core>& core) {
        std::vector<Item> batch;
        std::unique_lock lk(core->m);
        for (;;) {
            if ((core->items.empty() || core->claimed) && !core->stopping) {
                // A queue that streams tasks refills within microseconds:
                // look for a while before paying for a sleep and a wake-up.
                lk.unlock();
                spinForItems(*core);
                lk.lock();
            }
            while ((core->items.empty() || core->claimed) && !core->stopping) {
                core->workerIdle = true;
                core->cv.wait(lk);
                core->workerIdle = false;
            }
            if (core->items.empty()) return;
            threadDidStart();         // hooks set after the thread started
            batch.swap(core->items);  // both keep their capacity
            core->hasItems.store(false, std::memory_order_relaxed);
            core->running = true;
            lk.unlock();
            for (auto& item : batch) {
                if (item.slot) {
                    SyncSlot& s = *item.slot;
                    {
                        std::lock_guard sl(s.m);
                        s.go = true;
                    }
                    s.cv.notify_all();
                    std::unique_lock sl(s.m);
                    s.cv.wait(sl, [&] { return s.done; });
                } else {
                    FrameScope scope(this);
                    item.fn();
                    item.fn = nullptr;  // release captures inside the queue
                }
            }
            batch.clear();
            lk.lock();
            core->running = false;
            if (core->items.empty()) {
                auto last = std::move(core->keepAlive);
                lk.unlock();
                last.reset();  // may destroy the queue object
                lk.lock();
                if (core->stopping && core->items.empty()) return;
            }
        }
    }

    static void spinForItems(Core& core) {
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
        for (int i = 1;; ++i) {
            if (core.hasItems.load(std::memory_order_acquire)) return;
            cpuRelax();
            if ((i & 63) == 0 && std::chrono::steady_clock::now() > until) return;
        }
    }

    std::shared_ptr<Core> core_;
};

// ---- Global concurrent pool ---------------------------------------------

class Pool {
  public:
    static constexpr int kMaxThreads = 64;

    void push(int priority, DispatchQueue* queue, Task task) {
        bool spawn = false;
        {
            std::lock_guard lk(m_);
            jobs_[priority].push_back(Job{std::move(task), queue});
            ++pending_;
            if (pending_ > idle_ && threads_ < kMaxThreads) {
                ++threads_;
                spawn = true;
            }
        }
        if (spawn) std::thread([this] { work(); }).detach();
        cv_.notify_one();
    }

  private:
    struct Job {
        Task fn;
        DispatchQueue* queue;
    };

    void work() {
        threadDidStart();
        setCurrentThreadName("tessaro.pool");
        std::unique_lock lk(m_);
        for (;;) {
            while (pending_ == 0) {
                ++idle_;
                cv_.wait(lk);
                --idle_;
            }
            for (auto& q : jobs_) {
                if (q.empty()) continue;
                Job job = std::move(q.front());
                q.pop_front();
                --pending_;
                lk.unlock();
                threadDidStart();  // hooks set after the thread started
                {
                    FrameScope scope(job.queue);
                    job.fn();
                    job.fn = nullptr;
                }
                lk.lock();
                break;
            }
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Job> jobs_[4];
    int pending_ = 0;
    int idle_ = 0;
    int threads_ = 0;
};

Pool& pool() {
    static Pool* p = new Pool;  // never destroyed: its threads outlive static destruction
    return *p;
}

class GlobalQueue final : public DispatchQueue {
  public:
    GlobalQueue(std::string label, int priority)
        : DispatchQueue(std::move(label), false), priority_(priority) {}
    void async(Task task) override { pool().push(priority_, this, std::move(task)); }
    void sync(const Task& task) override { runAsCurrent(task); }

  private:
    int priority_;
};

// ---- Main queue ------------------------------------------------------------

bool onMainThread() {
    return currentThreadId() == static_cast<std::uint32_t>(getpid());
}

class MainQueue final : public DispatchQueue {
  public:
    MainQueue() : DispatchQueue("tessaro.main-thread", true) {}

    void async(Task task) override {
        std::unique_lock lk(m_);
        if (!poster_) {
            pending_.push_back(std::move(task));
            return;
        }
        auto poster = poster_;
        lk.unlock();
        (*poster)(wrap(std::move(task)));
    }

    void sync(const Task& task) override {
        if (isCurrent() || onMainThread()) {
            runAsCurrent(task);
            return;
        }
        DispatchSemaphore done;
        async([&] {
            task();
            done.signal();
        });
        done.wait();
    }

    void setPoster(std::function<void(Task)> poster) {
        std::deque<Task> waiting;
        {
            std::lock_guard lk(m_);
            poster_ =
                poster ? std::make_shared<std::function<void(Task)>>(std::move(poster)) : nullptr;
            if (poster_) waiting.swap(pending_);
        }
        for (auto& t : waiting) (*poster_)(wrap(std::move(t)));
    }

    int pump() {
        int n = 0;
        for (;;) {
            Task t;
            {
                std::lock_guard lk(m_);
                if (pending_.empty()) return n;
                t = std::move(pending_.front());
                pending_.pop_front();
            }
            runAsCurrent(t);
            ++n;
        }
    }

  private:
    Task wrap(Task task) {
        return [this, task = std::move(task)] { runAsCurrent(task); };
    }

    std::mutex m_;
    std::deque<Task> pending_;
    std::shared_ptr<std::function<void(Task)>> poster_;
};

MainQueue& mainQueueImpl() {
    static auto* q = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
    return **q;
}

}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::serial(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

DispatchQueuePtr globalQueue(QueuePriority priority) {
    static auto* queues = new std::vector<DispatchQueuePtr>{
        std::make_shared<GlobalQueue>("tessaro.global.high", 0),
        std::make_shared<GlobalQueue>("tessaro.global.default", 1),
        std::make_shared<GlobalQueue>("tessaro.global.low", 2),
        std::make_shared<GlobalQueue>("tessaro.global.background", 3),
    };
    return (*queues)[static_cast<int>(priority)];
}

int processorCount() {
    long n = sysconf(_SC_NPROCESSORS_CONF);
    return n > 0 ? static_cast<int>(n) : 1;
}

DispatchQueuePtr mainQueue() {
    mainQueueImpl();
    static auto* q = new DispatchQueuePtr(mainQueueImpl().shared_from_this());
    return *q;
}

void setMainQueuePoster(std::function<void(Task)> poster) {
    mainQueueImpl().setPoster(std::move(poster));
}

int pumpMainQueue() {
    return mainQueueImpl().pump();
}

// ---- Groups ----------------------------------------------------------------

struct DispatchGroup::State {
    std::mutex m;
    std::condition_variable cv;
    long count = 0;
    std::vector<std::pair<DispatchQueuePtr, Task>> notifies;
};

DispatchGroup::DispatchGroup() : s_(std::make_shared<State>()) {}

void DispatchGroup::enter() {
    std::lock_guard lk(s_->m);
    ++s_->count;
}

void DispatchGroup::leave() {
    std::vector<std::pair<DispatchQueuePtr, Task>> due;
    {
        std::lock_guard lk(s_->m);
        if (--s_->count > 0) return;
        s_->count = 0;
        due.swap(s_->notifies);
        s_->cv.notify_all();  // under the lock: a waiter may free the group on return
    }
    for (auto& [q, t] : due) q->async(std::move(t));
}

void DispatchGroup::async(const DispatchQueuePtr& queue, Task task) {
    enter();
    queue->async([g = *this, task = std::move(task)]() mutable {
        task();
        task = nullptr;
        g.leave();
    });
}

void DispatchGroup::wait() const {
    std::unique_lock lk(s_->m);
    s_->cv.wait(lk, [&] { return s_->count == 0; });
}

bool DispatchGroup::waitFor(std::chrono::nanoseconds timeout) const {
    std::unique_lock lk(s_->m);
    return s_->cv.wait_for(lk, timeout, [&] { return s_->count == 0; });
}

void DispatchGroup::notify(const DispatchQueuePtr& queue, Task task) {
    {
        std::lock_guard lk(s_->m);
        if (s_->count > 0) {
            s_->notifies.emplace_back(queue, std::move(task));
            return;
        }
    }
    queue->async(std::move(task));
}

// ---- Semaphores ------------------------------------------------------------
// The count lives in an atomic so that an uncontended wait or signal takes
// no lock; only a wait that has to block, and the signal that wakes it, do.

struct DispatchSemaphore::State {
    std::atomic<long> value;
    std::mutex m;
    std::condition_variable cv;
    long wakeups = 0;  // signals owed to blocked waiters
    explicit State(long v) : value(v) {}
};

DispatchSemaphore::DispatchSemaphore(long initial) : s_(std::make_shared<State>(initial)) {}

void DispatchSemaphore::wait() {
    if (tryWait()) return;  // the common case reads no clock
    // A count that is about to come back (a producer ahead of a busy
    // consumer) is worth a short spin rather than a sleep and a wake-up.
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
    for (int i = 1;; ++i) {
        long v = s_->value.load(std::memory_order_relaxed);
        if (v > 0) {
            if (s_->value.compare_exchange_weak(v, v - 1, std::memory_order_acquire)) return;
            continue;
        }
        cpuRelax();
        if ((i & 63) == 0 && std::chrono::steady_clock::now() > until) break;
    }
    if (s_->value.fetch_sub(1, std::memory_order_acquire) > 0) return;
    std::unique_lock lk(s_->m);
    s_->cv.wait(lk, [&] { return s_->wakeups > 0; });
    --s_->wakeups;
}

bool DispatchSemaphore::waitFor(std::chrono::nanoseconds timeout) {
    if (s_->value.fetch_sub(1, std::memory_order_acquire) > 0) return true;
    std::unique_lock lk(s_->m);
    if (s_->cv.wait_for(lk, timeout, [&] { return s_->wakeups > 0; })) {
        --s_->wakeups;
        return true;
    }
    // Give our place back unless a signal meant for us is already on its way.
    long v = s_->value.load();
    while (v < 0) {
        if (s_->value.compare_exchange_weak(v, v + 1)) return false;
    }
    s_->cv.wait(lk, [&] { return s_->wakeups > 0; });
    --s_->wakeups;
    return true;
}

bool DispatchSemaphore::tryWait() {
    long v = s_->value.load();
    while (v > 0) {
        if (s_->value.compare_exchange_weak(v, v - 1, std::memory_order_acquire)) return true;
    }
    return false;
}

void DispatchSemaphore::signal() {
    signal(1);
}

void DispatchSemaphore::signal(long count) {
    if (count <= 0) return;
    long before = s_->value.fetch_add(count, std::memory_order_release);
    if (before >= 0) return;
    long wake = std::min(count, -before);
    // Notified under the lock: a woken waiter may free the semaphore as soon
    // as it returns.
    std::lock_guard lk(s_->m);
    s_->wakeups += wake;
    if (wake == 1)
        s_->cv.notify_one();
    else
        s_->cv.notify_all();
}

// ---- System clock ----------------------------------------------------------

namespace {

class SystemClock final : public Clock {
  public:
    time_point now() const override { return std::chrono::system_clock::now(); }

    Token schedule(time_point when, Task fire) override {
        std::lock_guard lk(m_);
        Token t = ++next_;
        entries_.emplace(t, Entry{when, std::move(fire)});
        byTime_.emplace(when, t);
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        cv_.notify_all();
        return t;
    }

    void cancel(Token token) override {
        std::unique_lock lk(m_);
        auto it = entries_.find(token);
        if (it != entries_.end()) {
            auto range = byTime_.equal_range(it->second.when);
            for (auto r = range.first; r != range.second; ++r)
                if (r->second == token) {
                    byTime_.erase(r);
                    break;
                }
            entries_.erase(it);
            return;
        }
        if (std::this_thread::get_id() != thread_) done_.wait(lk, [&] { return firing_ != token; });
    }

  private:
    struct Entry {
        time_point when;
        Task fire;
    };

    void run() {
        threadDidStart();
        setCurrentThreadName("tessaro.timers");
        std::unique_lock lk(m_);
        thread_ = std::this_thread::get_id();
        for (;;) {
            if (byTime_.empty()) {
                cv_.wait(lk);
                continue;
            }
            auto first = byTime_.begin();
            if (time_point when = first->first; when > now()) {
                cv_.wait_until(lk, when);  // a copy: cancel may erase the entry meanwhile
                continue;
            }
            Token t = first->second;
            byTime_.erase(first);
            auto it = entries_.find(t);
            Task fire = std::move(it->second.fire);
            entries_.erase(it);
            firing_ = t;
            lk.unlock();
            fire();
            fire = nullptr;
            lk.lock();
            firing_ = 0;
            done_.notify_all();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::condition_variable done_;
    std::map<Token, Entry> entries_;
    std::multimap<time_point, Token> byTime_;
    Token next_ = 0;
    Token firing_ = 0;
    bool started_ = false;
    std::thread::id thread_;
};

}  // namespace

Clock& systemClock() {
    static auto* c = new SystemClock;
    return *c;
}

// ---- Timers ----------------------------------------------------------------

struct DispatchTimer::State : std::enable_shared_from_this<DispatchTimer::State> {
    std::mutex m;
    DispatchQueuePtr queue;
    Clock* clock;
    Task handler;
    bool cancelled = false;
    std::uint64_t generation = 0;
    Clock::Token token = 0;
    Clock::time_point deadline;
    Clock::duration interval{};

    State(DispatchQueuePtr q, Clock* c) : queue(std::move(q)), clock(c) {}

    // Arms the clock for `when` of schedule generation `gen`.
    void arm(std::uint64_t gen, Clock::time_point when) {
        std::weak_ptr<State> weak = shared_from_this();
        Clock::Token t = clock->schedule(when, [weak, gen] {
            if (auto s = weak.lock()) s->fired(gen);
        });
        std::unique_lock lk(m);
        if (cancelled || gen != generation) {
            lk.unlock();
            clock->cancel(t);
            return;
        }
        token = t;
    }

    void fired(std::uint64_t gen) {
        DispatchQueuePtr q;
        {
            std::lock_guard lk(m);
            if (cancelled || gen != generation) return;
            token = 0;
            q = queue;
        }
        q->async([s = shared_from_this(), gen] { s->runHandler(gen); });
    }

    void runHandler(std::uint64_t gen) {
        Task h;
        bool repeat = false;
        Clock::time_point next;
        {
            std::lock_guard lk(m);
            if (cancelled || gen != generation) return;
            h = handler;
            if (interval > Clock::duration::zero()) {
                repeat = true;
                next = deadline + interval;
                auto now = clock->now();
                if (next <= now) next += ((now - next) / interval + 1) * interval;
                deadline = next;
            }
        }
        if (repeat) arm(gen, next);
        if (h) h();
    }
};

DispatchTimer::DispatchTimer(std::shared_ptr<State> s) : s_(std::move(s)) {}

std::shared_ptr<DispatchTimer> DispatchTimer::create(DispatchQueuePtr queue, Clock& clock) {
    return std::shared_ptr<DispatchTimer>(
        new DispatchTimer(std::make_shared<State>(std::move(queue), &clock)));
}

DispatchTimer::~DispatchTimer() {
    cancel();
}

void DispatchTimer::setHandler(Task handler) {
    std::lock_guard lk(s_->m);
    if (!s_->cancelled) s_->handler = std::move(handler);
}

void DispatchTimer::scheduleAt(Clock::time_point start, Clock::duration interval) {
    Clock::Token old;
    std::uint64_t gen;
    {
        std::lock_guard lk(s_->m);
        if (s_->cancelled) return;
        old = std::exchange(s_->token, 0);
        gen = ++s_->generation;
        s_->deadline = start;
        s_->interval = interval;
    }
    if (old) s_->clock->cancel(old);
    s_->arm(gen, start);
}

void DispatchTimer::scheduleAfter(Clock::duration delay, Clock::duration interval) {
    scheduleAt(s_->clock->now() + delay, interval);
}

void DispatchTimer::cancel() {
    Clock::Token old;
    Task handler;
    {
        std::lock_guard lk(s_->m);
        if (s_->cancelled) return;
        s_->cancelled = true;
        old = std::exchange(s_->token, 0);
        handler = std::move(s_->handler);
    }
    if (old) s_->clock->cancel(old);
}

bool DispatchTimer::isCancelled() const {
    std::lock_guard lk(s_->m);
    return s_->cancelled;
}

Clock& DispatchTimer::clock() const {
    return *s_->clock;
}

void dispatchAfter(Clock::duration delay, const DispatchQueuePtr& queue, Task task, Clock& clock) {
    clock.schedule(clock.now() + delay,
                   [queue, task = std::move(task)]() mutable { queue->async(std::move(task)); });
}

// ---- Threads ---------------------------------------------------------------

namespace {
thread_local std::uint32_t tlsTid = 0;
thread_local bool tlsNameLoaded = false;
thread_local std::string tlsName;
}  // namespace

std::uint32_t currentThreadId() {
    if (!tlsTid) tlsTid = static_cast<std::uint32_t>(syscall(SYS_gettid));
    return tlsTid;
}

const std::string& currentThreadName() {
    if (!tlsNameLoaded) {
        char buf[64] = {};
        if (pthread_getname_np(pthread_self(), buf, sizeof buf) == 0) tlsName = buf;
        tlsNameLoaded = true;
    }
    return tlsName;
}

void setCurrentThreadName(std::string_view name) {
    tlsName.assign(name);
    tlsNameLoaded = true;
    std::string sys(name.substr(0, 15));
    pthread_setname_np(pthread_self(), sys.c_str());
}

}  // namespace platform

#pragma once
// Dispatch queues, groups, semaphores and timers on std::thread.
//
//   auto q = platform::DispatchQueue::serial("tessaro.something");
//   q->async([] { ... });                 // FIFO on the queue's own thread
//   q->sync([] { ... });                  // runs on the caller's thread once the
//                                         // queue reaches it; nothing else runs on q meanwhile
//   platform::globalQueue(platform::QueuePriority::Default)->async(...);   // concurrent pool
//   platform::mainQueue()->async(...);    // the main thread (see setMainQueuePoster)
//
// A queue is "current" for every task running on it, including a task that
// reached it through sync from another queue: the running thread keeps the
// chain of queues it entered, and isCurrent, currentLabel and getSpecific
// look through that whole chain (innermost first). A sync onto a queue that
// is already current runs the task at once instead of deadlocking.
//
// Queues are owned through shared_ptr; a queue with pending tasks keeps
// itself alive until they have run.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

using Task = std::function<void()>;

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  public:
    virtual ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // A serial queue with its own worker thread (started on the first task;
    // the thread carries the label, cut to 15 bytes, as its name).
    static std::shared_ptr<DispatchQueue> serial(std::string label);

    const std::string& label() const { return label_; }
    bool isSerial() const { return serial_; }

    virtual void async(Task task) = 0;
    // Returns once `task` has run. On a serial queue it runs after every task
    // queued before it and exclusively; on a concurrent queue at once.
    virtual void sync(const Task& task) = 0;

    // True when the running thread is inside a task of this queue.
    bool isCurrent() const;

    // Queue-specific values (set before tasks use them, or from the queue).
    void setSpecific(const void* key, void* value);
    void* specific(const void* key) const;

    // The innermost queue of the running thread, or nullptr.
    static DispatchQueue* current();
    // Its label; "" outside every queue.
    static const char* currentLabel();
    // The value for `key` of the innermost queue of the running thread that
    // carries one; nullptr when none does.
    static void* getSpecific(const void* key);

  protected:
    DispatchQueue(std::string label, bool serial);

    // Runs `task` on the calling thread with this queue marked current.
    void runAsCurrent(const Task& task);

  private:
    std::string label_;
    bool serial_;
    struct Specifics;
    std::unique_ptr<Specifics> specifics_;
};

using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

enum class QueuePriority { High, Default, Low, Background };

// The concurrent queues of one process-wide thread pool. Higher priorities
// are served first; the pool grows when every thread is busy (up to 64).
DispatchQueuePtr globalQueue(QueuePriority priority = QueuePriority::Default);

// Number of processors of the host (at least 1).
int processorCount();

// ---- Main queue ----------------------------------------------------------
// Tasks for the main thread. Until a poster is installed they wait until
// pumpMainQueue() runs them on the calling thread (tests do this). The Qt
// layer installs a poster that hands each task to its event loop; tasks that
// waited are handed over at once.
DispatchQueuePtr mainQueue();
void setMainQueuePoster(std::function<void(Task)> poster);
// Runs every waiting main-queue task, including those queued meanwhile, on
// the calling thread; returns how many ran.
int pumpMainQueue();

// ---- Groups ----------------------------------------------------------------
// A counter of outstanding work. Copies share the same group.
class DispatchGroup {
  public:
    DispatchGroup();
    void enter();
    void leave();
    void async(const DispatchQueuePtr& queue, Task task);
    void wait() const;
    // False when the time ran out first.
    bool waitFor(std::chrono::nanoseconds timeout) const;
    // `task` goes to `queue` once the group is empty (at once when it is).
    void notify(const DispatchQueuePtr& queue, Task task);

  private:
    struct State;
    std::shared_ptr<State> s_;
};

// ---- Semaphores ------------------------------------------------------------
// A counting semaphore. Copies share the same count.
class DispatchSemaphore {
  public:
    explicit DispatchSemaphore(long initial = 0);
    void wait();
    // False when the time ran out before the count could be taken.
    bool waitFor(std::chrono::nanoseconds timeout);
    // Non-blocking attempt.
    bool tryWait();
    void signal();
    // `count` signals at once.
    void signal(long count);

  private:
    struct State;
    std::shared_ptr<State> s_;
};

// ---- Clocks and timers ----------------------------------------------------
// Wall-clock time and a scheduler of wake-ups, injectable so that tests can
// move time by hand (tests/support/ManualClock.h).
class Clock {
  public:
    using time_point = std::chrono::system_clock::time_point;
    using duration = std::chrono::system_clock::duration;
    using Token = std::uint64_t;

    virtual ~Clock() = default;
    virtual time_point now() const = 0;
    // Calls `fire` once, on a thread of the clock's choosing, when now()
    // reaches `when` (soon when it already has). The token cancels it.
    virtual Token schedule(time_point when, Task fire) = 0;
    // After cancel returns, the wake-up has run or never will.
    virtual void cancel(Token token) = 0;
};

// The real clock: system_clock with one wake-up thread.
Clock& systemClock();

// A one-shot or repeating timer whose handler runs on `queue`.
class DispatchTimer {
  public:
    static std::shared_ptr<DispatchTimer> create(DispatchQueuePtr queue,
                                                 Clock& clock = systemClock());
    ~DispatchTimer();
    DispatchTimer(const DispatchTimer&) = delete;
    DispatchTimer& operator=(const DispatchTimer&) = delete;

    void setHandler(Task handler);
    // Fires at `start`, then every `interval` when it is above zero. Missed
    // periods are folded into one firing. Replaces any earlier schedule.
    void scheduleAt(Clock::time_point start, Clock::duration interval = Clock::duration::zero());
    void scheduleAfter(Clock::duration delay, Clock::duration interval = Clock::duration::zero());
    // No firing starts after cancel; the handler is released.
    void cancel();
    bool isCancelled() const;
    Clock& clock() const;

  private:
    struct State;
    explicit DispatchTimer(std::shared_ptr<State> s);
    std::shared_ptr<State> s_;
};

using DispatchTimerPtr = std::shared_ptr<DispatchTimer>;

// Runs `task` on `queue` after `delay` (one-shot timer that owns itself).
void dispatchAfter(Clock::duration delay, const DispatchQueuePtr& queue, Task task,
                   Clock& clock = systemClock());

// ---- Threads ---------------------------------------------------------------
// Kernel thread id of the running thread (cached).
std::uint32_t currentThreadId();
// Name of the running thread as last set through setCurrentThreadName or by
// the system ("" when none).
const std::string& currentThreadName();
void setCurrentThreadName(std::string_view name);

}  // namespace platform

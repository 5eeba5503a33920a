#include "folder/SectorWorkers.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "Crypto/StackScrub.h"
#include "platform/core/ThreadHooks.h"

namespace sector_workers {

namespace {

// Below this a request is not worth handing to other threads.
constexpr size_t kMinParallel = 2u << 20;

class Pool {
  public:
    static Pool& shared() {
        // Never destroyed: workers may still be parked when the process exits.
        static Pool* pool = new Pool();
        return *pool;
    }

    size_t size() const { return threads_.size(); }

    void post(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
    }

  private:
    Pool() {
        unsigned hw = std::thread::hardware_concurrency();
        size_t n = std::clamp<size_t>(hw ? hw - 1 : 1, 1, 3);
        for (size_t i = 0; i < n; ++i)
            threads_.emplace_back([this] {
                platform::threadDidStart();
                run();
            });
        for (auto& t : threads_) t.detach();
    }

    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return !jobs_.empty(); });
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
};

}  // namespace

bool parallelFor(size_t n, size_t grain, const std::function<bool(size_t, size_t)>& fn) {
    if (n < kMinParallel) return fn(0, n);
    Pool& pool = Pool::shared();
    const size_t parts = pool.size() + 1;
    size_t step = (n + parts - 1) / parts;
    step = (step + grain - 1) / grain * grain;

    struct Join {
        std::mutex m;
        std::condition_variable cv;
        size_t pending = 0;
        bool ok = true;
    };
    auto join = std::make_shared<Join>();
    std::vector<std::pair<size_t, size_t>> pieces;
    for (size_t b = 0; b < n; b += step) pieces.emplace_back(b, std::min(n, b + step));
    join->pending = pieces.size() - 1;
    for (size_t i = 1; i < pieces.size(); ++i) {
        auto [b, e] = pieces[i];
        pool.post([join, &fn, b = b, e = e] {
            bool ok = fn(b, e);
            // The piece ran the cipher: its spilled round keys must not stay
            // in this thread's registers and stack once the caller goes on.
            poi::scrubStack();
            std::lock_guard<std::mutex> lock(join->m);
            if (!ok) join->ok = false;
            if (--join->pending == 0) join->cv.notify_all();
        });
    }
    bool ok = fn(pieces[0].first, pieces[0].second);
    std::unique_lock<std::mutex> lock(join->m);
    join->cv.wait(lock, [&] { return join->pending == 0; });
    return ok && join->ok;
}

}  // namespace sector_workers

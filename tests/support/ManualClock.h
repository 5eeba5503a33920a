#pragma once
// A clock that moves only when the test says so. Wake-ups that come due run
// on the thread that calls advance().

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/core/Dispatch.h"

namespace testsupport {

class ManualClock final : public platform::Clock {
  public:
    explicit ManualClock(time_point start = time_point(std::chrono::seconds(1'400'000'000)))
        : now_(start) {}

    time_point now() const override {
        std::lock_guard lk(m_);
        return now_;
    }

    Token schedule(time_point when, platform::Task fire) override {
        std::lock_guard lk(m_);
        Token t = ++next_;
        pending_.emplace(t, Entry{when, std::move(fire)});
        return t;
    }

    void cancel(Token token) override {
        std::lock_guard lk(m_);
        pending_.erase(token);
    }

    // Jumps `d` ahead, then runs every wake-up that is due, earliest first.
    // Anything scheduled meanwhile sees the new time already.
    void advance(duration d) {
        time_point target;
        {
            std::lock_guard lk(m_);
            now_ += d;
            target = now_;
        }
        for (;;) {
            platform::Task fire;
            {
                std::lock_guard lk(m_);
                auto due = pending_.end();
                for (auto it = pending_.begin(); it != pending_.end(); ++it)
                    if (it->second.when <= target &&
                        (due == pending_.end() || it->second.when < due->second.when))
                        due = it;
                if (due == pending_.end()) return;
                fire = std::move(due->second.fire);
                pending_.erase(due);
            }
            fire();
        }
    }

    void set(time_point t) {
        std::lock_guard lk(m_);
        now_ = t;
    }

    std::size_t pendingCount() const {
        std::lock_guard lk(m_);
        return pending_.size();
    }

  private:
    struct Entry {
        time_point when;
        platform::Task fire;
    };
    mutable std::mutex m_;
    time_point now_;
    std::map<Token, Entry> pending_;
    Token next_ = 0;
};

}  // namespace testsupport

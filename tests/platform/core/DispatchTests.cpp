#include "platform/core/Dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/ManualClock.h"

using namespace std::chrono_literals;
using platform::DispatchGroup;
using platform::DispatchQueue;
using platform::DispatchSemaphore;
using platform::DispatchTimer;

namespace {

// Records strings from any thread.
struct Journal {
    std::mutex m;
    std::vector<std::string> lines;
    void add(std::string s) {
        std::lock_guard lk(m);
        lines.push_back(std::move(s));
    }
    std::vector<std::string> get() {
        std::lock_guard lk(m);
        return lines;
    }
};

}  // namespace

TEST(SerialQueue, RunsInOrderWithLabelAndIsCurrentOnItsThread) {
    auto q = DispatchQueue::serial("tessaro.test.serial");
    EXPECT_FALSE(q->isCurrent());
    EXPECT_STREQ(DispatchQueue::currentLabel(), "");

    std::vector<int> seen;
    std::thread::id worker;
    for (int i = 0; i < 1000; ++i)
        q->async([&, i] {
            seen.push_back(i);
            worker = std::this_thread::get_id();
        });
    std::string label;
    bool current = false;
    q->sync([&] {  // after every earlier task, exclusive
        label = DispatchQueue::currentLabel();
        current = q->isCurrent() && DispatchQueue::current() == q.get();
    });
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
    EXPECT_NE(worker, std::this_thread::get_id());
    EXPECT_EQ(label, "tessaro.test.serial");
    EXPECT_TRUE(current);
    EXPECT_FALSE(q->isCurrent());
}

TEST(SerialQueue, NestedSyncSeesWholeChainAndReentryDoesNotDeadlock) {
    auto a = DispatchQueue::serial("a");
    auto b = DispatchQueue::serial("b");
    static const int keyA = 0, keyB = 0;
    int va = 1, vb = 2;
    a->setSpecific(&keyA, &va);
    b->setSpecific(&keyB, &vb);
    EXPECT_EQ(a->specific(&keyA), &va);
    EXPECT_EQ(DispatchQueue::getSpecific(&keyA), nullptr);

    std::vector<std::string> facts;
    a->async([&] {
        b->sync([&] {
            facts.push_back(DispatchQueue::currentLabel());
            facts.push_back(a->isCurrent() && b->isCurrent() ? "both" : "not both");
            facts.push_back(DispatchQueue::getSpecific(&keyA) == &va ? "A found" : "A missing");
            facts.push_back(DispatchQueue::getSpecific(&keyB) == &vb ? "B found" : "B missing");
            a->sync([&] { facts.push_back("re-entered a"); });
        });
    });
    a->sync([] {});
    EXPECT_EQ(facts, (std::vector<std::string>{"b", "both", "A found", "B found", "re-entered a"}));
}

TEST(SerialQueue, ContendedSyncWaitsForEarlierTasks) {
    auto q = DispatchQueue::serial("contended");
    DispatchSemaphore gate(0);
    std::atomic<int> ran{0};
    q->async([&] {
        gate.wait();
        ran = 1;
    });
    std::thread t([&] {
        std::this_thread::sleep_for(20ms);
        gate.signal();
    });
    int seen = -1;
    q->sync([&] { seen = ran.load(); });
    t.join();
    EXPECT_EQ(seen, 1);
}

TEST(SerialQueue, PendingTasksRunAfterLastReferenceGoes) {
    std::atomic<int> count{0};
    DispatchSemaphore done(0);
    {
        auto q = DispatchQueue::serial("short-lived");
        for (int i = 0; i < 100; ++i) q->async([&] { ++count; });
        // The last reference is dropped inside the queue's own task.
        q->async([&, q] { done.signal(); });
    }
    done.wait();
    EXPECT_EQ(count.load(), 100);
}

TEST(GlobalQueue, RunsTasksConcurrently) {
    auto g = platform::globalQueue();
    EXPECT_FALSE(g->isSerial());
    // Each task waits for the other: only a concurrent queue finishes.
    DispatchSemaphore first(0), second(0);
    DispatchGroup group;
    std::string label;
    group.async(g, [&] {
        label = DispatchQueue::currentLabel();
        first.signal();
        second.wait();
    });
    group.async(g, [&] {
        first.wait();
        second.signal();
    });
    ASSERT_TRUE(group.waitFor(10s));
    EXPECT_EQ(label, "tessaro.global.default");
    EXPECT_NE(platform::globalQueue(platform::QueuePriority::High), g);
}

TEST(DispatchGroup, WaitNotifyAndTimeout) {
    DispatchGroup group;
    EXPECT_TRUE(group.waitFor(0ns));  // empty group

    auto q = DispatchQueue::serial("group");
    std::atomic<int> done{0};
    for (int i = 0; i < 50; ++i) group.async(platform::globalQueue(), [&] { ++done; });
    int atNotify = -1;
    DispatchSemaphore notified(0);
    group.notify(q, [&] {
        atNotify = done.load();
        notified.signal();
    });
    group.wait();
    EXPECT_EQ(done.load(), 50);
    ASSERT_TRUE(notified.waitFor(10s));
    EXPECT_EQ(atNotify, 50);

    group.enter();
    EXPECT_FALSE(group.waitFor(10ms));
    group.leave();
    EXPECT_TRUE(group.waitFor(0ns));
}

TEST(DispatchSemaphore, CountsWaitersAndTimeouts) {
    DispatchSemaphore s(2);
    EXPECT_TRUE(s.tryWait());
    EXPECT_TRUE(s.waitFor(0ns));
    EXPECT_FALSE(s.tryWait());
    EXPECT_FALSE(s.waitFor(5ms));  // a timed-out wait gives its place back
    s.signal();
    EXPECT_TRUE(s.tryWait());

    std::atomic<int> woke{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            s.wait();
            ++woke;
        });
    for (int i = 0; i < 4; ++i) s.signal();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woke.load(), 4);
    EXPECT_FALSE(s.tryWait());
}

TEST(DispatchTimer, OneShotAndRepeatingOnManualClock) {
    testsupport::ManualClock clock;
    auto q = DispatchQueue::serial("timers");
    Journal j;
    auto once = DispatchTimer::create(q, clock);
    once->setHandler([&] { j.add(std::string("once on ") + DispatchQueue::currentLabel()); });
    once->scheduleAfter(10s);
    auto every = DispatchTimer::create(q, clock);
    every->setHandler([&] { j.add("tick"); });
    every->scheduleAfter(3s, 3s);

    auto step = [&](platform::Clock::duration d) {
        clock.advance(d);
        q->sync([] {});  // let fired handlers (and re-arming) run
    };
    step(2s);
    EXPECT_TRUE(j.get().empty());
    step(1s);  // t=3
    step(3s);  // t=6
    step(3s);  // t=9
    step(1s);  // t=10
    EXPECT_EQ(j.get(), (std::vector<std::string>{"tick", "tick", "tick", "once on timers"}));
    step(20s);  // several missed periods fire once
    EXPECT_EQ(j.get().size(), 5u);
    every->cancel();
    EXPECT_TRUE(every->isCancelled());
    step(30s);
    EXPECT_EQ(j.get().size(), 5u);
    EXPECT_EQ(clock.pendingCount(), 0u);
}

TEST(DispatchTimer, RescheduleReplacesAndDestructionCancels) {
    testsupport::ManualClock clock;
    auto q = DispatchQueue::serial("timers2");
    std::atomic<int> fired{0};
    auto t = DispatchTimer::create(q, clock);
    t->setHandler([&] { ++fired; });
    t->scheduleAfter(5s);
    t->scheduleAfter(50s);  // replaces the first
    clock.advance(10s);
    q->sync([] {});
    EXPECT_EQ(fired.load(), 0);
    clock.advance(40s);
    q->sync([] {});
    EXPECT_EQ(fired.load(), 1);

    t->scheduleAfter(1s);
    t.reset();
    clock.advance(5s);
    q->sync([] {});
    EXPECT_EQ(fired.load(), 1);
}

TEST(DispatchTimer, SystemClockFires) {
    auto q = DispatchQueue::serial("real-timer");
    DispatchSemaphore done(0);
    platform::dispatchAfter(1ms, q, [&] { done.signal(); });
    EXPECT_TRUE(done.waitFor(10s));
}

TEST(MainQueue, PumpedInOrderThenHandedToPoster) {
    auto mq = platform::mainQueue();
    Journal j;
    mq->async([&] { j.add(mq->isCurrent() ? "1 current" : "1 not current"); });
    std::thread other([&] { mq->sync([&] { j.add("2 from other thread"); }); });
    while (j.get().size() < 2) {  // the other thread waits for our pump
        platform::pumpMainQueue();
        std::this_thread::sleep_for(1ms);
    }
    other.join();
    platform::pumpMainQueue();
    EXPECT_EQ(j.get(), (std::vector<std::string>{"1 current", "2 from other thread"}));

    mq->async([&] { j.add("3 waited"); });
    std::vector<platform::Task> posted;
    platform::setMainQueuePoster([&](platform::Task t) { posted.push_back(std::move(t)); });
    mq->async([&] { j.add("4 posted"); });
    EXPECT_EQ(platform::pumpMainQueue(), 0);
    ASSERT_EQ(posted.size(), 2u);
    for (auto& t : posted) t();
    platform::setMainQueuePoster(nullptr);
    EXPECT_EQ(j.get().back(), "4 posted");
    EXPECT_EQ(j.get().size(), 4u);
}

#include "platform/core/ThreadHooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/core/Dispatch.h"

namespace {

thread_local int startsOnThisThread = 0;
std::atomic<int> finishes{0};

void countStart() {
    ++startsOnThisThread;
}
void countFinish() {
    finishes.fetch_add(1);
}

// What a task sees of the hooks on the thread that runs it.
int startsWhereItRuns(const platform::DispatchQueuePtr& queue) {
    std::atomic<int> seen{-1};
    platform::DispatchGroup group;
    group.async(queue, [&seen] { seen = startsOnThisThread; });
    group.wait();
    return seen.load();
}

}  // namespace

TEST(ThreadHooks, EveryProjectThreadRunsTheStartHookOnceAndTheFinishHookAtItsEnd) {
    auto pool = platform::globalQueue(platform::QueuePriority::Default);
    auto early = platform::DispatchQueue::serial("com.tessaro.hooks-early");
    startsWhereItRuns(pool);  // threads that exist before the hooks
    startsWhereItRuns(early);

    platform::setThreadLifecycleHooks(countStart, countFinish);
    auto serial = platform::DispatchQueue::serial("com.tessaro.hooks");
    EXPECT_EQ(startsWhereItRuns(serial), 1);
    // Earlier threads take the hooks at their next task.
    EXPECT_EQ(startsWhereItRuns(early), 1);
    EXPECT_EQ(startsWhereItRuns(pool), 1);

    const int finishedBefore = finishes.load();
    int starts = 0;
    std::thread([&starts] {
        platform::threadDidStart();
        platform::threadDidStart();
        starts = startsOnThisThread;
    }).join();
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(finishes.load(), finishedBefore + 1);
    platform::setThreadLifecycleHooks(nullptr, nullptr);
}

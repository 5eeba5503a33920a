#include "platform/core/ThreadHooks.h"

#include <atomic>

namespace platform {

namespace {

std::atomic<ThreadHook> startHook{nullptr};
std::atomic<ThreadHook> finishHook{nullptr};
// Bumped on every change, so threads that ran older hooks run the new ones.
std::atomic<unsigned> hookGeneration{0};

struct ThreadState {
    unsigned generation = 0;
    ThreadHook finish = nullptr;
    ~ThreadState() {
        if (finish) finish();
    }
};

thread_local ThreadState threadState;

}  // namespace

void setThreadLifecycleHooks(ThreadHook onStart, ThreadHook onFinish) {
    startHook.store(onStart);
    finishHook.store(onFinish);
    hookGeneration.fetch_add(1);
}

void threadDidStart() {
    const unsigned generation = hookGeneration.load(std::memory_order_acquire);
    ThreadState& state = threadState;
    if (state.generation == generation) return;
    state.generation = generation;
    if (ThreadHook start = startHook.load()) start();
    state.finish = finishHook.load();
}

}  // namespace platform

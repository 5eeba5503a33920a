#pragma once
// Hooks that every thread the project starts runs: dispatch queues, the
// pool, timers, FUSE loops, the web transport and the application's own
// workers call threadDidStart() first thing. The crash reporter installs
// hooks that give each thread its own alternate signal stack, so a stack
// overflow on any thread still reaches the crash handler.
//
//   std::thread([] {
//       platform::threadDidStart();
//       ...
//   });

namespace platform {

using ThreadHook = void (*)();

// `onStart` runs on each thread that calls threadDidStart() from now on
// (and on threads that started earlier, the next time they pass a
// checkpoint); `onFinish` runs on that thread when it ends. Either may be
// null. Hooks must be idempotent: a thread may run `onStart` more than once.
void setThreadLifecycleHooks(ThreadHook onStart, ThreadHook onFinish);

// Runs the start hook on the calling thread unless it already ran the
// current one; cheap enough to call before every task (a checkpoint).
void threadDidStart();

}  // namespace platform

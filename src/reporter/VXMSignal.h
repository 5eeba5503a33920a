#pragma once
// Capture of fatal signals. The handler runs on its own alternate stack,
// writes the record once, puts back whatever handlers were there before and
// re-raises, so the process still ends by the signal it received.

#include <signal.h>

#include <cstddef>
#include <cstdint>

struct VXMFile;

inline constexpr int VXMFatalSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL,
                                          SIGSEGV, SIGSYS, SIGTRAP};
inline constexpr size_t VXMFatalSignalCount = sizeof(VXMFatalSignals) / sizeof(VXMFatalSignals[0]);
inline constexpr size_t VXMSignalStackSize = 131072;

struct VXMSignalRecord {
    struct sigaction previous[VXMFatalSignalCount];
    bool hasPrevious[VXMFatalSignalCount];
    stack_t previousStack;
    void* stack = nullptr;  // our own VXMSignalStackSize bytes
};

// The real-time signal that asks another thread for its registers.
int VXMSnapshotSignal();

// Installs the handlers and the record's alternate stack on the calling
// thread, and makes every thread the project starts from now on take a stack
// of its own (platform::setThreadLifecycleHooks).
bool VXMSignalInit(VXMSignalRecord* record);
// The thread hooks: the calling thread gets an alternate signal stack of
// VXMSignalStackSize bytes above a guard page unless it has one already
// (the application's own, or the record's); the release frees it again.
void VXMSignalInstallThreadStack();
void VXMSignalReleaseThreadStack();
// The top of the calling thread's stack as the hooks recorded it, 0 when
// they never ran on it (async-signal-safe): the unwinder's upper bound.
uint64_t VXMSignalThreadStackTop();
void VXMSignalHandler(int signal, siginfo_t* info, void* context);
bool VXMSignalSafeRemoveHandlers();
bool VXMSignalSafeInstallPreexistingHandlers(VXMSignalRecord* record);
void VXMSignalSafeWriteSignalInfo(const VXMSignalRecord* record, VXMFile* file,
                                  const siginfo_t* info, int savedErrno);
void VXMSignalSafeMarkSkipCrashHandler();
void VXMSignalCheckHandlers();

const char* VXMSignalName(int signal);
const char* VXMSignalCodeName(int signal, int code);

#pragma once
// The routine that turns a crash into a crash-time record: it stops every
// other thread, writes the 21 sections in order from the crash context, walks
// each thread's stack and lets the threads go again.

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "reporter/VXMUnwind.h"

struct VXMFile;
struct VXMMachExceptionReceived;

inline constexpr size_t VXMMaxThreads = 256;
inline constexpr size_t VXMQueueLabelLimit = 128;
inline constexpr size_t VXMThreadNameLimit = 64;

enum VXMThreadSlotState : int32_t {
    VXMThreadSlotFree = 0,
    VXMThreadSlotRequested = 1,  // asked for its registers
    VXMThreadSlotCaptured = 2,   // registers copied, the thread waits
};

// One thread as the snapshot sees it; filled by the thread itself from its
// snapshot-signal handler, or by the crashing thread for itself.
struct VXMThreadSlot {
    std::atomic<int32_t> tid{0};
    std::atomic<int32_t> state{VXMThreadSlotFree};
    bool hasState = false;
    VXMThreadState registers;
    uint64_t stackTop = 0;  // 0 when the thread never recorded it
    char queueLabel[VXMQueueLabelLimit] = {};
};

struct VXMThreadSnapshot {
    std::atomic<uint32_t> release{0};
    uint32_t count = 0;
    int32_t crashedIndex = -1;
    VXMThreadSlot slots[VXMMaxThreads];
};

// How long the crashing thread waits for the others to stop.
inline constexpr int VXMThreadSnapshotWaitMilliseconds = 250;

void VXMCrashHandler(const VXMMachExceptionReceived* machException, int savedErrno,
                     const siginfo_t* signalInfo, const ucontext_t* signalContext);

// Thread snapshot steps, also used by tests.
uint32_t VXMProcessListThreads(int32_t* tids, uint32_t capacity);
bool VXMProcessSuspendAllOtherThreads(VXMThreadSnapshot* snapshot, const ucontext_t* context);
void VXMProcessResumeAllOtherThreads(VXMThreadSnapshot* snapshot);
void VXMSnapshotSignalHandler(int signal, siginfo_t* info, void* context);
void VXMProcessWriteAllThreads(const VXMThreadSnapshot* snapshot, VXMFile* file);
void VXMProcessSafeWriteCrashedThreadState(const VXMThreadSnapshot* snapshot, bool writeRegisters,
                                           VXMFile* file);
void VXMProcessWriteStats(VXMFile* file);
void VXMProcessWriteThreadNames(const VXMThreadSnapshot* snapshot, VXMFile* file);
void VXMProcessWriteDispatchQueueNames(const VXMThreadSnapshot* snapshot, VXMFile* file);
void VXMProcessWriteRuntimeInfo(VXMFile* file);
// The name of thread `tid` of this process into `out` (VXMThreadNameLimit
// bytes); "" when it has none or it cannot be read.
void VXMProcessGetThreadName(int32_t tid, char* out);
// The label of the serial queue the calling thread runs, "" when none.
void VXMProcessGetCurrentQueueLabel(char* out, size_t size);

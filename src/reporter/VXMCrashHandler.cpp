#include "reporter/VXMCrashHandler.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/core/Dispatch.h"
#include "reporter/VXMContext.h"
#include "reporter/VXMFile.h"
#include "reporter/VXMSafe.h"

namespace {

int32_t currentTid() {
    return static_cast<int32_t>(syscall(SYS_gettid));
}

void sleepMilliseconds(long ms) {
    timespec t{0, ms * 1000000L};
    nanosleep(&t, nullptr);
}

// How long a stopped thread waits to be let go before it carries on alone.
constexpr int kStoppedThreadWaitMilliseconds = 10000;

// Appends the decimal form of `value` at `out`; returns the end.
char* appendDecimal(char* out, uint64_t value) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (n) *out++ = digits[--n];
    return out;
}

// Reads a small file whole into `buffer` (terminated); the length, or -1.
ssize_t readSmallFile(const char* path, char* buffer, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t used = 0;
    while (used + 1 < size) {
        ssize_t n = read(fd, buffer + used, size - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    buffer[used] = '\0';
    return static_cast<ssize_t>(used);
}

// The number after `key` in a "Key:   value kB" listing, times `scale`.
bool findField(const char* text, const char* key, uint64_t scale, uint64_t* out) {
    size_t keyLength = strlen(key);
    for (const char* line = text; line && *line;) {
        if (strncmp(line, key, keyLength) == 0) {
            const char* p = line + keyLength;
            while (*p == ' ' || *p == '\t') ++p;
            if (*p < '0' || *p > '9') return false;
            uint64_t value = 0;
            while (*p >= '0' && *p <= '9') value = value * 10 + static_cast<uint64_t>(*p++ - '0');
            *out = value * scale;
            return true;
        }
        line = strchr(line, '\n');
        if (line) ++line;
    }
    return false;
}

// Registers of the calling thread, for a crash that came without a context.
__attribute__((noinline)) bool captureOwnState(VXMThreadState* state) {
    ucontext_t own;
    if (getcontext(&own) != 0) return false;
    VXMThreadStateFromContext(state, &own);
    return true;
}

}  // namespace

uint32_t VXMProcessListThreads(int32_t* tids, uint32_t capacity) {
    int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    uint32_t count = 0;
    alignas(8) char buffer[2048];
    for (;;) {
        long n = syscall(SYS_getdents64, fd, buffer, sizeof(buffer));
        if (n <= 0) break;
        for (long offset = 0; offset < n;) {
            // struct linux_dirent64: ino, off, reclen, type, name
            auto* entry = reinterpret_cast<const char*>(buffer + offset);
            uint16_t length;
            memcpy(&length, entry + 16, sizeof(length));
            const char* name = entry + 19;
            if (name[0] >= '0' && name[0] <= '9' && count < capacity) {
                int32_t tid = 0;
                for (const char* p = name; *p >= '0' && *p <= '9'; ++p) tid = tid * 10 + (*p - '0');
                tids[count++] = tid;
            }
            offset += length;
        }
    }
    close(fd);
    return count;
}

void VXMProcessGetThreadName(int32_t tid, char* out) {
    out[0] = '\0';
    char path[64] = "/proc/self/task/";
    char* end = appendDecimal(path + strlen(path), static_cast<uint64_t>(tid));
    memcpy(end, "/comm", 6);
    ssize_t n = readSmallFile(path, out, VXMThreadNameLimit);
    if (n <= 0) {
        out[0] = '\0';
        return;
    }
    if (out[n - 1] == '\n') out[n - 1] = '\0';
}

void VXMSnapshotSignalHandler(int, siginfo_t*, void* context) {
    const int savedErrno = errno;
    VXMWritableContext* writable = vxmContext.writable;
    if (writable) {
        VXMThreadSnapshot* snapshot = &writable->threads;
        const int32_t self = currentTid();
        for (uint32_t i = 0; i < snapshot->count && i < VXMMaxThreads; ++i) {
            VXMThreadSlot& slot = snapshot->slots[i];
            if (slot.tid.load() != self || slot.state.load() != VXMThreadSlotRequested) continue;
            if (context) {
                VXMThreadStateFromContext(&slot.registers, static_cast<const ucontext_t*>(context));
                slot.hasState = true;
            }
            slot.stackTop = VXMSignalThreadStackTop();
            VXMProcessGetCurrentQueueLabel(slot.queueLabel, sizeof(slot.queueLabel));
            slot.state.store(VXMThreadSlotCaptured);
            // Stay still while the crashing thread reads this stack.
            for (int waited = 0;
                 waited < kStoppedThreadWaitMilliseconds && !snapshot->release.load(); ++waited)
                sleepMilliseconds(1);
            break;
        }
    }
    errno = savedErrno;
}

bool VXMProcessSuspendAllOtherThreads(VXMThreadSnapshot* snapshot, const ucontext_t* context) {
    int32_t tids[VXMMaxThreads];
    const uint32_t count = VXMProcessListThreads(tids, VXMMaxThreads);
    const int32_t self = currentTid();
    const pid_t pid = getpid();
    snapshot->release.store(0);
    snapshot->crashedIndex = -1;
    snapshot->count = 0;
    for (uint32_t i = 0; i < count; ++i) {
        VXMThreadSlot& slot = snapshot->slots[i];
        slot.state.store(VXMThreadSlotFree);
        slot.tid.store(tids[i]);
        slot.hasState = false;
        slot.stackTop = 0;
        slot.queueLabel[0] = '\0';
    }
    snapshot->count = count;

    bool all = true;
    for (uint32_t i = 0; i < count; ++i) {
        VXMThreadSlot& slot = snapshot->slots[i];
        if (tids[i] == self) {
            snapshot->crashedIndex = static_cast<int32_t>(i);
            if (context) {
                VXMThreadStateFromContext(&slot.registers, context);
                slot.hasState = true;
            } else {
                slot.hasState = captureOwnState(&slot.registers);
            }
            slot.stackTop = VXMSignalThreadStackTop();
            VXMProcessGetCurrentQueueLabel(slot.queueLabel, sizeof(slot.queueLabel));
            slot.state.store(VXMThreadSlotCaptured);
            continue;
        }
        slot.state.store(VXMThreadSlotRequested);
        if (syscall(SYS_tgkill, pid, tids[i], VXMSnapshotSignal()) != 0) {
            slot.state.store(VXMThreadSlotFree);
            all = false;
        }
    }
    // A thread that blocks the signal never answers: wait a bounded time and
    // write it without registers.
    for (int waited = 0; waited < VXMThreadSnapshotWaitMilliseconds; ++waited) {
        bool pending = false;
        for (uint32_t i = 0; i < count; ++i)
            pending = pending || snapshot->slots[i].state.load() == VXMThreadSlotRequested;
        if (!pending) break;
        sleepMilliseconds(1);
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (snapshot->slots[i].state.load() == VXMThreadSlotRequested) {
            // Keep a late answer from writing into a slot that is being read.
            snapshot->slots[i].state.store(VXMThreadSlotFree);
            all = false;
        }
    }
    return all;
}

void VXMProcessResumeAllOtherThreads(VXMThreadSnapshot* snapshot) {
    snapshot->release.store(1);
}

void VXMProcessWriteAllThreads(const VXMThreadSnapshot* snapshot, VXMFile* file) {
    VXMFileWriteSectionStart(file, "threads");
    VXMFileWriteArrayStart(file);
    for (uint32_t i = 0; i < snapshot->count; ++i) {
        const VXMThreadSlot& slot = snapshot->slots[i];
        VXMFileWriteArrayStart(file);
        VXMUnwindContext cursor;
        if (slot.hasState && VXMUnwindSafeContextInit(&cursor, &slot.registers)) {
            if (slot.stackTop) cursor.stackTop = slot.stackTop;
            while (VXMUnwindSafeContextNextFrame(&cursor)) {
                VXMFrame frame;
                frame.address = VXMUnwindSafeContextGetPC(&cursor);
                VXMFrameSafeWriteData(&frame, file);
            }
        } else {
            VXMSafeLogToStderr("unable to init unwind context\n");
        }
        VXMFileWriteArrayEnd(file);
    }
    VXMFileWriteArrayEnd(file);
    uint64_t crashed = snapshot->crashedIndex >= 0 ? static_cast<uint64_t>(snapshot->crashedIndex)
                                                   : uint64_t{snapshot->count} + 1;
    VXMFileWriteHashEntryUint64(file, "crashed_thread", crashed);
    VXMFileWriteHashEntryUint64(file, "thread_count", snapshot->count);
    VXMFileWriteSectionEnd(file);
}

void VXMProcessSafeWriteCrashedThreadState(const VXMThreadSnapshot* snapshot, bool writeRegisters,
                                           VXMFile* file) {
    VXMFileWriteSectionStart(file, "thread_state");
    VXMFileWriteHashStart(file);
    if (writeRegisters && snapshot->crashedIndex >= 0) {
        const VXMThreadSlot& slot = snapshot->slots[snapshot->crashedIndex];
        if (slot.hasState) {
            for (size_t r = 0; r < VXMRegisterCount; ++r)
                VXMFileWriteHashEntryUint64(file, VXMRegisterNames[r], slot.registers.registers[r]);
        } else {
            VXMSafeLogToStderr("failed to get thread state\n");
        }
    }
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

void VXMProcessWriteStats(VXMFile* file) {
    char meminfo[4096];
    char statm[256];
    uint64_t active = 0, inactive = 0, wired = 0, freeMemory = 0;
    bool memory = readSmallFile("/proc/meminfo", meminfo, sizeof(meminfo)) > 0 &&
                  findField(meminfo, "Active:", 1024, &active) &&
                  findField(meminfo, "Inactive:", 1024, &inactive) &&
                  findField(meminfo, "Mlocked:", 1024, &wired) &&
                  findField(meminfo, "MemFree:", 1024, &freeMemory);
    if (!memory) {
        VXMSafeLogToStderr("Failed to get vm statistics\n");
        VXMSafeLogToStderr("Unable to get process memory usage\n");
    }
    uint64_t virtualSize = 0, residentSize = 0;
    bool task = readSmallFile("/proc/self/statm", statm, sizeof(statm)) > 0;
    if (task) {
        const char* p = statm;
        for (uint64_t* out : {&virtualSize, &residentSize}) {
            while (*p == ' ') ++p;
            if (*p < '0' || *p > '9') task = false;
            uint64_t pages = 0;
            while (*p >= '0' && *p <= '9') pages = pages * 10 + static_cast<uint64_t>(*p++ - '0');
            *out = pages * VXMHostGetPageSize();
        }
    }
    rusage usage{};
    task = task && getrusage(RUSAGE_SELF, &usage) == 0;
    if (!task) {
        VXMSafeLogToStderr("Failed to get task info\n");
        VXMSafeLogToStderr("Unable to get process stats\n");
    }

    // A statistic that cannot be read leaves the hash empty rather than the
    // line missing, so the rest of the record still counts.
    VXMFileWriteSectionStart(file, "process_stats");
    VXMFileWriteHashStart(file);
    if (memory && task) {
        auto micros = [](const timeval& t) {
            return static_cast<uint64_t>(t.tv_sec) * 1000000ULL + static_cast<uint64_t>(t.tv_usec);
        };
        VXMFileWriteHashEntryUint64(file, "active", active);
        VXMFileWriteHashEntryUint64(file, "inactive", inactive);
        VXMFileWriteHashEntryUint64(file, "wired", wired);
        VXMFileWriteHashEntryUint64(file, "freeMem", freeMemory);
        VXMFileWriteHashEntryUint64(file, "virtual", virtualSize);
        VXMFileWriteHashEntryUint64(file, "resident", residentSize);
        VXMFileWriteHashEntryUint64(file, "user_time", micros(usage.ru_utime));
        VXMFileWriteHashEntryUint64(file, "sys_time", micros(usage.ru_stime));
    }
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

void VXMProcessWriteThreadNames(const VXMThreadSnapshot* snapshot, VXMFile* file) {
    VXMFileWriteSectionStart(file, "thread_names");
    VXMFileWriteArrayStart(file);
    for (uint32_t i = 0; i < snapshot->count; ++i) {
        char name[VXMThreadNameLimit];
        VXMProcessGetThreadName(snapshot->slots[i].tid.load(), name);
        VXMFileWriteArrayEntryString(file, name);
    }
    VXMFileWriteArrayEnd(file);
    VXMFileWriteSectionEnd(file);
}

void VXMProcessWriteDispatchQueueNames(const VXMThreadSnapshot* snapshot, VXMFile* file) {
    VXMFileWriteSectionStart(file, "dispatch_queue_names");
    VXMFileWriteArrayStart(file);
    for (uint32_t i = 0; i < snapshot->count; ++i) {
        const VXMThreadSlot& slot = snapshot->slots[i];
        bool captured = slot.state.load() == VXMThreadSlotCaptured;
        VXMFileWriteArrayEntryString(file, captured ? slot.queueLabel : "");
    }
    VXMFileWriteArrayEnd(file);
    VXMFileWriteSectionEnd(file);
}

void VXMProcessWriteRuntimeInfo(VXMFile* file) {
    // No message dispatcher here whose selector could be named.
    VXMFileWriteSectionStart(file, "runtime");
    VXMFileWriteHashStart(file);
    VXMFileWriteHashEntryString(file, "objc_selector", "");
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

void VXMCrashHandler(const VXMMachExceptionReceived* machException, int savedErrno,
                     const siginfo_t* signalInfo, const ucontext_t* signalContext) {
    VXMReadOnlyContext* readOnly = vxmContext.readOnly;
    VXMWritableContext* writable = vxmContext.writable;
    if (!readOnly || !writable) return;
    VXMContextSafeReleaseSpareDescriptors(readOnly);

    if (readOnly->markerPath) {
        int marker = open(readOnly->markerPath, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (marker >= 0) close(marker);
    }
    int fd = readOnly->recordPath
                 ? open(readOnly->recordPath, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                 : -1;
    if (fd < 0) VXMSafeLogToStderr("Unable to open the crash record (%d)\n", errno);

    VXMFile file;
    VXMFileInit(&file, fd);
    VXMCrashHandlerSafeWriteSchema(&file);
    VXMMachExceptionWrite(&readOnly->machException, machException, &file);
    VXMSignalSafeWriteSignalInfo(&readOnly->signal, &file, signalInfo, savedErrno);

    VXMThreadSnapshot* threads = &writable->threads;
    VXMProcessSuspendAllOtherThreads(threads, signalContext);

    VXMContextSafeWriteData(readOnly, &file);
    VXMProcessDataSafeWriteProcessData(&readOnly->process, &file);
    VXMProcessDataSafeWriteExternalProcessesData(&writable->externalProcesses, &file);
    VXMHostSafeWriteData(&readOnly->host, &writable->device, &file);
    VXMExecutableSafeWriteData(&readOnly->executable, writable->devPlatformName.load(),
                               writable->devPlatformVersion.load(), &file);
    VXMBinaryImageSafeWriteData(&writable->binaryImages, &file, true);
    VXMExceptionSafeWriteData(&writable->exception, &file);
    VXMProcessWriteAllThreads(threads, &file);
    VXMProcessSafeWriteCrashedThreadState(threads, readOnly->writeRegisters, &file);
    VXMProcessWriteStats(&file);
    VXMProcessWriteThreadNames(threads, &file);
    VXMProcessWriteDispatchQueueNames(threads, &file);
    VXMProcessWriteRuntimeInfo(&file);
    VXMHostWriteDiskUsage(&readOnly->host, &file);
    VXMLoggingSafeWriteData(&writable->logging, &file);

    if (fd >= 0) close(fd);
    VXMProcessResumeAllOtherThreads(threads);
}

void VXMProcessGetCurrentQueueLabel(char* out, size_t size) {
    if (!size) return;
    out[0] = '\0';
    // The dispatch layer keeps the running queue in a plain thread-local
    // pointer, so asking is safe here; the label is copied through the safe
    // reader in case the queue is going away.
    const char* label = platform::DispatchQueue::currentLabel();
    const char* readable = nullptr;
    if (!label || !VXMReadString(reinterpret_cast<uintptr_t>(label), &readable, size)) return;
    size_t length = strnlen(readable, size - 1);
    memcpy(out, readable, length);
    out[length] = '\0';
}

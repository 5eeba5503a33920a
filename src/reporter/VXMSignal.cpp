#include "reporter/VXMSignal.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/core/ThreadHooks.h"
#include "reporter/VXMContext.h"
#include "reporter/VXMCrashHandler.h"
#include "reporter/VXMFile.h"
#include "reporter/VXMSafe.h"

namespace {

int32_t currentTid() {
    return static_cast<int32_t>(syscall(SYS_gettid));
}

bool isOurs(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == VXMSignalHandler;
}

bool isDefault(const struct sigaction& action) {
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

void sleepMilliseconds(long ms) {
    timespec t{0, ms * 1000000L};
    nanosleep(&t, nullptr);
}

// Seconds a second crashing thread waits for the first to finish the record.
constexpr int kConcurrentCrashWaitMilliseconds = 10000;

// The mapping of the calling thread's own alternate stack, guard page first.
thread_local void* threadStackMapping = nullptr;
// The top of the calling thread's stack; initial-exec, so a signal handler
// reads it without the dynamic linker.
__attribute__((tls_model("initial-exec"))) thread_local uint64_t threadStackTop = 0;

void recordThreadStackTop() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attributes, &low, &size) == 0)
        threadStackTop = reinterpret_cast<uint64_t>(low) + size;
    pthread_attr_destroy(&attributes);
}

size_t pageSize() {
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<size_t>(page) : 4096;
}

}  // namespace

int VXMSnapshotSignal() {
    return SIGRTMIN + 4;
}

bool VXMSignalInit(VXMSignalRecord* record) {
    bool ok = true;
    if (record->stack) {
        stack_t ours{};
        ours.ss_sp = record->stack;
        ours.ss_size = VXMSignalStackSize;
        ours.ss_flags = 0;
        stack_t previous{};
        if (sigaltstack(&ours, &previous) != 0) {
            VXMSafeLogToStderr("Unable to setup stack %s\n", strerror(errno));
            ok = false;
        } else {
            bool hadStack = !(previous.ss_flags & SS_DISABLE) && previous.ss_sp;
            if (hadStack && previous.ss_sp != record->stack &&
                previous.ss_sp != record->previousStack.ss_sp && record->previousStack.ss_sp)
                VXMSafeLogToStderr(
                    "Installed a stack, but the original did not match our saved stack %p %p\n",
                    previous.ss_sp, record->previousStack.ss_sp);
            if (previous.ss_sp != record->stack) record->previousStack = previous;
        }
    }
    for (size_t i = 0; i < VXMFatalSignalCount; ++i) {
        struct sigaction action {};
        action.sa_sigaction = VXMSignalHandler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        struct sigaction previous {};
        if (sigaction(VXMFatalSignals[i], &action, &previous) != 0) {
            VXMSafeLogToStderr("Unable to install handler for %d (%s)\n", VXMFatalSignals[i],
                               strerror(errno));
            ok = false;
            continue;
        }
        if (!isDefault(previous) && !isOurs(previous)) {
            record->previous[i] = previous;
            record->hasPrevious[i] = true;
        }
    }
    recordThreadStackTop();
    platform::setThreadLifecycleHooks(VXMSignalInstallThreadStack, VXMSignalReleaseThreadStack);
    // Other threads answer this one with their registers at crash time.
    struct sigaction snapshot {};
    snapshot.sa_sigaction = VXMSnapshotSignalHandler;
    snapshot.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&snapshot.sa_mask);
    if (sigaction(VXMSnapshotSignal(), &snapshot, nullptr) != 0) {
        VXMSafeLogToStderr("Unable to install handler for %d (%s)\n", VXMSnapshotSignal(),
                           strerror(errno));
        ok = false;
    }
    return ok;
}

uint64_t VXMSignalThreadStackTop() {
    return threadStackTop;
}

void VXMSignalInstallThreadStack() {
    if (!threadStackTop) recordThreadStackTop();
    stack_t current{};
    if (threadStackMapping || sigaltstack(nullptr, &current) != 0) return;
    if (!(current.ss_flags & SS_DISABLE)) return;
    const size_t page = pageSize();
    void* mapping = mmap(nullptr, page + VXMSignalStackSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) {
        VXMSafeLogToStderr("Unable to setup stack %s\n", strerror(errno));
        return;
    }
    // An overflow of the handler's own stack faults instead of running into
    // whatever lies below it.
    mprotect(mapping, page, PROT_NONE);
    stack_t ours{};
    ours.ss_sp = static_cast<char*>(mapping) + page;
    ours.ss_size = VXMSignalStackSize;
    if (sigaltstack(&ours, nullptr) != 0) {
        VXMSafeLogToStderr("Unable to setup stack %s\n", strerror(errno));
        munmap(mapping, page + VXMSignalStackSize);
        return;
    }
    threadStackMapping = mapping;
}

void VXMSignalReleaseThreadStack() {
    if (!threadStackMapping) return;
    const size_t page = pageSize();
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_ONSTACK)) return;
    if (current.ss_sp == static_cast<char*>(threadStackMapping) + page) {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        if (sigaltstack(&off, nullptr) != 0) return;
    }
    munmap(threadStackMapping, page + VXMSignalStackSize);
    threadStackMapping = nullptr;
}

bool VXMSignalSafeRemoveHandlers() {
    bool ok = true;
    for (int signal : VXMFatalSignals) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        if (sigaction(signal, &action, nullptr) != 0) {
            VXMSafeLogToStderr("Unable to set default handler for %d (%s)\n", signal,
                               VXMSignalName(signal));
            ok = false;
        }
    }
    return ok;
}

bool VXMSignalSafeInstallPreexistingHandlers(VXMSignalRecord* record) {
    bool ok = VXMSignalSafeRemoveHandlers();
    if (!record) return ok;
    bool hadStack = !(record->previousStack.ss_flags & SS_DISABLE) && record->previousStack.ss_sp;
    if (hadStack) {
        // The kernel refuses to change the stack a handler is running on;
        // the re-raise must happen anyway, so that case is left alone.
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_ONSTACK)) {
            if (sigaltstack(&record->previousStack, nullptr) != 0) ok = false;
        }
    }
    for (size_t i = 0; i < VXMFatalSignalCount; ++i) {
        if (!record->hasPrevious[i]) continue;
        if (sigaction(VXMFatalSignals[i], &record->previous[i], nullptr) != 0) ok = false;
    }
    return ok;
}

void VXMSignalHandler(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    errno = 0;
    VXMWritableContext* writable = vxmContext.writable;
    VXMReadOnlyContext* readOnly = vxmContext.readOnly;

    sigset_t all;
    sigfillset(&all);
    if (sigprocmask(SIG_UNBLOCK, &all, nullptr) != 0)
        VXMSafeLogToStderr("Unable to unmask signals - we risk infinite recursion here.");

    if (writable && readOnly) {
        const int32_t self = currentTid();
        int32_t owner = 0;
        if (writable->crashOwner.compare_exchange_strong(owner, self)) {
            // Our handlers stay installed while the record is written, so a
            // second thread that crashes meanwhile waits below instead of
            // ending the process under us.
            if (reinterpret_cast<uintptr_t>(info) < 4096) info = nullptr;
            if (reinterpret_cast<uintptr_t>(context) < 4096) context = nullptr;
            VXMSafeLogToStderr("signal %d, info %p, uapVoid %p\n", signal, static_cast<void*>(info),
                               context);
            if (!(writable->crashHandled.fetch_add(0) & 1))
                VXMCrashHandler(nullptr, savedErrno, info, static_cast<const ucontext_t*>(context));
            writable->crashDone.store(1);
        } else if (owner != self) {
            for (int waited = 0;
                 waited < kConcurrentCrashWaitMilliseconds && !writable->crashDone.load(); ++waited)
                sleepMilliseconds(1);
        }
        // owner == self: a fault inside the crash handler; give up on the
        // record and let the process end by the signal.
    }

    VXMSignalSafeInstallPreexistingHandlers(readOnly ? &readOnly->signal : nullptr);
    errno = savedErrno;
    if (raise(signal) != 0) {
        VXMSafeLogToStderr("Unable to re-raise signal %d", signal);
        _exit(128 + signal);
    }
}

const char* VXMSignalName(int signal) {
    switch (signal) {
        case SIGILL:
            return "SIGILL";
        case SIGTRAP:
            return "SIGTRAP";
        case SIGABRT:
            return "SIGABRT";
        case SIGFPE:
            return "SIGFPE";
        case SIGBUS:
            return "SIGBUS";
        case SIGSEGV:
            return "SIGSEGV";
        case SIGSYS:
            return "SIGSYS";
        default:
            return "UNKNOWN";
    }
}

const char* VXMSignalCodeName(int signal, int code) {
    switch (signal) {
        case SIGILL:
            // By constant: the numbering differs between systems.
            switch (code) {
                case 0:
                    return "ILL_NOOP";
                case ILL_ILLOPC:
                    return "ILL_ILLOPC";
                case ILL_ILLTRP:
                    return "ILL_ILLTRP";
                case ILL_PRVOPC:
                    return "ILL_PRVOPC";
                case ILL_ILLOPN:
                    return "ILL_ILLOPN";
                case ILL_ILLADR:
                    return "ILL_ILLADR";
                case ILL_PRVREG:
                    return "ILL_PRVREG";
                case ILL_COPROC:
                    return "ILL_COPROC";
                case ILL_BADSTK:
                    return "ILL_BADSTK";
                default:
                    return "UNKNOWN";
            }
        case SIGABRT:
            // abort() sends the signal to its own thread (SI_TKILL).
            return code == SI_USER || code == SI_TKILL ? "ABORT" : "UNKNOWN";
        case SIGBUS:
            switch (code) {
                case 0:
                    return "BUS_NOOP";
                case BUS_ADRALN:
                    return "BUS_ADRALN";
                case BUS_ADRERR:
                    return "BUS_ADRERR";
                case BUS_OBJERR:
                    return "BUS_OBJERR";
                default:
                    return "UNKNOWN";
            }
        case SIGSEGV:
            switch (code) {
                case 0:
                    return "SEGV_NOOP";
                case SEGV_MAPERR:
                    return "SEGV_MAPERR";
                case SEGV_ACCERR:
                    return "SEGV_ACCERR";
                default:
                    return "UNKNOWN";
            }
        default:
            return "UNKNOWN";
    }
}

void VXMSignalSafeWriteSignalInfo(const VXMSignalRecord* record, VXMFile* file,
                                  const siginfo_t* info, int savedErrno) {
    VXMFileWriteSectionStart(file, "signal");
    VXMFileWriteHashStart(file);
    if (info) {
        VXMFileWriteHashEntryUint64(file, "number", static_cast<uint32_t>(info->si_signo));
        VXMFileWriteHashEntryInt64(file, "code", info->si_code);
        // A signal another process or thread sent (kill, tgkill, abort)
        // carries the sender in the place of the address.
        const bool sent = info->si_code <= 0;
        VXMFileWriteHashEntryUint64(file, "address",
                                    sent ? 0 : reinterpret_cast<uintptr_t>(info->si_addr));
        VXMFileWriteHashEntryString(file, "name", VXMSignalName(info->si_signo));
        VXMFileWriteHashEntryString(file, "code_name",
                                    VXMSignalCodeName(info->si_signo, info->si_code));
    }
    bool preexisting = false;
    if (record)
        for (bool has : record->hasPrevious) preexisting = preexisting || has;
    VXMFileWriteHashEntryBoolean(file, "preexisting_handlers", preexisting);
    VXMFileWriteHashEntryUint64(file, "errno", static_cast<uint32_t>(savedErrno));
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

void VXMSignalSafeMarkSkipCrashHandler() {
    if (vxmContext.writable) vxmContext.writable->crashHandled.fetch_add(1);
}

void VXMSignalCheckHandlers() {
    for (int signal : VXMFatalSignals) {
        std::string name = sigabbrev_np(signal) ? sigabbrev_np(signal) : "";
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0) {
            VXMDebugLog("[Vexmor] Warning: Missing sig%s handler", name.c_str());
            continue;
        }
        if (isOurs(current)) continue;
        const void* handler = (current.sa_flags & SA_SIGINFO)
                                  ? reinterpret_cast<const void*>(current.sa_sigaction)
                                  : reinterpret_cast<const void*>(current.sa_handler);
        VXMLookupFunctionPointer(handler, [&](const char* symbol, const char* image) {
            VXMDebugLog("[Vexmor] Warning: sig%s handler is '%s' in '%s'", name.c_str(),
                        symbol ? symbol : "(null)", image ? image : "(null)");
        });
    }
}

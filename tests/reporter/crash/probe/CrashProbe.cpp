// A program that installs crash capture and then crashes the way its
// command line asks, so tests can read the record it leaves behind.
//
//   reporter_crash_probe <directory> <case> [session-identifier]
//
// The record goes to <directory>/<normalised identifier>.vxmrecord, beside
// "crash_marker" and the renamed log <normalised identifier>.vxmlog. Before
// crashing the probe logs "probe ready \"quoted\"", sets the custom key
// "say \"hi\"" to "a \"b\"" and the user identifier "user-1". Cases: segv,
// abort, fpe, ill, bus, overflow (of the main thread's stack), exception,
// prehandler (a SIGSEGV handler installed before ours), altstack (an
// alternate signal stack of the application's before ours), preterminate (a
// terminate handler of the application's, then an uncaught exception), threads (three named
// threads, one blocking every signal, and a named serial queue), queue (a
// crash inside a queue's task), thread-exception, concurrent (four threads
// crash at once); "none" exits normally. An unknown case exits with status 2.
// Cases whose stacks the report must name, each through the probe's own
// functions probeLevelOne, probeLevelTwo and probeLevelThree: abort-deep,
// assert, throw-deep, pool-throw (on a pool thread), libc (a fault inside a
// C library call), pool-overflow and thread-overflow (stack overflows on a
// pool thread and on a std::thread), no-descriptors (a crash after the
// descriptor table filled up), no-safe-read (process_vm_readv denied).
//
//   reporter_crash_probe report <record> <report>
//
// builds the Session report of a record as the next run would, symbolicated
// against this executable.

#undef NDEBUG  // the assertion case
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cassert>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/Dispatch.h"
#include "platform/core/ThreadHooks.h"
#include "reporter/VXMContext.h"
#include "reporter/VXMLogging.h"
#include "reporter/VXMSafe.h"
#include "reporter/report/VXMCrashFile.h"

namespace {

std::string directory;

// The address comes through a volatile so the compiler cannot prove the
// store wrong and drop it.
volatile uintptr_t unmappedAddress = 16;

__attribute__((noinline)) void store(uintptr_t address) {
    *reinterpret_cast<volatile int*>(address) = 42;
}

// Not a leaf, so it keeps a frame for the unwinder to find even though the
// store itself faults in a leaf without one.
__attribute__((noinline)) void crashBySegv() {
    store(unmappedAddress);
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) int crashByDivision(int divisor) {
    volatile int d = divisor;
    return 7 / d;
}

volatile bool keepRecursing = true;

__attribute__((noinline)) int recurseForever(int depth) {
    volatile char pad[256];
    pad[0] = static_cast<char>(depth);
    if (!keepRecursing) return 0;
    return recurseForever(depth + 1) + pad[0];
}

// A mapping past the end of its file: touching it raises SIGBUS.
__attribute__((noinline)) int crashByBus() {
    std::string path = directory + "/bus-file";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
    return page[0];
}

// Runs before our capture is installed: it must run after the record is
// written, then let the process die as it would have.
void previousHandler(int signal) {
    std::string path = directory + "/previous-handler";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) close(fd);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
}

// A terminate handler of the application's, invisible to dladdr (a static
// function of an executable exports no symbol).
[[noreturn]] void previousTerminate() {
    std::string path = directory + "/previous-terminate";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) close(fd);
    abort();
}

// Threads that wait for ever, so the snapshot finds them parked.
void parkForever() {
    for (;;) pause();
}

void startNamedThread(const char* name, bool blockSignals, std::atomic<int>* ready) {
    std::thread([name, blockSignals, ready] {
        pthread_setname_np(pthread_self(), name);
        if (blockSignals) {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
        }
        ready->fetch_add(1);
        parkForever();
    }).detach();
}

void waitFor(std::atomic<int>* counter, int value) {
    while (counter->load() < value) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Recursion with frames large enough to overflow a thread's stack in far
// fewer than the walk's 512 frames; every page is touched top-down, so the
// first touch below the stack is its guard page.
__attribute__((noinline)) int overflowStack(int depth) {
    volatile char pad[65536];
    for (size_t i = sizeof(pad); i > 0; i -= 4096) pad[i - 1] = static_cast<char>(depth);
    if (!keepRecursing) return 0;
    return overflowStack(depth + 1) + pad[0];
}

__attribute__((noinline)) void throwFromProbe() {
    throw std::runtime_error("bad \"input\"");
}

// A fault inside the C library, which keeps no frame pointers.
volatile size_t lengthSink = 0;
__attribute__((noinline)) void crashInLibrary() {
    lengthSink = strlen(reinterpret_cast<const char*>(unmappedAddress));
}

// What the bottom of the three named levels does.
__attribute__((noinline)) void crashTheWay(const std::string& which) {
    if (which == "abort-deep") abort();
    if (which == "assert") assert(which.empty() && "the probe asserts");
    if (which == "throw-deep") throwFromProbe();
    if (which == "libc") crashInLibrary();
    if (which == "no-descriptors" || which == "no-safe-read") crashBySegv();
    if (which == "pool-overflow" || which == "thread-overflow") overflowStack(0);
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void probeLevelThree(const std::string& which) {
    crashTheWay(which);
    asm volatile("" ::: "memory");  // no tail calls: each level keeps its frame
}

__attribute__((noinline)) void probeLevelTwo(const std::string& which) {
    probeLevelThree(which);
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void probeLevelOne(const std::string& which) {
    probeLevelTwo(which);
    asm volatile("" ::: "memory");
}

// A sandbox that refuses process_vm_readv, as some container profiles do.
bool denySafeRead() {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_process_vm_readv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Opens descriptors until none is left.
void exhaustDescriptors() {
    rlimit few{64, 64};
    setrlimit(RLIMIT_NOFILE, &few);
    while (open("/dev/null", O_RDONLY) >= 0) {
    }
}

// The next run's side: the record's report, symbolicated against this
// executable's images.
int writeReport(const char* recordPath, const char* reportPath) {
    VXMBinaryImageList images;
    VXMBinaryImageDataInit(&images);
    VXMCrashFile file(recordPath);
    if (!file.isValid()) return 4;
    VXMExecutableData self;
    VXMExecutableDataInit(&self);
    file.setProcessingExecutableUUID(VXMUUIDToNSString(self.image.uuid));
    file.symbolicateWithUUIDMap(VXMBinaryImageMap(&images));
    return file.writeVXMFileToPath(reportPath) ? 0 : 5;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s <directory> <case> [session-identifier]\n", argv[0]);
        return 2;
    }
    if (std::string(argv[1]) == "report" && argc == 4) return writeReport(argv[2], argv[3]);
    directory = argv[1];
    const std::string which = argv[2];
    const std::string session = argc > 3 ? argv[3] : "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";
    const std::string normalised = VXMNormalizeUUID(session);

    if (which == "prehandler") {
        struct sigaction action {};
        action.sa_handler = previousHandler;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, nullptr);
    }

    if (which == "preterminate") std::set_terminate(previousTerminate);
    static char applicationStack[65536];
    if (which == "altstack") {
        stack_t stack{};
        stack.ss_sp = applicationStack;
        stack.ss_size = sizeof(applicationStack);
        sigaltstack(&stack, nullptr);
    }

    // Before capture starts, which must notice it.
    if (which == "no-safe-read" && !denySafeRead()) return 6;

    VXMBundleInfo bundle;
    bundle.identifier = "com.norvane.tessaro/probe";
    bundle.version = "12";
    bundle.shortVersion = "1.2";
    bundle.name = "Probe";
    VXMExecutableSetBundleInfo(bundle);

    VXMContextSetup setup;
    setup.apiKey = "3f9c1e7a0b5d2486c1e9f0a7d3b6524e8c1a9f07";
    setup.sessionIdentifier = session;
    setup.recordPath = directory + "/" + normalised + ".vxmrecord";
    setup.markerPath = directory + "/crash_marker";
    setup.sessionLogPath = directory + "/session.vxmlog";
    setup.crashLogPath = directory + "/" + normalised + ".vxmlog";
    setup.identifierFlags = 15;
    setup.environment.configuration = "Release";
    setup.environment.compiler = "GCC";
    setup.environment.osVersionFirst = 1;
    setup.environment.osVersionSecond = 2;
    if (!VXMContextCreate(setup)) {
        fprintf(stderr, "no crash context\n");
        return 3;
    }
    VXMLog("probe ready %s", "\"quoted\"");
    VXMAddSessionCustomAttribute("say \"hi\"", VXMPercentEscape("a \"b\"").c_str());
    VXMDupAndSwapString(&vxmContext.writable->logging.userIdentifier, std::string("user-1"), true);

    if (which == "none") return 0;
    if (which == "no-descriptors") exhaustDescriptors();
    if (which == "abort-deep" || which == "assert" || which == "throw-deep" || which == "libc" ||
        which == "no-descriptors" || which == "no-safe-read")
        probeLevelOne(which);
    if (which == "pool-throw" || which == "pool-overflow") {
        const std::string what = which == "pool-throw" ? "throw-deep" : "pool-overflow";
        platform::globalQueue()->async([what] { probeLevelOne(what); });
        parkForever();
    }
    if (which == "thread-overflow") {
        std::thread([] {
            platform::threadDidStart();
            probeLevelOne("thread-overflow");
        }).join();
    }
    if (which == "segv" || which == "prehandler" || which == "altstack") crashBySegv();
    if (which == "abort") abort();
    if (which == "fpe") return crashByDivision(0);
    if (which == "ill") __builtin_trap();
    if (which == "bus") return crashByBus();
    if (which == "overflow") return recurseForever(0);
    if (which == "exception") throw std::runtime_error("bad \"input\"");
    if (which == "preterminate") throw std::runtime_error("again");
    if (which == "threads") {
        std::atomic<int> ready{0};
        startNamedThread("probe-one", false, &ready);
        startNamedThread("probe-two", false, &ready);
        startNamedThread("probe-blocked", true, &ready);
        auto queue = platform::DispatchQueue::serial("com.tessaro.probe-queue");
        queue->async([&ready] {
            ready.fetch_add(1);
            parkForever();
        });
        waitFor(&ready, 4);
        crashBySegv();
    }
    if (which == "queue") {
        auto queue = platform::DispatchQueue::serial("com.tessaro.probe-queue");
        queue->async([] { crashBySegv(); });
        parkForever();
    }
    if (which == "thread-exception") {
        std::thread([] {
            pthread_setname_np(pthread_self(), "probe-thrower");
            throw std::logic_error("from a thread");
        }).join();
    }
    if (which == "concurrent") {
        std::atomic<int> ready{0};
        std::vector<std::thread> crashers;
        for (int i = 0; i < 4; ++i)
            crashers.emplace_back([&ready] {
                ready.fetch_add(1);
                while (ready.load() < 5) {
                }
                crashBySegv();
            });
        ready.fetch_add(1);
        for (auto& t : crashers) t.join();
    }
    return 2;
}

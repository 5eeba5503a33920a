// Names, masks and crash decisions of the capture routes, and the sections
// they write.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <thread>

#include "RecordTestSupport.h"
#include "reporter/VXMMachException.h"
#include "reporter/VXMSignal.h"

using reportertest::MemoryRecord;

TEST(CaptureTables, SignalNamesMasksAndCodeNames) {
    struct Case {
        int signal;
        const char* name;
        uint32_t mask;
    } cases[] = {
        {SIGILL, "SIGILL", 4},    {SIGTRAP, "SIGTRAP", 64}, {SIGABRT, "SIGABRT", 1024},
        {SIGFPE, "SIGFPE", 8},    {SIGBUS, "SIGBUS", 2},    {SIGSEGV, "SIGSEGV", 2},
        {SIGSYS, "SIGSYS", 1024}, {SIGUSR1, "UNKNOWN", 0},  {SIGKILL, "UNKNOWN", 0},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(VXMSignalName(c.signal), c.name) << c.signal;
        EXPECT_EQ(VXMMachExceptionMaskForSignal(c.signal), c.mask) << c.name;
    }
    struct Code {
        int signal;
        int code;
        const char* name;
    } codes[] = {
        {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"},
        {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
        {SIGSEGV, 0, "SEGV_NOOP"},
        {SIGSEGV, 3, "UNKNOWN"},
        {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
        {SIGBUS, BUS_OBJERR, "BUS_OBJERR"},
        {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},
        {SIGILL, ILL_BADSTK, "ILL_BADSTK"},
        {SIGILL, 9, "UNKNOWN"},
        {SIGABRT, SI_USER, "ABORT"},
        {SIGABRT, SI_TKILL, "ABORT"},
        {SIGABRT, SI_QUEUE, "UNKNOWN"},
        {SIGFPE, FPE_INTDIV, "UNKNOWN"},
        {SIGTRAP, 1, "UNKNOWN"},
    };
    for (const Code& c : codes) EXPECT_STREQ(VXMSignalCodeName(c.signal, c.code), c.name) << c.name;
    EXPECT_EQ(std::size(VXMFatalSignals), 7u);
}

TEST(CaptureTables, KernelExceptionNamesAndTheCrashDecision) {
    struct Name {
        uint32_t exception;
        int64_t code;
        const char* name;
        const char* codeName;
    } names[] = {
        {1, 1, "EXC_BAD_ACCESS", "KERN_INVALID_ADDRESS"},
        {1, 2, "EXC_BAD_ACCESS", "KERN_PROTECTION_FAILURE"},
        {1, 9, "EXC_BAD_ACCESS", "UNKNOWN"},
        {2, 0, "EXC_BAD_INSTRUCTION", "EXC_I386_INVOP"},
        {3, 1, "EXC_ARITHMETIC", "EXC_I386_DIV"},
        {6, 1, "EXC_BREAKPOINT", "EXC_I386_SGL"},
        {6, 2, "EXC_BREAKPOINT", "EXC_I386_BPT"},
        {10, 0, "EXC_CRASH", "UNKNOWN"},
        {11, 0, "EXC_RESOURCE", "UNKNOWN"},
        {12, 0, "EXC_UNKNOWN", "UNKNOWN"},
        {0, 0, "EXC_UNKNOWN", "UNKNOWN"},
    };
    for (const Name& n : names) {
        EXPECT_STREQ(VXMMachExceptionName(n.exception), n.name);
        EXPECT_STREQ(VXMMachExceptionCodeName(n.exception, n.code), n.codeName) << n.name;
    }
    const int64_t softSegv[] = {0x10003, SIGSEGV};
    const int64_t softAbort[] = {0x10003, SIGABRT};
    const int64_t otherSoft[] = {0x10004, SIGABRT};
    EXPECT_TRUE(VXMMachExceptionIsCrash(VXMMachExcSoftware, softSegv, 2));
    EXPECT_FALSE(VXMMachExceptionIsCrash(VXMMachExcSoftware, softAbort, 2));
    EXPECT_TRUE(VXMMachExceptionIsCrash(VXMMachExcSoftware, softAbort, 1));
    EXPECT_TRUE(VXMMachExceptionIsCrash(VXMMachExcSoftware, otherSoft, 2));
    EXPECT_TRUE(VXMMachExceptionIsCrash(VXMMachExcBadAccess, softAbort, 2));
}

TEST(CaptureTables, SectionsOfTheCaptureRoutes) {
    MemoryRecord none;
    VXMMachExceptionWrite(nullptr, nullptr, none.file());
    EXPECT_EQ(none.text(), "{\"mach_exception\":{}}\n");

    MemoryRecord received;
    VXMMachExceptionRecord record{78, 2};
    const int64_t codes[] = {1, 0x10};
    VXMMachExceptionReceived exception{0, 0, 1, codes, 2};
    VXMMachExceptionWrite(&record, &exception, received.file());
    EXPECT_EQ(received.text(),
              "{\"mach_exception\":{\"exception\":1,\"code\":1,\"subcode\":16,\"name\":\"EXC_BAD_"
              "ACCESS\","
              "\"code_name\":\"KERN_INVALID_ADDRESS\",\"original_ports\":2}}\n");

    VXMSignalRecord signals{};
    siginfo_t info{};
    info.si_signo = SIGSEGV;
    info.si_code = SEGV_MAPERR;
    info.si_addr = reinterpret_cast<void*>(0x10);
    MemoryRecord segv;
    VXMSignalSafeWriteSignalInfo(&signals, segv.file(), &info, 0);
    EXPECT_EQ(segv.text(),
              "{\"signal\":{\"number\":11,\"code\":1,\"address\":16,\"name\":\"SIGSEGV\","
              "\"code_name\":\"SEGV_MAPERR\",\"preexisting_handlers\":false,\"errno\":0}}\n");

    // abort() sends the signal to its own thread: the code is negative and
    // the place of the address holds the sender, which is not an address.
    siginfo_t sent{};
    sent.si_signo = SIGABRT;
    sent.si_code = SI_TKILL;
    sent.si_pid = 4242;
    MemoryRecord abortRecord;
    VXMSignalSafeWriteSignalInfo(&signals, abortRecord.file(), &sent, 0);
    EXPECT_EQ(abortRecord.text(),
              "{\"signal\":{\"number\":6,\"code\":-6,\"address\":0,\"name\":\"SIGABRT\","
              "\"code_name\":\"ABORT\",\"preexisting_handlers\":false,\"errno\":0}}\n");

    signals.hasPrevious[4] = true;
    MemoryRecord noInfo;
    VXMSignalSafeWriteSignalInfo(&signals, noInfo.file(), nullptr, 4);
    EXPECT_EQ(noInfo.text(), "{\"signal\":{\"preexisting_handlers\":true,\"errno\":4}}\n");
}

TEST(CaptureTables, EachThreadTakesItsOwnAlternateStackAndGivesItBack) {
    struct Seen {
        stack_t installed{};
        stack_t released{};
    };
    auto onThread = [](bool applicationStack) {
        Seen seen;
        std::thread([&] {
            // A sanitizer gives every thread a stack of its own: set it
            // aside for the test and put it back for the thread's end.
            stack_t runtime{}, off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, &runtime);
            static thread_local char own[65536];
            if (applicationStack) {
                stack_t stack{};
                stack.ss_sp = own;
                stack.ss_size = sizeof(own);
                sigaltstack(&stack, nullptr);
            }
            VXMSignalInstallThreadStack();
            VXMSignalInstallThreadStack();  // a second start keeps the first stack
            sigaltstack(nullptr, &seen.installed);
            VXMSignalReleaseThreadStack();
            sigaltstack(nullptr, &seen.released);
            sigaltstack(&off, nullptr);
            if (!(runtime.ss_flags & SS_DISABLE)) sigaltstack(&runtime, nullptr);
        }).join();
        return seen;
    };
    Seen plain = onThread(false);
    EXPECT_FALSE(plain.installed.ss_flags & SS_DISABLE);
    EXPECT_EQ(plain.installed.ss_size, VXMSignalStackSize);
    EXPECT_TRUE(plain.released.ss_flags & SS_DISABLE);
    // The application's own stack stays.
    Seen application = onThread(true);
    EXPECT_EQ(application.installed.ss_size, 65536u);
    EXPECT_EQ(application.released.ss_size, 65536u);
}

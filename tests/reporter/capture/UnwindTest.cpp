// Frame-pointer unwinding on fake stacks, and register names.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "reporter/VXMUnwind.h"

namespace {

std::vector<uint64_t> walk(uint64_t pc, uint64_t fp) {
    VXMUnwindContext cursor;
    VXMUnwindSafeContextInitWith(&cursor, pc, fp, 0);
    std::vector<uint64_t> pcs;
    while (VXMUnwindSafeContextNextFrame(&cursor))
        pcs.push_back(VXMUnwindSafeContextGetPC(&cursor));
    return pcs;
}

uint64_t addr(const void* p) {
    return reinterpret_cast<uint64_t>(p);
}

}  // namespace

TEST(Unwind, FakeStacks) {
    // Frames are {saved frame pointer, return address} pairs.
    uint64_t chain[3][2] = {};
    chain[0][0] = addr(chain[1]);
    chain[0][1] = 0x401000;
    chain[1][0] = addr(chain[2]);
    chain[1][1] = 0x402000;
    chain[2][0] = 0;  // the outermost frame: yielded, then the walk ends
    chain[2][1] = 0x403000;
    uint64_t loop[2] = {0, 0x404000};
    loop[0] = addr(loop);
    uint64_t lowReturn[2] = {addr(chain[1]), 0x10};

    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* guard = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    uint64_t intoGuard[2] = {addr(guard), 0x405000};

    struct Case {
        const char* name;
        uint64_t fp;
        std::vector<uint64_t> expected;
        size_t count;
    } cases[] = {
        {"frame pointer 0: only the pc", 0, {0x400000}, 1},
        {"low frame pointer: only the pc", 4095, {0x400000}, 1},
        {"a chain", addr(chain[0]), {0x400000, 0x401000, 0x402000, 0x403000}, 4},
        // A frame record that points to itself does not move up the stack.
        {"a loop ends after its one return address", addr(loop), {0x400000, 0x404000}, 2},
        {"a return address in the zero page ends it", addr(lowReturn), {0x400000}, 1},
        {"an unreadable frame ends it", addr(guard), {0x400000}, 1},
        {"a frame whose caller is unreadable", addr(intoGuard), {0x400000, 0x405000}, 2},
    };
    for (const Case& c : cases) {
        std::vector<uint64_t> pcs = walk(0x400000, c.fp);
        EXPECT_EQ(pcs.size(), c.count) << c.name;
        if (!c.expected.empty()) {
            EXPECT_EQ(pcs, c.expected) << c.name;
        }
    }
    munmap(guard, page);
}

__attribute__((noinline)) size_t recurse(int n, std::vector<uint64_t>* out) {
    if (n == 0) {
        *out = walk(0x400000, addr(__builtin_frame_address(0)));
        return out->size();
    }
    size_t found = recurse(n - 1, out);
    asm volatile("" ::: "memory");  // no tail call: each level keeps its frame
    return found + 1;
}

TEST(Unwind, WalksThisThreadsOwnStack) {
    // This file is built with frame pointers: every level of the recursion
    // returns to the same place, and the walk goes on past it.
    std::vector<uint64_t> pcs;
    recurse(4, &pcs);
    ASSERT_GE(pcs.size(), 6u);
    EXPECT_EQ(pcs[0], 0x400000u);
    EXPECT_EQ(pcs[1], pcs[2]);
    EXPECT_EQ(pcs[2], pcs[3]);
    EXPECT_EQ(pcs[3], pcs[4]);
    EXPECT_NE(pcs[4], pcs[5]);
}

#if defined(__x86_64__)
namespace {

// Our walk and the compiler runtime's own unwinder, taken at one place.
struct Walks {
    std::vector<uint64_t> ours;
    std::vector<uint64_t> oracle;
};
thread_local Walks* walks = nullptr;

_Unwind_Reason_Code collect(_Unwind_Context* context, void* out) {
    static_cast<std::vector<uint64_t>*>(out)->push_back(_Unwind_GetIP(context));
    return _URC_NO_REASON;
}

// Called by qsort, which the C library builds without frame pointers.
int compareAndWalk(const void* a, const void* b) {
    if (walks && walks->ours.empty()) {
        ucontext_t context;
        getcontext(&context);
        VXMThreadState state;
        VXMThreadStateFromContext(&state, &context);
        VXMUnwindContext cursor;
        VXMUnwindSafeContextInit(&cursor, &state);
        while (VXMUnwindSafeContextNextFrame(&cursor))
            walks->ours.push_back(VXMUnwindSafeContextGetPC(&cursor));
        _Unwind_Backtrace(collect, &walks->oracle);
    }
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

Walks walkInsideQsort() {
    Walks result;
    walks = &result;
    int numbers[] = {3, 1, 2};
    qsort(numbers, 3, sizeof(int), compareAndWalk);
    walks = nullptr;
    return result;
}

}  // namespace

TEST(Unwind, FollowsCallFrameInformationLikeTheRuntimeUnwinder) {
    // Past the first frame (two different places in one function) both
    // walks name the same return addresses, through the C library's qsort
    // and up to the thread's start.
    for (bool otherThread : {false, true}) {
        SCOPED_TRACE(otherThread ? "std::thread" : "main thread");
        Walks w;
        if (otherThread)
            std::thread([&w] { w = walkInsideQsort(); }).join();
        else
            w = walkInsideQsort();
        ASSERT_GE(w.oracle.size(), 4u);
        // The runtime reports the outermost frame's undefined return as 0.
        if (w.oracle.back() == 0) w.oracle.pop_back();
        ASSERT_EQ(w.ours.size(), w.oracle.size());
        for (size_t i = 1; i < w.ours.size(); ++i) EXPECT_EQ(w.ours[i], w.oracle[i]) << i;
    }
}

TEST(Unwind, RegistersComeFromTheContextByName) {
    ucontext_t context{};
    greg_t* g = context.uc_mcontext.gregs;
    const int order[] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RDI, REG_RSI,
                         REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                         REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP, REG_EFL};
    for (size_t i = 0; i < std::size(order); ++i) g[order[i]] = static_cast<greg_t>(100 + i);
    g[REG_CSGSFS] = static_cast<greg_t>(0x0000002b00150033ULL);  // fs 0x2b, gs 0x15, cs 0x33
    VXMThreadState state;
    VXMThreadStateFromContext(&state, &context);
    const char* names[] = {"rax", "rbx", "rcx", "rdx",    "rdi", "rsi", "rbp",
                           "rsp", "r8",  "r9",  "r10",    "r11", "r12", "r13",
                           "r14", "r15", "rip", "rflags", "cs",  "fs",  "gs"};
    for (size_t i = 0; i < VXMRegisterCount; ++i) EXPECT_STREQ(VXMRegisterNames[i], names[i]);
    for (size_t i = 0; i < std::size(order); ++i)
        EXPECT_EQ(state.registers[i], 100 + i) << names[i];
    EXPECT_EQ(state.registers[18], 0x33u);
    EXPECT_EQ(state.registers[19], 0x2bu);
    EXPECT_EQ(state.registers[20], 0x15u);
    EXPECT_EQ(VXMThreadStatePC(&state), 116u);
    EXPECT_EQ(VXMThreadStateFP(&state), 106u);
    EXPECT_EQ(VXMThreadStateSP(&state), 107u);
}
#endif

#include "reporter/VXMUnwind.h"

#include "reporter/VXMSafe.h"

#if defined(__x86_64__)
const char* const VXMRegisterNames[VXMRegisterCount] = {
    "rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp",    "rsp", "r8", "r9", "r10",
    "r11", "r12", "r13", "r14", "r15", "rip", "rflags", "cs",  "fs", "gs"};

void VXMThreadStateFromContext(VXMThreadState* state, const ucontext_t* context) {
    const greg_t* g = context->uc_mcontext.gregs;
    static const int order[] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RDI, REG_RSI,
                                REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP, REG_EFL};
    for (size_t i = 0; i < sizeof(order) / sizeof(order[0]); ++i)
        state->registers[i] = static_cast<uint64_t>(g[order[i]]);
    // cs, gs and fs share one word, 16 bits each from the low end.
    auto segments = static_cast<uint64_t>(g[REG_CSGSFS]);
    state->registers[18] = segments & 0xFFFF;
    state->registers[19] = (segments >> 32) & 0xFFFF;
    state->registers[20] = (segments >> 16) & 0xFFFF;
}

uint64_t VXMThreadStatePC(const VXMThreadState* state) {
    return state->registers[16];
}
uint64_t VXMThreadStateFP(const VXMThreadState* state) {
    return state->registers[6];
}
uint64_t VXMThreadStateSP(const VXMThreadState* state) {
    return state->registers[7];
}
#elif defined(__aarch64__)
const char* const VXMRegisterNames[VXMRegisterCount] = {
    "x0",  "x1",  "x2",  "x3",  "x4",  "x5",  "x6",  "x7",  "x8",  "x9",  "x10", "x11",
    "x12", "x13", "x14", "x15", "x16", "x17", "x18", "x19", "x20", "x21", "x22", "x23",
    "x24", "x25", "x26", "x27", "x28", "fp",  "lr",  "sp",  "pc",  "cpsr"};

void VXMThreadStateFromContext(VXMThreadState* state, const ucontext_t* context) {
    const auto& m = context->uc_mcontext;
    for (int i = 0; i < 31; ++i) state->registers[i] = m.regs[i];
    state->registers[31] = m.sp;
    state->registers[32] = m.pc;
    state->registers[33] = m.pstate;
}

uint64_t VXMThreadStatePC(const VXMThreadState* state) {
    return state->registers[32];
}
uint64_t VXMThreadStateFP(const VXMThreadState* state) {
    return state->registers[29];
}
uint64_t VXMThreadStateSP(const VXMThreadState* state) {
    return state->registers[31];
}
#endif

bool VXMUnwindSafeContextInitWith(VXMUnwindContext* cursor, uint64_t pc, uint64_t fp, uint64_t sp) {
    if (!cursor) return false;
    cursor->pc = pc;
    cursor->framePointer = fp;
    cursor->stackPointer = sp;
    cursor->frames = 0;
    cursor->speculative = false;
    return true;
}

bool VXMUnwindSafeContextInit(VXMUnwindContext* cursor, const VXMThreadState* state) {
    if (!state) return false;
    return VXMUnwindSafeContextInitWith(cursor, VXMThreadStatePC(state), VXMThreadStateFP(state),
                                        VXMThreadStateSP(state));
}

bool VXMUnwindSafeReadStack(uint64_t address, VXMUnwindContext* cursor, uint64_t* framePointer) {
    uint64_t frame[2];  // saved frame pointer, then the return address
    if (!VXMReadMemory(address, frame, sizeof(frame))) return false;
    *framePointer = frame[0];
    cursor->pc = frame[1];
    return true;
}

bool VXMUnwindSafeContextNextFrameWithFramePointer(VXMUnwindContext* cursor) {
    uint64_t next = 0;
    if (!VXMUnwindSafeReadStack(cursor->framePointer, cursor, &next)) return false;
    cursor->stackPointer = cursor->framePointer + 16;
    cursor->framePointer = next;
    // A valid return address is a frame even when the saved frame pointer
    // ends the chain (the outermost frame, or a caller built without frame
    // pointers); the walk stops at the step after it.
    return cursor->pc > 4095;
}

bool VXMUnwindSafeContextNextFrame(VXMUnwindContext* cursor) {
    if (!cursor || cursor->frames >= VXMUnwindMaxFrames) return false;
    if (cursor->frames == 0) {
        // The first frame is the thread's own pc; nothing is read for it.
        cursor->frames = 1;
        return true;
    }
    if (cursor->framePointer <= 4095) return false;
    if (!VXMUnwindSafeContextNextFrameWithFramePointer(cursor)) return false;
    cursor->frames++;
    return true;
}

uint64_t VXMUnwindSafeContextGetPC(const VXMUnwindContext* cursor) {
    return cursor->pc;
}

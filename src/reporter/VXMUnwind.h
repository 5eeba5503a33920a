#pragma once
// Registers of a stopped thread and unwinding of its stack. Each step follows
// the call-frame information the image ships (.eh_frame, found through
// _dl_find_object), so code built without frame pointers (the C library)
// still leads to its callers; where an image has none the step falls back to
// the frame-pointer chain. Every read goes through VXMReadMemory, so a
// damaged stack ends the walk instead of faulting, and every step must move
// up the thread's stack, so a chain that loops ends at once.

#include <ucontext.h>

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
inline constexpr size_t VXMRegisterCount = 21;
#elif defined(__aarch64__)
inline constexpr size_t VXMRegisterCount = 34;
#else
#error "crash capture knows the registers of x86-64 and AArch64 only"
#endif

// In the order the record lists them.
extern const char* const VXMRegisterNames[VXMRegisterCount];

struct VXMThreadState {
    uint64_t registers[VXMRegisterCount] = {};
};

void VXMThreadStateFromContext(VXMThreadState* state, const ucontext_t* context);
uint64_t VXMThreadStatePC(const VXMThreadState* state);
uint64_t VXMThreadStateFP(const VXMThreadState* state);
uint64_t VXMThreadStateSP(const VXMThreadState* state);

inline constexpr uint32_t VXMUnwindMaxFrames = 512;

#if defined(__x86_64__)
// DWARF numbering: rax rdx rcx rbx rsi rdi rbp rsp r8-r15, then the return
// address column.
inline constexpr size_t VXMUnwindRegisterCount = 17;
#else
inline constexpr size_t VXMUnwindRegisterCount = 1;
#endif

struct VXMUnwindContext {
    uint64_t pc = 0;
    uint64_t framePointer = 0;
    uint64_t stackPointer = 0;
    uint32_t frames = 0;
    bool speculative = false;
    // Registers for call-frame steps; without them only the frame-pointer
    // chain is followed.
    bool hasRegisters = false;
    uint64_t registers[VXMUnwindRegisterCount] = {};
    // The pc is the interrupted instruction itself, not a return address
    // (the first frame, and the frame below a signal frame).
    bool exactPC = true;
    // End of the stack mapping the walk started in; 0 until looked up,
    // UINT64_MAX when unknown.
    uint64_t stackTop = 0;
};

bool VXMUnwindSafeContextInit(VXMUnwindContext* cursor, const VXMThreadState* state);
// Starts from explicit pc, frame pointer and stack pointer.
bool VXMUnwindSafeContextInitWith(VXMUnwindContext* cursor, uint64_t pc, uint64_t fp, uint64_t sp);
// Moves to the next frame; false when the walk has ended.
bool VXMUnwindSafeContextNextFrame(VXMUnwindContext* cursor);
bool VXMUnwindSafeContextNextFrameWithFramePointer(VXMUnwindContext* cursor);
uint64_t VXMUnwindSafeContextGetPC(const VXMUnwindContext* cursor);
// Reads the saved frame pointer and return address at `framePointer`.
bool VXMUnwindSafeReadStack(uint64_t address, VXMUnwindContext* cursor, uint64_t* framePointer);
// One step by the call-frame information of the image that holds the pc;
// false when there is none usable for it (the caller then tries the frame
// pointer). `*ended` is set when the information marks the outermost frame.
bool VXMUnwindSafeContextNextFrameWithCFI(VXMUnwindContext* cursor, bool* ended);

// The end of the readable mapping that holds `address`, or of the first one
// above it when `address` lies in a guard or gap (an overflowed stack);
// UINT64_MAX when it cannot be told. Reads /proc/self/maps, signal-safely.
uint64_t VXMStackTopForAddress(uint64_t address);

#pragma once
// Registers of a stopped thread and frame-pointer unwinding of its stack.
// Every read of the stack goes through VXMReadMemory, so a damaged chain ends
// the walk instead of faulting.

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

struct VXMUnwindContext {
    uint64_t pc = 0;
    uint64_t framePointer = 0;
    uint64_t stackPointer = 0;
    uint32_t frames = 0;
    bool speculative = false;
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

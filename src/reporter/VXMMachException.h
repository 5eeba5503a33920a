#pragma once
// The kernel-exception route of the desktop original has no counterpart on
// this platform: there are no exception ports, so every crash arrives as a
// signal and "mach_exception" is always an empty hash. What the route decides
// without the kernel (names, the signal-to-exception mask, whether an
// exception is a crash, the section's layout) stays here so the report
// builder and the front keep one meaning for it.

#include <cstdint>

struct VXMFile;

struct VXMMachExceptionReceived {
    uint32_t thread = 0;
    uint32_t task = 0;
    uint32_t exception = 0;
    const int64_t* codes = nullptr;
    uint32_t codeCount = 0;
};

struct VXMMachExceptionRecord {
    uint32_t mask = 0;
    uint32_t originalPortCount = 0;
};

enum : uint32_t {
    VXMMachExcBadAccess = 1,
    VXMMachExcBadInstruction = 2,
    VXMMachExcArithmetic = 3,
    VXMMachExcEmulation = 4,
    VXMMachExcSoftware = 5,
    VXMMachExcBreakpoint = 6,
    VXMMachExcCrash = 10,
};

// Mask bit of the exception a signal stands for (0 for other signals).
uint32_t VXMMachExceptionMaskForSignal(int signal);
const char* VXMMachExceptionName(uint32_t exception);
const char* VXMMachExceptionCodeName(uint32_t exception, int64_t code);
// False only for a soft-signal exception of a signal other than SIGSEGV.
bool VXMMachExceptionIsCrash(uint32_t exception, const int64_t* codes, uint32_t count);
// Always an empty hash unless both are given.
void VXMMachExceptionWrite(const VXMMachExceptionRecord* record,
                           const VXMMachExceptionReceived* exception, VXMFile* file);

#include "reporter/VXMMachException.h"

#include <signal.h>

#include "reporter/VXMFile.h"

uint32_t VXMMachExceptionMaskForSignal(int signal) {
    switch (signal) {
        case SIGILL:
            return 1u << VXMMachExcBadInstruction;
        case SIGTRAP:
            return 1u << VXMMachExcBreakpoint;
        case SIGABRT:
        case SIGSYS:
            return 1u << VXMMachExcCrash;
        case SIGFPE:
            return 1u << VXMMachExcArithmetic;
        case SIGBUS:
        case SIGSEGV:
            return 1u << VXMMachExcBadAccess;
        default:
            return 0;
    }
}

const char* VXMMachExceptionName(uint32_t exception) {
    static const char* const names[] = {nullptr,          "EXC_BAD_ACCESS", "EXC_BAD_INSTRUCTION",
                                        "EXC_ARITHMETIC", "EXC_EMULATION",  "EXC_SOFTWARE",
                                        "EXC_BREAKPOINT", "EXC_SYSCALL",    "EXC_MACH_SYSCALL",
                                        "EXC_RPC_ALERT",  "EXC_CRASH",      "EXC_RESOURCE"};
    if (exception >= 1 && exception < sizeof(names) / sizeof(names[0])) return names[exception];
    return "EXC_UNKNOWN";
}

const char* VXMMachExceptionCodeName(uint32_t exception, int64_t code) {
    switch (exception) {
        case VXMMachExcBadAccess:
            return code == 1   ? "KERN_INVALID_ADDRESS"
                   : code == 2 ? "KERN_PROTECTION_FAILURE"
                               : "UNKNOWN";
        case VXMMachExcBadInstruction:
            return "EXC_I386_INVOP";
        case VXMMachExcArithmetic:
            return code == 1 ? "EXC_I386_DIV" : "UNKNOWN";
        case VXMMachExcBreakpoint:
            return code == 1 ? "EXC_I386_SGL" : code == 2 ? "EXC_I386_BPT" : "UNKNOWN";
        default:
            return "UNKNOWN";
    }
}

bool VXMMachExceptionIsCrash(uint32_t exception, const int64_t* codes, uint32_t count) {
    const int64_t softSignal = 0x10003;
    if (exception == VXMMachExcSoftware && count == 2 && codes && codes[0] == softSignal &&
        codes[1] != SIGSEGV)
        return false;
    return true;
}

void VXMMachExceptionWrite(const VXMMachExceptionRecord* record,
                           const VXMMachExceptionReceived* exception, VXMFile* file) {
    VXMFileWriteSectionStart(file, "mach_exception");
    VXMFileWriteHashStart(file);
    if (record && exception) {
        int64_t code = exception->codeCount > 0 && exception->codes ? exception->codes[0] : 0;
        VXMFileWriteHashEntryUint64(file, "exception", exception->exception);
        if (exception->codeCount > 0 && exception->codes)
            VXMFileWriteHashEntryUint64(file, "code", static_cast<uint64_t>(code));
        if (exception->codeCount > 1 && exception->codes)
            VXMFileWriteHashEntryUint64(file, "subcode",
                                        static_cast<uint64_t>(exception->codes[1]));
        VXMFileWriteHashEntryString(file, "name", VXMMachExceptionName(exception->exception));
        VXMFileWriteHashEntryString(file, "code_name",
                                    VXMMachExceptionCodeName(exception->exception, code));
        VXMFileWriteHashEntryUint64(file, "original_ports", record->originalPortCount);
    }
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

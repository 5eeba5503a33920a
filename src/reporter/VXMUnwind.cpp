#include "reporter/VXMUnwind.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// ---- Stack bounds -----------------------------------------------------------

namespace {

uint64_t parseHex(const char*& p, const char* end) {
    uint64_t value = 0;
    for (; p < end; ++p) {
        char c = *p;
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else
            break;
        value = value * 16 + digit;
    }
    return value;
}

}  // namespace

uint64_t VXMStackTopForAddress(uint64_t address) {
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return UINT64_MAX;
    // An overflowed stack leaves the pointer in the guard below the stack
    // or in the gap the kernel keeps under it: the stack is then the first
    // readable mapping above, within this distance.
    constexpr uint64_t kGuardReach = 2u << 20;
    uint64_t top = UINT64_MAX;
    char buffer[4096];
    size_t used = 0;
    bool done = false;
    while (!done) {
        ssize_t n = read(fd, buffer + used, sizeof(buffer) - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
        size_t consumed = 0;
        for (;;) {
            const char* line = buffer + consumed;
            const char* end = static_cast<const char*>(memchr(line, '\n', used - consumed));
            if (!end) break;
            consumed = static_cast<size_t>(end - buffer) + 1;
            // "start-end perms ..."
            const char* p = line;
            uint64_t low = parseHex(p, end);
            if (p >= end || *p != '-') continue;
            ++p;
            uint64_t high = parseHex(p, end);
            bool readable = p + 1 < end && p[1] == 'r';
            if (high <= address) continue;
            if (readable && (low <= address || low - address <= kGuardReach)) top = high;
            if (readable || low > address) done = true;
            if (done) break;
        }
        if (consumed == 0 && used == sizeof(buffer)) break;  // a line longer than the buffer
        memmove(buffer, buffer + consumed, used - consumed);
        used -= consumed;
    }
    close(fd);
    return top;
}

// ---- Call-frame information -------------------------------------------------

#if defined(__x86_64__)
namespace {

constexpr unsigned kRegRSP = 7;
constexpr unsigned kRegRBP = 6;
constexpr unsigned kReturnColumn = 16;
// The longest CIE or FDE we copy; longer ones fall back to frame pointers.
constexpr size_t kEntryLimit = 4096;

// Bytes copied out of an image, read with bounds checks; `origin` is where
// the first byte lives in memory, for pc-relative values.
struct Bytes {
    const uint8_t* p;
    const uint8_t* end;
    uint64_t origin;
    const uint8_t* start;
    bool ok = true;

    uint64_t address() const { return origin + static_cast<uint64_t>(p - start); }
    bool need(size_t n) {
        if (!ok || static_cast<size_t>(end - p) < n) ok = false;
        return ok;
    }
    template <typename T>
    T fixed() {
        T value{};
        if (!need(sizeof(T))) return value;
        memcpy(&value, p, sizeof(T));
        p += sizeof(T);
        return value;
    }
    uint64_t uleb() {
        uint64_t value = 0;
        for (unsigned shift = 0;; shift += 7) {
            if (!need(1)) return 0;
            uint8_t byte = *p++;
            if (shift < 64) value |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) return value;
        }
    }
    int64_t sleb() {
        uint64_t value = 0;
        unsigned shift = 0;
        uint8_t byte = 0;
        do {
            if (!need(1)) return 0;
            byte = *p++;
            if (shift < 64) value |= static_cast<uint64_t>(byte & 0x7F) << shift;
            shift += 7;
        } while (byte & 0x80);
        if (shift < 64 && (byte & 0x40)) value |= ~uint64_t{0} << shift;
        return static_cast<int64_t>(value);
    }
    void skip(uint64_t n) {
        if (!need(static_cast<size_t>(n > SIZE_MAX ? SIZE_MAX : n))) return;
        p += n;
    }
    // A pointer in one of the DW_EH_PE encodings; `dataBase` for datarel.
    uint64_t encoded(uint8_t encoding, uint64_t dataBase = 0) {
        if (encoding == 0xFF) return 0;  // omitted
        const uint64_t here = address();
        uint64_t value = 0;
        switch (encoding & 0x0F) {
            case 0x00:
                value = fixed<uint64_t>();
                break;
            case 0x01:
                value = uleb();
                break;
            case 0x02:
                value = fixed<uint16_t>();
                break;
            case 0x03:
                value = fixed<uint32_t>();
                break;
            case 0x04:
                value = fixed<uint64_t>();
                break;
            case 0x09:
                value = static_cast<uint64_t>(sleb());
                break;
            case 0x0A:
                value = static_cast<uint64_t>(static_cast<int64_t>(fixed<int16_t>()));
                break;
            case 0x0B:
                value = static_cast<uint64_t>(static_cast<int64_t>(fixed<int32_t>()));
                break;
            case 0x0C:
                value = static_cast<uint64_t>(fixed<int64_t>());
                break;
            default:
                ok = false;
                return 0;
        }
        switch (encoding & 0x70) {
            case 0x00:
                break;
            case 0x10:
                value += here;
                break;
            case 0x30:
                value += dataBase;
                break;
            default:
                ok = false;
                return 0;
        }
        if (encoding & 0x80) {  // indirect
            uint64_t target = 0;
            if (!VXMReadMemory(value, &target, sizeof(target))) ok = false;
            value = target;
        }
        return value;
    }
};

// Copies the CIE or FDE at `address` (its length word included).
bool copyEntry(uint64_t address, uint8_t* out, Bytes* entry) {
    uint32_t length = 0;
    if (!VXMReadMemory(address, &length, sizeof(length))) return false;
    // 0 ends the section; 0xffffffff is the 64-bit form, which GCC never
    // emits into .eh_frame.
    if (length == 0 || length == 0xFFFFFFFFu || length + 4u > kEntryLimit) return false;
    if (!VXMReadMemory(address, out, length + 4u)) return false;
    *entry = Bytes{out + 4, out + 4 + length, address, out};
    entry->p = out + 4;
    return true;
}

enum class Rule : uint8_t { Same, Undefined, Offset, ValOffset, Register, Unsupported };

struct RegisterRule {
    Rule rule = Rule::Same;
    int64_t value = 0;
};

struct Row {
    unsigned cfaRegister = kRegRSP;
    int64_t cfaOffset = 8;
    bool cfaUnsupported = false;
    RegisterRule registers[VXMUnwindRegisterCount];
};

struct Cie {
    uint64_t codeAlign = 1;
    int64_t dataAlign = -8;
    uint64_t returnColumn = kReturnColumn;
    uint8_t pointerEncoding = 0;
    bool hasAugmentationData = false;
    bool signalFrame = false;
    Bytes instructions{nullptr, nullptr, 0, nullptr};
};

bool parseCie(Bytes b, Cie* cie) {
    if (b.fixed<uint32_t>() != 0 || !b.ok) return false;  // the CIE id
    uint8_t version = b.fixed<uint8_t>();
    if (version != 1 && version != 3) return false;
    char augmentation[8];
    size_t length = 0;
    for (;;) {
        char c = static_cast<char>(b.fixed<uint8_t>());
        if (!b.ok || length == sizeof(augmentation)) return false;
        augmentation[length++] = c;
        if (c == 0) break;
    }
    if (augmentation[0] == 'e' && augmentation[1] == 'h') b.skip(8);
    cie->codeAlign = b.uleb();
    cie->dataAlign = b.sleb();
    cie->returnColumn = version == 1 ? b.fixed<uint8_t>() : b.uleb();
    if (augmentation[0] == 'z') {
        cie->hasAugmentationData = true;
        uint64_t size = b.uleb();
        Bytes data = b;
        b.skip(size);
        for (const char* a = augmentation + 1; *a && data.ok; ++a) {
            if (*a == 'R') {
                cie->pointerEncoding = data.fixed<uint8_t>();
            } else if (*a == 'P') {
                uint8_t encoding = data.fixed<uint8_t>();
                data.encoded(static_cast<uint8_t>(encoding & 0x7F));  // not followed
            } else if (*a == 'L') {
                data.fixed<uint8_t>();
            } else if (*a == 'S') {
                cie->signalFrame = true;
            } else if (*a != 'B') {
                break;  // the length lets the rest be skipped
            }
        }
    }
    if (!b.ok || cie->returnColumn >= VXMUnwindRegisterCount) return false;
    cie->instructions = b;
    return true;
}

// Runs call-frame instructions until the row that covers `target`.
bool runInstructions(Bytes b, const Cie& cie, uint64_t location, uint64_t target, Row* row,
                     const Row* initial) {
    constexpr int kStateDepth = 8;
    Row remembered[kStateDepth];
    int depth = 0;
    RegisterRule ignored;  // rules of registers the walk does not follow
    auto rule = [&](uint64_t reg) -> RegisterRule* {
        return reg < VXMUnwindRegisterCount ? &row->registers[reg] : &ignored;
    };
    auto initialRule = [&](uint64_t reg) {
        return initial && reg < VXMUnwindRegisterCount ? initial->registers[reg] : RegisterRule{};
    };
    while (b.ok && b.p < b.end) {
        uint8_t op = b.fixed<uint8_t>();
        uint8_t low = op & 0x3F;
        switch (op & 0xC0) {
            case 0x40:
                location += low * cie.codeAlign;
                if (location > target) return true;
                continue;
            case 0x80:
                *rule(low) = {Rule::Offset, static_cast<int64_t>(b.uleb()) * cie.dataAlign};
                continue;
            case 0xC0:
                *rule(low) = initialRule(low);
                continue;
            default:
                break;
        }
        switch (op) {
            case 0x00:  // nop
                break;
            case 0x01:  // set_loc
                location = b.encoded(cie.pointerEncoding);
                if (location > target) return true;
                break;
            case 0x02:
            case 0x03:
            case 0x04: {
                uint64_t delta = op == 0x02   ? b.fixed<uint8_t>()
                                 : op == 0x03 ? b.fixed<uint16_t>()
                                              : b.fixed<uint32_t>();
                location += delta * cie.codeAlign;
                if (location > target) return true;
                break;
            }
            case 0x05: {  // offset_extended
                uint64_t reg = b.uleb();
                *rule(reg) = {Rule::Offset, static_cast<int64_t>(b.uleb()) * cie.dataAlign};
                break;
            }
            case 0x06: {  // restore_extended
                uint64_t reg = b.uleb();
                *rule(reg) = initialRule(reg);
                break;
            }
            case 0x07:
                *rule(b.uleb()) = {Rule::Undefined, 0};
                break;
            case 0x08:
                *rule(b.uleb()) = {Rule::Same, 0};
                break;
            case 0x09: {
                uint64_t reg = b.uleb();
                *rule(reg) = {Rule::Register, static_cast<int64_t>(b.uleb())};
                break;
            }
            case 0x0A:
                if (depth == kStateDepth) return false;
                remembered[depth++] = *row;
                break;
            case 0x0B:
                if (depth == 0) return false;
                *row = remembered[--depth];
                break;
            case 0x0C:
                row->cfaRegister = static_cast<unsigned>(b.uleb());
                row->cfaOffset = static_cast<int64_t>(b.uleb());
                row->cfaUnsupported = false;
                break;
            case 0x0D:
                row->cfaRegister = static_cast<unsigned>(b.uleb());
                row->cfaUnsupported = false;
                break;
            case 0x0E:
                row->cfaOffset = static_cast<int64_t>(b.uleb());
                break;
            case 0x0F:  // def_cfa_expression
                row->cfaUnsupported = true;
                b.skip(b.uleb());
                break;
            case 0x10:    // expression
            case 0x16: {  // val_expression
                uint64_t reg = b.uleb();
                *rule(reg) = {Rule::Unsupported, 0};
                b.skip(b.uleb());
                break;
            }
            case 0x11: {  // offset_extended_sf
                uint64_t reg = b.uleb();
                *rule(reg) = {Rule::Offset, b.sleb() * cie.dataAlign};
                break;
            }
            case 0x12:
                row->cfaRegister = static_cast<unsigned>(b.uleb());
                row->cfaOffset = b.sleb() * cie.dataAlign;
                row->cfaUnsupported = false;
                break;
            case 0x13:
                row->cfaOffset = b.sleb() * cie.dataAlign;
                break;
            case 0x14: {  // val_offset
                uint64_t reg = b.uleb();
                *rule(reg) = {Rule::ValOffset, static_cast<int64_t>(b.uleb()) * cie.dataAlign};
                break;
            }
            case 0x15: {
                uint64_t reg = b.uleb();
                *rule(reg) = {Rule::ValOffset, b.sleb() * cie.dataAlign};
                break;
            }
            case 0x2E:  // GNU_args_size
                b.uleb();
                break;
            case 0x2F: {  // GNU_negative_offset_extended
                uint64_t reg = b.uleb();
                *rule(reg) = {Rule::Offset, -static_cast<int64_t>(b.uleb()) * cie.dataAlign};
                break;
            }
            default:
                return false;
        }
    }
    return b.ok;
}

// The FDE that covers `pc` through the image's sorted .eh_frame_hdr table.
bool findFde(uint64_t pc, uint64_t* fdeAddress) {
    dl_find_object found{};
    if (_dl_find_object(reinterpret_cast<void*>(pc), &found) != 0 || !found.dlfo_eh_frame)
        return false;
    const auto header = reinterpret_cast<uint64_t>(found.dlfo_eh_frame);
    uint8_t prefix[4 + 8 + 8];
    if (!VXMReadMemory(header, prefix, 4)) return false;
    // Version 1; the table must be the usual datarel sdata4 pairs.
    if (prefix[0] != 1 || prefix[3] != 0x3B) return false;
    // The two values before the table, in their own encodings.
    uint8_t words[16];
    if (!VXMReadMemory(header + 4, words, sizeof(words))) return false;
    Bytes b{words, words + sizeof(words), header + 4, words};
    b.encoded(prefix[1], header);
    uint64_t count = b.encoded(prefix[2], header);
    if (!b.ok || count == 0 || count > (1u << 24)) return false;
    const uint64_t table = b.address();
    uint64_t low = 0, high = count;
    int32_t entry[2];
    while (high - low > 1) {
        uint64_t middle = low + (high - low) / 2;
        if (!VXMReadMemory(table + middle * 8, entry, sizeof(entry))) return false;
        if (header + static_cast<uint64_t>(static_cast<int64_t>(entry[0])) <= pc)
            low = middle;
        else
            high = middle;
    }
    if (!VXMReadMemory(table + low * 8, entry, sizeof(entry))) return false;
    if (header + static_cast<uint64_t>(static_cast<int64_t>(entry[0])) > pc) return false;
    *fdeAddress = header + static_cast<uint64_t>(static_cast<int64_t>(entry[1]));
    return true;
}

}  // namespace

bool VXMUnwindSafeContextNextFrameWithCFI(VXMUnwindContext* cursor, bool* ended) {
    *ended = false;
    if (!cursor->hasRegisters) return false;
    // A return address points after the call; the call itself is what
    // belongs to the caller's row.
    const uint64_t target = cursor->exactPC ? cursor->pc : cursor->pc - 1;
    uint64_t fdeAddress = 0;
    if (!findFde(target, &fdeAddress)) return false;

    uint8_t fdeBytes[kEntryLimit];
    Bytes fde{nullptr, nullptr, 0, nullptr};
    if (!copyEntry(fdeAddress, fdeBytes, &fde)) return false;
    const uint64_t ciePointerAt = fde.address();
    const uint32_t cieOffset = fde.fixed<uint32_t>();
    if (!fde.ok || cieOffset == 0) return false;  // a CIE, not an FDE
    uint8_t cieBytes[kEntryLimit];
    Bytes cieEntry{nullptr, nullptr, 0, nullptr};
    if (!copyEntry(ciePointerAt - cieOffset, cieBytes, &cieEntry)) return false;
    Cie cie;
    if (!parseCie(cieEntry, &cie)) return false;

    const uint64_t begin = fde.encoded(cie.pointerEncoding);
    const uint64_t range = fde.encoded(static_cast<uint8_t>(cie.pointerEncoding & 0x0F));
    if (!fde.ok || target < begin || target - begin >= range) return false;
    if (cie.hasAugmentationData) fde.skip(fde.uleb());
    if (!fde.ok) return false;

    // The CIE's instructions hold at every location of the function.
    Row initial;
    if (!runInstructions(cie.instructions, cie, 0, UINT64_MAX, &initial, nullptr)) return false;
    Row row = initial;
    if (!runInstructions(fde, cie, begin, target, &row, &initial)) return false;
    if (row.cfaUnsupported || row.cfaRegister >= VXMUnwindRegisterCount) return false;

    const uint64_t* regs = cursor->registers;
    const uint64_t cfa = regs[row.cfaRegister] + static_cast<uint64_t>(row.cfaOffset);
    uint64_t next[VXMUnwindRegisterCount];
    memcpy(next, regs, sizeof(next));
    for (size_t r = 0; r < VXMUnwindRegisterCount; ++r) {
        const RegisterRule& rule = row.registers[r];
        switch (rule.rule) {
            case Rule::Same:
                break;
            case Rule::Undefined:
                if (r == cie.returnColumn) {
                    *ended = true;
                    return false;
                }
                break;
            case Rule::Offset:
                if (!VXMReadMemory(cfa + static_cast<uint64_t>(rule.value), &next[r],
                                   sizeof(next[r])))
                    return false;
                break;
            case Rule::ValOffset:
                next[r] = cfa + static_cast<uint64_t>(rule.value);
                break;
            case Rule::Register:
                if (static_cast<uint64_t>(rule.value) >= VXMUnwindRegisterCount) return false;
                next[r] = regs[rule.value];
                break;
            case Rule::Unsupported:
                if (r == cie.returnColumn || r == kRegRSP || r == kRegRBP) return false;
                break;
        }
    }
    next[kRegRSP] = cfa;
    // The caller's stack pointer lies above ours and inside the stack.
    if (cfa <= cursor->stackPointer || cfa > cursor->stackTop) return false;
    const uint64_t pc = next[cie.returnColumn];
    if (pc <= 4095) {
        *ended = true;
        return false;
    }
    memcpy(cursor->registers, next, sizeof(next));
    cursor->registers[kReturnColumn] = pc;
    cursor->pc = pc;
    cursor->stackPointer = cfa;
    cursor->framePointer = next[kRegRBP];
    // The frame of a signal trampoline resumes at the interrupted
    // instruction itself.
    cursor->exactPC = cie.signalFrame;
    return true;
}
#else
bool VXMUnwindSafeContextNextFrameWithCFI(VXMUnwindContext*, bool* ended) {
    *ended = false;
    return false;
}
#endif

// ---- The walk -----------------------------------------------------------------

bool VXMUnwindSafeContextInitWith(VXMUnwindContext* cursor, uint64_t pc, uint64_t fp, uint64_t sp) {
    if (!cursor) return false;
    *cursor = VXMUnwindContext();
    cursor->pc = pc;
    cursor->framePointer = fp;
    cursor->stackPointer = sp;
    return true;
}

bool VXMUnwindSafeContextInit(VXMUnwindContext* cursor, const VXMThreadState* state) {
    if (!state) return false;
    if (!VXMUnwindSafeContextInitWith(cursor, VXMThreadStatePC(state), VXMThreadStateFP(state),
                                      VXMThreadStateSP(state)))
        return false;
#if defined(__x86_64__)
    // From the record's order to DWARF numbering.
    static const uint8_t fromState[VXMUnwindRegisterCount] = {0, 3,  2,  1,  5,  4,  6,  7, 8,
                                                              9, 10, 11, 12, 13, 14, 15, 16};
    for (size_t i = 0; i < VXMUnwindRegisterCount; ++i)
        cursor->registers[i] = state->registers[fromState[i]];
    cursor->hasRegisters = true;
#endif
    return true;
}

bool VXMUnwindSafeReadStack(uint64_t address, VXMUnwindContext* cursor, uint64_t* framePointer) {
    uint64_t frame[2];  // saved frame pointer, then the return address
    if (!VXMReadMemory(address, frame, sizeof(frame))) return false;
    *framePointer = frame[0];
    cursor->pc = frame[1];
    return true;
}

bool VXMUnwindSafeContextNextFrameWithFramePointer(VXMUnwindContext* cursor) {
    const uint64_t fp = cursor->framePointer;
    // The frame record must lie above the stack pointer of the frame below
    // and inside the stack; a chain that points to itself or downwards (the
    // C library keeps the thread's own control block in the register)
    // ends here.
    if (fp <= 4095 || fp < cursor->stackPointer || fp > cursor->stackTop - 16) return false;
    uint64_t next = 0;
    if (!VXMUnwindSafeReadStack(fp, cursor, &next)) return false;
    cursor->stackPointer = fp + 16;
    cursor->framePointer = next;
#if defined(__x86_64__)
    cursor->registers[kRegRSP] = fp + 16;
    cursor->registers[kRegRBP] = next;
    cursor->registers[kReturnColumn] = cursor->pc;
#endif
    cursor->exactPC = false;
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
    if (cursor->stackTop == 0) {
        const uint64_t anchor = cursor->stackPointer ? cursor->stackPointer : cursor->framePointer;
        cursor->stackTop = VXMStackTopForAddress(anchor);
    }
    bool ended = false;
    if (!VXMUnwindSafeContextNextFrameWithCFI(cursor, &ended)) {
        if (ended || !VXMUnwindSafeContextNextFrameWithFramePointer(cursor)) return false;
    }
    cursor->frames++;
    return true;
}

uint64_t VXMUnwindSafeContextGetPC(const VXMUnwindContext* cursor) {
    return cursor->pc;
}

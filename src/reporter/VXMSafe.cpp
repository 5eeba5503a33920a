#include "reporter/VXMSafe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "reporter/VXMContext.h"

namespace {

// A small output buffer for the stderr logger: flushed with write when full.
struct LogBuffer {
    char bytes[256];
    size_t used = 0;
    void flush() {
        size_t done = 0;
        while (done < used) {
            ssize_t n = write(STDERR_FILENO, bytes + done, used - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        used = 0;
    }
    void put(char c) {
        if (used == sizeof(bytes)) flush();
        bytes[used++] = c;
    }
    void put(const char* s) {
        while (*s) put(*s++);
    }
};

void putUnsigned(LogBuffer& out, unsigned long long value, unsigned base) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value);
    while (n) out.put(digits[--n]);
}

}  // namespace

void VXMSafeLogToStderr(const char* format, ...) {
    LogBuffer out;
    if (!format) {
        out.put("(NULL)");
        out.flush();
        return;
    }
    va_list args;
    va_start(args, format);
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            out.put(*p);
            continue;
        }
        ++p;
        int longs = 0;
        bool size = false;
        while (*p == 'l' || *p == 'z') {
            if (*p == 'l') ++longs;
            if (*p == 'z') size = true;
            ++p;
        }
        auto signedArg = [&]() -> long long {
            if (size) return va_arg(args, ssize_t);
            if (longs >= 2) return va_arg(args, long long);
            if (longs == 1) return va_arg(args, long);
            return va_arg(args, int);
        };
        auto unsignedArg = [&]() -> unsigned long long {
            if (size) return va_arg(args, size_t);
            if (longs >= 2) return va_arg(args, unsigned long long);
            if (longs == 1) return va_arg(args, unsigned long);
            return va_arg(args, unsigned);
        };
        switch (*p) {
            case 'd':
            case 'i': {
                long long v = signedArg();
                if (v < 0) {
                    out.put('-');
                    putUnsigned(out, 0ULL - static_cast<unsigned long long>(v), 10);
                } else {
                    putUnsigned(out, static_cast<unsigned long long>(v), 10);
                }
                break;
            }
            case 'u':
                putUnsigned(out, unsignedArg(), 10);
                break;
            case 'x':
                putUnsigned(out, unsignedArg(), 16);
                break;
            case 'p':
                out.put("0x");
                putUnsigned(out, reinterpret_cast<uintptr_t>(va_arg(args, void*)), 16);
                break;
            case 'c':
                out.put(static_cast<char>(va_arg(args, int)));
                break;
            case 's': {
                const char* s = va_arg(args, const char*);
                out.put(s ? s : "(null)");
                break;
            }
            case '%':
                out.put('%');
                break;
            case '\0':
                --p;
                break;
            default:
                out.put('%');
                out.put(*p);
        }
    }
    va_end(args);
    out.flush();
}

namespace {

std::atomic<int> safeReadMode{static_cast<int>(VXMSafeReadMode::ProcessVMRead)};
// The pipe of the fallback, opened at start-up, and who is using it.
std::atomic<int> readPipe[2] = {-1, -1};
std::atomic_flag readPipeBusy = ATOMIC_FLAG_INIT;

bool readWithProcessVM(uintptr_t address, void* destination, size_t length) {
    iovec local{destination, length};
    iovec remote{reinterpret_cast<void*>(address), length};
    ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    return n == static_cast<ssize_t>(length);
}

// The kernel copies what write() is given and answers EFAULT, instead of
// faulting, for memory that cannot be read; reading the pipe back gives
// the bytes.
bool readThroughPipe(int in, int out, uintptr_t address, void* destination, size_t length) {
    auto* to = static_cast<uint8_t*>(destination);
    while (length) {
        const size_t chunk = length < 4096 ? length : 4096;  // well below the pipe's capacity
        ssize_t written;
        do {
            written = write(in, reinterpret_cast<const void*>(address), chunk);
        } while (written < 0 && errno == EINTR);
        size_t drained = 0;
        while (written > 0 && drained < static_cast<size_t>(written)) {
            ssize_t n = read(out, to + drained, static_cast<size_t>(written) - drained);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            drained += static_cast<size_t>(n);
        }
        if (written != static_cast<ssize_t>(chunk)) return false;  // a fault part way
        address += chunk;
        to += chunk;
        length -= chunk;
    }
    return true;
}

bool readWithPipe(uintptr_t address, void* destination, size_t length) {
    if (!readPipeBusy.test_and_set()) {
        const int in = readPipe[1].load(), out = readPipe[0].load();
        bool ok = in >= 0 && out >= 0 && readThroughPipe(in, out, address, destination, length);
        readPipeBusy.clear();
        return ok;
    }
    // Another thread holds the shared pipe (perhaps stopped inside it at
    // crash time): a pipe of our own for this one read.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    bool ok = readThroughPipe(fds[1], fds[0], address, destination, length);
    close(fds[0]);
    close(fds[1]);
    return ok;
}

}  // namespace

VXMSafeReadMode VXMSafeReadInit() {
    uint64_t probe = 0x5AFE;
    uint64_t copy = 0;
    if (readWithProcessVM(reinterpret_cast<uintptr_t>(&probe), &copy, sizeof(copy)) &&
        copy == probe) {
        VXMSafeReadSetMode(VXMSafeReadMode::ProcessVMRead);
    } else {
        VXMDebugLog("[Vexmor] Safe memory reads denied (%s), falling back to a pipe",
                    strerror(errno));
        VXMSafeReadSetMode(VXMSafeReadMode::Pipe);
    }
    return VXMSafeReadGetMode();
}

void VXMSafeReadSetMode(VXMSafeReadMode mode) {
    if (mode == VXMSafeReadMode::Pipe && readPipe[0].load() < 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
        readPipe[0].store(fds[0]);
        readPipe[1].store(fds[1]);
    }
    safeReadMode.store(static_cast<int>(mode));
}

VXMSafeReadMode VXMSafeReadGetMode() {
    return static_cast<VXMSafeReadMode>(safeReadMode.load());
}

bool VXMReadMemory(uintptr_t address, void* destination, size_t length) {
    if (length == 0) return true;
    if (!destination) return false;
    if (safeReadMode.load(std::memory_order_relaxed) == static_cast<int>(VXMSafeReadMode::Pipe))
        return readWithPipe(address, destination, length);
    return readWithProcessVM(address, destination, length);
}

bool VXMReadString(uintptr_t address, const char** out, size_t limit) {
    if (!address) return false;
    // Read page by page so a string that ends just before an unmapped page
    // still counts as readable.
    const uintptr_t page = 4096;
    char chunk[256];
    size_t done = 0;
    while (done < limit) {
        uintptr_t at = address + done;
        size_t want = limit - done;
        size_t toPage = page - (at % page);
        if (want > toPage) want = toPage;
        if (want > sizeof(chunk)) want = sizeof(chunk);
        if (!VXMReadMemory(at, chunk, want)) return false;
        if (memchr(chunk, 0, want)) break;
        done += want;
    }
    if (out) *out = reinterpret_cast<const char*>(address);
    return true;
}

void VXMSafeHexToString(const uint8_t* bytes, size_t length, char* out) {
    if (!out) return;
    if (!bytes) length = 0;
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    out[2 * length] = '\0';
}

void VXMSafeUUIDToString(const uint8_t* bytes, char* out) {
    uint8_t copy[16];
    if (!bytes || !VXMReadMemory(reinterpret_cast<uintptr_t>(bytes), copy, sizeof(copy))) {
        memcpy(out, "(invalid)", 10);
        return;
    }
    VXMSafeHexToString(copy, sizeof(copy), out);
}

std::string VXMUUIDToNSString(const uint8_t* bytes) {
    char text[33];
    VXMSafeUUIDToString(bytes, text);
    return text;
}

bool VXMIsValidUTF8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<uint8_t>(s[i]);
        size_t n;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size()) return false;
            auto d = static_cast<uint8_t>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

size_t VXMUTF8PrefixLength(const char* text, size_t length, size_t limit) {
    if (length <= limit) return length;
    size_t cut = limit;
    // Step back over continuation bytes to the start of the cut character.
    while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

size_t VXMEscapedPrefixLength(const char* text, size_t length, size_t limit) {
    size_t cut = VXMUTF8PrefixLength(text, length, limit);
    if (cut == length) return cut;
    // Never leave half of a %XX escape at the end.
    for (size_t back = 1; back <= 2 && back <= cut; ++back)
        if (text[cut - back] == '%') return cut - back;
    return cut;
}

const char* VXMDupString(const char* text) {
    if (!text) return nullptr;
    size_t length = VXMUTF8PrefixLength(text, strlen(text), VXMStringLimit);
    auto* copy = static_cast<char*>(
        VXMAllocatorSafeAllocate(vxmContext.allocator, length + 1, VXMAllocationReadOnly));
    if (!copy) return nullptr;
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

const char* VXMDupNSString(const std::string& text) {
    return VXMDupString(text.c_str());
}

std::string VXMNSDataToNSString(const std::vector<uint8_t>& data) {
    std::string out(data.size() * 2 + 1, '\0');
    VXMSafeHexToString(data.data(), data.size(), out.data());
    out.resize(data.size() * 2);
    return out;
}

std::string VXMHashBytes(const void* bytes, size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes, length, digest, &size, EVP_sha1(), nullptr) != 1) return {};
    return VXMNSDataToNSString(std::vector<uint8_t>(digest, digest + size));
}

std::string VXMHashNSString(const std::string& text) {
    return VXMHashBytes(text.data(), text.size());
}

std::string VXMHashSaltedNSString(const std::string& text, const std::string& salt) {
    return VXMHashNSString(salt + text);
}

std::string VXMGenerateUUID() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_upper(id, text);
    return text;
}

std::string VXMNormalizeUUID(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '-') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

void VXMLookupFunctionPointer(const void* address,
                              const std::function<void(const char*, const char*)>& block) {
    Dl_info info{};
    if (!address || dladdr(address, &info) == 0) {
        block(nullptr, nullptr);
        return;
    }
    block(info.dli_sname, info.dli_fname && *info.dli_fname ? info.dli_fname : "unknown");
}

std::string VXMPercentEscape(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::optional<std::string> VXMPercentUnescape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    if (!VXMIsValidUTF8(out)) return std::nullopt;
    return out;
}

void VXMDupAndSwapString(std::atomic<char*>* slot, const std::optional<std::string>& text,
                         bool escape) {
    if (!slot) return;
    std::string value = !text ? std::string("(null)") : escape ? VXMPercentEscape(*text) : *text;
    value.resize(escape ? VXMEscapedPrefixLength(value.data(), value.size(), VXMStringLimit)
                        : VXMUTF8PrefixLength(value.data(), value.size(), VXMStringLimit));
    char* copy = strdup(value.c_str());
    char* old = slot->exchange(copy);
    free(old);
}

namespace {
std::atomic<bool> debugMode{false};
}

void VXMSetDebugMode(bool on) {
    debugMode.store(on);
}
bool VXMDebugMode() {
    return debugMode.load();
}

void VXMDebugLog(const char* format, ...) {
    if (!debugMode.load() || !format) return;
    va_list args;
    va_start(args, format);
    vsyslog(LOG_NOTICE, format, args);
    va_end(args);
}

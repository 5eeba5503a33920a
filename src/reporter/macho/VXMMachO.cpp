#include "reporter/macho/VXMMachO.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr uint64_t kFatHeaderSize = 8;
constexpr uint64_t kFatArchSize = 20;
constexpr uint64_t kHeaderSize32 = 28;
constexpr uint64_t kHeaderSize64 = 32;
constexpr uint32_t kLoadCommandMinimum = 8;

uint32_t readHost32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint32_t readBig32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t readHost64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool isThinMagic(uint32_t magic) {
    return magic == kVXMMachOMagic32 || magic == kVXMMachOCigam32 || magic == kVXMMachOMagic64 ||
           magic == kVXMMachOCigam64;
}

bool is64BitMagic(uint32_t magic) {
    return magic == kVXMMachOMagic64 || magic == kVXMMachOCigam64;
}

// Whether [offset, offset + length) lies within `size` bytes.
bool fits(uint64_t size, uint64_t offset, uint64_t length) {
    return offset <= size && length <= size - offset;
}

uint32_t commandSize(const uint8_t* command) {
    return readHost32(command + 4);
}

struct ArchName {
    int32_t type;
    int32_t subtype;  // -1: the family's name for any subtype not listed
    const char* name;
};

// Exact (type, subtype) entries first; each family ends with its catch-all.
constexpr ArchName kArchNames[] = {
    {kVXMCPUTypeX86, 3, "i386"},
    {kVXMCPUTypeX86, -1, "i386"},
    {kVXMCPUTypeX86_64, 8, "x86_64h"},
    {kVXMCPUTypeX86_64, -1, "x86_64"},
    {kVXMCPUTypeARM64, 0, "arm64"},
    {kVXMCPUTypeARM64, 1, "arm64v8"},
    {kVXMCPUTypeARM64, 2, "arm64e"},
    {kVXMCPUTypeARM64, -1, "arm64"},
    {kVXMCPUTypeARM | 0x02000000, -1, "arm64_32"},
    {kVXMCPUTypeARM, 5, "armv4t"},
    {kVXMCPUTypeARM, 6, "armv6"},
    {kVXMCPUTypeARM, 7, "armv5"},
    {kVXMCPUTypeARM, 8, "xscale"},
    {kVXMCPUTypeARM, 9, "armv7"},
    {kVXMCPUTypeARM, 10, "armv7f"},
    {kVXMCPUTypeARM, 11, "armv7s"},
    {kVXMCPUTypeARM, 12, "armv7k"},
    {kVXMCPUTypeARM, 13, "armv8"},
    {kVXMCPUTypeARM, 14, "armv6m"},
    {kVXMCPUTypeARM, 15, "armv7m"},
    {kVXMCPUTypeARM, 16, "armv7em"},
    {kVXMCPUTypeARM, -1, "arm"},
    {18, 100, "ppc970"},
    {18, -1, "ppc"},
    {18 | kVXMCPUArch64, -1, "ppc64"},
    {1, -1, "vax"},
    {6, -1, "m68k"},
    {11, -1, "hppa"},
    {13, -1, "m88k"},
    {14, -1, "sparc"},
    {15, -1, "i860"},
};

}  // namespace

bool VXMMachOFileInitWithPath(VXMMachOFile* file, const char* path) {
    if (!file || !path) return false;
    // Non-blocking, so that a FIFO at the path is refused instead of waited on.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 16) {
        close(fd);
        return false;
    }
    void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        close(fd);
        return false;
    }
    file->fd = fd;
    file->size = static_cast<uint64_t>(st.st_size);
    file->data = static_cast<const uint8_t*>(map);
    return true;
}

void VXMMachOFileDestroy(VXMMachOFile* file) {
    if (!file) return;
    if (file->data) munmap(const_cast<uint8_t*>(file->data), static_cast<size_t>(file->size));
    if (file->fd >= 0) close(file->fd);
    *file = VXMMachOFile{};
}

bool VXMMachOFileEnumerateSlices(const VXMMachOFile* file,
                                 VXMMachOBlock<void(const VXMMachOSliceInfo&)> block) {
    if (!file || !file->data || file->size == 0) return false;
    return VXMMachOEnumerateSlicesAtAddress(file->data, file->size, block);
}

bool VXMMachOEnumerateSlicesAtAddress(const uint8_t* address, uint64_t size,
                                      VXMMachOBlock<void(const VXMMachOSliceInfo&)> block) {
    if (!address || !fits(size, 0, 4)) return false;
    uint32_t magic = readHost32(address);
    if (magic == kVXMFatMagic || magic == kVXMFatCigam) {
        if (!fits(size, 0, kFatHeaderSize)) return false;
        uint64_t count = readBig32(address + 4);
        if (!fits(size, kFatHeaderSize, count * kFatArchSize)) return false;
        // Every record is checked before the first slice is handed out, so a
        // malformed file yields nothing rather than a prefix of its slices.
        for (int pass = 0; pass < 2; ++pass) {
            for (uint64_t i = 0; i < count; ++i) {
                const uint8_t* record = address + kFatHeaderSize + i * kFatArchSize;
                uint64_t offset = readBig32(record + 8);
                uint64_t length = readBig32(record + 12);
                if (pass == 0) {
                    if (length < kHeaderSize32 || !fits(size, offset, length)) return false;
                    continue;
                }
                VXMMachOSliceInfo slice;
                slice.startAddress = address + offset;
                slice.header = slice.startAddress;
                slice.cpuType = static_cast<int32_t>(readBig32(record));
                slice.cpuSubtype = static_cast<int32_t>(readBig32(record + 4));
                slice.size = length;
                block(slice);
            }
        }
        return true;
    }
    VXMMachOSliceInfo slice;
    slice.startAddress = address;
    slice.header = address;
    slice.size = size;
    if (isThinMagic(magic) && fits(size, 0, kHeaderSize32)) {
        slice.cpuType = static_cast<int32_t>(readHost32(address + 4));
        slice.cpuSubtype = static_cast<int32_t>(readHost32(address + 8));
    }
    block(slice);
    return true;
}

bool VXMMachOSliceEnumerateLoadCommands(
    VXMMachOSliceInfo* slice, VXMMachOBlock<void(uint32_t, uint32_t, const uint8_t*)> block) {
    if (!slice || !slice->header) return false;
    const uint8_t* header = slice->header;
    // The header may sit after the slice start; its distance counts against
    // the slice's bounds.
    uint64_t headerOffset = 0;
    if (slice->size != kVXMMachOLoadedImage) {
        if (header < slice->startAddress) return false;
        headerOffset = static_cast<uint64_t>(header - slice->startAddress);
    }
    if (!fits(slice->size, headerOffset, 4)) return false;
    uint32_t magic = readHost32(header);
    if (!isThinMagic(magic)) return false;
    uint64_t headerSize = is64BitMagic(magic) ? kHeaderSize64 : kHeaderSize32;
    if (!fits(slice->size, headerOffset, headerSize)) return false;
    slice->cpuType = static_cast<int32_t>(readHost32(header + 4));
    slice->cpuSubtype = static_cast<int32_t>(readHost32(header + 8));
    uint32_t count = readHost32(header + 16);
    // The walk is bounded by the slice, not by the header's sizeofcmds: a
    // command that would end past the slice ends it, and the commands before
    // it still count. A loaded image is bounded by sizeofcmds.
    uint64_t areaOffset = headerOffset + headerSize;
    uint64_t areaSize =
        slice->size == kVXMMachOLoadedImage ? readHost32(header + 20) : slice->size - areaOffset;

    uint64_t used = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (areaSize - used < kLoadCommandMinimum) return false;
        const uint8_t* command = header + headerSize + used;
        uint32_t size = commandSize(command);
        if (size < kLoadCommandMinimum || size > areaSize - used) return false;
        block(readHost32(command), size, command);
        used += size;
    }
    return true;
}

VXMMachOSliceInfo VXMMachOSliceGetCurrent() {
    VXMMachOSliceInfo slice;
    // Only the main executable: a handle for the program itself, not a
    // global search that could find the symbol in some library.
    if (void* self = dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD)) {
        if (void* symbol = dlsym(self, "_mh_execute_header")) {
            Dl_info info;
            if (dladdr(symbol, &info) != 0 && info.dli_fbase)
                slice.header = static_cast<const uint8_t*>(info.dli_fbase);
        }
        dlclose(self);
    }
    slice.startAddress = slice.header;
    slice.size = kVXMMachOLoadedImage;
    struct utsname host;
    if (uname(&host) == 0) {
        if (std::strcmp(host.machine, "x86_64") == 0) {
            slice.cpuType = kVXMCPUTypeX86_64;
            slice.cpuSubtype = 3;
        } else if (std::strcmp(host.machine, "aarch64") == 0 ||
                   std::strcmp(host.machine, "arm64") == 0) {
            slice.cpuType = kVXMCPUTypeARM64;
            slice.cpuSubtype = 0;
        } else if (host.machine[0] == 'i' && std::strcmp(host.machine + 2, "86") == 0) {
            slice.cpuType = kVXMCPUTypeX86;
            slice.cpuSubtype = 3;
        }
    }
    return slice;
}

VXMMachOSliceInfo VXMMachOSliceWithHeader(const uint8_t* header) {
    VXMMachOSliceInfo slice;
    slice.startAddress = header;
    slice.header = header;
    slice.size = kVXMMachOLoadedImage;
    return slice;
}

const char* VXMMachOSliceGetExecutablePath(const VXMMachOSliceInfo* slice) {
    if (!slice || !slice->header) return nullptr;
    Dl_info info;
    if (dladdr(slice->header, &info) == 0) return nullptr;
    return info.dli_fname;
}

const char* VXMMachOSliceGetArchitectureName(const VXMMachOSliceInfo* slice) {
    if (!slice) return "unknown";
    int32_t type = slice->cpuType;
    int32_t subtype =
        static_cast<int32_t>(static_cast<uint32_t>(slice->cpuSubtype) & ~kVXMCPUSubtypeMask);
    for (const ArchName& entry : kArchNames) {
        if (entry.type == type && (entry.subtype == subtype || entry.subtype == -1))
            return entry.name;
    }
    return "unknown";
}

bool VXMMachOSliceIs64Bit(const VXMMachOSliceInfo* slice) {
    return slice && (slice->cpuType & kVXMCPUArch64) != 0;
}

void VXMMachOSliceGetUnwindInformation(VXMMachOSliceInfo* slice, uintptr_t* ehFrame,
                                       uintptr_t* unwindInfo) {
    if (!slice) return;
    VXMMachOSliceInfo* s = slice;
    VXMMachOSliceEnumerateLoadCommands(
        slice, [&](uint32_t cmd, uint32_t size, const uint8_t* command) {
            bool wide = VXMMachOSliceIs64Bit(s);
            if (cmd != (wide ? kVXMLoadCommandSegment64 : kVXMLoadCommandSegment)) return;
            uint64_t segmentHeader = wide ? 72 : 56;
            uint64_t sectionSize = wide ? 80 : 68;
            if (size < segmentHeader) return;
            if (std::strncmp(reinterpret_cast<const char*>(command + 8), "__TEXT", 16) != 0) return;
            uint64_t count = readHost32(command + (wide ? 64 : 48));
            if (count > (size - segmentHeader) / sectionSize) return;
            for (uint64_t i = 0; i < count; ++i) {
                const uint8_t* section = command + segmentHeader + i * sectionSize;
                const char* name = reinterpret_cast<const char*>(section);
                uint64_t length = wide ? readHost64(section + 40) : readHost32(section + 36);
                uint64_t offset = readHost32(section + (wide ? 48 : 40));
                if (!fits(s->size, offset, length)) continue;
                uintptr_t address = reinterpret_cast<uintptr_t>(s->startAddress) + offset;
                if (std::strncmp(name, "__eh_frame", 16) == 0) {
                    if (ehFrame) *ehFrame = address;
                } else if (std::strncmp(name, "__unwind_info", 16) == 0) {
                    if (unwindInfo) *unwindInfo = address;
                }
            }
        });
}

const uint8_t* VXMMachOGetUUID(const uint8_t* command) {
    if (!command || readHost32(command) != kVXMLoadCommandUUID || commandSize(command) < 24)
        return nullptr;
    return command + 8;
}

const char* VXMMachOGetDylibPath(const uint8_t* command) {
    if (!command) return nullptr;
    uint32_t size = commandSize(command);
    if (size < 24) return nullptr;  // cmd, cmdsize, name offset, timestamp, two versions
    uint32_t offset = readHost32(command + 8);
    if (offset < 24 || offset >= size) return nullptr;
    const char* name = reinterpret_cast<const char*>(command + offset);
    if (!std::memchr(name, '\0', size - offset)) return nullptr;
    return name;
}

bool VXMMachOGetEncrypted(const uint8_t* command) {
    if (!command || commandSize(command) < 20) return false;
    return readHost32(command + 16) != 0;
}

namespace {

// Field offsets of the minimum and SDK versions in a version command.
bool versionFields(const uint8_t* command, uint32_t* minimum, uint32_t* sdk) {
    if (!command) return false;
    uint32_t cmd = readHost32(command);
    uint32_t size = commandSize(command);
    switch (cmd) {
        case kVXMLoadCommandVersionMinMacOSX:
        case kVXMLoadCommandVersionMinIPhoneOS:
        case kVXMLoadCommandVersionMinTvOS:
        case kVXMLoadCommandVersionMinWatchOS:
            if (size < 16) return false;
            *minimum = readHost32(command + 8);
            *sdk = readHost32(command + 12);
            return true;
        case kVXMLoadCommandBuildVersion:  // platform, minos, sdk, ntools
            if (size < 24) return false;
            *minimum = readHost32(command + 12);
            *sdk = readHost32(command + 16);
            return true;
        default:
            return false;
    }
}

}  // namespace

VXMMachOVersion VXMMachOVersionFromPacked(uint32_t packed) {
    return VXMMachOVersion{packed >> 16, (packed >> 8) & 0xFF, packed & 0xFF};
}

bool VXMMachOGetMinimumOSVersion(const uint8_t* command, VXMMachOVersion* version) {
    uint32_t minimum, sdk;
    if (!version || !versionFields(command, &minimum, &sdk)) return false;
    *version = VXMMachOVersionFromPacked(minimum);
    return true;
}

bool VXMMachOGetLinkedSDKVersion(const uint8_t* command, VXMMachOVersion* version) {
    uint32_t minimum, sdk;
    if (!version || !versionFields(command, &minimum, &sdk)) return false;
    *version = VXMMachOVersionFromPacked(sdk);
    return true;
}

std::string VXMMachONormalizeUUID(const uint8_t* bytes) {
    if (!bytes) return {};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(32, '0');
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0xF];
    }
    return text;
}

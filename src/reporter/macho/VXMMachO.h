#pragma once
// Plain functions that read Mach-O images: a file mapped read-only from disk,
// or an image already loaded in memory. They allocate nothing except the file
// mapping. Every count, offset and size a mapped file holds is checked against
// the file before it is followed: a malformed file is refused, never read past
// its end.

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

// A non-owning reference to a callable, so enumeration allocates nothing.
template <typename Signature>
class VXMMachOBlock;

template <typename R, typename... Args>
class VXMMachOBlock<R(Args...)> {
  public:
    template <typename F,
              typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, VXMMachOBlock>>>
    VXMMachOBlock(F&& f)  // NOLINT: implicit by design, like a block literal
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
          }) {}
    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

  private:
    void* object_;
    R (*call_)(void*, Args...);
};

inline constexpr uint32_t kVXMFatMagic = 0xCAFEBABE;
inline constexpr uint32_t kVXMFatCigam = 0xBEBAFECA;
inline constexpr uint32_t kVXMMachOMagic32 = 0xFEEDFACE;
inline constexpr uint32_t kVXMMachOCigam32 = 0xCEFAEDFE;
inline constexpr uint32_t kVXMMachOMagic64 = 0xFEEDFACF;
inline constexpr uint32_t kVXMMachOCigam64 = 0xCFFAEDFE;

inline constexpr uint32_t kVXMLoadCommandSegment = 0x1;
inline constexpr uint32_t kVXMLoadCommandLoadDylib = 0xC;
inline constexpr uint32_t kVXMLoadCommandIdDylib = 0xD;
inline constexpr uint32_t kVXMLoadCommandSegment64 = 0x19;
inline constexpr uint32_t kVXMLoadCommandUUID = 0x1B;
inline constexpr uint32_t kVXMLoadCommandEncryptionInfo = 0x21;
inline constexpr uint32_t kVXMLoadCommandVersionMinMacOSX = 0x24;
inline constexpr uint32_t kVXMLoadCommandVersionMinIPhoneOS = 0x25;
inline constexpr uint32_t kVXMLoadCommandVersionMinTvOS = 0x2F;
inline constexpr uint32_t kVXMLoadCommandVersionMinWatchOS = 0x30;
inline constexpr uint32_t kVXMLoadCommandBuildVersion = 0x32;
inline constexpr uint32_t kVXMLoadCommandReqDyld = 0x80000000;
inline constexpr uint32_t kVXMLoadCommandLoadWeakDylib = kVXMLoadCommandReqDyld | 0x18;
inline constexpr uint32_t kVXMLoadCommandReexportDylib = kVXMLoadCommandReqDyld | 0x1F;

inline constexpr int32_t kVXMCPUArch64 = 0x01000000;
inline constexpr int32_t kVXMCPUTypeX86 = 7;
inline constexpr int32_t kVXMCPUTypeX86_64 = kVXMCPUTypeX86 | kVXMCPUArch64;
inline constexpr int32_t kVXMCPUTypeARM = 12;
inline constexpr int32_t kVXMCPUTypeARM64 = kVXMCPUTypeARM | kVXMCPUArch64;
// The high byte of a CPU subtype carries capability bits (e.g. 0x80000003 for
// x86_64 executables); names are looked up without it.
inline constexpr uint32_t kVXMCPUSubtypeMask = 0xFF000000;

struct VXMMachOFile {
    int fd = -1;
    uint64_t size = 0;
    const uint8_t* data = nullptr;
};

// The size of an image already loaded in memory: trusted, not bounded.
inline constexpr uint64_t kVXMMachOLoadedImage = UINT64_MAX;

// One architecture slice. `size` bounds every read from `startAddress` on;
// kVXMMachOLoadedImage for an image already loaded in memory.
struct VXMMachOSliceInfo {
    const uint8_t* startAddress = nullptr;
    const uint8_t* header = nullptr;
    int32_t cpuType = 0;
    int32_t cpuSubtype = 0;
    uint64_t size = 0;
};

struct VXMMachOVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t patch = 0;
    bool operator==(const VXMMachOVersion&) const = default;
};

// Opens `path` read-only; it must be a regular file of at least 16 bytes,
// mapped whole. False, with nothing left open, on any failure.
bool VXMMachOFileInitWithPath(VXMMachOFile* file, const char* path);
void VXMMachOFileDestroy(VXMMachOFile* file);

// Calls `block` once per slice, in the order of a fat file's records; a thin
// file or one of unknown magic is a single slice. False (and no call at all)
// when the file is malformed: a fat count or a slice that does not fit.
bool VXMMachOFileEnumerateSlices(const VXMMachOFile* file,
                                 VXMMachOBlock<void(const VXMMachOSliceInfo&)> block);
// The same for `size` bytes at `address` (kVXMMachOLoadedImage for an image
// loaded in memory, whose headers are trusted).
bool VXMMachOEnumerateSlicesAtAddress(const uint8_t* address, uint64_t size,
                                      VXMMachOBlock<void(const VXMMachOSliceInfo&)> block);

// Calls `block(command, size, pointer to the command)` for each load command in
// file order, after storing the header's CPU type and subtype in `slice`.
// Every command handed out lies whole inside the slice and is at least 8
// bytes. A command that would end past the slice (whatever sizeofcmds says)
// or is shorter than 8 bytes ends the walk; the commands before it have been
// handed out. False when the walk ended so early, or when the slice is not a
// thin Mach-O image whose header fits.
bool VXMMachOSliceEnumerateLoadCommands(
    VXMMachOSliceInfo* slice, VXMMachOBlock<void(uint32_t, uint32_t, const uint8_t*)> block);

// The slice of the running main executable; its header is null when the
// executable is not a Mach-O image (CPU fields still name the host).
VXMMachOSliceInfo VXMMachOSliceGetCurrent();
VXMMachOSliceInfo VXMMachOSliceWithHeader(const uint8_t* header);
// The path of the loaded image at the slice's header, or null.
const char* VXMMachOSliceGetExecutablePath(const VXMMachOSliceInfo* slice);

// "arm64", "x86_64", "i386", ... or "unknown".
const char* VXMMachOSliceGetArchitectureName(const VXMMachOSliceInfo* slice);
bool VXMMachOSliceIs64Bit(const VXMMachOSliceInfo* slice);
// The addresses of __TEXT,__eh_frame and __TEXT,__unwind_info; an output stays
// unchanged when its section is missing or lies outside the slice.
void VXMMachOSliceGetUnwindInformation(VXMMachOSliceInfo* slice, uintptr_t* ehFrame,
                                       uintptr_t* unwindInfo);

// Command accessors. `command` is one handed out by the load-command walk;
// each checks the command's own size before reading a field of it.
const uint8_t* VXMMachOGetUUID(const uint8_t* command);
// Null unless the name offset lies inside the command and the name ends there.
const char* VXMMachOGetDylibPath(const uint8_t* command);
bool VXMMachOGetEncrypted(const uint8_t* command);
// For LC_VERSION_MIN_* and LC_BUILD_VERSION commands; false for others.
bool VXMMachOGetMinimumOSVersion(const uint8_t* command, VXMMachOVersion* version);
bool VXMMachOGetLinkedSDKVersion(const uint8_t* command, VXMMachOVersion* version);
// A packed version: major in the upper 16 bits, then minor and patch bytes.
VXMMachOVersion VXMMachOVersionFromPacked(uint32_t packed);

// Sixteen bytes as 32 lower-case hexadecimal digits, no dashes.
std::string VXMMachONormalizeUUID(const uint8_t* bytes);

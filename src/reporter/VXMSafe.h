#pragma once
// Helpers shared by the crash-time code. Everything marked "safe" is
// async-signal-safe: system calls only, no allocation, no lock.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The longest string the record reader accepts; longer texts are cut to it,
// on a character boundary, when they are stored.
inline constexpr size_t VXMStringLimit = 10239;

// Writes a diagnostic to standard error. Placeholders: %d %i %u %x %c %s %p %%
// with the length modifiers l, ll and z. A null format writes "(NULL)".
void VXMSafeLogToStderr(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Copies `length` bytes of our own memory at `address`; false (and nothing
// faults) when any of it is unreadable.
bool VXMReadMemory(uintptr_t address, void* destination, size_t length);

// How VXMReadMemory reads: process_vm_readv, or, where a sandbox denies it,
// write() of the range into a pipe (refused with EFAULT for unreadable
// memory) and reading it back.
enum class VXMSafeReadMode { ProcessVMRead, Pipe };
// Tries process_vm_readv once and falls back to the pipe when it fails;
// the crash context calls it at start-up.
VXMSafeReadMode VXMSafeReadInit();
void VXMSafeReadSetMode(VXMSafeReadMode mode);
VXMSafeReadMode VXMSafeReadGetMode();

// True when the text at `address` is readable up to its terminator or up to
// `limit` bytes; `*out` is then the address.
bool VXMReadString(uintptr_t address, const char** out, size_t limit);

// Lower-case hexadecimal, two characters per byte, terminated; `out` holds
// 2 * length + 1 bytes. A null input gives "".
void VXMSafeHexToString(const uint8_t* bytes, size_t length, char* out);

// The 16 bytes as 32 hexadecimal characters, or "(invalid)" when they cannot
// be read; `out` holds 33 bytes.
void VXMSafeUUIDToString(const uint8_t* bytes, char* out);
std::string VXMUUIDToNSString(const uint8_t* bytes);

// Strict UTF-8: no stray, overlong or surrogate sequences, nothing past U+10FFFF.
bool VXMIsValidUTF8(std::string_view text);

// Length of the longest prefix of `text` (at most `limit` bytes) that ends on
// a UTF-8 character boundary.
size_t VXMUTF8PrefixLength(const char* text, size_t length, size_t limit);
// The same, also never ending inside a %XX escape.
size_t VXMEscapedPrefixLength(const char* text, size_t length, size_t limit);

// Copies text into the guarded allocator's read-only region (malloc once it
// is protected), cut to VXMStringLimit; null stays null.
const char* VXMDupString(const char* text);
const char* VXMDupNSString(const std::string& text);

std::string VXMNSDataToNSString(const std::vector<uint8_t>& data);

// SHA-1 as 40 lower-case hexadecimal characters.
std::string VXMHashBytes(const void* bytes, size_t length);
std::string VXMHashNSString(const std::string& text);
std::string VXMHashSaltedNSString(const std::string& text, const std::string& salt);

// A new random UUID in upper-case dashed form.
std::string VXMGenerateUUID();
// Every "-" removed, lower case.
std::string VXMNormalizeUUID(const std::string& text);

// Calls `block` with the symbol name and image path of `address` ("unknown"
// for a missing path), or with two nulls when the lookup fails.
void VXMLookupFunctionPointer(const void* address,
                              const std::function<void(const char*, const char*)>& block);

// Percent-escaping of texts that travel through the record as values (UTF-8
// bytes outside the unreserved URL set become %XX).
std::string VXMPercentEscape(const std::string& text);
// The reverse; nullopt for a malformed escape or a result that is not UTF-8.
std::optional<std::string> VXMPercentUnescape(const std::string& text);

// Stores a strdup'ed copy of `text` (percent-escaped first when `escape`;
// "(null)" for nullopt), cut to VXMStringLimit, in `slot` by an atomic
// exchange and frees the previous copy, so a crash handler reading the slot
// always sees a whole string.
void VXMDupAndSwapString(std::atomic<char*>* slot, const std::optional<std::string>& text,
                         bool escape);

// The reporter's "[Vexmor] " system-log diagnostics, printed in debug mode
// only (the front switches it).
void VXMSetDebugMode(bool on);
bool VXMDebugMode();
void VXMDebugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

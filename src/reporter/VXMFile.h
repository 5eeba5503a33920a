#pragma once
// The crash-time record: one line per section, each a one-key object
// {"name":value}\n. The writer is async-signal-safe (write(2) only, nothing
// allocated); the reader (VXMFileRead.h) runs at the next start.
//
// Strings are written between double quotes with '"', '\' and bytes below
// 0x20 escaped JSON-style, and never longer than VXMStringLimit bytes, so no
// text that a process holds can make its record unreadable.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct VXMFile {
    int32_t fd = -1;
    int32_t depth = 0;          // collections opened and not yet closed
    bool entryWritten = false;  // the next entry needs a comma first
    char readAhead = 0;         // the reader's current character, 0 at the end
    // Reader input when it reads from memory instead of the descriptor.
    const uint8_t* bytes = nullptr;
    size_t length = 0;
    size_t position = 0;
    // The reader's buffer over the descriptor.
    uint8_t buffer[4096];
    size_t bufferUsed = 0;
    size_t bufferPosition = 0;
};

// Frames of thread stacks and exception backtraces.
struct VXMFrame {
    uint64_t address = 0;
    const char* symbol = nullptr;
    const char* fileName = nullptr;
    uint32_t lineNumber = 0;
    uint32_t type = 0;
    uint32_t context = 0;
};

inline constexpr uint64_t VXMRecordVersion = 1;
inline constexpr uint64_t VXMRecordExpectedLines = 21;

void VXMFileInit(VXMFile* file, int fd);
void VXMFileInitWithBytes(VXMFile* file, const void* bytes, size_t length);

// Writer.
void VXMFileWriteSectionStart(VXMFile* file, const char* name);
void VXMFileWriteSectionEnd(VXMFile* file);
void VXMFileWriteHashStart(VXMFile* file);
void VXMFileWriteHashEnd(VXMFile* file);
void VXMFileWriteArrayStart(VXMFile* file);
void VXMFileWriteArrayEnd(VXMFile* file);
void VXMFileWriteHashKey(VXMFile* file, const char* key);
void VXMFileWriteHashEntryUint64(VXMFile* file, const char* key, uint64_t value);
// A value that can be negative (signal codes), with a leading "-".
void VXMFileWriteHashEntryInt64(VXMFile* file, const char* key, int64_t value);
void VXMFileWriteHashEntryString(VXMFile* file, const char* key, const char* text);
void VXMFileWriteHashEntryBoolean(VXMFile* file, const char* key, bool flag);
void VXMFileWriteArrayEntryUint64(VXMFile* file, uint64_t value);
void VXMFileWriteArrayEntryString(VXMFile* file, const char* text);
void VXMFileWriteUint64(VXMFile* file, uint64_t value);
void VXMFileWriteString(VXMFile* file, const char* text);
// A string of at most `length` bytes (it may also end at a terminator).
void VXMFileWriteStringBounded(VXMFile* file, const char* text, size_t length);

void VXMCrashHandlerSafeWriteSchema(VXMFile* file);
void VXMFrameSafeWriteData(const VXMFrame* frame, VXMFile* file);

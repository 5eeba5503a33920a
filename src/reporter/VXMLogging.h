#pragma once
// Breadcrumbs that travel with a crash: free-text log lines in a bounded ring
// file, custom key-value pairs and the user's identity. Lines go to disk as
// they come; pairs and user data live in the writable crash context.

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>

struct VXMFile;

inline constexpr uint64_t VXMLogDefaultLimit = 64000;
inline constexpr uint32_t VXMAttributeDefaultLimit = 64;
// Room in the context; a larger limit from the settings is capped to it.
inline constexpr uint32_t VXMAttributeCapacity = 256;
inline constexpr size_t VXMAttributeValueLimit = 1024;

struct VXMAttribute {
    std::atomic<char*> key{nullptr};
    std::atomic<char*> value{nullptr};
};

struct VXMLoggingData {
    const char* sessionLogPath = nullptr;
    const char* crashLogPath = nullptr;
    std::atomic<uint64_t> position{0};  // end of the newest line ("last_offset")
    uint64_t ringLimit = VXMLogDefaultLimit;
    bool defaultLimit = false;
    bool wrapped = false;
    int fd = -1;
    uint64_t startNanoseconds = 0;  // monotonic clock at start-up
    std::atomic<char*> userIdentifier{nullptr};
    std::atomic<char*> userName{nullptr};
    std::atomic<char*> userEmail{nullptr};
    uint32_t attributeRingIndex = 0;
    std::atomic<uint32_t> attributeCount{0};
    VXMAttribute attributes[VXMAttributeCapacity];
    uint32_t preSettingsAttributeLimit = VXMAttributeDefaultLimit;
};

// What the settings say; the front installs the source once they can load.
struct VXMLoggingSettings {
    bool loaded = false;
    uint64_t logBufferSize = 0;
    uint32_t attributesCount = 0;
};
using VXMLoggingSettingsSource = VXMLoggingSettings (*)();
void VXMLoggingSetSettingsSource(VXMLoggingSettingsSource source);

void VXMLoggingDataInit(VXMLoggingData* data);
void VXMLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void VXMLogv(const char* format, va_list arguments);
void VXMNSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void VXMNSLogv(const char* format, va_list arguments);
void VXMAddSessionCustomAttribute(const char* key, const char* value);
// Stores a copy of `value` cut to VXMAttributeValueLimit bytes, never inside a
// character or a %XX escape.
void VXMUpdateAttributeValue(VXMAttribute* item, const char* value);
void VXMLoggingSafeWriteData(VXMLoggingData* data, VXMFile* file);
bool VXMLoggingSafeHasUserData(const VXMLoggingData* data);

// The ring itself, for the context queue and tests: appends one message line
// (already formatted) under the given settings.
void VXMLoggingAppendLine(VXMLoggingData* data, const std::string& message,
                          const VXMLoggingSettings& settings);
void VXMLoggingAddAttribute(VXMLoggingData* data, const char* key, const char* value,
                            const VXMLoggingSettings& settings);

#include "reporter/VXMLogging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/core/FullIO.h"
#include "reporter/VXMContext.h"
#include "reporter/VXMFile.h"
#include "reporter/VXMSafe.h"

namespace {

std::atomic<VXMLoggingSettingsSource> settingsSource{nullptr};

VXMLoggingSettings currentSettings() {
    VXMLoggingSettingsSource source = settingsSource.load();
    return source ? source() : VXMLoggingSettings{};
}

uint64_t monotonicNanoseconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000ULL + static_cast<uint64_t>(t.tv_nsec);
}

void writeAt(int fd, const char* bytes, size_t length, uint64_t offset) {
    (void)platform::pwriteFully(fd, bytes, length, offset);  // ring write errors are ignored
}

bool readWhole(const char* path, std::string* out) {
    FILE* f = fopen(path, "rbe");
    if (!f) return false;
    char chunk[8192];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) out->append(chunk, n);
    fclose(f);
    return true;
}

int openRing(const char* path) {
    return open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

// Keeps the newest `limit` bytes of the ring in chronological order.
void shrinkRing(VXMLoggingData* data, uint64_t limit) {
    std::string content;
    if (data->fd >= 0) close(data->fd);
    data->fd = -1;
    readWhole(data->sessionLogPath, &content);
    const uint64_t position = std::min<uint64_t>(data->position.load(), content.size());
    std::optional<std::string> kept;
    if (position >= limit) {
        kept = content.substr(position - limit, limit);
    } else if (data->wrapped) {
        uint64_t tail = std::min<uint64_t>(limit - position, content.size() - position);
        kept = content.substr(content.size() - tail) + content.substr(0, position);
    }
    if (kept) {
        std::string temporary = std::string(data->sessionLogPath) + ".tmp";
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            writeAt(fd, kept->data(), kept->size(), 0);
            close(fd);
            rename(temporary.c_str(), data->sessionLogPath);
        }
        // The kept bytes fill the smaller ring: the next line overwrites the
        // oldest ones.
        data->position.store(kept->size() >= limit ? 0 : kept->size());
        data->wrapped = kept->size() >= limit;
    }
    // An unwrapped ring shorter than the new limit stays as it is, position
    // included: resetting it would overwrite the oldest lines out of order.
    data->ringLimit = limit;
    data->defaultLimit = false;
    data->fd = openRing(data->sessionLogPath);
}

}  // namespace

void VXMLoggingSetSettingsSource(VXMLoggingSettingsSource source) {
    settingsSource.store(source);
}

void VXMLoggingDataInit(VXMLoggingData* data) {
    data->ringLimit = VXMLogDefaultLimit;
    data->defaultLimit = false;
    data->wrapped = false;
    data->position.store(0);
    data->startNanoseconds = monotonicNanoseconds();
    if (data->sessionLogPath) {
        data->fd = openRing(data->sessionLogPath);
        if (data->fd >= 0 && ftruncate(data->fd, 0) != 0) {
            // An old ring that cannot be emptied is overwritten from the start.
        }
    }
    for (std::atomic<char*>* slot : {&data->userIdentifier, &data->userName, &data->userEmail})
        free(slot->exchange(nullptr));
    for (VXMAttribute& a : data->attributes) {
        free(a.key.exchange(nullptr));
        free(a.value.exchange(nullptr));
    }
    data->attributeCount.store(0);
    data->attributeRingIndex = 0;
    data->preSettingsAttributeLimit = VXMAttributeDefaultLimit;
}

void VXMLoggingAppendLine(VXMLoggingData* data, const std::string& message,
                          const VXMLoggingSettings& settings) {
    const uint64_t requested = settings.logBufferSize;
    // A limit of 0 leaves no room for new lines; the ring keeps what it has.
    if (requested != 0 && requested < data->ringLimit && (settings.loaded || data->defaultLimit))
        shrinkRing(data, requested);
    uint64_t limit = data->ringLimit;
    if (settings.loaded) {
        limit = requested;
    } else {
        data->defaultLimit = true;
    }
    if (limit == 0 || data->fd < 0) return;  // no room for any line

    // A line never takes more than the whole ring, its newline included.
    size_t length = VXMUTF8PrefixLength(message.data(), message.size(), limit - 1);
    std::string line = message.substr(0, length) + "\n";
    uint64_t position = std::min<uint64_t>(data->position.load(), limit);
    if (position + length < limit) {
        writeAt(data->fd, line.data(), line.size(), position);
        position += line.size();
    } else {
        size_t first = static_cast<size_t>(limit - position);
        writeAt(data->fd, line.data(), first, position);
        writeAt(data->fd, line.data() + first, line.size() - first, 0);
        position = line.size() - first;
        data->wrapped = true;
    }
    data->position.store(position);
}

void VXMLogv(const char* format, va_list arguments) {
    if (!format) return;
    va_list copy;
    va_copy(copy, arguments);
    int size = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size < 0) return;
    std::string message(static_cast<size_t>(size) + 1, '\0');
    vsnprintf(message.data(), message.size(), format, arguments);
    message.resize(static_cast<size_t>(size));
    if (!VXMContextIsInitialized()) return;
    VXMLoggingData* data = &vxmContext.writable->logging;
    VXMContextQueueSync([&] {
        uint64_t elapsed = (monotonicNanoseconds() - data->startNanoseconds) / 1000000ULL;
        VXMLoggingAppendLine(data, std::to_string(elapsed) + " $ " + message, currentSettings());
    });
}

void VXMLog(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    VXMLogv(format, arguments);
    va_end(arguments);
}

void VXMNSLogv(const char* format, va_list arguments) {
    if (!format) return;
    va_list copy;
    va_copy(copy, arguments);
    vsyslog(LOG_NOTICE, format, copy);
    va_end(copy);
    VXMLogv(format, arguments);
}

void VXMNSLog(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    VXMNSLogv(format, arguments);
    va_end(arguments);
}

void VXMUpdateAttributeValue(VXMAttribute* item, const char* value) {
    size_t length = VXMEscapedPrefixLength(value, strlen(value), VXMAttributeValueLimit);
    char* copy = strndup(value, length);
    free(item->value.exchange(copy));
}

void VXMLoggingAddAttribute(VXMLoggingData* data, const char* key, const char* value,
                            const VXMLoggingSettings& settings) {
    if (!key || !value) return;
    uint32_t limit = settings.loaded ? settings.attributesCount : data->preSettingsAttributeLimit;
    limit = std::min(limit, VXMAttributeCapacity);
    if (limit == 0) return;
    const uint32_t count = data->attributeCount.load();
    for (uint32_t i = 0; i < count; ++i) {
        const char* existing = data->attributes[i].key.load();
        if (existing && strcmp(existing, key) == 0) {
            VXMUpdateAttributeValue(&data->attributes[i], value);
            return;
        }
    }
    size_t keyLength = VXMUTF8PrefixLength(key, strlen(key), VXMStringLimit);
    if (count < limit) {
        VXMAttribute& slot = data->attributes[count];
        free(slot.key.exchange(strndup(key, keyLength)));
        VXMUpdateAttributeValue(&slot, value);
        data->attributeCount.store(count + 1);
        return;
    }
    // Full: reuse slots in the order they were first filled.
    uint32_t index = data->attributeRingIndex >= limit ? 0 : data->attributeRingIndex;
    VXMAttribute& slot = data->attributes[index];
    free(slot.key.exchange(strndup(key, keyLength)));
    VXMUpdateAttributeValue(&slot, value);
    data->attributeRingIndex = index + 1;
}

void VXMAddSessionCustomAttribute(const char* key, const char* value) {
    if (!key || !value || !VXMContextIsInitialized()) return;
    VXMLoggingData* data = &vxmContext.writable->logging;
    VXMContextQueueSync([&] { VXMLoggingAddAttribute(data, key, value, currentSettings()); });
}

bool VXMLoggingSafeHasUserData(const VXMLoggingData* data) {
    return data->userIdentifier.load() || data->userName.load() || data->userEmail.load();
}

void VXMLoggingSafeWriteData(VXMLoggingData* data, VXMFile* file) {
    VXMFileWriteSectionStart(file, "user");
    VXMFileWriteHashStart(file);
    if (VXMLoggingSafeHasUserData(data)) {
        VXMFileWriteHashEntryString(file, "name", data->userName.load());
        VXMFileWriteHashEntryString(file, "id", data->userIdentifier.load());
        VXMFileWriteHashEntryString(file, "email", data->userEmail.load());
    }
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);

    VXMFileWriteSectionStart(file, "log");
    VXMFileWriteHashStart(file);
    VXMFileWriteHashEntryUint64(file, "last_offset", data->position.load());
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);

    if (data->sessionLogPath && data->crashLogPath &&
        rename(data->sessionLogPath, data->crashLogPath) != 0)
        VXMSafeLogToStderr("[Logging] Unable to rename log log to %s\n", data->crashLogPath);

    VXMFileWriteSectionStart(file, "custom_attributes");
    VXMFileWriteHashStart(file);
    const uint32_t count = std::min(data->attributeCount.load(), VXMAttributeCapacity);
    for (uint32_t i = 0; i < count; ++i) {
        const char* key = data->attributes[i].key.load();
        if (!key) continue;
        VXMFileWriteHashEntryString(file, key, data->attributes[i].value.load());
    }
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

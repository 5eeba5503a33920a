#include "reporter/sdk/VXMUUID.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace {

std::mutex sequenceMutex;
uint16_t sequence = 0;

void putBigEndian(uint8_t* out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

uint64_t readBigEndian(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | in[i];
    return value;
}

}  // namespace

std::optional<VXMUUID> VXMUUID::create(std::span<const uint8_t> segment) {
    return create(segment, std::chrono::system_clock::now(), static_cast<uint32_t>(getpid()));
}

std::optional<VXMUUID> VXMUUID::create(std::span<const uint8_t> segment,
                                       std::chrono::system_clock::time_point now, uint32_t pid) {
    if (segment.size() < 6) return std::nullopt;
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    if (sinceEpoch <= 0) return std::nullopt;
    VXMUUID uuid;
    {
        std::lock_guard lock(sequenceMutex);
        putBigEndian(&uuid.bytes_[0], static_cast<uint64_t>(sinceEpoch / 1000), 4);
        putBigEndian(&uuid.bytes_[4], static_cast<uint64_t>(sinceEpoch % 1000), 2);
        putBigEndian(&uuid.bytes_[6], ++sequence, 2);
    }
    putBigEndian(&uuid.bytes_[8], pid & 0xFFFF, 2);
    for (size_t i = 0; i < 6; ++i) uuid.bytes_[10 + i] = segment[i];
    return uuid;
}

std::string VXMUUID::stringValue() const {
    char text[40];
    snprintf(text, sizeof text, "%08X%04X-%04X-%04X-%08X%04X",
             static_cast<unsigned>(readBigEndian(&bytes_[0], 4)),
             static_cast<unsigned>(readBigEndian(&bytes_[4], 2)),
             static_cast<unsigned>(readBigEndian(&bytes_[6], 2)),
             static_cast<unsigned>(readBigEndian(&bytes_[8], 2)),
             static_cast<unsigned>(readBigEndian(&bytes_[10], 4)),
             static_cast<unsigned>(readBigEndian(&bytes_[14], 2)));
    return text;
}

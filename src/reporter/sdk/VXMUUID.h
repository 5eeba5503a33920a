#pragma once
// The session identifier: 16 bytes of time, a per-process sequence number,
// the process id and six bytes of the caller's segment.
//
//   bytes 0-3   seconds since 1970 (UTC), big-endian
//   bytes 4-5   milliseconds of that second, big-endian
//   bytes 6-7   sequence number, stepped before use (first 1), big-endian
//   bytes 8-9   low 16 bits of the process id, big-endian
//   bytes 10-15 the first six bytes of the segment

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

class VXMUUID {
  public:
    // None when the segment is shorter than six bytes or the time is not
    // after 1970.
    static std::optional<VXMUUID> create(std::span<const uint8_t> segment);
    static std::optional<VXMUUID> create(std::span<const uint8_t> segment,
                                         std::chrono::system_clock::time_point now, uint32_t pid);

    // "%08X%04X-%04X-%04X-%08X%04X" over the bytes read big-endian.
    std::string stringValue() const;
    std::string description() const { return stringValue(); }
    const std::array<uint8_t, 16>& data() const { return bytes_; }

  private:
    std::array<uint8_t, 16> bytes_{};
};

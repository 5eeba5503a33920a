#pragma once
// What stamps events: identifiers and millisecond times. Tests hand in their
// own (subclasses, or a manual clock).

#include <cstdint>
#include <string>

#include "platform/core/Dispatch.h"

class VXMAnalyticsIdentifierGenerator {
  public:
    virtual ~VXMAnalyticsIdentifierGenerator() = default;
    // A new random UUID, upper-case 8-4-4-4-12.
    virtual std::string generateSessionFragmentIdentifier();
    virtual std::string generateEventIdentifier();
};

class VXMAnalyticsTimestampGenerator {
  public:
    explicit VXMAnalyticsTimestampGenerator(platform::Clock& clock = platform::systemClock())
        : clock_(clock) {}
    virtual ~VXMAnalyticsTimestampGenerator() = default;
    // Milliseconds since 1970, rounded down.
    virtual uint64_t generateAnalyticsTimestamp();

  private:
    platform::Clock& clock_;
};

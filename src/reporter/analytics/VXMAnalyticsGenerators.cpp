#include "reporter/analytics/VXMAnalyticsGenerators.h"

#include <chrono>

#include "reporter/VXMSafe.h"

std::string VXMAnalyticsIdentifierGenerator::generateSessionFragmentIdentifier() {
    return VXMGenerateUUID();
}

std::string VXMAnalyticsIdentifierGenerator::generateEventIdentifier() {
    return VXMGenerateUUID();
}

uint64_t VXMAnalyticsTimestampGenerator::generateAnalyticsTimestamp() {
    const auto since1970 = clock_.now().time_since_epoch();
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(since1970).count();
    return ms > 0 ? static_cast<uint64_t>(ms) : 0;
}

#include "reporter/analytics/VXMEventLogEvent.h"

#include <functional>

#include "platform/core/Value.h"

VXMEventLogEvent::VXMEventLogEvent(unsigned priority, uint64_t timestamp, std::string key,
                                   std::optional<std::string> payload)
    : priority_(priority),
      timestamp_(timestamp),
      key_(std::move(key)),
      payload_(std::move(payload)) {}

std::string VXMEventLogEvent::eventData() const {
    std::string line = std::to_string(static_cast<long long>(timestamp_));
    line += '\t';
    line += key_;
    if (payload_) {
        line += '\t';
        line += std::to_string(payload_->size());
        line += '\t';
        line += *payload_;
    }
    line += '\n';
    return line;
}

bool VXMEventLogEvent::operator==(const VXMEventLogEvent& other) const {
    return priority_ == other.priority_ && timestamp_ == other.timestamp_ && key_ == other.key_ &&
           payload_ == other.payload_;
}

size_t VXMEventLogEvent::hash() const {
    const size_t payloadHash = payload_ ? std::hash<std::string>{}(*payload_) : 0;
    return static_cast<size_t>(timestamp_) * 2 + priority_ + std::hash<std::string>{}(key_)*4 +
           payloadHash * 8;
}

VXMAnalyticsEvent::VXMAnalyticsEvent(unsigned priority, uint64_t timestamp, std::string key,
                                     std::string eventIdentifier, Values stringPayloadValues)
    : VXMEventLogEvent(priority, timestamp, std::move(key),
                       payloadJSON(eventIdentifier, stringPayloadValues)),
      eventIdentifier_(std::move(eventIdentifier)),
      values_(std::move(stringPayloadValues)) {}

VXMAnalyticsEvent VXMAnalyticsEvent::applicationInstalled(uint64_t timestamp,
                                                          std::string eventIdentifier) {
    return VXMAnalyticsEvent(VXMEventPriorityHigh, timestamp, "app_installed",
                             std::move(eventIdentifier));
}

VXMAnalyticsEvent VXMAnalyticsEvent::applicationLaunched(uint64_t timestamp,
                                                         std::string eventIdentifier) {
    return VXMAnalyticsEvent(VXMEventPriorityMedium, timestamp, "app_launched",
                             std::move(eventIdentifier));
}

VXMAnalyticsEvent VXMAnalyticsEvent::applicationCrashed(uint64_t timestamp,
                                                        std::string eventIdentifier) {
    return VXMAnalyticsEvent(VXMEventPriorityMedium, timestamp, "app_crashed",
                             std::move(eventIdentifier));
}

std::string VXMAnalyticsEvent::payloadJSON(const std::string& eventIdentifier,
                                           const Values& values) {
    auto quoted = [](const std::string& text) { return platform::Value(text).toJSON(); };
    std::string json = "{\"eventId\":" + quoted(eventIdentifier);
    for (const auto& [key, value] : values) json += ", " + quoted(key) + ":" + quoted(value);
    json += '}';
    return json;
}

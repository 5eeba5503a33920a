#pragma once
// One recorded event and its line in a log file:
//
//   TIMESTAMP \t KEY [\t PAYLOAD-LENGTH \t PAYLOAD] \n
//
// The payload is length-prefixed, so it may hold tabs and line feeds.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

inline constexpr unsigned VXMEventPriorityHigh = 0;
inline constexpr unsigned VXMEventPriorityMedium = 1;
inline constexpr unsigned VXMEventPriorityLow = 2;

class VXMEventLogEvent {
  public:
    VXMEventLogEvent(unsigned priority, uint64_t timestamp, std::string key,
                     std::optional<std::string> payload = std::nullopt);
    virtual ~VXMEventLogEvent() = default;

    unsigned priority() const { return priority_; }
    uint64_t timestamp() const { return timestamp_; }
    const std::string& key() const { return key_; }
    const std::optional<std::string>& payload() const { return payload_; }

    std::string eventData() const;
    bool operator==(const VXMEventLogEvent& other) const;
    size_t hash() const;

  private:
    unsigned priority_;
    uint64_t timestamp_;
    std::string key_;
    std::optional<std::string> payload_;
};

// The session's description at the head of each log file.
class VXMAnalyticsMetadataEvent final : public VXMEventLogEvent {
  public:
    VXMAnalyticsMetadataEvent(unsigned priority, uint64_t timestamp, std::string metadataJSONData)
        : VXMEventLogEvent(priority, timestamp, "metadata", std::move(metadataJSONData)) {}
    const std::string& metadataJSONData() const { return *payload(); }
};

// An application event: its payload is {"eventId":"ID", "key":"value", ...}.
class VXMAnalyticsEvent final : public VXMEventLogEvent {
  public:
    using Values = std::vector<std::pair<std::string, std::string>>;

    VXMAnalyticsEvent(unsigned priority, uint64_t timestamp, std::string key,
                      std::string eventIdentifier, Values stringPayloadValues = {});
    static VXMAnalyticsEvent applicationInstalled(uint64_t timestamp, std::string eventIdentifier);
    static VXMAnalyticsEvent applicationLaunched(uint64_t timestamp, std::string eventIdentifier);
    static VXMAnalyticsEvent applicationCrashed(uint64_t timestamp, std::string eventIdentifier);

    const std::string& eventIdentifier() const { return eventIdentifier_; }
    const Values& stringPayloadValues() const { return values_; }

    // Each text is a JSON string (escaped as needed); the separators are
    // those of the service's reader: "," + " " between entries.
    static std::string payloadJSON(const std::string& eventIdentifier, const Values& values);

  private:
    std::string eventIdentifier_;
    Values values_;
};

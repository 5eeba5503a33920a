#pragma once
// What the analytics controller needs from the crash context: the session's
// metadata JSON and the conversion events sent with the settings requests.

#include <chrono>
#include <optional>
#include <string>

#include "platform/core/UserDefaults.h"
#include "platform/core/Value.h"

inline constexpr const char* VXMAnalyticsInstallEventKey = "VexmorInstallEventKey";

// Compact JSON of the session (API key, identifiers, host, build, bundle);
// none without a crash context.
std::optional<std::string> VXMAnalyticsMetadataJSON();

// SHA-1 (lower-case hex) of the conversion identifier, our constant, the
// store item identifier and the event name; none when one is missing.
std::optional<std::string> VXMAnalyticsEventKey(const std::string& eventName);

// The conversion events: "Install" (kept in the defaults until delivered)
// and "Activation"; none when conversion tracking is off or nothing can be
// built.
std::optional<platform::Value> VXMAnalyticsEventArray(platform::UserDefaults& defaults,
                                                      bool installationIsNew,
                                                      std::chrono::system_clock::time_point now);

#pragma once
// The settings document of the reporter's service, its cache on disk with an
// expiry time, and every decision read from it. Immutable once made.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/Value.h"

class VXMSettings {
  public:
    using time_point = std::chrono::system_clock::time_point;

    // Writes the document as a property list with "valid_until" set to `now`
    // plus "cache_duration" (0 or absent: one hour), atomically.
    static bool writeSettings(const platform::Value& document, const std::string& path,
                              time_point now);
    // The document as writeSettings stores it.
    static platform::Value documentWithExpiry(const platform::Value& document, time_point now);
    static bool userDesiresReportsAlwaysBeSent();
    static void setUserDesiresReportsAlwaysBeSent(bool always);

    // The cached document at `path`; none when it is absent, unreadable or
    // of another "settings_version" than 2.
    static std::shared_ptr<const VXMSettings> initWithCachePath(const std::string& path);
    VXMSettings(std::string cachePath, platform::Value dictionary);

    const std::string& cachePath() const { return cachePath_; }
    const platform::Value& dictionary() const { return dictionary_; }
    bool isOutdated(time_point now) const;

    const platform::Value& appDictionary() const { return dictionary_["app"]; }
    const platform::Value& promptDictionary() const { return dictionary_["prompt"]; }
    const platform::Value& iconDictionary() const { return appDictionary()["icon"]; }
    const platform::Value& settingsDictionary() const { return dictionary_["settings"]; }
    const platform::Value& sessionDictionary() const { return dictionary_["session"]; }
    const platform::Value& featuresDictionary() const { return dictionary_["features"]; }
    const platform::Value& betaDictionary() const { return dictionary_["beta"]; }
    const platform::Value& analyticsDictionary() const { return dictionary_["analytics"]; }

    bool appNeedsOnboarding() const;
    bool requiresUpdate() const;
    std::optional<std::string> appURL() const;
    std::optional<std::string> reportsURL() const;
    std::optional<std::string> settingsURL() const;
    std::optional<std::string> iconHash() const;
    // Width and height; (0, 0) unless both are given.
    std::pair<double, double> iconSize() const;
    bool iconPrerendered() const;
    uint64_t cacheDuration() const;
    bool shouldCollectProcesess() const;
    int64_t logBufferSize() const;
    uint64_t maxCustomKeyValuePairs() const;
    bool shouldCollectAnalytics() const;
    bool shouldIncludeInteractiveCancelOption() const;
    bool shouldIncludeInteractiveAlwaysSendOption() const;
    std::optional<std::string> analyticsURL() const;
    bool shouldFlushAnalyticsOnBackground() const;
    int64_t flushIntervalSecs() const;
    int64_t maxFileCountPerSend() const;
    int64_t maxByteSizePerFile() const;
    int64_t maxPendingSendFileCount() const;
    std::optional<std::string> betaUpdateEndpoint() const;
    int64_t betaUpdateSuspendDurationSecs() const;

    std::string interactivePromptTitle() const;
    std::string interactivePromptMessage() const;
    std::string interactivePromptSendTitle() const;
    std::string interactivePromptAlwaysSendTitle() const;
    std::string interactivePromptCancelTitle() const;

    // False when the user default "VexmorShouldCollectCrashReports" is
    // present and false; else the service's "collect_reports" (default yes).
    bool shouldCollectCrashReports() const;
    // The user default "VexmorShouldCollectCrashReports" is false: nothing
    // is captured, recorded, identified or sent.
    static bool userOptedOut();
    // The service asks for a prompt and the user has not chosen to always send.
    bool shouldRequestPermissionToSubmit() const;
    bool shouldSubmitSynchronously() const { return false; }
    bool shouldCollectOnPlatform() const { return true; }

    // None for none, else the text when it parses as an absolute URL.
    static std::optional<std::string> safeURLWithString(const platform::Value& text);
    // The same, only for https (or http to this machine): the URLs that
    // receive the API key, reports and event logs.
    static std::optional<std::string> secureURLWithString(const platform::Value& text);

  private:
    std::string promptText(const char* key, const char* fallback) const;

    std::string cachePath_;
    platform::Value dictionary_;
};

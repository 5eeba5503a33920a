#pragma once
// Asking the service whether a newer test build exists. The client performs
// the request; the controller decides when: one check at a time, 900 s
// between a failure and the retry, and a pause (the settings' suspension,
// 3600 s by default) after an answer. An update found is only kept.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/core/Dispatch.h"
#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "reporter/sdk/VXMClientBase.h"

inline constexpr const char* VXMBetaErrorDomain = "VXMBetaErrorDomain";

class VXMBetaClient : public VXMClientBase {
  public:
    using Completion =
        std::function<void(std::optional<platform::Value>, std::optional<platform::Error>)>;
    VXMBetaClient() : VXMClientBase("") {}
    // The endpoint with build, display version, instance and source; joined
    // with "&" when the endpoint has a query already.
    std::string appendUpdateQueryParamsToURL(const std::string& url) const;
    void getUpdateWithURL(const std::string& url, Completion completion);
};

struct VXMBetaUpdate {
    explicit VXMBetaUpdate(const platform::Value& answer);
    std::string url;
    std::optional<std::string> version;
};

class VXMBetaController : public std::enable_shared_from_this<VXMBetaController> {
  public:
    // How a check asks: (endpoint, completion); the beta client by default.
    using Fetch = std::function<void(const std::string& url, VXMBetaClient::Completion)>;
    struct Settings {
        std::optional<std::string> updateEndpoint;
        int64_t suspendDurationSecs = 3600;
    };

    static std::shared_ptr<VXMBetaController> create(
        Fetch fetch, platform::Clock& clock = platform::systemClock());
    void setSettings(Settings settings);
    bool hasSettings() const;
    void checkForUpdate();
    // Dropped (its completion never runs) while suspended, without settings
    // or while a retry waits.
    void maybeGetUpdate(std::function<void()> completion);
    void temporarilySuspendChecks();
    void allowChecks();
    bool shouldGetUpdates() const;
    bool checksSuspended() const;
    bool retrying() const;
    std::optional<VXMBetaUpdate> update() const;
    const platform::DispatchQueuePtr& queue() const { return queue_; }

  private:
    VXMBetaController(Fetch fetch, platform::Clock& clock);
    void finished(std::optional<platform::Value> answer, std::optional<platform::Error> error,
                  std::function<void()> completion);

    Fetch fetch_;
    platform::Clock& clock_;
    platform::DispatchQueuePtr queue_;
    mutable std::mutex mutex_;
    std::optional<Settings> settings_;
    std::optional<VXMBetaUpdate> update_;
    bool suspended_ = false;
    bool retrying_ = false;
    bool checking_ = false;
    platform::DispatchTimerPtr suspensionTimer_;
};

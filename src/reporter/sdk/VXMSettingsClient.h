#pragma once
// The reporter's four calls to its service: load the settings, configure
// (onboard) the application, upload a crash report (valid or not) and upload
// event-log files. Completions run on the global concurrent queue.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "reporter/sdk/VXMClientBase.h"

// The application's icon as the service knows it.
struct VXMAppIcon {
    std::string hash;
    bool prerendered = false;
    double width = 0;
    double height = 0;
    std::vector<uint8_t> png;
};

class VXMSettingsClientDelegate : public VXMClientDelegate {
  public:
    // Conversion events (an array of dictionaries), or none.
    virtual std::optional<platform::Value> eventArray() const = 0;
    virtual void removeInstallEventKey() = 0;
    virtual std::optional<VXMAppIcon> icon() const = 0;
    // True once the crash context exists.
    virtual bool contextIsInitialized() const = 0;
};

class VXMSettingsClient : public VXMClientBase {
  public:
    using SettingsCompletion =
        std::function<void(std::optional<platform::Value>, std::optional<platform::Error>)>;
    using Completion = std::function<void(std::optional<platform::Error>)>;

    explicit VXMSettingsClient(const std::string& settingsEndpoint);

    VXMSettingsClientDelegate* settingsDelegate() const {
        return static_cast<VXMSettingsClientDelegate*>(delegate_);
    }
    void setDelegate(VXMSettingsClientDelegate* delegate) { delegate_ = delegate; }

    // The settings request's path and query, relative to the endpoint.
    std::string settingsPath() const;
    void loadSettingsWithCompletion(SettingsCompletion completion);
    // POST for a new application, PUT otherwise.
    void configureApplicationUsingURL(const std::optional<std::string>& url, bool asNewApp,
                                      Completion completion);
    void submitVXMFileAtPath(const std::string& path, const std::optional<std::string>& url,
                             Completion completion);
    void submitInvalidRecordAtPath(const std::string& path, const std::optional<std::string>& url,
                                   Completion completion);
    void submitVXMFileAtPath(const std::string& path, const std::optional<std::string>& url,
                             bool asInvalid, Completion completion);
    void submitEventLogFilesAtPaths(const std::vector<std::string>& paths,
                                    const std::optional<std::string>& url, Completion completion);

    // The encrypted conversion events; none when there are none.
    std::optional<std::vector<uint8_t>> eventData() const;
    void removeInstallEventKey();

    // Kit name to version; set once before the first request.
    const std::map<std::string, std::string>& SDKKitVersions() const { return kitVersions_; }
    void setSDKKitVersions(std::map<std::string, std::string> versions) {
        kitVersions_ = std::move(versions);
    }

    // The error of an upload's answer: none for 2xx, VXMClientRejected for a
    // 4xx other than 408 and 429 (which are worth another try), else
    // VXMClientUploadFailed.
    static std::optional<platform::Error> uploadOutcome(const VXMWebResponse& response);

  private:
    std::shared_ptr<VXMWebRequest> newRequest(const std::string& method, const std::string& path,
                                              const std::optional<std::string>& url) const;

    std::map<std::string, std::string> kitVersions_;
};

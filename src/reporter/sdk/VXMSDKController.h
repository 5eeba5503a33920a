#pragma once
// The reporter's pipeline, one run per launch: load or refresh the settings,
// onboard the application when the service asks, turn the crash records of
// earlier runs into packed reports, ask the user when the settings say so,
// and upload the reports one at a time with back-off.
//
// Every step runs on the serial queue "com.vexmor.submission"; every delay
// goes through the clock given at creation.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/core/Dispatch.h"
#include "platform/core/Error.h"
#include "reporter/report/VXMCrashFile.h"
#include "reporter/sdk/VXMSettings.h"
#include "reporter/sdk/VXMSettingsClient.h"

class VXMSDKController;

enum class VXMPermissionAnswer { Send, AlwaysSend, DontSend };

// The texts of the permission alert; the always-send button only when the
// settings offer it.
struct VXMPermissionRequest {
    std::string title;
    std::string message;
    std::string sendTitle;
    std::optional<std::string> alwaysSendTitle;
    std::string cancelTitle;
};

// Asks the user whether to send the reports. The application implements it
// with a window-modal alert; without one the controller's default answer
// applies.
class VXMPermissionPrompt {
  public:
    virtual ~VXMPermissionPrompt() = default;
    // Called on the main queue. `answer` is called once, from any thread.
    virtual void askPermission(const VXMPermissionRequest& request,
                               std::function<void(VXMPermissionAnswer)> answer) = 0;
};

class VXMSDKControllerDelegate {
  public:
    virtual ~VXMSDKControllerDelegate() = default;
    // On the submission queue.
    virtual void controllerDidLoadSettings(VXMSDKController& controller,
                                           const std::shared_ptr<const VXMSettings>& settings) {}
    // Before each valid record is packed, on the submission queue.
    virtual void controllerWillProcessFile(VXMSDKController& controller, VXMCrashFile& file) {}
    // On the main queue once no sendable file is left.
    virtual void controllerCompletedSubmissions(VXMSDKController& controller) {}
    virtual void controllerCollectProcesses(VXMSDKController& controller, bool collect) {}
};

class VXMSDKController : public std::enable_shared_from_this<VXMSDKController> {
  public:
    static constexpr int64_t kInitialRetryInterval = 10;
    static constexpr int64_t kMaximumRetryInterval = 300;
    static constexpr int64_t kSettingsRetrySeconds = 600;
    static constexpr int64_t kConfigureRetrySeconds = 60;
    static constexpr int64_t kInvalidRetrySeconds = 300;
    static constexpr uint64_t kMaximumFileSize = 1048576;

    // `rootPath` replaces $XDG_CACHE_HOME/com.vexmor.data (tests).
    static std::shared_ptr<VXMSDKController> create(
        platform::Clock& clock = platform::systemClock(),
        std::optional<std::string> rootPath = std::nullopt);

    // Creates processing/, prepared/, invalid/ and sendable/, in that order.
    bool setup();
    void beginStartupFlowAfterDelay(double seconds);
    // Asynchronous, retried every 600 s while it fails.
    void loadSettings(std::function<void()> completion);

    const std::string& rootPath() const { return rootPath_; }
    const std::string& cachePath() const { return cachePath_; }
    const std::string& crashFileDirectory() const { return cachePath_; }
    std::string processingDirectory() const { return cachePath_ + "/processing"; }
    std::string preparedDirectory() const { return cachePath_ + "/prepared"; }
    std::string sendableDirectory() const { return cachePath_ + "/sendable"; }
    std::string invalidDirectory() const { return cachePath_ + "/invalid"; }
    std::string analyticsDirectory() const { return cachePath_ + "/analytics"; }
    std::string crashMarkerFilePath() const { return cachePath_ + "/crash_marker"; }
    std::string settingsCachePath() const;
    // The "VexmorAPIEndpoint" of the bundle, the environment or the user
    // defaults, else the build's default.
    const std::string& settingsEndpoint() const { return settingsEndpoint_; }
    static std::string defaultSettingsEndpoint();
    std::string bundleIdentifier() const;
    static bool hostCanCacheSettings() { return true; }
    static bool isARejectedError(const std::optional<platform::Error>& error);

    // Not owned; set before beginStartupFlowAfterDelay.
    void setSettingsClient(VXMSettingsClient* client) { settingsClient_ = client; }
    void setDelegate(VXMSDKControllerDelegate* delegate) { delegate_ = delegate; }
    void setPermissionPrompt(std::shared_ptr<VXMPermissionPrompt> prompt);
    // The answer when no prompt is installed: Don't Send, since nobody was
    // asked. A program without windows that may send unasked sets Send.
    void setDefaultPermissionAnswer(VXMPermissionAnswer answer);

    const platform::DispatchQueuePtr& queue() const { return queue_; }
    std::shared_ptr<const VXMSettings> settings() const;
    // Read on the queue.
    int64_t retryInterval() const;

    // Pipeline steps; each runs on the queue.
    void startReportCollection();
    void processExistingRecords(bool skipPermission);
    // The path of the packed report, or "" when the record is not valid.
    std::string processRecordFile(const std::string& path);
    void submitFiles();
    void submitInvalidFiles();
    // Keeps files of at most 1 MiB; a larger one is replaced by a line
    // giving its size. False when that cannot be done.
    bool ensureReasonableFileAtPath(const std::string& path);

  private:
    VXMSDKController(platform::Clock& clock, std::optional<std::string> rootPath);

    void didLoadSettings(std::shared_ptr<const VXMSettings> settings);
    void settingsArrived(const platform::Value& document, const std::function<void()>& completion);
    void onboardOrStartReportCollection();
    void configure(bool asNewApp);
    void startReportingAfterDelay(double seconds);
    // The user's opt-out: no record, report or event log is kept.
    void removeEveryRecord();
    void displayPermissionAlert();
    void answerPermission(VXMPermissionAnswer answer);
    void submitReportsSettingAlwaysFlag(bool always);
    void ignoreReports();
    void submitNextFile();
    void submissionFinished(const std::string& path, const std::optional<platform::Error>& error);
    void submitNextInvalidFile();
    void after(int64_t seconds, platform::Task task);

    platform::Clock& clock_;
    platform::DispatchQueuePtr queue_;
    std::string rootPath_;
    std::string cachePath_;
    std::string settingsEndpoint_;
    VXMSettingsClient* settingsClient_ = nullptr;
    VXMSDKControllerDelegate* delegate_ = nullptr;

    mutable std::mutex mutex_;  // settings_, prompt_, defaultAnswer_
    std::shared_ptr<const VXMSettings> settings_;
    std::shared_ptr<VXMPermissionPrompt> prompt_;
    VXMPermissionAnswer defaultAnswer_ = VXMPermissionAnswer::DontSend;

    // Queue state.
    double delay_ = 0;
    int64_t retryInterval_ = kInitialRetryInterval;
    bool retrying_ = false;
    bool submitting_ = false;         // one chain of uploads from sendable/
    bool submittingInvalid_ = false;  // one chain from invalid/
    bool awaitingPermission_ = false;
};

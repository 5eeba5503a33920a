#pragma once
// The crash reporter's public face. The application starts everything with
// one call from its launch handler:
//
//   Vexmor::startWithAPIKey(apiKey);          // nullptr (and an error) for an empty key
//   Vexmor::sharedInstance().setPermissionPrompt(prompt);   // the application's alert
//
// The front builds the pipeline (VXMSDKController) and the settings client,
// installs crash capture, and answers the clients' questions about the
// application. Nothing here throws; an application without a permission
// prompt gets the controller's default answer.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Dispatch.h"
#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "reporter/VXMContext.h"
#include "reporter/VXMException.h"
#include "reporter/analytics/VXMAnalyticsController.h"
#include "reporter/sdk/VXMAppIconController.h"
#include "reporter/sdk/VXMBeta.h"
#include "reporter/sdk/VXMSDKController.h"
#include "reporter/sdk/VXMSettingsClient.h"

class Vexmor;

// Optional callbacks of the application. An answer of nullopt means the
// delegate does not answer that question.
class VexmorDelegate {
  public:
    virtual ~VexmorDelegate() = default;
    // Asked at start, on the caller's thread.
    virtual std::optional<std::string> vexmorIdentifierForConversionTracking(Vexmor& vexmor) {
        return std::nullopt;
    }
    // Asked at start for each fatal signal; nullopt for the first one means
    // the delegate does not answer, and nothing is left alone.
    virtual std::optional<bool> vexmorEnsureDeliveryOfUnixSignal(Vexmor& vexmor, int signal) {
        return std::nullopt;
    }
    // On the main queue, when the crash marker was found at start.
    virtual void vexmorDidDetectCrashDuringPreviousExecution(Vexmor& vexmor) {}
    // On the main queue, with each record of the crashed run as it is processed.
    virtual void vexmorDidDetectCrashDuringPreviousExecution(Vexmor& vexmor,
                                                             const VXMCrashFile& file) {}
};

inline constexpr const char* VexmorExceptionDomain = "VexmorException";

class Vexmor final : public VXMSDKControllerDelegate, public VXMSettingsClientDelegate {
  public:
    // What tests change; the shared instance uses the defaults.
    struct Options {
        platform::Clock* clock = nullptr;     // systemClock()
        std::optional<std::string> rootPath;  // $XDG_CACHE_HOME/com.vexmor.data
        bool disableCrashReporting = false;
    };

    static Vexmor& sharedInstance();
    explicit Vexmor(Options options);
    ~Vexmor() override;
    Vexmor(const Vexmor&) = delete;
    Vexmor& operator=(const Vexmor&) = delete;

    // The start variants: no delegate, a delay of 1 s and the default
    // environment unless given. The result is the instance, or nullptr with
    // `error` (VexmorExceptionDomain) for an empty key.
    static Vexmor* startWithAPIKey(const std::string& apiKey);
    static Vexmor* startWithAPIKeyAfterDelay(const std::string& apiKey, double delay);
    static Vexmor* startWithAPIKey(const std::string& apiKey, VexmorDelegate* delegate);
    static Vexmor* startWithAPIKey(const std::string& apiKey, VexmorDelegate* delegate,
                                   double delay);
    static Vexmor* startWithAPIKey(const std::string& apiKey, VexmorDelegate* delegate,
                                   double delay, const VXMEnvironment& environment,
                                   platform::Error* error = nullptr);
    static VXMEnvironment defaultEnvironment();

    Vexmor* initializeWithAPIKey(const std::string& apiKey, double delay,
                                 const VXMEnvironment& environment,
                                 platform::Error* error = nullptr);
    // Starts with the key under "APIKey" of the kit description.
    Vexmor* start(platform::Error* error = nullptr);

    // Identity, custom keys and platform facts; nothing before the crash
    // context exists.
    static void setUserIdentifier(const std::optional<std::string>& identifier);
    static void setUserName(const std::optional<std::string>& name);
    static void setUserEmail(const std::optional<std::string>& email);
    static std::optional<std::string> confirmCustomIdentifierValue(const platform::Value& value);
    static void setObjectValue(const platform::Value& value, const std::string& key);
    static void setIntValue(int value, const std::string& key);
    static void setBoolValue(bool value, const std::string& key);
    static void setFloatValue(float value, const std::string& key);
    static void setDevelopmentPlatformName(const std::string& name);
    static void setDevelopmentPlatformVersion(const std::string& version);
    static void recordExceptionName(const std::string& name, const std::string& reason,
                                    const std::vector<VXMStackFrameInput>& frames);

    // Crashes on request (testing the set-up).
    [[noreturn]] void crash();
    [[noreturn]] void raiseObjCException() noexcept;

    bool debugMode() const;
    void setDebugMode(bool on);
    static const char* version() { return "2.2.5"; }
    std::string apiKey() const;
    VexmorDelegate* delegate() const { return delegate_.load(); }
    void setDelegate(VexmorDelegate* delegate) { delegate_.store(delegate); }

    // The application's permission alert (kept until the pipeline exists).
    void setPermissionPrompt(std::shared_ptr<VXMPermissionPrompt> prompt);
    // Draws the application's icon as PNG (the application's toolkit).
    void setAppIconRenderer(VXMAppIconController::Renderer renderer) {
        appIconController_.setRenderer(std::move(renderer));
    }
    void setDisableCrashReporting(bool disable) { options_.disableCrashReporting = disable; }
    void setKitInfo(platform::Value info) { kitInfo_ = std::move(info); }
    void setSDKKitVersions(std::map<std::string, std::string> versions) {
        kitVersions_ = std::move(versions);
    }

    // State, for the application and tests.
    bool lastSessionWasCrash() const { return lastSessionWasCrash_.load(); }
    bool isSettingsLoaded() const { return settingsLoaded_.load(); }
    const std::string& sessionIdentifier() const { return sessionIdentifier_; }
    // Null until started (and for an inert start).
    const std::shared_ptr<VXMSDKController>& controller() const { return controller_; }
    VXMSettingsClient* settingsClient() const { return settingsClient_.get(); }
    // Null unless analytics is supported and the crash context exists.
    const std::shared_ptr<VXMAnalyticsController>& analyticsController() const {
        return analyticsController_;
    }
    const std::shared_ptr<VXMBetaController>& betaController() const { return betaController_; }

    // Fatal-signal mask of the signals the delegate wants delivered.
    uint32_t machExceptionMask();
    std::string conversionTrackingIdentifier();
    // Removes "crash_marker" of the crash-file directory and tells the
    // delegate; sets lastSessionWasCrash.
    void checkForCrashMarker();

    // VXMSettingsClientDelegate
    std::string APIKey() const override { return apiKey(); }
    std::string bundleId() const override;
    std::string applicationName() const override;
    std::string bundleVersion() const override;
    std::optional<std::string> shortBundleVersion() const override;
    std::optional<std::map<std::string, std::string>> executableSlices() const override;
    std::string minimumSDKVersion() const override;
    std::string builtSDKVersion() const override;
    platform::Value identificationDictionary() const override;
    unsigned deliveryMechanism() const override;
    unsigned deviceState() const override;
    std::optional<platform::Value> eventArray() const override;
    void removeInstallEventKey() override;
    std::optional<VXMAppIcon> icon() const override;
    bool contextIsInitialized() const override;

    // VXMSDKControllerDelegate
    void controllerDidLoadSettings(VXMSDKController& controller,
                                   const std::shared_ptr<const VXMSettings>& settings) override;
    void controllerWillProcessFile(VXMSDKController& controller, VXMCrashFile& file) override;
    void controllerCompletedSubmissions(VXMSDKController& controller) override {}
    void controllerCollectProcesses(VXMSDKController& controller, bool collect) override;

  private:
    void startUp(const std::string& apiKey, double delay, const VXMEnvironment& environment);
    void setupCrashHandling(const std::string& apiKey, const std::string& sessionIdentifier,
                            const VXMEnvironment& environment);
    static VXMLoggingSettings loggingSettings();
    void startAnalytics();

    Options options_;
    platform::Clock& clock_;
    std::once_flag once_;
    std::atomic<VexmorDelegate*> delegate_{nullptr};
    platform::DispatchQueuePtr queue_;
    std::shared_ptr<VXMSDKController> controller_;
    std::unique_ptr<VXMSettingsClient> settingsClient_;
    std::shared_ptr<VXMPermissionPrompt> prompt_;
    platform::DispatchTimerPtr thirtySecondTimer_;
    std::shared_ptr<VXMAnalyticsController> analyticsController_;
    platform::DispatchTimerPtr conversionTimer_;
    mutable VXMAppIconController appIconController_;
    // Only when beta distribution is enabled.
    std::unique_ptr<VXMBetaClient> betaClient_;
    std::shared_ptr<VXMBetaController> betaController_;
    mutable std::mutex mutex_;  // apiKey_, prompt_, timer
    std::string apiKey_;
    std::string sessionIdentifier_;
    std::atomic<bool> lastSessionWasCrash_{false};
    std::atomic<bool> collectProcesses_{false};
    std::atomic<uint64_t> attributesCount_{0};
    std::atomic<int64_t> logBufferSize_{0};
    std::atomic<bool> settingsLoaded_{false};
    platform::Value kitInfo_;
    std::map<std::string, std::string> kitVersions_;
};

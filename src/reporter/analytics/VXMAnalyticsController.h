#pragma once
// Records the application's usage events into the event log store, cuts the
// session into fragments, packages closed fragments with gzip, uploads them
// and prunes what the settings do not let us keep.
//
// Log files are touched only on their priority's queue, the tree only on the
// maintenance queue. Settings and uploads reach the controller as plain
// values and a callback, so it needs nothing of the API client's library.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Dispatch.h"
#include "platform/core/Error.h"
#include "platform/core/UserDefaults.h"
#include "reporter/analytics/VXMAnalyticsGenerators.h"
#include "reporter/analytics/VXMEventLogFile.h"
#include "reporter/analytics/VXMEventLogSessionRepository.h"

inline constexpr const char* VXMAnalyticsControllerErrorDomain =
    "VXMAnalyticsControllerErrorDomain";
enum : long {
    VXMAnalyticsUploadInProgress = -1,
    VXMAnalyticsNoURL = -2,
    VXMAnalyticsCannotPrune = -3,
};

inline constexpr const char* VXMAnalyticsLastSessionIdentifierKey =
    "com.vexmor.insights.lastsessionidentifier";
inline constexpr const char* VXMAnalyticsLastSessionTimestampKey =
    "com.vexmor.insights.lastsessiontimestamp";
inline constexpr const char* VXMAnalyticsLastSessionMetadataKey =
    "com.vexmor.insights.lastsessionmetadata";
inline constexpr const char* VXMAnalyticsLastMaintenanceDateKey =
    "com.vexmor.insights.lastmaintenancedate";

// The analytics values of the service's settings.
struct VXMAnalyticsSettings {
    bool shouldCollectAnalytics = false;
    std::optional<std::string> analyticsURL;
    bool shouldFlushOnBackground = false;
    uint64_t maxByteSizePerFile = 0;
    uint32_t flushIntervalSecs = 0;
    uint32_t maxPendingSendFileCount = 0;
};

class VXMAnalyticsController : public std::enable_shared_from_this<VXMAnalyticsController> {
  public:
    using Completion = std::function<void(std::optional<platform::Error>)>;
    // Sends the files to the URL; the completion may run on any thread.
    using Uploader = std::function<void(const std::vector<std::string>& paths,
                                        const std::string& url, Completion completion)>;

    struct Config {
        Uploader uploader;
        std::string sessionIdentifier;
        std::string analyticsRootDirectory;
        // The session's metadata JSON (the head line of every log file).
        std::string metadataJSON;
        std::shared_ptr<VXMAnalyticsIdentifierGenerator> identifierGenerator;
        std::shared_ptr<VXMAnalyticsTimestampGenerator> timestampGenerator;
        platform::UserDefaults* defaults = nullptr;  // not owned
        platform::Clock* clock = nullptr;            // systemClock()
        // Whether the crash context exists (part of the feature switch).
        std::function<bool()> contextAvailable;
        // Whether the installation identifier was made during this run.
        std::function<bool()> installationIsNew;
    };

    // None when the first fragment cannot be prepared.
    static std::shared_ptr<VXMAnalyticsController> create(Config config);
    ~VXMAnalyticsController();

    void setSettings(std::optional<VXMAnalyticsSettings> settings);
    void logEvent(const VXMEventLogEvent& event);
    void logAppInstalled();
    void logAppLaunched();
    void logPreviousSessionCrashedOnDate(std::chrono::system_clock::time_point date);
    void maintainSessionFragments(Completion completion);
    void maintainSessionFragmentsIgnoringError();
    bool analyticsFeatureSwitchEnabled() const;

    const std::string& sessionIdentifier() const { return config_.sessionIdentifier; }
    uint64_t sessionTimestamp() const { return sessionTimestamp_; }
    const std::string& analyticsRootDirectory() const { return config_.analyticsRootDirectory; }
    VXMEventLogSessionRepository& repository() { return repository_; }
    const platform::DispatchQueuePtr& maintenanceQueue() const { return maintenanceQueue_; }
    // The open fragment's directory (read on the maintenance queue).
    std::string currentSessionFragmentDirectory() const;

    // The maintenance steps, each on the maintenance queue; exposed for tests.
    bool openNewSessionFragment(platform::Error* error);
    bool packageClosedSessionFragments(platform::Error* error);
    void transmitPackagedSessionFragments(Completion completion);
    bool prunePendingFiles(platform::Error* error);
    // Seconds until the first timed pass, from the stored last maintenance date.
    std::optional<double> maintenanceTimerFirstDelay() const;
    // Waits until the queues are idle and no maintenance pass is under way.
    void drain();

  private:
    explicit VXMAnalyticsController(Config config);
    bool prepareSessionFragment(const std::string& identifier, uint64_t timestamp,
                                platform::Error* error);
    void logOnQueue(std::shared_ptr<VXMEventLogEvent> event);
    // Writes the low-priority events handed over so far, on their queue.
    void logPendingOnQueue();
    void scheduleSessionMaintenance();
    void handleDisabledFeatureSwitch();
    void readLastSession();
    void saveCurrentSession();
    void transmitNext();
    void setMaintenanceDate();

    Config config_;
    platform::Clock& clock_;
    platform::UserDefaults& defaults_;
    uint64_t sessionTimestamp_ = 0;
    VXMEventLogSessionRepository repository_;
    platform::DispatchQueuePtr maintenanceQueue_;
    platform::DispatchQueuePtr priorityQueues_[3];
    // Per priority, touched only on that priority's queue.
    std::string fileURLs_[3];
    std::unique_ptr<VXMEventLogEventFile> files_[3];

    std::atomic<int> passesRunning_{0};

    // Low-priority events on their way to their queue: the caller only
    // appends; one queued task writes whatever has gathered.
    std::mutex pendingMutex_;
    std::vector<VXMEventLogEvent> pending_;

    mutable std::mutex mutex_;  // the fields below
    std::string currentFragmentIdentifier_;
    uint64_t currentFragmentTimestamp_ = 0;
    std::string currentFragmentDirectory_;
    std::optional<VXMAnalyticsSettings> settings_;
    bool loggedAnalyticsEnabled_ = false;
    bool performMaintenanceAfterSettingsArrive_ = false;
    platform::DispatchTimerPtr maintenanceTimer_;
    std::optional<std::vector<std::string>> fragmentsToTransmit_;
    Completion transmitCompletion_;
    std::optional<std::string> lastSessionIdentifier_;
    uint64_t lastSessionTimestamp_ = 0;
    std::optional<std::string> lastSessionMetadata_;
};

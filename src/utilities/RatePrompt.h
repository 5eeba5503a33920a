#pragma once
// Asks the user, after enough use of the installed version, to rate the
// application in the desktop's software centre. Counts launches and events
// in the user defaults, decides whether to ask, looks the application up in
// the store's public lookup service on a background thread, and shows a
// window-modal alert with three choices.
//
// Everything but the lookup runs on the main thread (platform::mainQueue()).
// The lookup hands its results back by posting to the main queue, never by
// waiting for it.

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

namespace platform {
class UserDefaults;
}

inline constexpr const char* kRatePromptErrorDomain = "RatePromptErrorDomain";
enum RatePromptErrorCode : long {
    kRatePromptErrorBundleIdDoesNotMatchAppStore = 1,
    kRatePromptErrorApplicationNotFoundOnAppStore = 2,
    kRatePromptErrorApplicationIsNotLatestVersion = 3,
};

// The user-defaults keys.
inline constexpr const char* kRatePromptLastVersionUsedKey = "RatePromptLastVersionUsed";
inline constexpr const char* kRatePromptFirstUsedKey = "RatePromptFirstUsed";
inline constexpr const char* kRatePromptUseCountKey = "RatePromptUseCount";
inline constexpr const char* kRatePromptEventCountKey = "RatePromptEventCount";
inline constexpr const char* kRatePromptLastRemindedKey = "RatePromptLastReminded";
inline constexpr const char* kRatePromptDeclinedVersionKey = "RatePromptDeclinedVersion";
inline constexpr const char* kRatePromptRatedVersionCheckedKey = "RatePromptRatedVersionChecked";

// Names the store's lookup service, in the environment or the user defaults
// (first match wins), else the build option TESSARO_STORE_ENDPOINT. The
// built-in one ends in ".invalid": no lookup is made until one is configured.
inline constexpr const char* kRatePromptStoreEndpointKey = "RatePromptStoreEndpoint";

// Every message has a default body: a delegate answers only what it wants.
class RatePromptDelegate {
  public:
    virtual ~RatePromptDelegate() = default;
    // False suppresses the alert.
    virtual bool ratePromptShouldPromptForRating() { return true; }
    virtual void ratePromptCouldNotConnectToAppStore(const platform::Error& error) {}
    virtual void ratePromptDidDetectAppUpdate() {}
    virtual void ratePromptUserDidAttemptToRateApp() {}
    // False keeps the software centre closed.
    virtual bool ratePromptShouldOpenAppStore() { return true; }
    virtual void ratePromptUserDidDeclineToRateApp() {}
    virtual void ratePromptUserDidRequestReminderToRateApp() {}
};

// What the prompt needs of the desktop: the application layer implements it
// with a window-modal alert on the main window and the URL handlers.
class RatePromptPresenter {
  public:
    enum class Response { Rate, Decline, Remind };
    struct AlertTexts {
        std::string title;
        std::string message;
        std::string rateButton;    // the default button
        std::string cancelButton;  // the alternate button
        std::string remindButton;  // left out when empty
    };

    virtual ~RatePromptPresenter() = default;
    virtual bool hasMainWindow() = 0;
    // Opens the alert without a nested event loop; `done` runs on the main
    // thread with the user's choice.
    virtual void showAlert(const AlertTexts& texts, std::function<void(Response)> done) = 0;
    virtual bool openURL(const std::string& url) = 0;
};

class RatePrompt {
  public:
    // The body of a lookup, or the error that ended it.
    struct FetchResult {
        std::optional<std::string> body;
        std::optional<platform::Error> error;
    };
    using Fetcher = std::function<FetchResult(const std::string& url, double timeoutSeconds)>;

    // What the application says of itself (the build's name, version and id).
    struct ApplicationInfo {
        std::string name;
        std::string version;
        std::string bundleID;
    };

    // The process's prompt, made on first use with the application's info
    // and the standard user defaults.
    static RatePrompt& sharedInstance();
    // Set once before sharedInstance() is first used.
    static void setApplicationInfo(ApplicationInfo info);

    RatePrompt(ApplicationInfo info, platform::UserDefaults& defaults,
               platform::Clock& clock = platform::systemClock());
    ~RatePrompt();
    RatePrompt(const RatePrompt&) = delete;
    RatePrompt& operator=(const RatePrompt&) = delete;

    // Once per start, on the main thread.
    void applicationLaunched();
    void logEvent(bool deferPrompt);
    void promptIfNetworkAvailable();
    void promptForRating();
    void openRatingsPageInAppStore();
    bool shouldPromptForRating();

    // Waits until a running lookup has handed back its result (tests, quit).
    void waitForLookup();

    // The JSON text scan: the value of `key`, or none.
    static std::optional<std::string> valueForKeyInJSON(const std::string& key,
                                                        const std::string& json);

    // Configuration, as the application may set it.
    std::string appStoreCountry;
    std::string applicationVersion;
    std::string applicationName;
    std::string applicationBundleID;
    uint64_t appStoreID = 0;
    uint64_t appStoreGenreID = 0;
    unsigned usesUntilPrompt = 10;
    unsigned eventsUntilPrompt = 10;
    float daysUntilPrompt = 10.0f;
    float usesPerWeekForPrompt = 0.0f;
    float remindPeriod = 1.0f;
    bool useAllAvailableLanguages = true;
    bool disableAlertViewResizing = false;
    bool onlyPromptIfLatestVersion = true;
    bool onlyPromptIfMainWindowIsAvailable = true;
    bool displayAppUsingStorekitIfAvailable = true;
    bool promptAgainForEachNewVersion = true;
    bool promptAtLaunch = true;
    bool verboseLogging = false;
    bool previewMode = false;
    std::optional<std::string> messageTitle;
    std::optional<std::string> message;
    std::optional<std::string> cancelButtonLabel;
    std::optional<std::string> rateButtonLabel;
    std::optional<std::string> remindButtonLabel;
    std::optional<std::string> ratingsURL;
    // The configured store endpoint (see kRatePromptStoreEndpointKey).
    std::string lookupBaseURL;
    // False for an endpoint whose host ends in ".invalid": nobody is asked.
    bool lookupIsConfigured() const;
    static std::string defaultLookupBaseURL();

    // Non-owning; the application's delegate when unset.
    void setDelegate(RatePromptDelegate* delegate) { delegate_ = delegate; }
    void setPresenter(RatePromptPresenter* presenter) { presenter_ = presenter; }
    void setFetcher(Fetcher fetcher) { fetcher_ = std::move(fetcher); }
    // Where warnings and verbose lines go (tests capture them).
    void setLogger(std::function<void(const std::string&)> logger) { logger_ = std::move(logger); }

    // The computed texts and the ratings page.
    std::string messageTitleText() const;
    std::string messageText() const;
    std::string cancelButtonText() const;
    std::string rateButtonText() const;
    std::string remindButtonText() const;
    std::string ratingsURLText();
    std::string lookupURL() const;

    // Stored state.
    std::optional<std::chrono::system_clock::time_point> firstUsed() const;
    std::optional<std::chrono::system_clock::time_point> lastReminded() const;
    void setLastReminded(std::optional<std::chrono::system_clock::time_point> date);
    unsigned usesCount() const;
    void setUsesCount(unsigned count);
    unsigned eventCount() const;
    void setEventCount(unsigned count);
    float usesPerWeek() const;
    bool declinedThisVersion() const;
    void setDeclinedThisVersion(bool declined);
    bool declinedAnyVersion() const;
    bool ratedThisVersion() const;
    void setRatedThisVersion(bool rated);
    bool ratedAnyVersion() const;

    bool currentlyChecking() const { return currentlyChecking_; }
    bool alertVisible() const { return alertVisible_; }

  private:
    void checkForConnectivityInBackground();
    void connectionSucceeded();
    void connectionError(const std::optional<platform::Error>& error);
    void log(const std::string& line) const;
    // The store-ID warning, unless a ratings page is set or the ID is known.
    void warnIfStoreIDIsMissing() const;
    std::string withName(const std::string& text) const;
    RatePromptDelegate& delegate();

    platform::UserDefaults& defaults_;
    platform::Clock& clock_;
    RatePromptDelegate* delegate_ = nullptr;
    RatePromptPresenter* presenter_ = nullptr;
    Fetcher fetcher_;
    std::function<void(const std::string&)> logger_;
    std::atomic<bool> currentlyChecking_{false};
    bool alertVisible_ = false;
    std::mutex lookupMutex_;
    platform::DispatchQueuePtr lookupQueue_;
    // Lets posted results find out that the prompt is gone.
    std::shared_ptr<RatePrompt*> alive_;
};

#pragma once
// Fixtures of the reporter front's tests: a data source with fixed answers,
// settings documents, a clock that remembers the delays asked of it, and a
// wait for work that finishes on other threads.

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/Dispatch.h"
#include "platform/core/Value.h"
#include "reporter/sdk/VXMSettingsClient.h"
#include "support/ManualClock.h"

namespace sdktest {

inline constexpr const char* kAPIKey = "3f9c1e7a0b5d2486c1e9f0a7d3b6524e8c1a9f07";

struct FakeSource : VXMSettingsClientDelegate {
    std::string key = kAPIKey;
    std::string bundle = "com.norvane.tessaro";
    std::string name = "Tessaro";
    std::string version = "12";
    std::optional<std::string> shortVersion = "1.2";
    std::optional<std::map<std::string, std::string>> slices =
        std::map<std::string, std::string>{{"x86_64", "00112233445566778899aabbccddeeff"}};
    platform::Value identification = platform::Value::dictionary();
    unsigned delivery = 1;
    unsigned state = 4;
    std::optional<VXMAppIcon> appIcon;
    std::optional<platform::Value> events;
    bool context = false;
    int installEventRemovals = 0;

    std::string APIKey() const override { return key; }
    std::string bundleId() const override { return bundle; }
    std::string applicationName() const override { return name; }
    std::string bundleVersion() const override { return version; }
    std::optional<std::string> shortBundleVersion() const override { return shortVersion; }
    std::optional<std::map<std::string, std::string>> executableSlices() const override {
        return slices;
    }
    std::string minimumSDKVersion() const override { return "11.0.0"; }
    std::string builtSDKVersion() const override { return "12.1.0"; }
    platform::Value identificationDictionary() const override { return identification; }
    unsigned deliveryMechanism() const override { return delivery; }
    unsigned deviceState() const override { return state; }
    std::optional<platform::Value> eventArray() const override { return events; }
    void removeInstallEventKey() override { ++installEventRemovals; }
    std::optional<VXMAppIcon> icon() const override { return appIcon; }
    bool contextIsInitialized() const override { return context; }
};

// A settings answer whose reports go to `reportsURL`.
inline platform::Value settingsDocument(const std::string& reportsURL, bool prompt = false,
                                        const char* status = "activated") {
    platform::Value::Dictionary app{
        {"status", status}, {"url", reportsURL + "-app"}, {"reports_url", reportsURL}};
    platform::Value::Dictionary settings{{"cache_duration", 120}, {"collect_reports", true}};
    platform::Value::Dictionary features{{"prompt_enabled", prompt}};
    platform::Value::Dictionary promptTexts{{"title", "Send it?"},
                                            {"show_always_send_button", true}};
    return platform::Value(platform::Value::Dictionary{{"settings_version", 2},
                                                       {"app", app},
                                                       {"settings", settings},
                                                       {"features", features},
                                                       {"prompt", promptTexts}});
}

// Waits for `done`, checking every few milliseconds; false after `limit`.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        platform::pumpMainQueue();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A manual clock that records the delay of every wake-up asked of it.
class RecordingClock final : public platform::Clock {
  public:
    time_point now() const override { return clock_.now(); }
    Token schedule(time_point when, platform::Task fire) override {
        {
            std::lock_guard lock(mutex_);
            delays_.push_back(
                std::chrono::duration_cast<std::chrono::seconds>(when - clock_.now()).count());
        }
        return clock_.schedule(when, std::move(fire));
    }
    void cancel(Token token) override { clock_.cancel(token); }

    void advance(std::chrono::seconds d) { clock_.advance(d); }
    std::size_t pendingCount() const { return clock_.pendingCount(); }
    std::vector<long long> delays() const {
        std::lock_guard lock(mutex_);
        return delays_;
    }

  private:
    testsupport::ManualClock clock_;
    mutable std::mutex mutex_;
    std::vector<long long> delays_;
};

}  // namespace sdktest

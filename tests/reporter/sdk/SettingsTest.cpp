// The settings document: its cache on disk, its expiry and the decisions
// read from it together with the user's defaults.

#include "reporter/sdk/VXMSettings.h"

#include <gtest/gtest.h>

#include "reporter/sdk/VXMDefaults.h"
#include "support/TempDir.h"

using platform::Value;
using namespace std::chrono_literals;

namespace {

const VXMSettings::time_point kNow{std::chrono::seconds(1'700'000'000)};

struct ScopedDefaults {
    testsupport::TempDir dir{"sdk-defaults"};
    platform::UserDefaults defaults{(dir / "defaults.json").string()};
    ScopedDefaults() { VXMSetDefaults(&defaults); }
    ~ScopedDefaults() { VXMSetDefaults(nullptr); }
};

Value document(Value::Dictionary settings, Value::Dictionary features = {}) {
    return Value(Value::Dictionary{{"settings_version", 2},
                                   {"settings", Value(std::move(settings))},
                                   {"features", Value(std::move(features))}});
}

}  // namespace

TEST(VXMSettings, CacheExpiresAfterItsDuration) {
    testsupport::TempDir dir;
    const std::string path = (dir / "settings.plist").string();
    const struct {
        Value duration;
        long long lifetime;
    } cases[] = {{Value(), 3600}, {Value(0), 3600}, {Value(120), 120}, {Value(86400), 86400}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lifetime);
        Value::Dictionary section{{"collect_reports", true}};
        if (!c.duration.isNull()) section.set("cache_duration", c.duration);
        ASSERT_TRUE(VXMSettings::writeSettings(document(section), path, kNow));
        auto cached = VXMSettings::initWithCachePath(path);
        ASSERT_TRUE(cached);
        EXPECT_FALSE(cached->isOutdated(kNow));
        EXPECT_FALSE(cached->isOutdated(kNow + std::chrono::seconds(c.lifetime) - 1s));
        EXPECT_TRUE(cached->isOutdated(kNow + std::chrono::seconds(c.lifetime)));
        EXPECT_TRUE(cached->shouldCollectCrashReports());
    }
    // No temporary file is left beside the cache.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(VXMSettings, OnlyVersionTwoIsReadFromTheCache) {
    testsupport::TempDir dir;
    const std::string path = (dir / "settings.plist").string();
    const struct {
        const char* what;
        Value version;
        bool used;
    } cases[] = {{"absent", Value(), false},
                 {"1", Value(1), false},
                 {"2", Value(2), true},
                 {"text 2", Value("2"), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Value doc = document({});
        if (c.version.isNull()) {
            doc.ifDictionary()->erase("settings_version");
        } else {
            doc.set("settings_version", c.version);
        }
        ASSERT_TRUE(VXMSettings::writeSettings(doc, path, kNow));
        EXPECT_EQ(VXMSettings::initWithCachePath(path) != nullptr, c.used);
    }
    testsupport::writeFile(path, "not a property list");
    EXPECT_FALSE(VXMSettings::initWithCachePath(path));
    EXPECT_FALSE(VXMSettings::initWithCachePath((dir / "absent.plist").string()));
    // A cache without an expiry date is outdated.
    EXPECT_TRUE(VXMSettings(path, document({})).isOutdated(kNow));
}

TEST(VXMSettings, CollectionDecision) {
    ScopedDefaults scoped;
    const struct {
        Value userDefault;  // "VexmorShouldCollectCrashReports"
        Value service;      // "collect_reports"
        bool collect;
    } cases[] = {
        {Value(), Value(), true},           {Value(), Value(true), true},
        {Value(), Value(false), false},     {Value(true), Value(), true},
        {Value(true), Value(false), false}, {Value(false), Value(), false},
        {Value(false), Value(true), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.userDefault.description() + " " + c.service.description());
        if (c.userDefault.isNull()) {
            scoped.defaults.removeObjectForKey("VexmorShouldCollectCrashReports");
        } else {
            scoped.defaults.setObject("VexmorShouldCollectCrashReports", c.userDefault);
        }
        Value::Dictionary section;
        if (!c.service.isNull()) section.set("collect_reports", c.service);
        EXPECT_EQ(VXMSettings("", document(section)).shouldCollectCrashReports(), c.collect);
    }
}

TEST(VXMSettings, PermissionDecisionAndPromptTexts) {
    ScopedDefaults scoped;
    const struct {
        Value promptEnabled;
        bool alwaysSend;
        bool ask;
    } cases[] = {{Value(), false, false},
                 {Value(false), false, false},
                 {Value(true), false, true},
                 {Value(true), true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.promptEnabled.description() + (c.alwaysSend ? " always" : ""));
        VXMSettings::setUserDesiresReportsAlwaysBeSent(c.alwaysSend);
        Value::Dictionary features;
        if (!c.promptEnabled.isNull()) features.set("prompt_enabled", c.promptEnabled);
        EXPECT_EQ(VXMSettings("", document({}, features)).shouldRequestPermissionToSubmit(), c.ask);
    }
    EXPECT_TRUE(scoped.defaults.boolForKey("VexmorAlwaysSendCrashReports"));

    Value doc = document({});
    doc.set("prompt", Value(Value::Dictionary{{"title", "Report?"}}));
    VXMSettings settings("", doc);
    EXPECT_EQ(settings.interactivePromptTitle(), "Report?");
    EXPECT_EQ(settings.interactivePromptMessage(),
              "Looks like we crashed! Please help us fix the problem by sending a crash report.");
    EXPECT_EQ(settings.interactivePromptSendTitle(), "Send");
    EXPECT_EQ(settings.interactivePromptAlwaysSendTitle(), "Always Send");
    EXPECT_EQ(settings.interactivePromptCancelTitle(), "Don't Send");
    EXPECT_FALSE(settings.appNeedsOnboarding());
    EXPECT_EQ(settings.betaUpdateSuspendDurationSecs(), 3600);
}

// The URLs that receive the API key, reports and event logs are taken only
// over https, or in the clear to this machine.
TEST(VXMSettings, ServiceURLsAreHttpsOnly) {
    const struct {
        const char* url;
        bool taken;
    } cases[] = {{"https://reports.example.org/r", true},
                 {"HTTPS://reports.example.org/r", true},
                 {"http://reports.example.org/r", false},
                 {"http://127.0.0.1:8080/r", true},
                 {"http://localhost/r", true},
                 {"http://[::1]:9/r", true},
                 {"http://127.example.org/r", false},
                 {"ftp://reports.example.org/r", false},
                 {"file:///etc/passwd", false},
                 {"not a url", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        Value doc = document({});
        doc.set("app",
                Value(Value::Dictionary{{"reports_url", Value(c.url)}, {"url", Value(c.url)}}));
        doc.set("analytics", Value(Value::Dictionary{{"url", Value(c.url)}}));
        doc.set("beta", Value(Value::Dictionary{{"update_endpoint", Value(c.url)}}));
        VXMSettings settings("", doc);
        const std::optional<std::string> expected =
            c.taken ? std::optional<std::string>(c.url) : std::nullopt;
        EXPECT_EQ(settings.reportsURL(), expected);
        EXPECT_EQ(settings.appURL(), expected);
        EXPECT_EQ(settings.analyticsURL(), expected);
        EXPECT_EQ(settings.betaUpdateEndpoint(), expected);
    }
}

#include "utilities/RatePrompt.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/Dispatch.h"
#include "platform/core/UserDefaults.h"
#include "reporter/web/VXMWebClientTransaction.h"
#include "support/HttpServer.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
using Response = RatePromptPresenter::Response;

namespace {

constexpr auto kDay = std::chrono::hours(24);

struct FakePresenter : RatePromptPresenter {
    bool mainWindow = true;
    std::vector<AlertTexts> shown;
    std::function<void(Response)> pending;
    std::vector<std::string> opened;

    bool hasMainWindow() override { return mainWindow; }
    void showAlert(const AlertTexts& texts, std::function<void(Response)> done) override {
        shown.push_back(texts);
        pending = std::move(done);
    }
    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return true;
    }
    void answer(Response r) {
        auto done = std::move(pending);
        pending = nullptr;
        done(r);
    }
};

struct RecordingDelegate : RatePromptDelegate {
    std::vector<std::string> calls;
    std::optional<platform::Error> lastError;
    void ratePromptCouldNotConnectToAppStore(const platform::Error& e) override {
        calls.push_back("couldNotConnect");
        lastError = e;
    }
    void ratePromptDidDetectAppUpdate() override { calls.push_back("update"); }
    void ratePromptUserDidAttemptToRateApp() override { calls.push_back("rate"); }
    void ratePromptUserDidDeclineToRateApp() override { calls.push_back("decline"); }
    void ratePromptUserDidRequestReminderToRateApp() override { calls.push_back("remind"); }
};

class RatePromptTest : public ::testing::Test {
  protected:
    testsupport::TempDir dir{"rate-prompt"};
    platform::UserDefaults defaults{(dir / "defaults.json").string()};
    testsupport::ManualClock clock;
    FakePresenter presenter;
    RecordingDelegate delegate;
    std::vector<std::string> logged;
    std::vector<std::string> fetchedURLs;
    RatePrompt::FetchResult answer;

    std::unique_ptr<RatePrompt> make(const std::string& version = "1.0") {
        auto p = std::make_unique<RatePrompt>(
            RatePrompt::ApplicationInfo{"Tessaro", version, "com.norVane.Tessaro"}, defaults,
            clock);
        p->setPresenter(&presenter);
        p->setDelegate(&delegate);
        p->setLogger([this](const std::string& l) { logged.push_back(l); });
        p->setFetcher([this](const std::string& url, double) {
            fetchedURLs.push_back(url);
            return answer;
        });
        p->appStoreCountry = "GB";
        p->lookupBaseURL = "https://store.example.org";
        return p;
    }

    // Finishes a lookup: its result comes back through the main queue.
    void settle(RatePrompt& p) {
        p.waitForLookup();
        platform::pumpMainQueue();
    }

    bool loggedContaining(const std::string& text) const {
        for (const auto& l : logged) {
            if (l.find(text) != std::string::npos) return true;
        }
        return false;
    }
};

// Each rule's first match, in the order the prompt checks them.
TEST_F(RatePromptTest, RulesFirstMatchWins) {
    struct Case {
        const char* name;
        std::function<void(RatePrompt&)> setUp;
        bool expected;
        const char* reason;  // verbose line of a NO
    };
    auto ripe = [this](RatePrompt& p) {
        defaults.setObject(kRatePromptFirstUsedKey, platform::Value(clock.now() - 11 * kDay));
        p.setUsesCount(10);
    };
    const std::vector<Case> cases = {
        {"preview",
         [](RatePrompt& p) {
             p.previewMode = true;
             p.setRatedThisVersion(true);
         },
         true, nullptr},
        {"rated this version",
         [&](RatePrompt& p) {
             ripe(p);
             p.setRatedThisVersion(true);
         },
         false, "already rated this version"},
        {"rated another version, no prompt again",
         [&](RatePrompt& p) {
             ripe(p);
             defaults.setObject(kRatePromptRatedVersionCheckedKey, platform::Value("0.9"));
             p.promptAgainForEachNewVersion = false;
         },
         false, "promptAgainForEachNewVersion is disabled"},
        {"rated another version, prompt again",
         [&](RatePrompt& p) {
             ripe(p);
             defaults.setObject(kRatePromptRatedVersionCheckedKey, platform::Value("0.9"));
         },
         true, nullptr},
        {"declined",
         [&](RatePrompt& p) {
             ripe(p);
             p.setDeclinedThisVersion(true);
         },
         false, "declined to rate this version"},
        {"no first use", [](RatePrompt& p) { p.setUsesCount(50); }, false, "first time"},
        {"too recent",
         [&](RatePrompt& p) {
             ripe(p);
             defaults.setObject(kRatePromptFirstUsedKey, platform::Value(clock.now() - 9 * kDay));
         },
         false, "less than 10 days ago"},
        {"too few uses and events",
         [&](RatePrompt& p) {
             ripe(p);
             p.setUsesCount(9);
             p.setEventCount(9);
         },
         false, "used 9 times and only 9 events"},
        {"events alone are enough",
         [&](RatePrompt& p) {
             ripe(p);
             p.setUsesCount(0);
             p.setEventCount(10);
         },
         true, nullptr},
        {"too few uses per week",
         [&](RatePrompt& p) {
             ripe(p);
             p.usesPerWeekForPrompt = 100;
         },
         false, "per week"},
        {"reminded recently",
         [&](RatePrompt& p) {
             ripe(p);
             p.setLastReminded(clock.now() - 23h);
         },
         false, "reminded less than 1 days ago"},
        {"reminded long ago",
         [&](RatePrompt& p) {
             ripe(p);
             p.setLastReminded(clock.now() - 25h);
         },
         true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (auto key : {kRatePromptFirstUsedKey, kRatePromptUseCountKey, kRatePromptEventCountKey,
                         kRatePromptLastRemindedKey, kRatePromptDeclinedVersionKey,
                         kRatePromptRatedVersionCheckedKey}) {
            defaults.removeObjectForKey(key);
        }
        logged.clear();
        auto p = make();
        p->verboseLogging = true;
        c.setUp(*p);
        EXPECT_EQ(p->shouldPromptForRating(), c.expected);
        if (c.reason) {
            EXPECT_TRUE(loggedContaining(c.reason)) << (logged.empty() ? "" : logged[0]);
        }
    }
}

TEST_F(RatePromptTest, NewVersionRestartsCountsAndNeverPromptsOnItsFirstLaunch) {
    auto old = make("1.0");
    old->applicationLaunched();
    old->setUsesCount(40);
    old->setEventCount(40);
    old->setLastReminded(clock.now());
    clock.advance(30 * kDay);

    auto p = make("1.1");
    p->applicationLaunched();
    settle(*p);
    EXPECT_EQ(defaults.stringForKey(kRatePromptLastVersionUsedKey), "1.1");
    EXPECT_EQ(p->usesCount(), 1u);
    EXPECT_EQ(p->eventCount(), 0u);
    EXPECT_FALSE(p->lastReminded());
    ASSERT_TRUE(p->firstUsed());
    EXPECT_EQ(*p->firstUsed(), clock.now());
    EXPECT_TRUE(fetchedURLs.empty());
    EXPECT_EQ(std::count(delegate.calls.begin(), delegate.calls.end(), "update"), 2);

    // The values survive a reload of the defaults file (each write is saved).
    platform::UserDefaults again(defaults.path());
    EXPECT_EQ(again.integerForKey(kRatePromptUseCountKey), 1);
}

TEST_F(RatePromptTest, AfterTenDaysAndTenLaunchesTheLookupDecides) {
    struct Case {
        const char* name;
        std::string body;
        uint64_t storeID;
        bool alert;
        const char* log;
    };
    const std::vector<Case> cases = {
        {"unknown to the store", R"({"resultCount":0, "results": []})", 0, false,
         "could not find the App Store ID"},
        {"found",
         R"({"trackId":4242, "bundleId":"com.norVane.Tessaro", "primaryGenreId":6002, "version":"1.0", "x":1})",
         0, true, nullptr},
        {"newer in the store",
         R"({"trackId":4242, "bundleId":"com.norVane.Tessaro", "primaryGenreId":6002, "version":"1.2", "x":1})",
         0, false, "Installed app is not the latest version available"},
        {"another bundle", R"({"trackId":1, "bundleId":"org.other", "x":1})", 0, false,
         "does not match expected value of org.other"},
        {"known id, not found", R"({"resultCount":0, "results": []})", 99, false,
         "could not be found on the App Store"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        defaults.removeObjectForKey(kRatePromptLastVersionUsedKey);
        logged.clear();
        presenter.shown.clear();
        fetchedURLs.clear();
        answer = {c.body, std::nullopt};
        auto p = make();
        p->appStoreID = c.storeID;
        for (int i = 0; i < 10; ++i) {
            p->applicationLaunched();
            settle(*p);
            if (i == 0) clock.advance(11 * kDay);
        }
        ASSERT_EQ(fetchedURLs.size(), 1u);
        EXPECT_EQ(fetchedURLs[0],
                  c.storeID ? "https://store.example.org/GB/lookup?id=99"
                            : "https://store.example.org/GB/lookup?bundleId=com.norVane.Tessaro");
        EXPECT_EQ(presenter.shown.size(), c.alert ? 1u : 0u)
            << (logged.empty() ? "" : logged.back());
        // The missing store ID is told by the lookup itself.
        if (c.log) {
            EXPECT_TRUE(loggedContaining(c.log));
        }
        if (c.alert) {
            EXPECT_EQ(p->appStoreID, 4242u);
            EXPECT_EQ(p->appStoreGenreID, 6002u);
            EXPECT_EQ(presenter.shown[0].title, "Rate Tessaro");
            EXPECT_EQ(presenter.shown[0].rateButton, "Rate It Now");
            EXPECT_NE(presenter.shown[0].message.find("won\u2019t"), std::string::npos);
            presenter.answer(Response::Remind);
        }
        EXPECT_FALSE(p->currentlyChecking());
    }
}

// Nobody is asked until a store endpoint is configured: the built-in one
// resolves nowhere. The environment wins over the user defaults.
TEST_F(RatePromptTest, NoLookupUntilAStoreEndpointIsConfigured) {
    struct Case {
        const char* environment;
        const char* userDefault;
        std::string expected;
        bool lookup;
    };
    const Case cases[] = {
        {nullptr, nullptr, RatePrompt::defaultLookupBaseURL(), false},
        {nullptr, "https://store.example.org/", "https://store.example.org", true},
        {"https://env.example.org", "https://store.example.org", "https://env.example.org", true},
        {"https://store.example.invalid:8443/x", nullptr, "https://store.example.invalid:8443/x",
         false},
    };
    EXPECT_TRUE(RatePrompt::defaultLookupBaseURL().ends_with(".invalid"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        if (c.environment)
            setenv(kRatePromptStoreEndpointKey, c.environment, 1);
        else
            unsetenv(kRatePromptStoreEndpointKey);
        if (c.userDefault)
            defaults.setObject(kRatePromptStoreEndpointKey, c.userDefault);
        else
            defaults.removeObjectForKey(kRatePromptStoreEndpointKey);
        defaults.removeObjectForKey(kRatePromptLastVersionUsedKey);
        fetchedURLs.clear();
        auto p = make();
        p->lookupBaseURL =
            RatePrompt(RatePrompt::ApplicationInfo{"Tessaro", "1.0", "x"}, defaults, clock)
                .lookupBaseURL;
        EXPECT_EQ(p->lookupBaseURL, c.expected);
        for (int i = 0; i < 10; ++i) {
            p->applicationLaunched();
            settle(*p);
            if (i == 0) clock.advance(11 * kDay);
        }
        EXPECT_EQ(fetchedURLs.size(), c.lookup ? 1u : 0u);
        if (!c.lookup) {
            EXPECT_TRUE(loggedContaining("no store endpoint is configured"));
        }
    }
    unsetenv(kRatePromptStoreEndpointKey);
    defaults.removeObjectForKey(kRatePromptStoreEndpointKey);
}

TEST_F(RatePromptTest, AFailedLookupChangesNothingStored) {
    auto p = make();
    p->applicationLaunched();
    clock.advance(11 * kDay);
    p->setUsesCount(20);
    const std::string before = testsupport::readFile(defaults.path());
    answer.error = platform::Error{"NSURLErrorDomain", -1001, "The request timed out."};
    p->promptIfNetworkAvailable();
    settle(*p);
    EXPECT_EQ(testsupport::readFile(defaults.path()), before);
    EXPECT_TRUE(presenter.shown.empty());
    EXPECT_TRUE(loggedContaining("rating process failed because: The request timed out."));
    ASSERT_TRUE(delegate.lastError);
    EXPECT_EQ(delegate.lastError->code, -1001);
}

// The buttons set exactly their keys; each choice then holds for its period.
TEST_F(RatePromptTest, EachButtonSetsItsKeys) {
    struct Case {
        Response response;
        const char* key;
        const char* call;
        bool promptsNextDay;
        bool promptsNextVersion;
    };
    const std::vector<Case> cases = {
        {Response::Remind, kRatePromptLastRemindedKey, "remind", true, true},
        {Response::Decline, kRatePromptDeclinedVersionKey, "decline", false, true},
        {Response::Rate, kRatePromptRatedVersionCheckedKey, "rate", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        std::filesystem::remove(defaults.path());
        defaults.reload();
        delegate.calls.clear();
        presenter.opened.clear();
        auto p = make();
        p->applicationLaunched();
        clock.advance(11 * kDay);
        p->setUsesCount(10);
        p->appStoreID = 4242;
        p->promptForRating();
        ASSERT_TRUE(presenter.pending);
        EXPECT_TRUE(p->alertVisible());
        p->promptForRating();  // one alert at a time
        EXPECT_EQ(presenter.shown.size(), 1u);
        presenter.answer(c.response);
        presenter.shown.clear();
        EXPECT_FALSE(p->alertVisible());
        EXPECT_EQ(delegate.calls.back(), c.call);
        for (auto key : {kRatePromptLastRemindedKey, kRatePromptDeclinedVersionKey,
                         kRatePromptRatedVersionCheckedKey}) {
            EXPECT_EQ(!defaults.objectForKey(key).isNull(), std::string(key) == c.key) << key;
        }
        EXPECT_EQ(presenter.opened.size(), c.response == Response::Rate ? 1u : 0u);
        if (!presenter.opened.empty()) {
            EXPECT_EQ(presenter.opened[0], "appstream://com.norVane.Tessaro");
        }
        EXPECT_FALSE(p->shouldPromptForRating());
        clock.advance(25h);
        EXPECT_EQ(p->shouldPromptForRating(), c.promptsNextDay);

        auto next = make("2.0");
        next->applicationLaunched();
        clock.advance(11 * kDay);
        next->setUsesCount(10);
        EXPECT_EQ(next->shouldPromptForRating(), c.promptsNextVersion);
        next->promptAgainForEachNewVersion = false;
        EXPECT_EQ(next->shouldPromptForRating(), c.response != Response::Rate);
    }
}

TEST_F(RatePromptTest, WaitsForAMainWindow) {
    auto p = make();
    presenter.mainWindow = false;
    p->promptForRating();
    EXPECT_TRUE(presenter.shown.empty());
    presenter.mainWindow = true;
    clock.advance(400ms);
    platform::pumpMainQueue();
    EXPECT_TRUE(presenter.shown.empty());
    clock.advance(200ms);
    platform::pumpMainQueue();
    EXPECT_EQ(presenter.shown.size(), 1u);
}

TEST(RatePromptJSON, TextScan) {
    struct Case {
        const char* json;
        const char* key;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {R"({"trackId": 4242, "x":1})", "trackId", "4242"},
        {R"({"trackName":"Cats, Dogs, and more", "x":1})", "trackName", "Cats, Dogs, and more"},
        {R"({"a":"tab\there\nline \"q\" back\\slash \/ x", "x":1})", "a",
         "tab\there\nline \"q\" back\\slash / x"},
        {R"({"a":"\u00e9\u4e2d", "x":1})", "a", "\u00e9\u4e2d"},
        {R"({"a":"\ud83d\ude00!", "x":1})", "a", "\U0001F600!"},
        {R"({"a":"lone \ud83d here", "x":1})", "a", "lone \uFFFD here"},
        {R"({"a":"unterminated, still, going})", "a", "unterminated, still"},
        {R"({"b":1, "x":1})", "a", std::nullopt},
        {R"({"a" 1, "x" 2})", "a", std::nullopt},
        {R"({"a": 1})", "a", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(RatePrompt::valueForKeyInJSON(c.key, c.json), c.expected);
    }
}

// The real transport against a loopback HTTPS store: certificates are
// checked, and a plain-http or untrusted server gives no answer.
TEST(RatePromptLookup, OverHTTPSWithCertificateChecks) {
    testsupport::TempDir dir{"rate-lookup"};
    platform::UserDefaults defaults{(dir / "defaults.json").string()};
    testsupport::HttpServer server({.tls = true});
    server.setFallback(
        {.status = 200,
         .headers = {{"Content-Type", "text/javascript"}},
         .body = R"({"trackId":77, "bundleId":"com.norVane.Tessaro", "version":"1.0", "x":1})"});
    RatePrompt p({"Tessaro", "1.0", "com.norVane.Tessaro"}, defaults);
    p.appStoreCountry = "DE";
    p.lookupBaseURL = server.url("");
    while (!p.lookupBaseURL.empty() && p.lookupBaseURL.back() == '/') p.lookupBaseURL.pop_back();
    p.previewMode = true;
    FakePresenter presenter;
    p.setPresenter(&presenter);
    p.setLogger([](const std::string&) {});

    // Untrusted certificate: a connection error, no alert.
    p.promptIfNetworkAvailable();
    p.waitForLookup();
    platform::pumpMainQueue();
    EXPECT_TRUE(presenter.shown.empty());
    EXPECT_EQ(p.appStoreID, 0u);

    testsupport::writeFile(dir / "ca.pem", server.certificatePEM());
    VXMWebClientTransaction::setTrustedCertificatesFile((dir / "ca.pem").string());
    p.promptIfNetworkAvailable();
    p.waitForLookup();
    platform::pumpMainQueue();
    VXMWebClientTransaction::setTrustedCertificatesFile(std::nullopt);
    EXPECT_EQ(p.appStoreID, 77u);
    EXPECT_EQ(presenter.shown.size(), 1u);
    auto requests = server.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().target, "/DE/lookup?bundleId=com.norVane.Tessaro");
}

}  // namespace

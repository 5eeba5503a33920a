#include <gtest/gtest.h>

#include <future>

#include "reporter/sdk/VXMBeta.h"
#include "support/HttpServer.h"
#include "support/ManualClock.h"

namespace {

using Answer = std::pair<std::optional<platform::Value>, std::optional<platform::Error>>;

struct Fixture {
    testsupport::ManualClock clock;
    std::vector<Answer> answers;  // taken in order; the last one repeats
    int asked = 0;
    std::shared_ptr<VXMBetaController> controller = VXMBetaController::create(
        [this](const std::string&, VXMBetaClient::Completion done) {
            const Answer a = answers[std::min<size_t>(asked, answers.size() - 1)];
            ++asked;
            done(a.first, a.second);
        },
        clock);
    void settle() {
        // A retry takes three hops on the queue: timer, check, answer.
        for (int i = 0; i < 4; ++i) controller->queue()->sync([] {});
    }
};

Answer ok(std::optional<std::string> url) {
    platform::Value body = platform::Value::dictionary();
    if (url) body.set("url", *url);
    body.set("version_string", "1.3");
    return {body, std::nullopt};
}
const Answer failed = {std::nullopt, platform::Error{"x", -1, "down"}};

}  // namespace

TEST(VXMBetaController, NothingWithoutSettings) {
    Fixture f;
    f.answers = {ok("https://u")};
    f.controller->checkForUpdate();
    f.settle();
    EXPECT_EQ(f.asked, 0);
}

TEST(VXMBetaController, SuspensionAfterAnAnswerAndAnAnswerWithoutURLKeepsTheUpdate) {
    Fixture f;
    f.answers = {ok("https://first"), ok(std::nullopt)};
    f.controller->setSettings({"https://beta", 60});
    f.controller->checkForUpdate();
    f.settle();
    ASSERT_TRUE(f.controller->update());
    EXPECT_EQ(f.controller->update()->url, "https://first");
    EXPECT_TRUE(f.controller->checksSuspended());
    f.controller->checkForUpdate();  // suspended: dropped
    f.settle();
    EXPECT_EQ(f.asked, 1);
    f.clock.advance(std::chrono::seconds(60));
    f.settle();
    EXPECT_FALSE(f.controller->checksSuspended());
    f.controller->checkForUpdate();
    f.settle();
    EXPECT_EQ(f.asked, 2);
    EXPECT_EQ(f.controller->update()->url, "https://first");
    EXPECT_TRUE(f.controller->checksSuspended());
}

TEST(VXMBetaController, FailuresRetryAfter900SecondsAndChecksMeanwhileAreDropped) {
    Fixture f;
    f.answers = {failed, failed, ok("https://u")};
    f.controller->setSettings({"https://beta", 3600});
    int completions = 0;
    f.controller->maybeGetUpdate([&] { ++completions; });
    f.settle();
    EXPECT_EQ(f.asked, 1);
    EXPECT_TRUE(f.controller->retrying());
    f.controller->maybeGetUpdate([&] { completions += 100; });  // dropped
    f.settle();
    f.clock.advance(std::chrono::seconds(899));
    f.settle();
    EXPECT_EQ(f.asked, 1);
    f.clock.advance(std::chrono::seconds(1));
    f.settle();
    EXPECT_EQ(f.asked, 2);  // the second failure schedules one more retry
    f.clock.advance(std::chrono::seconds(900));
    f.settle();
    EXPECT_EQ(f.asked, 3);
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(f.controller->retrying());
    EXPECT_TRUE(f.controller->checksSuspended());
}

TEST(VXMBetaClient, QueryJoinsAnExistingQueryWithAmpersand) {
    struct Delegate : VXMClientDelegate {
        std::string APIKey() const override { return "KEY"; }
        std::string bundleId() const override { return "com.norvane.tessaro"; }
        std::string applicationName() const override { return "Tessaro"; }
        std::string bundleVersion() const override { return "12 b"; }
        std::optional<std::string> shortBundleVersion() const override { return "1.2"; }
        std::optional<std::map<std::string, std::string>> executableSlices() const override {
            return std::nullopt;
        }
        std::string minimumSDKVersion() const override { return ""; }
        std::string builtSDKVersion() const override { return ""; }
        platform::Value identificationDictionary() const override {
            return platform::Value::dictionary();
        }
        unsigned deliveryMechanism() const override { return 3; }
        unsigned deviceState() const override { return 0; }
    } delegate;
    VXMBetaClient client;
    client.setDelegate(&delegate);
    const std::string tail = "build_version=12%20b&display_version=1.2&instance=" +
                             VXMWebClient::escapeURLString(client.instanceIdentifier()) +
                             "&source=3";
    EXPECT_EQ(client.appendUpdateQueryParamsToURL("https://b/u"), "https://b/u?" + tail);
    EXPECT_EQ(client.appendUpdateQueryParamsToURL("https://b/u?t=1"), "https://b/u?t=1&" + tail);

    testsupport::HttpServer server;
    server.setFallback(testsupport::HttpScript{.status = 200,
                                               .headers = {{"Content-Type", "application/json"}},
                                               .body = R"({"url":"x"})"});
    std::promise<Answer> got;
    client.getUpdateWithURL(server.url("/beta?t=1"), [&](auto body, auto error) {
        got.set_value({body, error});
    });
    const Answer answer = got.get_future().get();
    ASSERT_TRUE(answer.first) << (answer.second ? answer.second->description : "");
    EXPECT_EQ((*answer.first)["url"].stringValue(), "x");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/beta?t=1&" + tail);
    EXPECT_EQ(server.requests()[0].header("X-VEXMOR-API-KEY"), "KEY");
}

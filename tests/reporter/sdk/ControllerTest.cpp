// The pipeline against a loopback service, with real directories and a clock
// that moves only when the test says so.

#include "reporter/sdk/VXMSDKController.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <utility>

#include "SdkTestSupport.h"
#include "reporter/sdk/VXMDefaults.h"
#include "reporter/web/VXMWebRequest.h"
#include "support/HttpServer.h"
#include "support/ProcessStatus.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
using platform::Value;
using sdktest::waitUntil;
using testsupport::HttpHeaders;
using testsupport::HttpScript;
using testsupport::HttpServer;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const std::string kRecord = readFile(fs::path(TESSARO_TEST_DATA) / "crash.vxmrecord");

// The first `lines` lines of the valid record.
std::string truncatedRecord(size_t lines) {
    size_t at = 0;
    for (size_t i = 0; i < lines; ++i) at = kRecord.find('\n', at) + 1;
    return kRecord.substr(0, at);
}

size_t entryCount(const std::string& directory) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(directory)) ++n;
    return n;
}

struct Recorder : VXMSDKControllerDelegate {
    std::atomic<int> settingsLoaded{0};
    std::atomic<int> processed{0};
    std::atomic<int> completed{0};
    void controllerDidLoadSettings(VXMSDKController&,
                                   const std::shared_ptr<const VXMSettings>&) override {
        ++settingsLoaded;
    }
    void controllerWillProcessFile(VXMSDKController&, VXMCrashFile&) override { ++processed; }
    void controllerCompletedSubmissions(VXMSDKController&) override { ++completed; }
};

struct Prompt : VXMPermissionPrompt {
    VXMPermissionAnswer answer;
    std::optional<VXMPermissionRequest> asked;
    explicit Prompt(VXMPermissionAnswer a) : answer(a) {}
    void askPermission(const VXMPermissionRequest& request,
                       std::function<void(VXMPermissionAnswer)> reply) override {
        asked = request;
        reply(answer);
    }
};

HttpScript settingsAnswer(const Value& document) {
    return HttpScript{.status = 200,
                      .headers = {{"Content-Type", "application/x-plist"}},
                      .body = *document.toPlistXML()};
}

struct Pipeline {
    testsupport::TempDir root{"sdk-pipeline"};
    testsupport::TempDir config{"sdk-defaults"};
    platform::UserDefaults defaults{(config / "defaults.json").string()};
    HttpServer server;
    sdktest::RecordingClock clock;
    sdktest::FakeSource source;
    Recorder recorder;
    std::shared_ptr<VXMSDKController> controller;
    std::unique_ptr<VXMSettingsClient> client;

    Pipeline() {
        VXMSetDefaults(&defaults);
        defaults.setObject("VexmorAPIEndpoint", server.url("/"));
        controller = VXMSDKController::create(clock, root.path().string());
        client = std::make_unique<VXMSettingsClient>(controller->settingsEndpoint());
        client->setDelegate(&source);
        controller->setSettingsClient(client.get());
        controller->setDelegate(&recorder);
        EXPECT_TRUE(controller->setup());
    }
    ~Pipeline() {
        controller->queue()->sync([] {});
        VXMSetDefaults(nullptr);
    }

    std::string dir() const { return controller->crashFileDirectory(); }
    std::string reportsURL() const { return server.url("/reports"); }
    Value settings(bool prompt = false, const char* status = "activated") const {
        return sdktest::settingsDocument(reportsURL(), prompt, status);
    }
    // Runs the zero-second start delay once the pipeline has asked for it.
    void startProcessing(size_t pending = 1) {
        ASSERT_TRUE(waitUntil([&] { return clock.pendingCount() == pending; }));
        clock.advance(0s);
    }
    std::vector<testsupport::HttpRecord> uploads() const {
        std::vector<testsupport::HttpRecord> out;
        for (auto& r : server.requests())
            if (r.method == "POST" && r.target == "/reports") out.push_back(r);
        return out;
    }
    bool quiet(size_t requests) {
        return server.requests().size() == requests &&
               entryCount(controller->sendableDirectory()) == 0;
    }
};

}  // namespace

TEST(VXMSDKController, RecordsBecomeReportsAndInvalidOnesGoFlagged) {
    Pipeline p;
    p.server.setFallback(settingsAnswer(p.settings()));
    writeFile(fs::path(p.dir()) / "aaaa.vxmrecord", kRecord);
    writeFile(fs::path(p.dir()) / "aaaa.vxmlog", "log");
    writeFile(fs::path(p.dir()) / "session.vxmlog", "running");
    writeFile(fs::path(p.dir()) / "bbbb.vxmrecord", truncatedRecord(20));
    writeFile(fs::path(p.dir()) / "cccc.vxmrecord", std::string(2097152, 'x'));
    // Left by a run that stopped while converting, and a name already taken
    // in invalid/ by an earlier report that was not sent yet.
    writeFile(fs::path(p.controller->processingDirectory()) / "dddd.vxmrecord", "half");
    writeFile(fs::path(p.controller->invalidDirectory()) / "bbbb.vxmrecord", "older");

    p.controller->beginStartupFlowAfterDelay(0);
    p.startProcessing();
    ASSERT_TRUE(waitUntil([&] {
        return p.recorder.completed == 1 && p.server.requests().size() == 6 &&
               entryCount(p.controller->invalidDirectory()) == 0;
    })) << p.server.requests().size();

    EXPECT_EQ(p.recorder.processed, 1);
    EXPECT_EQ(readFile(fs::path(p.dir()) / "session.vxmlog"), "running");
    EXPECT_EQ(entryCount(p.dir()), 6u);  // session.vxmlog, the settings cache, four directories
    for (auto sub : {p.controller->processingDirectory(), p.controller->preparedDirectory(),
                     p.controller->sendableDirectory()})
        EXPECT_EQ(entryCount(sub), 0u) << sub;

    std::map<std::string, std::string> flagged;  // identifier -> body
    int reports = 0;
    for (const auto& r : p.uploads()) {
        const size_t at = r.body.find("name=\"report[identifier]\"");
        const size_t value = r.body.find("\r\n\r\n", at) + 4;
        const std::string identifier = r.body.substr(value, r.body.find("\r\n", value) - value);
        if (r.header("X-VEXMOR-INVALID-SESSION") == "1") {
            flagged[identifier] = r.body;
        } else {
            ++reports;
            EXPECT_EQ(identifier, "aaaa");
        }
    }
    EXPECT_EQ(reports, 1);
    ASSERT_EQ(flagged.size(), 4u);
    EXPECT_NE(flagged["bbbb"].find("older"), std::string::npos);
    EXPECT_NE(flagged["bbbb-1"].find(truncatedRecord(20)), std::string::npos);
    EXPECT_NE(flagged["cccc"].find("Original file size: 2097152\n\r\n"), std::string::npos);
    EXPECT_NE(flagged["dddd"].find("half"), std::string::npos);
}

TEST(VXMSDKController, FailedUploadsBackOffAndASuccessResets) {
    Pipeline p;
    const HttpScript settings = settingsAnswer(p.settings());
    writeFile(fs::path(p.controller->sendableDirectory()) / "r1.vxm", "one");
    writeFile(fs::path(p.controller->sendableDirectory()) / "r2.vxm", "two");
    // Time-outs and rate limits are failures to retry, never rejections.
    const int failures[] = {408, 429, 503, 503, 503, 503, 503};
    p.server.enqueue(settings);
    for (int status : failures) {
        p.server.enqueue(HttpScript{.status = status});
        p.server.enqueue(settings);
    }
    p.server.enqueue(HttpScript{.status = 200});
    p.server.enqueue(HttpScript{.status = 500});

    p.controller->beginStartupFlowAfterDelay(0);
    size_t requests = 1;
    for (size_t i = 0; i < std::size(failures); ++i) {
        p.startProcessing();  // the start delay
        requests += 1;
        ASSERT_TRUE(waitUntil([&] {
            return p.server.requests().size() == requests && p.clock.pendingCount() == 1;
        })) << i;
        EXPECT_EQ(entryCount(p.controller->sendableDirectory()), 2u);
        EXPECT_EQ(entryCount(p.controller->invalidDirectory()), 0u);
        const long long wait = p.clock.delays().back();
        p.clock.advance(std::chrono::seconds(wait - 1));
        EXPECT_EQ(p.server.requests().size(), requests);
        p.clock.advance(1s);
        requests += 1;  // the settings reload
        ASSERT_TRUE(waitUntil([&] { return p.server.requests().size() == requests; }));
    }
    // A success, then the other report goes at once and fails.
    p.startProcessing();
    ASSERT_TRUE(waitUntil(
        [&] { return p.server.requests().size() == requests + 2 && p.clock.pendingCount() == 1; }));
    std::vector<long long> waits;
    for (long long d : p.clock.delays())
        if (d) waits.push_back(d);
    EXPECT_EQ(waits, (std::vector<long long>{10, 20, 40, 80, 160, 300, 300, 10}));
    EXPECT_EQ(entryCount(p.controller->sendableDirectory()), 1u);
}

TEST(VXMSDKController, RejectedReportMovesToInvalid) {
    Pipeline p;
    p.server.enqueue(settingsAnswer(p.settings()));
    p.server.enqueue(HttpScript{.status = 413});
    p.server.setFallback(HttpScript{.status = 500});
    writeFile(fs::path(p.controller->sendableDirectory()) / "r1.vxm", "one");
    p.controller->beginStartupFlowAfterDelay(0);
    p.startProcessing();
    ASSERT_TRUE(waitUntil([&] { return p.recorder.completed == 1; }));
    EXPECT_EQ(readFile(fs::path(p.controller->invalidDirectory()) / "r1.vxm"), "one");
}

TEST(VXMSDKController, PermissionAnswers) {
    const struct {
        const char* what;
        std::optional<VXMPermissionAnswer> answer;  // none: no prompt installed
        bool sent;
        bool always;
    } cases[] = {{"send", VXMPermissionAnswer::Send, true, false},
                 {"always send", VXMPermissionAnswer::AlwaysSend, true, true},
                 {"don't send", VXMPermissionAnswer::DontSend, false, false},
                 // Nobody asked is no consent.
                 {"no prompt", std::nullopt, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Pipeline p;
        p.server.setFallback(settingsAnswer(p.settings(true)));
        writeFile(fs::path(p.dir()) / "aaaa.vxmrecord", kRecord);
        auto prompt = c.answer ? std::make_shared<Prompt>(*c.answer) : nullptr;
        if (prompt) p.controller->setPermissionPrompt(prompt);
        p.controller->beginStartupFlowAfterDelay(0);
        p.startProcessing();
        ASSERT_TRUE(waitUntil([&] {
            return (!prompt || prompt->asked) && p.recorder.processed == 1 &&
                   entryCount(p.controller->preparedDirectory()) == 0 &&
                   (!c.sent || p.recorder.completed == 1);
        }));
        p.controller->queue()->sync([] {});
        EXPECT_EQ(p.uploads().size(), c.sent ? 1u : 0u);
        EXPECT_EQ(entryCount(p.controller->sendableDirectory()), 0u);
        EXPECT_EQ(p.defaults.boolForKey("VexmorAlwaysSendCrashReports"), c.always);
        if (prompt) {
            ASSERT_TRUE(prompt->asked);
            EXPECT_EQ(prompt->asked->title, "Send it?");
            EXPECT_EQ(prompt->asked->sendTitle, "Send");
            EXPECT_EQ(prompt->asked->alwaysSendTitle, "Always Send");
            EXPECT_EQ(prompt->asked->cancelTitle, "Don't Send");
        }
    }
}

namespace {

// Holds the user's answer until the test gives it.
struct HeldPrompt : VXMPermissionPrompt {
    std::mutex mutex;
    std::function<void(VXMPermissionAnswer)> reply;
    void askPermission(const VXMPermissionRequest&,
                       std::function<void(VXMPermissionAnswer)> r) override {
        std::lock_guard lock(mutex);
        reply = std::move(r);
    }
    bool asked() {
        std::lock_guard lock(mutex);
        return static_cast<bool>(reply);
    }
};

}  // namespace

// Nothing leaves before the user's answer, invalid records included; Don't
// Send removes every kind of report.
TEST(VXMSDKController, NothingLeavesBeforeTheAnswer) {
    for (auto answer : {VXMPermissionAnswer::Send, VXMPermissionAnswer::DontSend}) {
        const bool send = answer == VXMPermissionAnswer::Send;
        SCOPED_TRACE(send ? "send" : "don't send");
        Pipeline p;
        p.server.setFallback(settingsAnswer(p.settings(true)));
        writeFile(fs::path(p.dir()) / "aaaa.vxmrecord", kRecord);
        writeFile(fs::path(p.dir()) / "bbbb.vxmrecord", truncatedRecord(20));
        writeFile(fs::path(p.dir()) / "bbbb.vxmlog", "user@example.org");
        writeFile(fs::path(p.controller->sendableDirectory()) / "cccc.vxm", "cleared");
        auto prompt = std::make_shared<HeldPrompt>();
        p.controller->setPermissionPrompt(prompt);
        p.controller->beginStartupFlowAfterDelay(0);
        p.startProcessing();
        ASSERT_TRUE(waitUntil([&] { return prompt->asked(); }));
        p.controller->queue()->sync([] {});
        ASSERT_EQ(p.server.requests().size(), 1u);  // the settings only
        EXPECT_EQ(entryCount(p.controller->preparedDirectory()), 1u);
        EXPECT_EQ(entryCount(p.controller->invalidDirectory()), 2u);
        // The reply holds the controller, which holds the prompt.
        std::exchange(prompt->reply, nullptr)(answer);
        if (send) {
            ASSERT_TRUE(waitUntil([&] {
                return p.recorder.completed == 1 &&
                       entryCount(p.controller->invalidDirectory()) == 0 &&
                       p.server.requests().size() == 5;
            })) << p.server.requests().size();
        } else {
            ASSERT_TRUE(waitUntil([&] {
                return entryCount(p.controller->invalidDirectory()) == 0 &&
                       entryCount(p.controller->preparedDirectory()) == 0;
            }));
            p.controller->queue()->sync([] {});
            EXPECT_EQ(p.server.requests().size(), 1u);
        }
        EXPECT_EQ(entryCount(p.controller->preparedDirectory()), 0u);
        EXPECT_EQ(entryCount(p.controller->sendableDirectory()), 0u);
    }
}

TEST(VXMSDKController, NewApplicationIsConfiguredAndNothingElse) {
    Pipeline p;
    p.server.enqueue(HttpScript{.status = 500});  // settings fail: retried after 600 s
    p.server.enqueue(settingsAnswer(p.settings(false, "new")));
    p.server.enqueue(HttpScript{.status = 500});  // configure fails: retried after 60 s
    p.server.enqueue(HttpScript{.status = 201});
    p.server.enqueue(settingsAnswer(p.settings()));
    writeFile(fs::path(p.dir()) / "aaaa.vxmrecord", kRecord);

    p.controller->beginStartupFlowAfterDelay(0);
    ASSERT_TRUE(waitUntil([&] { return p.clock.pendingCount() == 1; }));
    EXPECT_EQ(p.clock.delays().back(), 600);
    p.clock.advance(600s);
    ASSERT_TRUE(waitUntil([&] { return p.clock.pendingCount() == 1; }));
    EXPECT_EQ(p.clock.delays().back(), 60);
    p.clock.advance(60s);
    ASSERT_TRUE(waitUntil(
        [&] { return p.server.requests().size() == 5 && p.recorder.settingsLoaded == 2; }));
    p.controller->queue()->sync([] {});

    const auto r = p.server.requests();
    const std::pair<const char*, std::string> expected[] = {
        {"GET", ""}, {"GET", ""}, {"POST", "/reports-app"}, {"POST", "/reports-app"}, {"GET", ""}};
    for (size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(r[i].method, expected[i].first) << i;
        if (!expected[i].second.empty()) {
            EXPECT_EQ(r[i].target, expected[i].second) << i;
        }
    }
    EXPECT_EQ(p.clock.pendingCount(), 0u);
    EXPECT_EQ(p.recorder.processed, 0);
    EXPECT_TRUE(fs::exists(fs::path(p.dir()) / "aaaa.vxmrecord"));
}

TEST(VXMSDKController, UserOptOutHoldsOnBothPaths) {
    for (bool cached : {false, true}) {
        for (bool optOut : {true, false}) {
            SCOPED_TRACE(std::string(cached ? "cached" : "loaded") + (optOut ? " opt-out" : ""));
            Pipeline p;
            p.server.setFallback(settingsAnswer(p.settings()));
            writeFile(fs::path(p.dir()) / "aaaa.vxmrecord", kRecord);
            writeFile(fs::path(p.controller->invalidDirectory()) / "bbbb.vxmrecord", "old");
            writeFile(fs::path(p.controller->sendableDirectory()) / "cccc.vxm", "old");
            if (optOut) p.defaults.setObject("VexmorShouldCollectCrashReports", false);
            if (cached) {
                const std::string path = p.controller->settingsCachePath();
                fs::create_directories(fs::path(path).parent_path());
                ASSERT_TRUE(VXMSettings::writeSettings(p.settings(), path, p.clock.now()));
                p.defaults.setObject("vexmor_build_instance_identifier",
                                     p.client->instanceIdentifier());
            }
            p.controller->beginStartupFlowAfterDelay(0);
            const size_t settingsRequests = cached ? 0 : 1;
            if (optOut) {
                ASSERT_TRUE(waitUntil([&] {
                    return p.server.requests().size() == settingsRequests &&
                           p.recorder.settingsLoaded == 1;
                }));
                p.controller->queue()->sync([] {});
                EXPECT_EQ(p.clock.pendingCount(), 0u);
                // The user's no keeps nothing.
                EXPECT_FALSE(fs::exists(fs::path(p.dir()) / "aaaa.vxmrecord"));
                for (const std::string& d :
                     {p.controller->preparedDirectory(), p.controller->sendableDirectory(),
                      p.controller->invalidDirectory(), p.controller->analyticsDirectory()})
                    EXPECT_FALSE(fs::exists(d) && entryCount(d) != 0) << d;
            } else {
                p.startProcessing();
                ASSERT_TRUE(waitUntil([&] {
                    return p.recorder.completed == 1 &&
                           entryCount(p.controller->invalidDirectory()) == 0;
                }));
                EXPECT_EQ(p.server.requests().size(), settingsRequests + 3);
            }
        }
    }
}

TEST(VXMSDKController, UnwritableSettingsCacheStillUploads) {
    Pipeline p;
    p.server.setFallback(settingsAnswer(p.settings()));
    // A directory where the cache file belongs: the write fails.
    fs::create_directories(p.controller->settingsCachePath());
    writeFile(fs::path(p.controller->sendableDirectory()) / "r1.vxm", "one");
    p.controller->beginStartupFlowAfterDelay(0);
    p.startProcessing();
    ASSERT_TRUE(waitUntil([&] { return p.recorder.completed == 1; }));
    EXPECT_EQ(p.uploads().size(), 1u);
}

TEST(VXMSDKController, ReasonableFileSizes) {
    Pipeline p;
    const fs::path dir = p.controller->sendableDirectory();
    const struct {
        size_t size;
        std::optional<std::string> after;  // none: unchanged
    } cases[] = {{0, std::nullopt},
                 {1048576, std::nullopt},
                 {1048577, "Original file size: 1048577\n"},
                 {2097152, "Original file size: 2097152\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string content(c.size, 'z');
        writeFile(dir / "f", content);
        EXPECT_TRUE(p.controller->ensureReasonableFileAtPath((dir / "f").string()));
        EXPECT_EQ(readFile(dir / "f"), c.after.value_or(content));
    }
    EXPECT_FALSE(p.controller->ensureReasonableFileAtPath((dir / "absent").string()));
    EXPECT_EQ(entryCount(dir.string()), 1u);
}

// A FIFO where a record, a report or the settings cache belongs never hangs
// the start or holds up the queue: it is removed and the rest goes on.
TEST(VXMSDKController, FifosNeverHoldUpTheQueue) {
    Pipeline p;
    p.server.setFallback(settingsAnswer(p.settings()));
    const std::string cache = p.controller->settingsCachePath();
    fs::create_directories(fs::path(cache).parent_path());
    const std::string fifos[] = {cache, p.dir() + "/ffff.vxmrecord",
                                 p.controller->invalidDirectory() + "/gggg.vxmrecord",
                                 p.controller->sendableDirectory() + "/hhhh.vxm"};
    for (const std::string& fifo : fifos) ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << fifo;
    writeFile(fs::path(p.dir()) / "aaaa.vxmrecord", kRecord);
    p.controller->beginStartupFlowAfterDelay(0);
    p.startProcessing();
    ASSERT_TRUE(waitUntil([&] { return p.recorder.completed == 1; }));
    p.controller->queue()->sync([] {});
    EXPECT_EQ(p.uploads().size(), 1u);
    for (const std::string& fifo : fifos) {
        struct stat info {};
        EXPECT_FALSE(stat(fifo.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) << fifo;
    }
}

// An upload the service answered 2xx is done, whatever its body: sent once,
// never retried, nothing left.
TEST(VXMSDKController, AcceptedUploadIsSentOnceWhateverItsBody) {
    const struct {
        const char* name;
        HttpScript answer;
    } cases[] = {
        {"plist that does not parse",
         {.status = 201, .headers = {{"Content-Type", "application/x-plist"}}, .body = "<plist><"}},
        {"JSON that does not parse",
         {.status = 201, .headers = {{"Content-Type", "application/json"}}, .body = "{\"id\":"}},
        {"bytes", {.status = 201, .body = std::string("\0\xff\x01", 3)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pipeline p;
        p.server.enqueue(settingsAnswer(p.settings()));
        p.server.enqueue(c.answer);
        p.server.setFallback(HttpScript{.status = 500});
        writeFile(fs::path(p.dir()) / "aaaa.vxmrecord", kRecord);
        p.controller->beginStartupFlowAfterDelay(0);
        p.startProcessing();
        ASSERT_TRUE(waitUntil([&] { return p.recorder.completed == 1; }));
        p.controller->queue()->sync([] {});
        EXPECT_EQ(p.uploads().size(), 1u);
        EXPECT_EQ(p.server.requests().size(), 2u);
        for (const std::string& d :
             {p.controller->preparedDirectory(), p.controller->sendableDirectory(),
              p.controller->invalidDirectory()})
            EXPECT_EQ(entryCount(d), 0u) << d;
        EXPECT_EQ(p.clock.pendingCount(), 0u);  // no retry waiting
    }
}

// An answer larger than its request can need fails that request at the
// bound: the report stays pending for the next attempt, and memory grows by
// less than the bound plus 16 MiB.
TEST(VXMSDKController, OversizedAnswersLeaveTheReportPending) {
    const HttpHeaders plist = {{"Content-Type", "application/x-plist"}};
    const struct {
        const char* name;
        bool settings;  // the settings answer, else the upload's
        HttpScript answer;
        uint64_t bound;
    } cases[] = {
        {"endless settings",
         true,
         {.headers = plist, .endless = true},
         VXMWebRequest::kDefaultMaximumResponseSize},
        {"huge settings",
         true,
         {.headers = plist, .fillBytes = 256u << 20},
         VXMWebRequest::kDefaultMaximumResponseSize},
        {"endless upload answer",
         false,
         {.status = 201, .endless = true},
         VXMWebRequest::kUploadMaximumResponseSize},
        {"huge upload answer",
         false,
         {.status = 201, .fillBytes = 64u << 20},
         VXMWebRequest::kUploadMaximumResponseSize},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pipeline p;
        if (!c.settings) p.server.enqueue(settingsAnswer(p.settings()));
        p.server.enqueue(c.answer);
        p.server.setFallback(HttpScript{.status = 500});
        writeFile(fs::path(p.dir()) / "aaaa.vxmrecord", kRecord);
        const long before = testsupport::statusKiB("VmRSS:");
        p.controller->beginStartupFlowAfterDelay(0);
        if (c.settings) {
            ASSERT_TRUE(waitUntil([&] { return p.clock.pendingCount() == 1; }));
            EXPECT_EQ(p.clock.delays().back(), VXMSDKController::kSettingsRetrySeconds);
            EXPECT_TRUE(fs::exists(fs::path(p.dir()) / "aaaa.vxmrecord"));
        } else {
            p.startProcessing();
            ASSERT_TRUE(
                waitUntil([&] { return p.uploads().size() == 1 && p.clock.pendingCount() == 1; }));
            EXPECT_GT(p.clock.delays().back(), 0);  // the retry
            EXPECT_EQ(entryCount(p.controller->sendableDirectory()), 1u);
            EXPECT_EQ(entryCount(p.controller->invalidDirectory()), 0u);
        }
        p.controller->queue()->sync([] {});
        const long after = testsupport::statusKiB("VmRSS:");
        EXPECT_LT(after - before, static_cast<long>(c.bound / 1024 + 16 * 1024));
        EXPECT_EQ(p.recorder.completed, 0);
    }
}

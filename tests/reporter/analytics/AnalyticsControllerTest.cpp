#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <random>

#include "platform/core/UniqueFd.h"
#include "reporter/analytics/VXMAnalyticsController.h"
#include "reporter/analytics/VXMCompression.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using testsupport::ManualClock;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

class CountingIdentifiers : public VXMAnalyticsIdentifierGenerator {
  public:
    std::string generateSessionFragmentIdentifier() override {
        return "F" + std::to_string(++fragments);
    }
    std::string generateEventIdentifier() override { return "E" + std::to_string(++events); }
    int fragments = 0, events = 0;
};

std::string gunzip(const fs::path& file) {
    // Beside the temporary folder, never inside the store being checked.
    static int count = 0;
    const std::string out =
        (fs::temp_directory_path() /
         ("tessaro-gunzip-" + std::to_string(getpid()) + "-" + std::to_string(++count)))
            .string();
    struct Remove {
        std::string path;
        ~Remove() { std::remove(path.c_str()); }
    } remove{out};
    const std::string command = "gzip -dc '" + file.string() + "' > '" + out + "'";
    if (std::system(command.c_str()) != 0) return "<gzip -dc failed>";
    return readFile(out);
}

struct Fixture {
    TempDir dir;
    ManualClock clock;
    platform::UserDefaults defaults{(dir / "defaults.json").string()};
    std::string root = (dir / "analytics").string();
    std::vector<std::vector<std::string>> uploads;
    std::function<std::optional<platform::Error>()> answer = [] { return std::nullopt; };
    std::vector<VXMAnalyticsController::Completion> held;  // uploads answered later
    bool holdUploads = false;

    std::shared_ptr<VXMAnalyticsController> make(std::string session = "S") {
        VXMAnalyticsController::Config config;
        config.sessionIdentifier = std::move(session);
        config.analyticsRootDirectory = root;
        config.metadataJSON = R"({"api_key":"K"})";
        config.identifierGenerator = std::make_shared<CountingIdentifiers>();
        config.timestampGenerator = std::make_shared<VXMAnalyticsTimestampGenerator>(clock);
        config.defaults = &defaults;
        config.clock = &clock;
        config.contextAvailable = [] { return true; };
        config.uploader = [this](const std::vector<std::string>& paths, const std::string& url,
                                 VXMAnalyticsController::Completion done) {
            uploads.push_back(paths);
            if (holdUploads)
                held.push_back(std::move(done));
            else
                done(answer());
        };
        return VXMAnalyticsController::create(std::move(config));
    }

    std::vector<std::string> logFiles(const char* state) {
        std::vector<std::string> out;
        const fs::path base = fs::path(root) / "v1" / state;
        if (!fs::exists(base)) return out;
        for (const auto& e : fs::recursive_directory_iterator(base))
            if (e.is_regular_file()) out.push_back(fs::relative(e.path(), base).string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

VXMAnalyticsSettings analytics(uint32_t maxPending = 100, std::optional<std::string> url = "u") {
    VXMAnalyticsSettings s;
    s.shouldCollectAnalytics = true;
    s.analyticsURL = std::move(url);
    s.maxPendingSendFileCount = maxPending;
    return s;
}

}  // namespace

TEST(Gzip, RoundTripThroughGzip) {
    TempDir dir;
    std::string random(1 << 20, '\0');
    std::mt19937 rng(7);
    for (char& c : random) c = static_cast<char>(rng());
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""},
        {"text", std::string(100000, 'a') + "tail\n"},
        {"random", random},  // incompressible: more output than one buffer per read
    };
    for (const auto& [name, contents] : cases) {
        writeFile(dir / name, contents);
        platform::UniqueFd in(::open((dir / name).c_str(), O_RDONLY));
        platform::UniqueFd out(::open((dir / (std::string(name) + ".gz")).c_str(),
                                      O_WRONLY | O_CREAT | O_TRUNC, 0644));
        ASSERT_EQ(VXMCompressionGZipSrcToDest(in.get(), out.get()), 0) << name;
        EXPECT_EQ(gunzip(dir / (std::string(name) + ".gz")), contents) << name;
    }
    platform::UniqueFd in(::open((dir / "text").c_str(), O_RDONLY));
    platform::UniqueFd full(::open("/dev/full", O_WRONLY));
    EXPECT_EQ(VXMCompressionGZipSrcToDest(in.get(), full.get()), -1);
}

TEST(AnalyticsController, MetadataLineHeadsEachLogFile) {
    Fixture f;
    auto c = f.make();
    ASSERT_TRUE(c);
    c->logEvent(VXMAnalyticsEvent(2, 5, "custom", "E", {{"k", "v"}}));
    c->logEvent(VXMAnalyticsEvent(2, 6, "second", "E2"));
    c->drain();
    const std::string fragment = c->currentSessionFragmentDirectory();
    const std::string ts = std::to_string(c->sessionTimestamp());
    EXPECT_EQ(fragment, f.root + "/v1/ACTIVE/" + ts + "_S/" + ts + "_F1");
    EXPECT_EQ(readFile(fs::path(fragment) / "2.log"),
              ts + "\tmetadata\t15\t{\"api_key\":\"K\"}\n" +
                  "5\tcustom\t24\t{\"eventId\":\"E\", \"k\":\"v\"}\n" +
                  "6\tsecond\t16\t{\"eventId\":\"E2\"}\n");
    EXPECT_FALSE(fs::exists(fs::path(fragment) / "0.log"));
}

TEST(AnalyticsController, PackagesUploadsAndDeletesOnSuccessOnly) {
    Fixture f;
    auto c = f.make();
    c->setSettings(analytics());
    c->logEvent(VXMAnalyticsEvent(1, 5, "a", "E"));
    const std::string first = c->currentSessionFragmentDirectory();
    const std::string plain = readFile(fs::path(first) / "1.log");

    // The upload fails: the packaged copy stays for the next pass.
    f.answer = [] { return platform::Error{"x", 1, "down"}; };
    std::promise<void> done;
    c->maintainSessionFragments([&](auto) { done.set_value(); });
    done.get_future().wait();
    c->drain();
    ASSERT_EQ(f.uploads.size(), 1u);
    ASSERT_EQ(f.uploads[0].size(), 1u);
    EXPECT_EQ(fs::path(f.uploads[0][0]).filename(), "1.log.zip");
    EXPECT_EQ(gunzip(f.uploads[0][0]), plain);
    EXPECT_FALSE(fs::exists(first));
    EXPECT_EQ(f.logFiles("PACKAGED").size(), 1u);

    f.answer = [] { return std::nullopt; };
    std::promise<void> again;
    c->maintainSessionFragments([&](auto) { again.set_value(); });
    again.get_future().wait();
    c->drain();
    EXPECT_EQ(f.uploads.size(), 2u);
    EXPECT_TRUE(f.logFiles("PACKAGED").empty());
}

TEST(AnalyticsController, SecondUploadRunAnswersBusy) {
    Fixture f;
    auto c = f.make();
    c->setSettings(analytics());
    c->logEvent(VXMAnalyticsEvent(1, 5, "a", "E"));
    platform::Error error;
    c->maintenanceQueue()->sync([&] {
        ASSERT_TRUE(c->openNewSessionFragment(&error));
        ASSERT_TRUE(c->packageClosedSessionFragments(&error));
    });
    f.holdUploads = true;
    std::optional<platform::Error> firstResult, secondResult;
    bool firstDone = false;
    c->maintenanceQueue()->sync([&] {
        c->transmitPackagedSessionFragments([&](auto e) {
            firstDone = true;
            firstResult = e;
        });
        c->transmitPackagedSessionFragments([&](auto e) { secondResult = e; });
    });
    ASSERT_TRUE(secondResult);
    EXPECT_EQ(secondResult->code, VXMAnalyticsUploadInProgress);
    EXPECT_FALSE(firstDone);
    ASSERT_EQ(f.held.size(), 1u);
    f.held[0](std::nullopt);
    c->drain();
    c->drain();
    EXPECT_TRUE(firstDone);
    EXPECT_FALSE(firstResult);
    EXPECT_TRUE(f.logFiles("PACKAGED").empty());

    c->setSettings(analytics(100, std::nullopt));
    c->drain();
    c->maintenanceQueue()->sync(
        [&] { c->transmitPackagedSessionFragments([&](auto e) { secondResult = e; }); });
    EXPECT_EQ(secondResult->code, VXMAnalyticsNoURL);
}

TEST(AnalyticsController, PruningDropsLowestPriorityOldestFirst) {
    struct Case {
        uint32_t limit;
        std::vector<std::string> left;
    } cases[] = {
        {2, {"1_S/10_A/0.log.zip", "1_S/11_B/1.log.zip"}},
        {4,
         {"1_S/10_A/0.log.zip", "1_S/11_B/1.log.zip", "1_S/14_E/2.log.zip", "1_S/15_F/2.log.zip"}},
        {0, {}},
    };
    for (const Case& c : cases) {
        Fixture f;
        auto controller = f.make("now");
        controller->setSettings(analytics(c.limit));
        controller->drain();
        const fs::path packaged = fs::path(f.root) / "v1/PACKAGED/1_S";
        for (const char* file : {"10_A/0.log.zip", "11_B/1.log.zip", "15_F/2.log.zip",
                                 "12_C/2.log.zip", "14_E/2.log.zip"}) {
            fs::create_directories((packaged / file).parent_path());
            writeFile(packaged / file, "z");
        }
        platform::Error error;
        controller->maintenanceQueue()->sync(
            [&] { EXPECT_TRUE(controller->prunePendingFiles(&error)) << error.description; });
        EXPECT_EQ(f.logFiles("PACKAGED"), c.left) << c.limit;
        EXPECT_FALSE(fs::exists(packaged / "12_C"));  // emptied directories go too
    }
}

TEST(AnalyticsController, AFragmentThatCannotBePackagedDoesNotStallOthers) {
    Fixture f;
    auto c = f.make("now");
    const fs::path active = fs::path(f.root) / "v1/ACTIVE/1_S";
    fs::create_directories(active / "10_A/1.log");  // a directory where a log should be
    fs::create_directories(active / "11_B");
    writeFile(active / "11_B/1.log", "line\n");
    platform::Error error;
    c->maintenanceQueue()->sync([&] { EXPECT_FALSE(c->packageClosedSessionFragments(&error)); });
    EXPECT_EQ(f.logFiles("PACKAGED"), std::vector<std::string>{"1_S/11_B/1.log.zip"});
    EXPECT_EQ(gunzip(fs::path(f.root) / "v1/PACKAGED/1_S/11_B/1.log.zip"), "line\n");
    EXPECT_TRUE(fs::exists(active / "10_A"));
    EXPECT_FALSE(fs::exists(fs::path(f.root) / "v1/PACKAGED/1_S/10_A.prep"));
}

TEST(AnalyticsController, AnalyticsOffPurgesTheStore) {
    Fixture f;
    auto c = f.make();
    c->logEvent(VXMAnalyticsEvent(1, 5, "a", "E"));
    ASSERT_TRUE(fs::exists(f.root));
    VXMAnalyticsSettings off;
    c->setSettings(off);
    c->drain();
    EXPECT_FALSE(fs::exists(f.root));
    c->logEvent(VXMAnalyticsEvent(1, 6, "b", "E"));
    c->drain();
    EXPECT_FALSE(fs::exists(f.root));
}

TEST(AnalyticsController, MaintenanceTimerStartsFromTheLastPass) {
    Fixture f;
    auto c = f.make();
    const double now = std::chrono::duration<double>(f.clock.now().time_since_epoch()).count();
    struct Case {
        std::optional<double> lastAgo;
        uint32_t interval;
        std::optional<double> first;
    } cases[] = {{std::nullopt, 600, 600}, {100, 600, 500}, {900, 600, 0}, {100, 0, std::nullopt}};
    for (const Case& k : cases) {
        if (k.lastAgo)
            f.defaults.setObject(VXMAnalyticsLastMaintenanceDateKey, now - *k.lastAgo);
        else
            f.defaults.removeObjectForKey(VXMAnalyticsLastMaintenanceDateKey);
        VXMAnalyticsSettings s = analytics();
        s.flushIntervalSecs = k.interval;
        c->setSettings(s);
        c->drain();
        EXPECT_EQ(c->maintenanceTimerFirstDelay(), k.first);
    }
    // The timer fires after the offset and runs a pass (a new fragment opens).
    f.defaults.setObject(VXMAnalyticsLastMaintenanceDateKey, now - 100);
    VXMAnalyticsSettings s = analytics();
    s.flushIntervalSecs = 600;
    c->setSettings(s);
    c->drain();
    const std::string before = c->currentSessionFragmentDirectory();
    f.clock.advance(std::chrono::seconds(499));
    c->drain();
    EXPECT_EQ(c->currentSessionFragmentDirectory(), before);
    f.clock.advance(std::chrono::seconds(2));
    c->drain();
    c->drain();
    EXPECT_NE(c->currentSessionFragmentDirectory(), before);
}

TEST(AnalyticsController, PreviousCrashGetsAFragmentOfThePreviousSession) {
    Fixture f;
    uint64_t previousTimestamp;
    {
        auto previous = f.make("OLD");
        previousTimestamp = previous->sessionTimestamp();
    }
    f.clock.advance(std::chrono::seconds(60));
    auto c = f.make("NEW");
    const auto crashDate = f.clock.now() - std::chrono::milliseconds(30500);
    c->logPreviousSessionCrashedOnDate(crashDate);
    c->drain();
    const uint64_t crashMs =
        std::chrono::duration_cast<std::chrono::seconds>(crashDate.time_since_epoch()).count() *
        1000;
    const fs::path file = fs::path(f.root) / "v1/ACTIVE" /
                          (std::to_string(previousTimestamp) + "_OLD") /
                          (std::to_string(crashMs) + "_F2") / "1.log";
    EXPECT_EQ(readFile(file), std::to_string(crashMs) + "\tmetadata\t15\t{\"api_key\":\"K\"}\n" +
                                  std::to_string(crashMs) +
                                  "\tapp_crashed\t16\t{\"eventId\":\"E1\"}\n");
}

// A FIFO where an event log belongs is removed, never opened: packaging goes
// on with the fragment's other logs.
TEST(AnalyticsController, AFifoLogIsRemovedNotRead) {
    Fixture f;
    auto c = f.make("now");
    const fs::path active = fs::path(f.root) / "v1/ACTIVE/1_S";
    fs::create_directories(active / "10_A");
    ASSERT_EQ(mkfifo((active / "10_A/0.log").c_str(), 0600), 0);
    writeFile(active / "10_A/1.log", "line\n");
    platform::Error error;
    c->maintenanceQueue()->sync([&] { EXPECT_TRUE(c->packageClosedSessionFragments(&error)); });
    EXPECT_EQ(f.logFiles("PACKAGED"), std::vector<std::string>{"1_S/10_A/1.log.zip"});
    EXPECT_EQ(gunzip(fs::path(f.root) / "v1/PACKAGED/1_S/10_A/1.log.zip"), "line\n");
}

#include "Logging/LGFileLogger.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <thread>

#include "Logging/LGLogFileManager.h"
#include "RecordingSink.h"
#include "platform/core/XdgPaths.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// 2014-05-06 07:08:09.123 UTC.
std::chrono::system_clock::time_point fixedTime() {
    struct tm tm = {};
    tm.tm_year = 114, tm.tm_mon = 4, tm.tm_mday = 6, tm.tm_hour = 7, tm.tm_min = 8, tm.tm_sec = 9;
    return std::chrono::system_clock::from_time_t(timegm(&tm)) + 123ms;
}

LGLogMessagePtr message(std::string text) {
    return std::make_shared<LGLogMessage>(std::move(text), 7, 4, 0, "/f.cpp", "fn", 1, std::nullopt,
                                          0, fixedTime(), 1, "", "");
}

void deliver(const std::shared_ptr<LGFileLogger>& sink, const std::string& text) {
    sink->loggerQueue()->sync([&] { sink->logMessage(message(text)); });
}

// The archived mark as the standard tool sees it.
bool getfattrSeesMark(const std::string& path) {
    std::string cmd =
        "getfattr --absolute-names -n user.tessaro.log.archived '" + path + "' >/dev/null 2>&1";
    return WEXITSTATUS(std::system(cmd.c_str())) == 0;
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> v;
    for (auto& e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
}

// A manager whose names are drawn from a list.
class ScriptedManager : public LGLogFileManagerDefault {
  public:
    ScriptedManager(std::string dir, std::deque<std::string> ids)
        : LGLogFileManagerDefault(std::move(dir)), ids_(std::move(ids)) {}
    std::string generateShortUUID() override {
        std::string id = ids_.front();
        ids_.pop_front();
        return id;
    }

  private:
    std::deque<std::string> ids_;
};

class FileSink : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    testsupport::TempDir dir_;
};

}  // namespace

TEST(LogFileManager, LogFileNames) {
    struct Case {
        const char* name;
        bool isLog;
    } cases[] = {{"log-0A1B2C.txt", true}, {"log-0a1b2c.txt", false}, {"log-0A1B2.txt", false},
                 {"log-0A1B2C", true},     {"log-ABCDEF.gz", true},   {"xlog-ABCDEF.txt", false},
                 {"log-ABCDEG.txt", false}};
    for (auto& c : cases) EXPECT_EQ(LGLogFileManagerDefault::isLogFile(c.name), c.isLog) << c.name;
    for (int i = 0; i < 20; ++i) {
        std::string id = LGLogFileManagerDefault::make("/nonexistent")->generateShortUUID();
        ASSERT_TRUE(LGLogFileManagerDefault::isLogFile("log-" + id + ".txt")) << id;
    }
}

// Each program logs into a folder of its own name, so the application and the
// run tool never write into or prune each other's logs.
TEST(LogFileManager, DefaultDirectoryCarriesTheProcessName) {
    testsupport::TempDir dir;
    setenv("XDG_STATE_HOME", dir.path().c_str(), 1);
    auto m = LGLogFileManagerDefault::make();
    EXPECT_EQ(m->logsDirectory(), (dir / "test_logging" / "Logs").string());
    EXPECT_TRUE(fs::is_directory(dir / "test_logging" / "Logs"));
    EXPECT_EQ(platform::logsDirectory("Tessaro"), (dir / "Tessaro" / "Logs").string());
    EXPECT_EQ(platform::logsDirectory("run"), (dir / "run" / "Logs").string());

    // Without the variable (or with a relative one): ~/.local/state.
    std::string home = getenv("HOME") ? getenv("HOME") : "";
    setenv("HOME", dir.path().c_str(), 1);
    for (bool relative : {false, true}) {
        if (relative)
            setenv("XDG_STATE_HOME", "relative/state", 1);
        else
            unsetenv("XDG_STATE_HOME");
        EXPECT_EQ(LGLogFileManagerDefault::defaultLogsDirectory(),
                  (dir / ".local/state/test_logging/Logs").string());
    }
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_STATE_HOME");
}

TEST_F(FileSink, NewFileIsCreatedExclusivelyNeverReusingAnExistingName) {
    testsupport::writeFile(dir_ / "log-AAAAAA.txt", "someone else's");
    auto m = std::make_shared<ScriptedManager>(dir_.path().string(),
                                               std::deque<std::string>{"AAAAAA", "BBBBBB"});
    EXPECT_EQ(m->createNewLogFile(), (dir_ / "log-BBBBBB.txt").string());
    EXPECT_EQ(testsupport::readFile(dir_ / "log-AAAAAA.txt"), "someone else's");
    EXPECT_EQ(fs::file_size(dir_ / "log-BBBBBB.txt"), 0u);
}

TEST_F(FileSink, ArchivedMarkIsAnExtendedAttribute) {
    auto path = (dir_ / "log-ABCDEF.txt").string();
    testsupport::writeFile(path, "x");
    LGLogFileInfo info(path);
    EXPECT_FALSE(info.isArchived());
    std::string err = captureStderr([&] { info.setIsArchived(false); });  // absent: silent
    EXPECT_EQ(err, "");
    info.setIsArchived(true);
    EXPECT_TRUE(info.isArchived());
    EXPECT_TRUE(getfattrSeesMark(path));
    char value[8];
    EXPECT_EQ(::getxattr(path.c_str(), "user.tessaro.log.archived", value, sizeof value), 0);
    info.setIsArchived(false);
    EXPECT_FALSE(getfattrSeesMark(path));

    info.renameFile("log-FEDCBA.txt");
    EXPECT_EQ(info.fileName(), "log-FEDCBA.txt");
    EXPECT_TRUE(fs::exists(dir_ / "log-FEDCBA.txt"));
    EXPECT_EQ(info.fileSize(), 1u);
    EXPECT_TRUE(info == LGLogFileInfo((dir_ / "log-FEDCBA.txt").string()));
}

TEST_F(FileSink, PruningKeepsTheNewestArchivedFilesAndNeverTheLiveOne) {
    // The live file is the newest, or (as after equal creation times) not.
    for (bool liveIsNewest : {true, false}) {
        SCOPED_TRACE(liveIsNewest ? "live newest" : "live oldest");
        testsupport::TempDir dir;
        auto m = LGLogFileManagerDefault::make(dir.path().string());
        auto make = [&](const std::string& id, bool archived) {
            auto p = (dir / ("log-" + id + ".txt")).string();
            testsupport::writeFile(p, id);
            if (archived) LGLogFileInfo(p).setIsArchived(true);
            std::this_thread::sleep_for(15ms);  // distinct creation times
        };
        if (!liveIsNewest) make("00000F", false);
        for (int i = 1; i <= 7; ++i) make("00000" + std::to_string(i), true);
        if (liveIsNewest) make("00000F", false);
        m->deleteOldLogFiles();
        EXPECT_EQ(namesIn(dir.path()),
                  (std::vector<std::string>{"log-000003.txt", "log-000004.txt", "log-000005.txt",
                                            "log-000006.txt", "log-000007.txt", "log-00000F.txt"}));
        // Lowering the maximum prunes at once (on the logging queue); the same value does nothing.
        m->setMaximumNumberOfLogFiles(2);
        LGLog::loggingQueue()->sync([] {});
        EXPECT_EQ(namesIn(dir.path()),
                  (std::vector<std::string>{"log-000006.txt", "log-000007.txt", "log-00000F.txt"}));
        m->setMaximumNumberOfLogFiles(0);
        m->deleteOldLogFiles();
        EXPECT_EQ(namesIn(dir.path()).size(), 3u);
    }
}

TEST_F(FileSink, AppendsFormattedLinesToTheUnarchivedNewestFile) {
    auto path = dir_ / "log-123ABC.txt";
    testsupport::writeFile(path, "0123456789");
    auto sink = LGFileLogger::make(LGLogFileManagerDefault::make(dir_.path().string()));
    EXPECT_EQ(sink->loggerName(), "tessaro.logging.fileLogger");
    deliver(sink, "hello");
    deliver(sink, "ends in newline\n");
    EXPECT_EQ(testsupport::readFile(path),
              "0123456789"
              "2014/05/06 07:08:09:123  hello\n"
              "2014/05/06 07:08:09:123  ends in newline\n");
    EXPECT_EQ(namesIn(dir_.path()).size(), 1u);
}

// Stamps are made once per second and reused: every line still reads as its
// own local time, through runs within a second, the step to the next one,
// jumps back, a change of summer time and times before 1970.
TEST_F(FileSink, DateStampIsTheLocalTimeOfEveryLine) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    using std::chrono::system_clock;
    const auto day = fixedTime() + 24h;  // seconds no other test formats
    const system_clock::time_point times[] = {day,
                                              day + 1ms,
                                              day + 876ms,
                                              day + 877ms,
                                              day + 1877ms,
                                              day - 124ms,
                                              day + 1ms,
                                              day + 5000h,
                                              day + 5000h + 999ms,
                                              system_clock::time_point{} - 1500ms,
                                              system_clock::time_point{} - 1ms};
    LGLogFileFormatterDefault formatter;
    for (auto t : times) {
        auto secs = std::chrono::floor<std::chrono::seconds>(t.time_since_epoch());
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch() - secs);
        time_t tt = static_cast<time_t>(secs.count());
        struct tm tm = {};
        localtime_r(&tt, &tm);
        char want[40];
        std::snprintf(want, sizeof want, "%04d/%02d/%02d %02d:%02d:%02d:%03d", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                      static_cast<int>(ms.count()));
        EXPECT_EQ(LGLogFileFormatterDefault::defaultDate(t), want);
        auto m = std::make_shared<LGLogMessage>("text", 7, 4, 0, "/f.cpp", "fn", 1, std::nullopt, 0,
                                                t, 1, "", "");
        EXPECT_EQ(*formatter.formatLogMessage(m), std::string(want) + "  text");
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

// A folder that cannot be made is reported once; the messages are then lost
// silently, not one console line each.
TEST_F(FileSink, UnwritableFolderIsReportedOnce) {
    testsupport::writeFile(dir_ / "file", "x");
    auto sink =
        LGFileLogger::make(LGLogFileManagerDefault::make((dir_ / "file" / "Logs").string()));
    std::string err = captureStderr([&] {
        for (int i = 0; i < 1000; ++i) deliver(sink, "lost");
    });
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err.substr(0, 500);
    EXPECT_NE(err.find("Error creating"), std::string::npos) << err.substr(0, 500);
}

// A disk that fills up in the middle of a line (here the file-size limit,
// which cuts a write short the same way) leaves no torn line behind.
TEST_F(FileSink, LineIsWrittenWholeOrNotAtAll) {
    auto path = dir_ / "log-123ABC.txt";
    testsupport::writeFile(path, "0123456789\n");
    auto sink = LGFileLogger::make(LGLogFileManagerDefault::make(dir_.path().string()));
    deliver(sink, "first");  // ends at 11 + 31 = 42

    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto previous = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 60;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    deliver(sink, std::string(40, 'y'));  // 66 bytes: only 18 would fit
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);

    deliver(sink, "after");
    EXPECT_EQ(testsupport::readFile(path),
              "0123456789\n"
              "2014/05/06 07:08:09:123  first\n"
              "2014/05/06 07:08:09:123  after\n");
}

TEST_F(FileSink, RollsBySize) {
    auto sink = LGFileLogger::make(LGLogFileManagerDefault::make(dir_.path().string()));
    sink->setMaximumFileSize(100);
    EXPECT_EQ(sink->maximumFileSize(), 100u);
    const std::string text(40, 'x');  // 25 + 40 + 1 = 66 bytes a line
    deliver(sink, text);
    auto first = namesIn(dir_.path()).at(0);
    deliver(sink, text);  // 132 bytes: written whole, then rolled
    ASSERT_EQ(fs::file_size(dir_ / first), 132u);
    EXPECT_TRUE(getfattrSeesMark((dir_ / first).string()));
    deliver(sink, text);
    auto names = namesIn(dir_.path());
    ASSERT_EQ(names.size(), 2u);
    auto second = names[0] == first ? names[1] : names[0];
    EXPECT_EQ(fs::file_size(dir_ / second), 66u);
    EXPECT_FALSE(getfattrSeesMark((dir_ / second).string()));
}

TEST_F(FileSink, RollsByAgeOnTheClock) {
    testsupport::ManualClock clock(std::chrono::system_clock::now());
    auto sink = LGFileLogger::make(LGLogFileManagerDefault::make(dir_.path().string()), clock);
    sink->setRollingFrequency(100);
    EXPECT_EQ(sink->rollingFrequency(), 100);  // settings hops are FIFO: it is in
    deliver(sink, "one");
    auto first = (dir_ / namesIn(dir_.path()).at(0)).string();
    EXPECT_EQ(clock.pendingCount(), 1u);  // the age timer
    clock.advance(50s);
    sink->loggerQueue()->sync([] {});
    EXPECT_FALSE(getfattrSeesMark(first));
    clock.advance(51s);
    sink->loggerQueue()->sync([] {});
    EXPECT_TRUE(getfattrSeesMark(first));
    EXPECT_EQ(clock.pendingCount(), 0u);

    clock.set(std::chrono::system_clock::now());
    deliver(sink, "two");  // a new file
    EXPECT_EQ(namesIn(dir_.path()).size(), 2u);
    clock.advance(30s);
    sink->setRollingFrequency(20);  // below the current age: rolls at once
    EXPECT_EQ(sink->rollingFrequency(), 20);
    for (auto& n : namesIn(dir_.path())) EXPECT_TRUE(getfattrSeesMark((dir_ / n).string())) << n;
}

TEST_F(FileSink, WithoutLimitsOneFileGrowsAndNoTimerRuns) {
    testsupport::ManualClock clock(std::chrono::system_clock::now());
    auto sink = LGFileLogger::make(LGLogFileManagerDefault::make(dir_.path().string()), clock);
    sink->setMaximumFileSize(0);
    sink->setRollingFrequency(0);
    EXPECT_EQ(sink->maximumFileSize(), 0u);
    for (int i = 0; i < 200; ++i) deliver(sink, std::string(100, 'y'));
    clock.advance(24h * 30);
    sink->loggerQueue()->sync([] {});
    EXPECT_EQ(clock.pendingCount(), 0u);
    auto names = namesIn(dir_.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(fs::file_size(dir_ / names[0]), 200u * 126u);

    // Removal from the dispatcher closes and archives the file.
    LGLog::addLogger(sink);
    LGLog::removeLogger(sink);
    LGLog::flushLog();
    sink->loggerQueue()->sync([] {});
    EXPECT_TRUE(getfattrSeesMark((dir_ / names[0]).string()));
}

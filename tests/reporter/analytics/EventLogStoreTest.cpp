#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "platform/core/Value.h"
#include "reporter/analytics/VXMEventLogEvent.h"
#include "reporter/analytics/VXMEventLogFile.h"
#include "reporter/analytics/VXMEventLogSessionRepository.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// Relative paths of everything under `root`, directories with a trailing "/".
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(entry.path(), root).string();
        if (entry.is_directory()) rel += "/";
        out.insert(rel);
    }
    return out;
}

}  // namespace

TEST(EventLogEvent, LineFormat) {
    struct Case {
        std::optional<std::string> payload;
        std::string line;
    } cases[] = {
        {std::nullopt, "1400000000123\tapp_launched\n"},
        {std::string("hello"), "1400000000123\tapp_launched\t5\thello\n"},
        {std::string("a\tb\nc"), "1400000000123\tapp_launched\t5\ta\tb\nc\n"},
        {std::string(), "1400000000123\tapp_launched\t0\t\n"},
    };
    for (const Case& c : cases) {
        VXMEventLogEvent event(1, 1400000000123ull, "app_launched", c.payload);
        EXPECT_EQ(event.eventData(), c.line);
    }
    VXMEventLogEvent a(1, 5, "k", std::string("p")), b(1, 5, "k", std::string("p"));
    VXMEventLogEvent none(1, 5, "k");
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.hash(), b.hash());
    EXPECT_FALSE(a == none);
}

TEST(EventLogEvent, PayloadIsJSONWithEscaping) {
    // Clean values keep the established bytes; others are escaped so the
    // payload always parses back to the same texts.
    VXMAnalyticsEvent clean(2, 7, "custom", "ID-1", {{"k", "v"}, {"a", "b"}});
    EXPECT_EQ(*clean.payload(), R"({"eventId":"ID-1", "k":"v", "a":"b"})");
    EXPECT_EQ(*VXMAnalyticsEvent::applicationInstalled(7, "X").payload(), R"({"eventId":"X"})");

    const VXMAnalyticsEvent::Values dirty = {{"quo\"te", "back\\slash"}, {"nl", "a\nb\tc"}};
    VXMAnalyticsEvent event(2, 7, "custom", "I\"D", dirty);
    auto parsed = platform::Value::fromJSON(*event.payload());
    ASSERT_TRUE(parsed);
    EXPECT_EQ((*parsed)["eventId"].stringValue(), "I\"D");
    for (const auto& [key, value] : dirty) EXPECT_EQ((*parsed)[key].stringValue(), value);

    EXPECT_EQ(VXMAnalyticsEvent::applicationInstalled(1, "x").key(), "app_installed");
    EXPECT_EQ(VXMAnalyticsEvent::applicationInstalled(1, "x").priority(), 0u);
    EXPECT_EQ(VXMAnalyticsEvent::applicationLaunched(1, "x").priority(), 1u);
    EXPECT_EQ(VXMAnalyticsEvent::applicationCrashed(1, "x").key(), "app_crashed");
}

TEST(EventLogRepository, PriorityNames) {
    const std::pair<const char*, unsigned> cases[] = {
        {"0.log", 0},
        {"1.log", 1},
        {"2.log", 2},
        {"2.log.zip", 2},
        {"/a/b/1.log.zip", 1},
        {"3.log", VXMEventLogNoPriority},
        {"2.zip", VXMEventLogNoPriority},
        {"x2.log", VXMEventLogNoPriority},
        {"2.log.zip.zip", VXMEventLogNoPriority},
    };
    for (const auto& [name, priority] : cases)
        EXPECT_EQ(VXMEventLogSessionRepository::priorityForEventLogFileWithName(name), priority)
            << name;
    EXPECT_EQ(VXMEventLogSessionRepository::activeEventLogFileNameForPriority(1), "1.log");
    EXPECT_FALSE(VXMEventLogSessionRepository::activeEventLogFileNameForPriority(3));
}

TEST(EventLogRepository, LayoutAndCascadeRemoval) {
    TempDir dir;
    VXMEventLogSessionRepository repo(dir.path().string());
    platform::Error error;
    auto file = repo.eventLogFileForStateName("PACKAGED", "S", 100, "F", 200, 2, &error);
    ASSERT_TRUE(file) << error.description;
    EXPECT_EQ(*file, (dir / "v1/PACKAGED/100_S/200_F/2.log").string());
    EXPECT_FALSE(fs::exists(*file));  // only the directory is made
    writeFile(*file + ".zip", "x");
    EXPECT_EQ(repo.logFilesForAllStates(&error)->size(), 1u);

    // (listing both states made an empty ACTIVE)
    ASSERT_TRUE(repo.removeLogFile(*file + ".zip", &error)) << error.description;
    EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"v1/", "v1/ACTIVE/"}));

    // Cascades stop at the first directory that still holds something.
    auto a = repo.sessionFragmentDirectoryForStateName("ACTIVE", "S", 1, "A", 2, &error);
    auto b = repo.sessionFragmentDirectoryForStateName("ACTIVE", "S", 1, "B", 3, &error);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(repo.removeSessionFragmentDirectory(*a, &error));
    EXPECT_TRUE(fs::is_directory(*b));
    ASSERT_TRUE(repo.removeSessionFragmentDirectory(*b, &error));
    EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"v1/"}));
}

TEST(EventLogRepository, PrepDirectories) {
    TempDir dir;
    VXMEventLogSessionRepository repo(dir.path().string());
    platform::Error error;
    auto active = repo.sessionFragmentDirectoryForStateName("ACTIVE", "S", 1, "F", 2, &error);
    ASSERT_TRUE(active);
    auto prep = repo.prepSessionFragmentDirectoryForStateName("PACKAGED", *active, &error);
    ASSERT_TRUE(prep);
    EXPECT_EQ(*prep, (dir / "v1/PACKAGED/1_S/2_F.prep").string());
    EXPECT_TRUE(VXMEventLogSessionRepository::isPrepDirectory(*prep));
    EXPECT_FALSE(repo.prepSessionFragmentDirectoryForStateName("PACKAGED", "a/b", &error));

    // An older packaged copy is replaced.
    fs::create_directories(dir / "v1/PACKAGED/1_S/2_F/old");
    writeFile(fs::path(*prep) / "0.log.zip", "z");
    auto plain = repo.removePrepStatusFromSessionFragmentDirectory(*prep, &error);
    ASSERT_TRUE(plain) << error.description;
    EXPECT_TRUE(fs::exists(fs::path(*plain) / "0.log.zip"));
    EXPECT_FALSE(fs::exists(fs::path(*plain) / "old"));
    EXPECT_FALSE(repo.removePrepStatusFromSessionFragmentDirectory(*plain, &error));

    ASSERT_TRUE(repo.prepSessionFragmentDirectoryForStateName("PACKAGED", *active, &error));
    ASSERT_TRUE(repo.purgePrepSessionFragmentDirectoriesForStateName("PACKAGED", &error));
    EXPECT_FALSE(fs::exists(*prep));
    EXPECT_TRUE(fs::exists(*plain));
}

TEST(EventLogRepository, CleanUpKeepsLogsAndTheOpenFragment) {
    TempDir dir;
    const fs::path v1 = dir / "v1";
    for (const char* d : {"ACTIVE/1_old/2_empty", "ACTIVE/5_cur/6_open", "ACTIVE/5_cur/7_logs",
                          "ACTIVE/5_cur/7_logs/sub", "PACKAGED/1_old/3_pk", "OTHER/x"})
        fs::create_directories(v1 / d);
    for (const char* f :
         {"ACTIVE/5_cur/7_logs/0.log", "ACTIVE/5_cur/7_logs/stray.txt",
          "PACKAGED/1_old/3_pk/1.log.zip", "PACKAGED/stray", "loose", "ACTIVE/1_old/notadir"})
        writeFile(v1 / f, "x");
    VXMEventLogSessionRepository repo(dir.path().string());
    platform::Error error;
    ASSERT_TRUE(repo.cleanUpIgnoringSessionFragmentDirectory((v1 / "ACTIVE/5_cur/6_open/").string(),
                                                             &error))
        << error.description;
    EXPECT_EQ(
        tree(dir.path()),
        (std::set<std::string>{"v1/", "v1/ACTIVE/", "v1/ACTIVE/5_cur/", "v1/ACTIVE/5_cur/6_open/",
                               "v1/ACTIVE/5_cur/7_logs/", "v1/ACTIVE/5_cur/7_logs/0.log",
                               "v1/PACKAGED/", "v1/PACKAGED/1_old/", "v1/PACKAGED/1_old/3_pk/",
                               "v1/PACKAGED/1_old/3_pk/1.log.zip"}));
}

TEST(EventLogRepository, ItemsInTheWayAreReplaced) {
    TempDir dir;
    VXMEventLogSessionRepository repo(dir.path().string());
    platform::Error error;
    writeFile(dir / "v1", "file where the version directory goes");
    ASSERT_TRUE(repo.stateDirectoryForStateName("ACTIVE", &error)) << error.description;
    EXPECT_TRUE(fs::is_directory(dir / "v1/ACTIVE"));

    fs::create_directories(dir / "blocked/inner");
    ASSERT_TRUE(repo.createFile((dir / "blocked").string(), &error));
    EXPECT_TRUE(fs::is_regular_file(dir / "blocked"));

    // A log file opened where a directory stands replaces it with an empty file.
    fs::create_directories(dir / "2.log/inner");
    auto file = VXMEventLogEventFile::open((dir / "2.log").string());
    ASSERT_TRUE(file);
    EXPECT_TRUE(fs::is_regular_file(dir / "2.log"));
    EXPECT_EQ(file->fileSize(), 0u);
}

TEST(EventLogFile, AppendsContinueAndReportErrors) {
    TempDir dir;
    const fs::path path = dir / "1.log";
    writeFile(path, "old\n");
    auto file = VXMEventLogEventFile::open(path.string());
    ASSERT_TRUE(file);
    EXPECT_EQ(file->fileSize(), 4u);
    platform::Error error;
    ASSERT_TRUE(file->appendEvent(VXMEventLogEvent(0, 9, "k"), &error));
    EXPECT_EQ(file->fileSize(), 8u);
    EXPECT_EQ(file->readFromFile(&error), "old\n9\tk\n");
    ASSERT_TRUE(file->appendData("more", &error));  // open for appending again
    ASSERT_TRUE(file->resetFile(&error));
    EXPECT_EQ(file->fileSize(), 0u);
    EXPECT_EQ(readFile(path), "");

    file->closeFileHandle();
    EXPECT_FALSE(file->appendData("x", &error));
    EXPECT_EQ(error.code, EBADF);

    // A full disk is an error, not a silent loss.
    auto full = VXMEventLogFile::open("/dev/full");
    ASSERT_TRUE(full);
    EXPECT_FALSE(full->appendData("line\n", &error));
    EXPECT_EQ(error.code, ENOSPC);
}

TEST(EventLogFile, LinesFromTwoHandlesNeverInterleave) {
    TempDir dir;
    const std::string path = (dir / "0.log").string();
    auto writer = [&](char mark) {
        auto file = VXMEventLogEventFile::open(path);
        ASSERT_TRUE(file);
        const std::string payload(3000, mark);
        for (int i = 0; i < 300; ++i)
            ASSERT_TRUE(file->appendEvent(VXMEventLogEvent(2, i, "k", payload), nullptr));
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    const std::string contents = readFile(path);
    const std::string lineA = VXMEventLogEvent(2, 0, "k", std::string(3000, 'a')).eventData();
    size_t lines = 0;
    for (size_t pos = 0; pos < contents.size(); ++lines) {
        const size_t tab = contents.find('\t', pos);
        const size_t end = contents.find('\n', tab + 3000);
        ASSERT_NE(end, std::string::npos);
        const std::string line = contents.substr(pos, end + 1 - pos);
        const char mark = line[line.size() - 2];
        EXPECT_EQ(line.substr(line.size() - 3001), std::string(3000, mark) + "\n");
        EXPECT_EQ(line.find(mark == 'a' ? 'b' : 'a'), std::string::npos);
        pos = end + 1;
    }
    EXPECT_EQ(lines, 600u);
}

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Logging/LGLog.h"
#include "RecordingSink.h"

using namespace std::chrono_literals;

namespace {

class Dispatcher : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        resetLogging();
        LGLog::setProcessorCountForTesting(GetParam());
    }
    void TearDown() override { resetLogging(); }
};

#define LOG(async, flag, ...) \
    LGLog::log(async, 15, flag, 0, __FILE__, __func__, __LINE__, nullptr, __VA_ARGS__)

}  // namespace

// Sinks run one after another with 1 processor, in parallel with more.
INSTANTIATE_TEST_SUITE_P(Processors, Dispatcher, ::testing::Values(1, 4),
                         [](const auto& p) { return std::to_string(p.param) + "cpu"; });

TEST_P(Dispatcher, DeliversInOrderToEverySinkOnItsQueueAndFlushWaits) {
    auto a = std::make_shared<RecordingSink>("tessaro.test.a");
    auto b = std::make_shared<RecordingSink>("tessaro.test.b");
    LGLog::addLogger(a);
    LGLog::addLogger(b);
    // Slow the second sink down so that flushLog has something to wait for.
    b->onMessage = [](const LGLogMessagePtr&) { std::this_thread::sleep_for(20us); };

    std::vector<std::string> expected;
    for (int i = 0; i < 500; ++i) {
        LOG(true, lg::kLogFlagInfo, "message %d", i);
        expected.push_back("message " + std::to_string(i));
    }
    LGLog::flushLog();
    EXPECT_EQ(a->lines(), expected);
    EXPECT_EQ(b->lines(), expected);
    for (auto& l : a->labels()) ASSERT_EQ(l, "tessaro.test.a");
    for (auto& l : b->labels()) ASSERT_EQ(l, "tessaro.test.b");

    // A synchronous call returns only after every sink has the message.
    LOG(false, lg::kLogFlagError, "error %s", "now");
    EXPECT_EQ(a->lines().back(), "error now");
    EXPECT_EQ(b->lines().back(), "error now");
}

TEST_P(Dispatcher, MessageCarriesItsCallSite) {
    auto sink = std::make_shared<RecordingSink>();
    LGLog::addLogger(sink);
    auto q = platform::DispatchQueue::serial("tessaro.test.caller");
    q->sync([] { LGLog::log(false, 7, 2, 3, "/x/y/file.m", "caller", 42, "tag", "%s", "hi"); });
    auto m = sink->messages().at(0);
    EXPECT_EQ(m->logMsg(), "hi");
    EXPECT_EQ(m->logLevel(), 7);
    EXPECT_EQ(m->logFlag(), 2);
    EXPECT_EQ(m->logContext(), 3);
    EXPECT_EQ(m->fileName().value(), "file");
    EXPECT_EQ(m->methodName().value(), "caller");
    EXPECT_EQ(m->lineNumber(), 42);
    EXPECT_EQ(m->tag().value(), "tag");
    EXPECT_EQ(m->queueLabel(), "tessaro.test.caller");
    EXPECT_EQ(m->machThreadID(), platform::currentThreadId());
    EXPECT_EQ(m->threadID(), [] {
        char b[16];
        snprintf(b, sizeof b, "%x", platform::currentThreadId());
        return std::string(b);
    }());
    auto age = std::chrono::system_clock::now() - m->timestamp();
    EXPECT_TRUE(age >= 0s && age < 10s);

    // A null format logs nothing and leaves the queue bound as it was.
    LGLog::log(false, 7, 1, 0, __FILE__, __func__, __LINE__, nullptr, nullptr);
    LGLog::flushLog();
    EXPECT_EQ(sink->count(), 1u);
}

TEST_P(Dispatcher, QueueOfThousandBlocksTheNextCallerWhileASinkIsStuck) {
    auto sink = std::make_shared<RecordingSink>();
    platform::DispatchSemaphore gate(0);
    std::atomic<bool> first{true};
    sink->onMessage = [&](const LGLogMessagePtr&) {
        if (first.exchange(false)) gate.wait();
    };
    LGLog::addLogger(sink);
    std::atomic<int> returned{0};
    std::thread producer([&] {
        for (int i = 0; i < 1001; ++i) {
            // The last one is synchronous: the bound holds for both kinds.
            LOG(i < 1000, lg::kLogFlagWarn, "m%d", i);
            ++returned;
        }
    });
    // 1000 calls fit (one in the stuck sink, 999 waiting); the 1001st blocks.
    while (returned.load() < 1000) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(returned.load(), 1000);
    gate.signal();
    producer.join();
    LGLog::flushLog();
    EXPECT_EQ(sink->count(), 1001u);
}

TEST_P(Dispatcher, SinkAddedTwiceReceivesTwiceAndOneRemovalLeavesOne) {
    auto sink = std::make_shared<RecordingSink>();
    LGLog::addLogger(sink);
    LGLog::addLogger(sink);
    LGLog::addLogger(nullptr);
    LOG(false, lg::kLogFlagError, "twice");
    LGLog::removeLogger(sink);
    LOG(false, lg::kLogFlagError, "once");
    LGLog::removeLogger(sink);
    LOG(false, lg::kLogFlagError, "never");
    EXPECT_EQ(sink->lines(), (std::vector<std::string>{"twice", "twice", "once"}));
}

TEST_P(Dispatcher, LogCallFromInsideASinkGoesStraightToStandardError) {
    auto sink = std::make_shared<RecordingSink>();
    sink->onMessage = [](const LGLogMessagePtr& m) {
        if (m->logMsg() == "outer") {
            LOG(false, lg::kLogFlagError, "inner %d", 1);  // would wait for itself
            LGLog::flushLog();                             // likewise
        }
    };
    LGLog::addLogger(sink);
    std::string err = captureStderr([] {
        LOG(false, lg::kLogFlagError, "outer");
        LOG(true, lg::kLogFlagInfo, "after");
        LGLog::flushLog();
    });
    EXPECT_EQ(sink->lines(), (std::vector<std::string>{"outer", "after"}));
    EXPECT_EQ(err, "inner 1\n");
}

// One message object queued several times is several dispatches: every one of
// them gives its slot of the bound back, whatever the number of sinks.
TEST_P(Dispatcher, RequeuedMessageGivesEverySlotBack) {
    for (int sinks : {1, 2, 3}) {
        SCOPED_TRACE(std::to_string(sinks) + " sinks");
        resetLogging();
        LGLog::setProcessorCountForTesting(GetParam());
        std::vector<std::shared_ptr<RecordingSink>> all;
        for (int i = 0; i < sinks; ++i) {
            all.push_back(std::make_shared<RecordingSink>());
            LGLog::addLogger(all.back());
        }
        LGLog::flushLog();
        ASSERT_EQ(LGLog::freeQueueSlotsForTesting(), LGLog::kMaximumQueueSize);
        auto message = std::make_shared<LGLogMessage>("again", 7, lg::kLogFlagInfo, 0, __FILE__,
                                                      __func__, __LINE__, std::nullopt, 0);
        for (int i = 0; i < 600; ++i) LGLog::queueLogMessage(message, true);
        LGLog::queueLogMessage(message, false);
        LGLog::flushLog();
        for (auto& sink : all) EXPECT_EQ(sink->count(), 601u);
        EXPECT_EQ(LGLog::freeQueueSlotsForTesting(), LGLog::kMaximumQueueSize);
    }
}

// ---- Messages and the per-class registry ---------------------------------------

TEST(LogMessage, FileNameAndCopiedStrings) {
    struct Case {
        const char* path;
        const char* name;
    } cases[] = {{"/a/b.c/name", "name"},
                 {"/x/y/file.m", "file"},
                 {"file", "file"},
                 {"dir/archive.tar.gz", "archive.tar"},
                 {"/a/.hidden", ""}};
    for (auto& c : cases) {
        LGLogMessage m("t", 7, 1, 0, c.path, "f", 1, std::nullopt, 0);
        EXPECT_EQ(m.fileName().value(), c.name) << c.path;
        EXPECT_EQ(m.file(), c.path);  // borrowed
    }
    LGLogMessage none("t", 7, 1, 0, nullptr, nullptr, 1, std::nullopt, 0);
    EXPECT_FALSE(none.fileName());
    EXPECT_FALSE(none.methodName());

    std::string file = "/tmp/owned.cpp", func = "fn";
    LGLogMessage copied("t", 7, 1, 0, file.c_str(), func.c_str(), 1, std::nullopt,
                        lg::kLogMessageCopyFile | lg::kLogMessageCopyFunction);
    EXPECT_NE(copied.file(), file.c_str());
    file = "/changed/x.c";
    func = "other";
    EXPECT_STREQ(copied.file(), "/tmp/owned.cpp");
    EXPECT_STREQ(copied.function(), "fn");
    EXPECT_EQ(lg::dd_str_copy(nullptr), nullptr);
}

namespace {
struct LevelledClass {
    static int level;
    static int lgLogLevel() { return level; }
    static void lgSetLogLevel(int l) { level = l; }
};
int LevelledClass::level = 7;
struct GetterOnlyClass {
    static int lgLogLevel() { return 15; }
};
struct UnknownClass {};
}  // namespace

LG_LOG_LEVEL_CLASS(LevelledClass);
LG_LOG_LEVEL_CLASS(GetterOnlyClass);

TEST(LogLevels, RegistryAnswersOnlyClassesWithGetterAndSetter) {
    LevelledClass::level = 7;
    EXPECT_TRUE(LGLog::isRegisteredClass<LevelledClass>());
    EXPECT_FALSE(LGLog::isRegisteredClass<GetterOnlyClass>());
    EXPECT_FALSE(LGLog::isRegisteredClass<UnknownClass>());
    EXPECT_EQ(LGLog::registeredClassNames(), std::vector<std::string>{"LevelledClass"});

    EXPECT_EQ(LGLog::logLevelForClass<LevelledClass>(), 7);
    LGLog::setLogLevelForClass<LevelledClass>(15);
    EXPECT_EQ(LevelledClass::level, 15);
    LGLog::setLogLevelForClassWithName(3, "LevelledClass");
    EXPECT_EQ(LGLog::logLevelForClassWithName("LevelledClass"), 3);

    EXPECT_EQ(LGLog::logLevelForClass<GetterOnlyClass>(), -1);
    EXPECT_EQ(LGLog::logLevelForClassWithName("GetterOnlyClass"), -1);
    LGLog::setLogLevelForClass<GetterOnlyClass>(1);  // ignored
    EXPECT_EQ(LGLog::logLevelForClass<UnknownClass>(), -1);
    EXPECT_EQ(LGLog::logLevelForClassWithName("NoSuchClass"), -1);
}

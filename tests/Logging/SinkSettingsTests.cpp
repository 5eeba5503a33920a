#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Logging/LGASLLogger.h"
#include "Logging/LGAbstractLogger.h"
#include "Logging/LGAssert.h"
#include "RecordingSink.h"

namespace {

struct CountingFormatter : LGLogFormatter {
    int added = 0, removed = 0;
    LGText formatLogMessage(const LGLogMessagePtr& m) override { return LGLogMessage::textOf(m); }
    void didAddToLogger(LGLogger*) override { ++added; }
    void willRemoveFromLogger(LGLogger*) override { ++removed; }
};

struct PlainSink : LGAbstractLogger {
    PlainSink() : LGAbstractLogger("tessaro.test.plain") {}
};

// Records assertion descriptions instead of aborting.
struct AssertionRecorder {
    std::vector<std::string> seen;
    lg::AssertionHandler previous;
    AssertionRecorder() {
        previous = lg::setAssertionHandler([this](const char* d) { seen.push_back(d); });
    }
    ~AssertionRecorder() { lg::setAssertionHandler(previous); }
};

}  // namespace

TEST(SystemLogSink, FlagToPriorityTable) {
    struct Case {
        int flag, priority;
    } cases[] = {{1, 2}, {2, 3}, {4, 4}, {8, 5}, {0, 5}, {3, 5}, {16, 5}, {-1, 5}};
    for (auto& c : cases) EXPECT_EQ(LGASLLogger::priorityForFlag(c.flag), c.priority) << c.flag;
}

TEST(SystemLogSink, OneSharedInstance) {
    auto& shared = LGASLLogger::sharedInstance();
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->loggerName(), "tessaro.logging.aslLogger");
    EXPECT_EQ(shared->loggerQueue()->label(), "tessaro.logging.aslLogger");
    EXPECT_EQ(LGASLLogger::make(), nullptr);
}

TEST(SinkSettings, FormatterChangesTakeTheirPlaceInTheStream) {
    auto sink = std::make_shared<PlainSink>();
    auto f1 = std::make_shared<CountingFormatter>();
    auto f2 = std::make_shared<CountingFormatter>();
    EXPECT_EQ(sink->logFormatter(), nullptr);
    sink->setLogFormatter(f1);
    EXPECT_EQ(sink->logFormatter(), f1);  // both hops are FIFO
    sink->setLogFormatter(f1);            // the same again: nothing happens
    sink->setLogFormatter(f2);
    EXPECT_EQ(sink->logFormatter(), f2);
    EXPECT_EQ(f1->added, 1);
    EXPECT_EQ(f1->removed, 1);
    EXPECT_EQ(f2->added, 1);
    EXPECT_EQ(f2->removed, 0);
}

TEST(SinkSettings, AccessFromTheWrongQueueIsReported) {
    auto sink = std::make_shared<PlainSink>();
    AssertionRecorder rec;
    EXPECT_FALSE(sink->isOnGlobalLoggingQueue());
    EXPECT_FALSE(sink->isOnInternalLoggerQueue());
    LGLog::loggingQueue()->sync([&] {
        EXPECT_TRUE(sink->isOnGlobalLoggingQueue());
        (void)sink->logFormatter();
    });
    sink->loggerQueue()->sync([&] {
        EXPECT_TRUE(sink->isOnInternalLoggerQueue());
        sink->setLogFormatter(nullptr);
    });
    EXPECT_EQ(rec.seen, (std::vector<std::string>{"Core architecture requirement failure",
                                                  "MUST access ivar directly, NOT via self.* "
                                                  "syntax."}));
}

// A formatter's callbacks run on the sink's queue: a log call or flushLog made
// there goes straight to standard error instead of waiting for that queue.
TEST(SinkSettings, LoggingFromFormatterCallbacksDoesNotDeadlock) {
    struct LoggingFormatter : CountingFormatter {
        void didAddToLogger(LGLogger* l) override {
            CountingFormatter::didAddToLogger(l);
            LGLog::log(false, 7, lg::kLogFlagError, 0, __FILE__, __func__, __LINE__, nullptr,
                       "added");
            LGLog::flushLog();
        }
        void willRemoveFromLogger(LGLogger* l) override {
            CountingFormatter::willRemoveFromLogger(l);
            LGLog::log(false, 7, lg::kLogFlagError, 0, __FILE__, __func__, __LINE__, nullptr,
                       "removed");
        }
    };
    resetLogging();
    auto sink = std::make_shared<PlainSink>();
    auto recording = std::make_shared<RecordingSink>();
    LGLog::addLogger(sink);
    LGLog::addLogger(recording);
    auto f = std::make_shared<LoggingFormatter>();
    std::string err = captureStderr([&] {
        sink->setLogFormatter(f);
        sink->setLogFormatter(nullptr);
        EXPECT_EQ(sink->logFormatter(), nullptr);
        // Logging still works afterwards, synchronously and not.
        LGLog::log(false, 7, lg::kLogFlagError, 0, __FILE__, __func__, __LINE__, nullptr, "after");
        LGLog::log(true, 7, lg::kLogFlagInfo, 0, __FILE__, __func__, __LINE__, nullptr, "later");
        LGLog::flushLog();
    });
    EXPECT_EQ(f->added, 1);
    EXPECT_EQ(f->removed, 1);
    EXPECT_EQ(err, "added\nremoved\n");
    EXPECT_EQ(recording->lines(), (std::vector<std::string>{"after", "later"}));
    resetLogging();
}

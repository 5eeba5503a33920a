// This file logs at level 7: debug calls are compiled out.
#define LG_LOG_LEVEL 7
#include "Logging/LGLogMacros.h"

#include <gtest/gtest.h>

#include "RecordingSink.h"

TEST(LogMacros, FilterAtTheCallSiteAndCarryTheCallSite) {
    resetLogging();
    auto sink = std::make_shared<RecordingSink>();
    LGLog::addLogger(sink);
    int evaluated = 0;
    auto arg = [&] { return ++evaluated; };

    LGLogDebug("debug %d", arg());
    EXPECT_EQ(evaluated, 0);  // the arguments of a filtered call are never evaluated

    int line = __LINE__ + 1;
    LGLogError("error %d", arg());
    ASSERT_EQ(sink->count(), 1u);  // synchronous: there before the call returns
    LGLogWarn("warn %d", arg());
    LGLogInfo("info %d", arg());
    LGLog::flushLog();
    EXPECT_EQ(sink->lines(), (std::vector<std::string>{"error 1", "warn 2", "info 3"}));

    auto m = sink->messages();
    EXPECT_EQ(m[0]->logFlag(), 1);
    EXPECT_EQ(m[1]->logFlag(), 2);
    EXPECT_EQ(m[2]->logFlag(), 4);
    EXPECT_EQ(m[0]->logLevel(), 7);
    EXPECT_EQ(m[0]->logContext(), 0);
    EXPECT_STREQ(m[0]->file(), __FILE__);
    EXPECT_EQ(m[0]->fileName().value(), "MacroTests");
    EXPECT_STREQ(m[0]->function(), "TestBody");
    EXPECT_EQ(m[0]->lineNumber(), line);
    EXPECT_FALSE(m[0]->tag());
    resetLogging();
}

#include <gtest/gtest.h>

#include "platform/core/UserDefaults.h"
#include "support/TempDir.h"

using platform::UserDefaults;
using platform::Value;

TEST(UserDefaults, ValuesPersistAtomicallyAndBadFilesReadAsEmpty) {
    testsupport::TempDir dir;
    const std::string path = (dir / "Tessaro" / "defaults.json").string();
    {
        UserDefaults d(path);
        EXPECT_TRUE(d.objectForKey("missing").isNull());
        EXPECT_FALSE(d.boolForKey("hasStartedBefore"));
        ASSERT_TRUE(d.setObject("hasStartedBefore", true));
        ASSERT_TRUE(d.setObject("UserName-ABC", "alice"));
        ASSERT_TRUE(d.setObject("count", 42));
        ASSERT_TRUE(d.setObject("gone", "x"));
        ASSERT_TRUE(d.removeObjectForKey("gone"));
    }
    UserDefaults d(path);
    EXPECT_TRUE(d.boolForKey("hasStartedBefore"));
    EXPECT_EQ(d.stringForKey("UserName-ABC"), "alice");
    EXPECT_EQ(d.integerForKey("count"), 42);
    EXPECT_TRUE(d.objectForKey("gone").isNull());
    // No temporary file is left beside it.
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir / "Tessaro")) (void)e, ++entries;
    EXPECT_EQ(entries, 1u);

    testsupport::writeFile(path, "{ not json");
    d.reload();
    EXPECT_TRUE(d.objectForKey("count").isNull());
    ASSERT_TRUE(d.setObject("count", 1));  // replaces the damaged file
    EXPECT_EQ(UserDefaults(path).integerForKey("count"), 1);
}

TEST(UserDefaults, AFailedWriteIsReported) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "file", "");  // the folder for the defaults is a file
    UserDefaults d((dir / "file" / "defaults.json").string());
    platform::Error e;
    EXPECT_FALSE(d.setObject("k", "v", &e));
    EXPECT_EQ(e.code, ENOTDIR);
    EXPECT_EQ(d.stringForKey("k"), "v");  // kept in memory either way
}

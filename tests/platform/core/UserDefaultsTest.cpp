#include <gtest/gtest.h>
#include <sys/stat.h>

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

// Settings kept in a dotfiles repository: ~/.config/Tessaro/defaults.json is
// a link there, and a change must reach the repository's file, not replace
// the link. The file's mode is the user's; a new one is private.
TEST(UserDefaults, LinkedFilesStayLinksAndModesAreKept) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        bool linked;
        mode_t mode;  // of the existing file; 0: none yet
        mode_t expected;
    };
    const Case cases[] = {
        {"linked file", true, 0644, 0644},
        {"linked private file", true, 0600, 0600},
        {"plain shared file", false, 0644, 0644},
        {"new file", false, 0, 0600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir dir;
        const fs::path path = dir / "config" / "Tessaro" / "defaults.json";
        const fs::path target = c.linked ? dir / "dotfiles" / "defaults.json" : path;
        fs::create_directories(path.parent_path());
        fs::create_directories(target.parent_path());
        if (c.linked) fs::create_symlink("../../dotfiles/defaults.json", path);
        if (c.mode) {
            testsupport::writeFile(target, R"({"kept": 1})");
            ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
        }

        UserDefaults d(path.string());
        ASSERT_TRUE(d.setObject("count", 7));
        EXPECT_EQ(fs::is_symlink(path), c.linked);
        UserDefaults back(target.string());
        EXPECT_EQ(back.integerForKey("count"), 7);
        EXPECT_EQ(back.integerForKey("kept"), c.mode ? 1 : 0);
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected);
    }
}

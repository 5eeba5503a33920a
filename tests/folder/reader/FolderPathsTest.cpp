#include "folder/FolderPaths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace {

TEST(FolderPaths, RelativeCleansOrRefuses) {
    struct Case {
        const char* in;
        const char* out;  // nullptr: refused
    } cases[] = {
        {"", ""},
        {"/", ""},
        {"/a.txt", "a.txt"},
        {"//a//b/", "a/b"},
        {"./a/./b", "a/b"},
        {"a/b.c", "a/b.c"},
        {"..", nullptr},
        {"/a/../../etc/passwd", nullptr},
        {"a/..", nullptr},
        {"..a/b..", "..a/b.."},
        {"_QXCFG.MOX", nullptr},
        {"/_qxcfg.mox", nullptr},
        {"sub/_QxCfg.Mox-Journal", nullptr},
        {"_QXCFG.MOX.bak", "_QXCFG.MOX.bak"},
        {"_QXCFG.MOX-new", "_QXCFG.MOX-new"},  // a creation's build name: a user's file here
        {"x_QXCFG.MOX", "x_QXCFG.MOX"},
    };
    for (const Case& c : cases) {
        auto r = FolderPaths::relative(c.in);
        if (c.out) {
            ASSERT_TRUE(r.has_value()) << c.in;
            EXPECT_EQ(*r, c.out) << c.in;
        } else {
            EXPECT_FALSE(r.has_value()) << c.in << " gave " << r.value_or("");
        }
    }
    EXPECT_FALSE(FolderPaths::relative(std::string("a\0b", 3)).has_value());
}

TEST(FolderPaths, JoinAndHiddenNames) {
    EXPECT_EQ(FolderPaths::join("/root/", "a/b"), "/root/a/b");
    EXPECT_EQ(FolderPaths::join("/root", ""), "/root");
    EXPECT_EQ(FolderPaths::join("", "a"), "a");
    EXPECT_EQ(FolderPaths::join("dir", "a"), "dir/a");
    EXPECT_TRUE(FolderPaths::isHiddenName("_QXCFG.MOX-JOURNAL"));
    EXPECT_TRUE(FolderPaths::isHiddenName("_qxcfg.MOX"));
    EXPECT_FALSE(FolderPaths::isHiddenName("_QXCFG.MOX-WAL"));
    EXPECT_FALSE(FolderPaths::isHiddenName("QXCFG.MOX"));
}

TEST(FolderPaths, OpeningNeverLeavesTheRoot) {
    testsupport::TempDir tmp;
    mkdir((tmp / "root").c_str(), 0700);
    mkdir((tmp / "root/sub").c_str(), 0700);
    testsupport::writeFile(tmp / "outside", "secret");
    testsupport::writeFile(tmp / "root/sub/in", "inside");
    ASSERT_EQ(symlink("../../outside", (tmp / "root/sub/escape").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "outside").c_str(), (tmp / "root/abs").c_str()), 0);
    ASSERT_EQ(symlink("sub/in", (tmp / "root/inner").c_str()), 0);
    int root = open((tmp / "root").c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(root, 0);

    struct Case {
        const char* rel;
        bool opens;
    } cases[] = {{"sub/in", true}, {"inner", true}, {"sub/escape", false}, {"abs", false}};
    for (const Case& c : cases) {
        int fd = FolderPaths::openBeneath(root, c.rel, O_RDONLY);
        EXPECT_EQ(fd >= 0, c.opens) << c.rel;
        if (fd >= 0) close(fd);
    }
    close(root);
}

TEST(FolderPaths, MoveNeverReplaces) {
    testsupport::TempDir tmp;
    testsupport::writeFile(tmp / "a", "A");
    testsupport::writeFile(tmp / "b", "B");
    mkdir((tmp / "d").c_str(), 0700);
    int root = open(tmp.path().c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(root, 0);
    EXPECT_EQ(FolderPaths::moveBeneath(root, "a", "b"), EEXIST);
    EXPECT_EQ(testsupport::readFile(tmp / "a"), "A");
    EXPECT_EQ(testsupport::readFile(tmp / "b"), "B");
    EXPECT_EQ(FolderPaths::moveBeneath(root, "a", "d/a2"), 0);
    EXPECT_EQ(testsupport::readFile(tmp / "d/a2"), "A");
    EXPECT_EQ(FolderPaths::moveBeneath(root, "missing", "c"), ENOENT);
    close(root);
}

}  // namespace

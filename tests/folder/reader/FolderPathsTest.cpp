#include "folder/FolderPaths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

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

// 25 directories of 198-byte names: too long for one openat2, so walked by
// name, and links deep down still climb exactly as far as on a plain
// directory, never out of the root.
TEST(FolderPaths, LongPathsResolveLinksAsOnAPlainDirectory) {
    testsupport::TempDir tmp;
    mkdir((tmp / "root").c_str(), 0700);
    testsupport::writeFile(tmp / "outside", "secret");
    testsupport::writeFile(tmp / "root/top", "top");
    // Made by descriptor: the whole path is too long for mkdir and symlink too.
    std::string rel, at17;
    int bottom = open((tmp / "root").c_str(), O_PATH | O_DIRECTORY);
    for (int level = 0; level < 25; ++level) {
        const std::string name(198, static_cast<char>('a' + level));
        rel += (rel.empty() ? "" : "/") + name;
        ASSERT_EQ(mkdirat(bottom, name.c_str(), 0700), 0) << level;
        int next = openat(bottom, name.c_str(), O_PATH | O_DIRECTORY);
        close(bottom);
        bottom = next;
        ASSERT_GE(bottom, 0) << level;
        if (level == 16) at17 = rel;
    }
    testsupport::writeFile(tmp / "root" / at17 / "file", "deep");
    auto up = [](int levels, const std::string& rest) {
        std::string s;
        for (int i = 0; i < levels; ++i) s += "../";
        return s + rest;
    };
    const struct {
        const char* name;
        std::string target;
    } links[] = {
        {"up", up(8, "file")},      {"updir", up(8, "")},
        {"toroot", up(25, "top")},  {"chain", "up"},
        {"out", up(26, "outside")}, {"abs", (tmp / "outside").string()},
        {"loop", "loop"},           {"viaup", "updir/../" + std::string(198, 'q') + "/file"},
    };
    for (const auto& l : links) ASSERT_EQ(symlinkat(l.target.c_str(), bottom, l.name), 0) << l.name;
    close(bottom);
    int root = open((tmp / "root").c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(root, 0);

    struct Case {
        std::string path;  // below the bottom directory
        int flags;
        const char* contents;  // nullptr: refused with `error`
        int error;
    } cases[] = {
        {"up", O_RDONLY, "deep", 0},
        {"updir/file", O_RDONLY, "deep", 0},
        {"updir/../" + up(16, "top"), O_RDONLY, "top", 0},
        {"toroot", O_RDONLY, "top", 0},
        {"chain", O_RDONLY, "deep", 0},
        {"updir/missing", O_RDONLY, nullptr, ENOENT},
        {"out", O_RDONLY, nullptr, EXDEV},
        {"abs", O_RDONLY, nullptr, EXDEV},
        {"loop", O_RDONLY, nullptr, ELOOP},
        {"viaup", O_RDONLY, "deep", 0},
        {"up/file", O_RDONLY, nullptr, ENOTDIR},
        {"up", O_RDONLY | O_NOFOLLOW, nullptr, ELOOP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        errno = 0;
        int fd = FolderPaths::openBeneath(root, rel + "/" + c.path, c.flags);
        if (!c.contents) {
            EXPECT_LT(fd, 0);
            EXPECT_EQ(errno, c.error) << std::strerror(errno);
            if (fd >= 0) close(fd);
            continue;
        }
        ASSERT_GE(fd, 0) << std::strerror(errno);
        char buf[16] = {};
        EXPECT_EQ(read(fd, buf, sizeof buf - 1), static_cast<ssize_t>(std::strlen(c.contents)));
        EXPECT_STREQ(buf, c.contents);
        close(fd);
    }
    // A file made through a link that climbs lands where the link leads.
    int made =
        FolderPaths::openBeneath(root, rel + "/updir/new", O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(made, 0) << std::strerror(errno);
    close(made);
    EXPECT_TRUE(std::filesystem::exists(tmp / "root" / at17 / "new"));
    std::string name;
    int parent = FolderPaths::openParentBeneath(root, rel + "/updir/file", &name);
    ASSERT_GE(parent, 0) << std::strerror(errno);
    EXPECT_EQ(name, "file");
    struct stat a, b;
    ASSERT_EQ(fstat(parent, &a), 0);
    ASSERT_EQ(stat((tmp / "root" / at17).c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    close(parent);
    EXPECT_EQ(testsupport::readFile(tmp / "outside"), "secret");
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

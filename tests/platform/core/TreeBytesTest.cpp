#include "platform/core/TreeBytes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using testsupport::writeFile;

bool dotNames(std::string_view name) {
    return name.starts_with('.');
}

// A tree with everything a careless sum gets wrong: links to a file and a
// directory outside it (counted as their targets, or twice), a skipped
// directory that holds bytes, a FIFO, a file that cannot be read.
struct Tree {
    testsupport::TempDir dir;
    fs::path root = dir / "root";
    Tree() {
        fs::create_directories(root / "sub" / "deeper");
        fs::create_directories(root / ".hidden");
        fs::create_directories(dir / "outside");
        writeFile(root / "a", std::string(100, 'a'));
        writeFile(root / "sub" / "b", std::string(20, 'b'));
        writeFile(root / "sub" / "deeper" / "c", std::string(3, 'c'));
        writeFile(root / ".hidden" / "d", std::string(1000, 'd'));
        writeFile(root / ".e", std::string(10000, 'e'));
        writeFile(dir / "outside" / "big", std::string(50000, 'x'));
        writeFile(root / "locked", std::string(7, 'l'));
        fs::permissions(root / "locked", fs::perms::none);
        fs::create_symlink(dir / "outside" / "big", root / "link-to-file");
        fs::create_directory_symlink(dir / "outside", root / "link-to-dir");
        fs::create_directory_symlink(root, dir / "root-link");
        ::mkfifo((root / "fifo").c_str(), 0600);
    }
};

const platform::TreeRules kVisible{dotNames};

TEST(TreeBytes, CountsRegularFilesBelowFollowingNoLink) {
    Tree t;
    const auto visible = platform::tallyTree(t.root.string(), kVisible);
    EXPECT_EQ(visible.bytes, 100 + 20 + 3 + 7);
    // a, sub, sub/b, sub/deeper, sub/deeper/c, locked, two links, fifo
    EXPECT_EQ(visible.items, 9);

    const auto all = platform::tallyTree(t.root.string());
    EXPECT_EQ(all.bytes, 100 + 20 + 3 + 7 + 1000 + 10000);
    EXPECT_EQ(all.items, 12);

    // A rule that skips a file by name, not only directories.
    const auto noA = platform::tallyTree(
        t.root.string(), {[](std::string_view n) { return n == "a" || n == "sub"; }});
    EXPECT_EQ(noA.bytes, 7 + 1000 + 10000);

    // Links as a copy that keeps them writes them: their target text.
    platform::TreeRules withLinks = kVisible;
    withLinks.countLinkLengths = true;
    const auto links = platform::tallyTree(t.root.string(), withLinks);
    EXPECT_EQ(links.bytes, 130 + static_cast<int64_t>((t.dir / "outside" / "big").string().size() +
                                                      (t.dir / "outside").string().size()));
}

TEST(TreeBytes, TheRootIsAFileADescriptorOrALinkFollowedOnlyWhenAsked) {
    Tree t;
    EXPECT_EQ(platform::tallyTree((t.root / "a").string()).bytes, 100);
    EXPECT_EQ(platform::tallyTree((t.root / "fifo").string()).bytes, 0);
    EXPECT_EQ(platform::tallyTree((t.dir / "missing").string()).bytes, 0);

    const std::string link = (t.dir / "root-link").string();
    EXPECT_EQ(platform::tallyTree(link, kVisible).bytes, 0);
    platform::TreeRules follow = kVisible;
    follow.followRootLink = true;
    EXPECT_EQ(platform::tallyTree(link, follow).bytes, 130);
    EXPECT_EQ(platform::tallyTree((t.root / "link-to-file").string()).bytes, 0);

    int held = ::open(t.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    EXPECT_EQ(platform::tallyTree(held, "", kVisible).bytes, 130);
    EXPECT_EQ(platform::tallyTree(held, "sub", kVisible).bytes, 23);
    EXPECT_EQ(platform::tallyTree(held, "link-to-dir", kVisible).bytes, 0);
    ::close(held);
}

}  // namespace

#include "platform/core/Files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

// The rewrite updates what the user sees at the path: a linked file stays a
// link to the updated target, a private file stays private, and nothing but
// the file itself is left beside it.
TEST(ReplaceFileContents, FollowsLinksKeepsPermissionsLeavesNoTemporaryFile) {
    enum class Link { None, Relative, Absolute, ToALink };
    struct Case {
        const char* what;
        Link link;
        mode_t mode;  // of the existing target; 0: there is none yet
    };
    const Case cases[] = {
        {"plain private file", Link::None, 0600},
        {"plain shared file", Link::None, 0644},
        {"new file", Link::None, 0},
        {"relative link", Link::Relative, 0600},
        {"absolute link", Link::Absolute, 0640},
        {"dangling link", Link::Relative, 0},
        {"link to a link", Link::ToALink, 0600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir dir;
        fs::create_directories(dir / "dotfiles");
        const fs::path file = dir / "file";
        const fs::path target = c.link == Link::None ? file : dir / "dotfiles" / "target";
        if (c.link == Link::Relative) fs::create_symlink("dotfiles/target", file);
        if (c.link == Link::Absolute) fs::create_symlink(target, file);
        if (c.link == Link::ToALink) {
            fs::create_symlink("dotfiles/hop", file);
            fs::create_symlink("target", dir / "dotfiles" / "hop");
        }
        if (c.mode) {
            testsupport::writeFile(target, "old\n");
            ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
        }

        ASSERT_TRUE(platform::replaceFileContents(file.string(), "new\n"));
        EXPECT_EQ(fs::is_symlink(file), c.link != Link::None);
        EXPECT_EQ(testsupport::readFile(target), "new\n");
        if (c.mode) {
            EXPECT_EQ(modeOf(target), c.mode);
        }
        for (const auto& folder : {dir.path(), dir / "dotfiles"})
            for (const auto& e : fs::directory_iterator(folder))
                EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    }
}

TEST(ReplaceFileContents, AMissingFolderFails) {
    testsupport::TempDir dir;
    EXPECT_FALSE(platform::replaceFileContents((dir / "missing" / "file").string(), "x"));
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace

#include "platform/desktop/FavouriteVolumes.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <thread>
#include <vector>

#include "platform/desktop/FileURL.h"
#include "support/TempDir.h"

namespace {

using platform::FavouriteVolumes;

TEST(FavouriteVolumes, OthersKeptByteForByteAndRemovalAfterTheTargetIsGone) {
    testsupport::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    const std::string others = "file:///home/u/Music Music\r\n# not a bookmark\nsftp://h/x";
    std::filesystem::create_directories(config / "gtk-3.0");
    testsupport::writeFile(config / "gtk-3.0" / "bookmarks", others);

    const std::string volume = (config / "Docs-decrypted 1").string();  // never made
    ASSERT_TRUE(FavouriteVolumes::add(volume));
    ASSERT_TRUE(FavouriteVolumes::add(volume));  // once only
    const std::string uri = "file://" + config.path().string() + "/Docs-decrypted%201";
    EXPECT_EQ(testsupport::readFile(config / "gtk-3.0" / "bookmarks"), others + "\n" + uri + "\n");
    ASSERT_TRUE(FavouriteVolumes::remove(volume));
    EXPECT_FALSE(FavouriteVolumes::remove(volume));
    EXPECT_EQ(testsupport::readFile(config / "gtk-3.0" / "bookmarks"), others + "\n");
}

TEST(FavouriteVolumes, OnlyURIsAreAdded) {
    testsupport::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    for (const char* text :
         {"", "/media/x", "media/x", "1file:///x", "file:///a b", "file:///a\nb"})
        EXPECT_FALSE(FavouriteVolumes::addURI(text)) << text;
    EXPECT_FALSE(std::filesystem::exists(FavouriteVolumes::bookmarksPath()));
    EXPECT_TRUE(FavouriteVolumes::addURI("sftp://h/x"));
    EXPECT_EQ(FavouriteVolumes::bookmarks().size(), 1u);
}

TEST(FavouriteVolumes, AFileThatCannotBeReadIsNeverReplaced) {
    testsupport::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    std::filesystem::create_directories(config / "gtk-3.0");
    // A FIFO in its place: reading must not hang, and writing would lose whatever it stands for.
    ASSERT_EQ(mkfifo(FavouriteVolumes::bookmarksPath().c_str(), 0600), 0);
    EXPECT_FALSE(FavouriteVolumes::add("/media/x"));
    EXPECT_FALSE(FavouriteVolumes::remove("/media/x"));
    EXPECT_TRUE(FavouriteVolumes::bookmarks().empty());
    EXPECT_TRUE(std::filesystem::is_fifo(FavouriteVolumes::bookmarksPath()));
}

TEST(FavouriteVolumes, AwkwardNamesRoundTripThroughTheirURI) {
    testsupport::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    const struct {
        std::string name;
        std::string escaped;
    } cases[] = {
        {"a b", "a%20b"},
        {"100%", "100%25"},
        {"a#b", "a%23b"},
        {"a?b", "a%3Fb"},
        {"\xff\xfe", "%FF%FE"},
        {"\xc3\xa9", "%C3%A9"},
        {"tab\there", "tab%09here"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.escaped);
        const std::string path = (config / c.name).string();
        const std::string uri = "file://" + config.path().string() + "/" + c.escaped;
        EXPECT_EQ(platform::fileURLForPath(path), uri);
        EXPECT_EQ(platform::pathForFileURL(uri), path);
        ASSERT_TRUE(FavouriteVolumes::add(path));
        ASSERT_FALSE(FavouriteVolumes::bookmarks().empty());
        EXPECT_EQ(FavouriteVolumes::bookmarks().back().uri, uri);
        EXPECT_TRUE(FavouriteVolumes::remove(path));
        EXPECT_TRUE(FavouriteVolumes::bookmarks().empty());
    }
    const struct {
        const char* url;
        std::optional<std::string> path;
    } urls[] = {
        {"file://localhost/a", "/a"},    {"file://server/a", std::nullopt},
        {"file:///a#b", std::nullopt},   {"file:///a%2Fb", std::nullopt},
        {"file:///a%00b", std::nullopt}, {"sftp://h/a", std::nullopt},
    };
    for (const auto& u : urls) EXPECT_EQ(platform::pathForFileURL(u.url), u.path) << u.url;
}

// Bookmarks kept in a dotfiles folder and linked into place: the link must
// stay, pointing at the updated file, which stays private.
TEST(FavouriteVolumes, ALinkedBookmarksFileStaysALink) {
    testsupport::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    std::filesystem::create_directories(config / "gtk-3.0");
    std::filesystem::create_directories(config / "dotfiles");
    testsupport::writeFile(config / "dotfiles" / "bookmarks", "file:///home/u/Music\n");
    ASSERT_EQ(chmod((config / "dotfiles" / "bookmarks").c_str(), 0600), 0);
    std::filesystem::create_symlink("../dotfiles/bookmarks", FavouriteVolumes::bookmarksPath());

    ASSERT_TRUE(FavouriteVolumes::add("/media/x"));
    EXPECT_TRUE(std::filesystem::is_symlink(FavouriteVolumes::bookmarksPath()));
    EXPECT_EQ(testsupport::readFile(config / "dotfiles" / "bookmarks"),
              "file:///home/u/Music\nfile:///media/x\n");
    struct stat st {};
    ASSERT_EQ(stat((config / "dotfiles" / "bookmarks").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(FavouriteVolumes, ChangesFromSeveralThreadsAreAllKept) {
    testsupport::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 10; ++i)
                EXPECT_TRUE(FavouriteVolumes::add("/media/v" + std::to_string(t * 100 + i)));
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(FavouriteVolumes::bookmarks().size(), 40u);
}

TEST(FavouriteVolumes, TheConfigFolderIsTakenOnlyFromAnAbsoluteValue) {
    testsupport::TempDir home;
    const std::string savedHome = getenv("HOME") ? getenv("HOME") : "";
    setenv("HOME", home.path().c_str(), 1);
    const struct {
        const char* value;  // null: unset
        std::string folder;
    } cases[] = {
        {nullptr, home.path().string() + "/.config"},
        {"", home.path().string() + "/.config"},
        {"relative/config", home.path().string() + "/.config"},
        {"/elsewhere/config", "/elsewhere/config"},
    };
    for (const auto& c : cases) {
        if (c.value)
            setenv("XDG_CONFIG_HOME", c.value, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(FavouriteVolumes::bookmarksPath(), c.folder + "/gtk-3.0/bookmarks")
            << (c.value ? c.value : "(unset)");
    }
    setenv("HOME", savedHome.c_str(), 1);
}

}  // namespace

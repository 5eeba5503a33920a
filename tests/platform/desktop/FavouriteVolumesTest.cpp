#include "platform/desktop/FavouriteVolumes.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

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

}  // namespace

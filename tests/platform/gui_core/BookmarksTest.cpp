#include "platform/gui/Bookmarks.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/core/UserDefaults.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

TEST(Bookmarks, RoundTripThroughTheUserDefaultsFile) {
    testsupport::TempDir dir;
    const fs::path folder = dir / "Folder 'one'.zel";
    fs::create_directory(folder);
    auto data = platform::bookmarkDataForPath(folder.string());
    ASSERT_TRUE(data);
    EXPECT_EQ(platform::resolveBookmarkData(*data), folder.string());

    // Stored, written and read back: the file keeps data as base64 text.
    {
        platform::UserDefaults d((dir / "defaults.json").string());
        d.setObject("knownFolders", platform::Value::Dictionary{{"uuid", platform::Value(*data)}});
    }
    platform::UserDefaults again((dir / "defaults.json").string());
    const platform::Value stored = again.objectForKey("knownFolders");
    ASSERT_TRUE(stored.isDictionary());
    auto back = platform::bookmarkDataFromValue(*stored.ifDictionary()->find("uuid"));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, *data);

    // Gone: the data no longer resolves but stays valid data.
    fs::remove(folder);
    EXPECT_FALSE(platform::resolveBookmarkData(*data));
    fs::create_directory(folder);
    EXPECT_EQ(platform::resolveBookmarkData(*data), folder.string());
}

TEST(Bookmarks, RefusesWhatIsNoBookmark) {
    testsupport::TempDir dir;
    platform::Error error;
    EXPECT_FALSE(platform::bookmarkDataForPath((dir / "missing").string(), &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_FALSE(platform::bookmarkDataForPath("relative/path", &error));
    EXPECT_EQ(error.code, EINVAL);
    // Bytes that merely spell a path are not a bookmark.
    const std::string raw = dir.path().string();
    EXPECT_FALSE(platform::resolveBookmarkData(platform::BookmarkData(raw.begin(), raw.end())));
    EXPECT_FALSE(platform::resolveBookmarkData({}));
    EXPECT_FALSE(platform::bookmarkDataFromValue(platform::Value("not base64!")));
    EXPECT_FALSE(platform::bookmarkDataFromValue(platform::Value(int64_t{3})));
    EXPECT_EQ(platform::bookmarkDataFromValue(platform::Value("QUJD")),
              (platform::BookmarkData{'A', 'B', 'C'}));
    EXPECT_EQ(platform::bookmarkDataFromValue(platform::Value("QUI=")),
              (platform::BookmarkData{'A', 'B'}));
}

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/desktop/URLHandlers.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Private XDG folders holding one recorder application for the scheme
// "tessaro-test", in a bundle-like layout. GIO reads these folders once per
// process, so they are made before the first lookup and kept for all tests.
struct Desktop {
    testsupport::TempDir root{"tessaro-desktop"};
    fs::path recorder = root / "Recorder.app/Contents/MacOS/recorder";
    fs::path record = root / "record";
    fs::path fileManager = root / "bin/files";
    fs::path folderRecord = root / "folder-record";

    Desktop() {
        fs::create_directories(recorder.parent_path());
        fs::create_directories(root / "data/applications");
        fs::create_directories(root / "config");
        fs::create_directories(root / "empty");
        testsupport::writeFile(recorder, "#!/bin/sh\nprintf '%s' \"$1\" > " + record.string() +
                                             ".tmp && mv " + record.string() + ".tmp " +
                                             record.string() + "\n");
        chmod(recorder.c_str(), 0755);
        testsupport::writeFile(
            root / "data/applications/tessaro-recorder.desktop",
            "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + recorder.string() +
                " %u\nMimeType=x-scheme-handler/tessaro-test;\nNoDisplay=true\n");
        // Folders: our own entry (made their default), another entry that
        // starts this very program, and the file manager.
        fs::create_directories(fileManager.parent_path());
        testsupport::writeFile(fileManager, "#!/bin/sh\nprintf '%s' \"$1\" > " +
                                                folderRecord.string() + ".tmp && mv " +
                                                folderRecord.string() + ".tmp " +
                                                folderRecord.string() + "\n");
        chmod(fileManager.c_str(), 0755);
        std::error_code ec;
        const std::string self = fs::read_symlink("/proc/self/exe", ec).string();
        testsupport::writeFile(root / "data/applications/tessaro.desktop",
                               "[Desktop Entry]\nType=Application\nName=Tessaro\nExec=" + self +
                                   " %F\nMimeType=inode/directory;\n");
        testsupport::writeFile(root / "data/applications/aaa-tessaro-copy.desktop",
                               "[Desktop Entry]\nType=Application\nName=Copy\nExec=" + self +
                                   " %F\nMimeType=inode/directory;\n");
        testsupport::writeFile(root / "data/applications/zzz-files.desktop",
                               "[Desktop Entry]\nType=Application\nName=Files\nExec=" +
                                   fileManager.string() + " %u\nMimeType=inode/directory;\n");
        // What an installation runs: GIO finds the applications of a type
        // through this cache.
        EXPECT_EQ(
            std::system(("update-desktop-database '" + (root / "data/applications").string() + "'")
                            .c_str()),
            0);
        // What `xdg-mime default` writes for the user.
        testsupport::writeFile(root / "config/mimeapps.list",
                               "[Default Applications]\n"
                               "x-scheme-handler/tessaro-test=tessaro-recorder.desktop\n"
                               "inode/directory=tessaro.desktop\n");
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        setenv("XDG_DATA_DIRS", (root / "empty").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (root / "empty").c_str(), 1);
    }
};

Desktop& desktop() {
    static Desktop d;
    return d;
}

}  // namespace

TEST(URLHandlers, FindsTheRegisteredApplication) {
    Desktop& d = desktop();
    auto handler = platform::handlerForURLScheme("tessaro-test");
    ASSERT_TRUE(handler);
    EXPECT_EQ(handler->identifier, "tessaro-recorder.desktop");
    EXPECT_EQ(handler->executable, d.recorder.string());
    EXPECT_EQ(handler->location, (d.root / "Recorder.app").string());
    EXPECT_FALSE(platform::handlerForURLScheme("tessaro-nobody"));
}

TEST(URLHandlers, OpensURLsWithoutWaiting) {
    Desktop& d = desktop();
    const std::string url = "tessaro-test://xcode?A=%2Fpath%20with%20space&B=2";
    platform::Error error;
    ASSERT_TRUE(platform::openURL(url, &error)) << error.description;
    for (int i = 0; i < 100 && !fs::exists(d.record); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(testsupport::readFile(d.record), url);

    EXPECT_FALSE(platform::openURL("tessaro-nobody://x", &error));
    EXPECT_FALSE(error.description.empty());
    EXPECT_FALSE(platform::openURL("no scheme here", &error));
}

// Where Tessaro became the default for folders, a folder still opens in the
// file manager: neither our entry nor another one starting this program
// gets it.
TEST(URLHandlers, FoldersOpenInTheFileManagerNeverInUs) {
    Desktop& d = desktop();
    auto handler = platform::folderHandler();
    ASSERT_TRUE(handler);
    EXPECT_EQ(handler->identifier, "zzz-files.desktop");

    testsupport::TempDir folder;
    platform::Error error;
    ASSERT_TRUE(platform::openFolder(folder.path().string(), &error)) << error.description;
    for (int i = 0; i < 100 && !fs::exists(d.folderRecord); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // GIO hands a local folder over as its path.
    EXPECT_EQ(testsupport::readFile(d.folderRecord), folder.path().string());
    EXPECT_FALSE(platform::openFolder("relative/path", &error));
}

#pragma once
// An unlocked encrypted folder and a loopback delegate over it, optionally
// mounted as a real volume. The guard always unmounts.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "FileSystem/QVFileSystem.h"
#include "mounting/QVFuseLoopbackFS.h"
#include "platform/core/Dispatch.h"
#include "platform/fuse/UserFileSystem.h"
#include "support/FolderBuilder.h"
#include "support/FuseCheck.h"
#include "support/TempDir.h"

namespace loopbacktest {

struct MenuCounter : QVKnownFoldersMenu {
    int updates = 0;
    void updateKnownFoldersMenu() override { ++updates; }
};

struct ReadonlyWatcher : QVFuseLoopbackFSDelegate {
    int notices = 0;
    void loopbackTriedToWriteToReadonlyVolume(QVFuseLoopbackFS*) override { ++notices; }
};

// A folder "Docs.zel" with user alice, unlocked, and its loopback delegate.
struct UnlockedFolder {
    testsupport::TempDir dir{"loopback"};
    std::filesystem::path folder = dir / "Docs.zel";
    std::shared_ptr<QVFileSystem> fs = std::make_shared<QVFileSystem>();
    std::shared_ptr<MenuCounter> menu = std::make_shared<MenuCounter>();
    std::shared_ptr<ReadonlyWatcher> watcher = std::make_shared<ReadonlyWatcher>();
    std::shared_ptr<QVFuseLoopbackFS> loopback;

    UnlockedFolder() {
        auto made = testsupport::makeEncryptedFolder(folder, {{"alice", "secret"}});
        made.reset();
        platform::Error err;
        EXPECT_TRUE(fs->mountEncryptedFolder(folder.string(), std::string("alice"),
                                             std::string("secret"), &err))
            << err.description;
        loopback = std::make_shared<QVFuseLoopbackFS>(fs, menu);
        loopback->setDelegate(watcher);
    }
    std::string real(const std::string& rel) const { return (folder / rel).string(); }
};

// The same, mounted at <dir>/mnt/Docs-decrypted.
struct MountedFolder : UnlockedFolder {
    std::string mnt = (dir / "mnt" / "Docs-decrypted").string();
    std::unique_ptr<platform::UserFileSystem> volume;

    MountedFolder() {
        loopback->setMountPath(mnt);
        volume = std::make_unique<platform::UserFileSystem>(loopback);
        platform::Error err;
        EXPECT_TRUE(volume->mountAtPath(mnt, {"volname=Docs-decrypted"}, &err)) << err.description;
    }
    ~MountedFolder() { unmount(); }
    void unmount() {
        if (!volume) return;
        if (volume->isMounted() && !volume->unmount()) umount2(mnt.c_str(), MNT_DETACH);
        volume->waitUntilUnmounted();
        volume.reset();
        loopback->volumeDidUnmount();
        platform::pumpMainQueue();
    }
    std::string at(const std::string& rel) const { return mnt + "/" + rel; }
};

}  // namespace loopbacktest

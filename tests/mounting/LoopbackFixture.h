#pragma once
// An unlocked encrypted folder and a loopback delegate over it, optionally
// mounted as a real volume. The guard always unmounts.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// What a test does to a new folder before it is unlocked (`fill` gets it
// unlocked by a handle of its own), and whether the folder then sits on a
// read-only bind mount of itself, as on a read-only share.
struct Preparation {
    std::function<void(QVFileSystem&)> fill;
    bool readOnly = false;
};

// Writes `bytes` to the folder's file at `path` through the handle.
inline void writeThroughHandle(QVFileSystem& fs, const std::string& path,
                               const std::string& bytes) {
    platform::Error err;
    auto f = fs.openFileAtPath(path, false, true, &err);
    ASSERT_TRUE(f) << err.description;
    ASSERT_TRUE(fs.writeFile(f, 0, bytes.data(), bytes.size(), &err)) << err.description;
    fs.closeFile(f);
}

// A folder "Docs.zel" with user alice, unlocked, and its loopback delegate.
struct UnlockedFolder {
    testsupport::TempDir dir{"loopback"};
    std::filesystem::path folder = dir / "Docs.zel";
    std::shared_ptr<QVFileSystem> fs = std::make_shared<QVFileSystem>();
    std::shared_ptr<MenuCounter> menu = std::make_shared<MenuCounter>();
    std::shared_ptr<ReadonlyWatcher> watcher = std::make_shared<ReadonlyWatcher>();
    std::shared_ptr<QVFuseLoopbackFS> loopback;
    bool boundReadOnly = false;

    explicit UnlockedFolder(const Preparation& prepare = {}) {
        auto made = testsupport::makeEncryptedFolder(folder, {{"alice", "secret"}});
        made.reset();
        platform::Error err;
        if (prepare.fill) {
            QVFileSystem filler;
            EXPECT_TRUE(filler.mountEncryptedFolder(folder.string(), std::string("alice"),
                                                    std::string("secret"), &err))
                << err.description;
            prepare.fill(filler);
            filler.unmount();
        }
        if (prepare.readOnly) {
            const std::string p = folder.string();
            boundReadOnly = mount(p.c_str(), p.c_str(), nullptr, MS_BIND, nullptr) == 0;
            EXPECT_TRUE(boundReadOnly) << std::strerror(errno);
            EXPECT_EQ(mount(nullptr, p.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
                      0)
                << std::strerror(errno);
        }
        EXPECT_TRUE(fs->mountEncryptedFolder(folder.string(), std::string("alice"),
                                             std::string("secret"), &err))
            << err.description;
        loopback = std::make_shared<QVFuseLoopbackFS>(fs, menu);
        loopback->setDelegate(watcher);
    }
    ~UnlockedFolder() {
        if (boundReadOnly) umount2(folder.c_str(), MNT_DETACH);
    }
    std::string real(const std::string& rel) const { return (folder / rel).string(); }
};

// The same, mounted at <dir>/mnt/Docs-decrypted.
struct MountedFolder : UnlockedFolder {
    std::string mnt = (dir / "mnt" / "Docs-decrypted").string();
    std::unique_ptr<platform::UserFileSystem> volume;

    explicit MountedFolder(std::vector<std::string> options = {}, const Preparation& prepare = {})
        : UnlockedFolder(prepare) {
        loopback->setMountPath(mnt);
        volume = std::make_unique<platform::UserFileSystem>(loopback);
        options.push_back("volname=Docs-decrypted");
        platform::Error err;
        EXPECT_TRUE(volume->mountAtPath(mnt, options, &err)) << err.description;
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

// Everything about a tree that an escaped call could change: per item its
// kind, mode, owner, size, modification time, link target, extended
// attributes and contents; a link is never followed.
inline std::string treeSnapshot(const std::filesystem::path& root) {
    std::vector<std::string> lines;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        const std::string p = it->path().string();
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) continue;
        std::string line = std::filesystem::relative(it->path(), root).string() + " " +
                           std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                           std::to_string(st.st_gid) + " " + std::to_string(st.st_size) + " " +
                           std::to_string(st.st_mtim.tv_sec) + "." +
                           std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_nlink);
        if (S_ISLNK(st.st_mode)) line += " -> " + std::filesystem::read_symlink(p).string();
        char names[4096];
        ssize_t n = llistxattr(p.c_str(), names, sizeof names);
        for (ssize_t i = 0; i < n; i += static_cast<ssize_t>(strlen(names + i)) + 1) {
            char value[256];
            ssize_t v = lgetxattr(p.c_str(), names + i, value, sizeof value);
            line += std::string(" [") + (names + i) + "=" +
                    std::string(value, static_cast<size_t>(v > 0 ? v : 0)) + "]";
        }
        if (S_ISREG(st.st_mode)) line += " " + testsupport::readFile(p);
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    return all;
}

}  // namespace loopbacktest

#pragma once
// The delegate of one decrypted volume. A loopback: names, the tree,
// attributes and extended attributes come straight from the folder's real
// directory; only file contents pass through the folder handle, which
// decrypts on read and encrypts on write. The sector scheme keeps sizes, so
// the real directory's sizes are the plaintext ones.
//
// Every item is reached through the directory that holds it, opened beneath
// the folder's root with no way out (a link in the middle of a path that
// leads out of the folder is refused), and the *at() calls on it; a link at
// the end is never followed.
//
// Called by the volume's FUSE loop. Calls out
// to the application (menu refresh, read-only notice) are posted to the main
// queue and never waited for.

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "FileSystem/QVFileSystem.h"
#include "mounting/QVReadAhead.h"
#include "platform/core/UniqueFd.h"
#include "platform/fuse/UserFileSystem.h"

class QVFuseLoopbackFS;

// What the loopback asks of the application delegate.
class QVKnownFoldersMenu {
  public:
    virtual ~QVKnownFoldersMenu() = default;
    virtual void updateKnownFoldersMenu() = 0;
};

// What the loopback tells the mount controller.
class QVFuseLoopbackFSDelegate {
  public:
    virtual ~QVFuseLoopbackFSDelegate() = default;
    virtual void loopbackTriedToWriteToReadonlyVolume(QVFuseLoopbackFS* loopback) {}
};

class QVFuseLoopbackFS : public platform::UserFileSystemDelegate,
                         public std::enable_shared_from_this<QVFuseLoopbackFS> {
  public:
    // The name that is accepted and dropped when set, and cleared from every
    // entry once per mount. Linux keeps it in the user namespace.
    static constexpr const char* kQuarantineName = "com.apple.quarantine";
    static constexpr const char* kQuarantineUserName = "user.com.apple.quarantine";

    // `fileSystem` must be unlocked; an unlocked handle is logged as an error
    // but the object is made anyway.
    QVFuseLoopbackFS(std::shared_ptr<QVFileSystem> fileSystem,
                     std::shared_ptr<QVKnownFoldersMenu> appDelegate);
    ~QVFuseLoopbackFS() override;

    std::shared_ptr<QVFileSystem> fileSystem() const;
    void setFileSystem(std::shared_ptr<QVFileSystem> fs);
    std::shared_ptr<QVKnownFoldersMenu> appdelegate() const;
    void setAppdelegate(std::shared_ptr<QVKnownFoldersMenu> d);
    std::weak_ptr<QVFuseLoopbackFSDelegate> delegate() const;
    void setDelegate(std::weak_ptr<QVFuseLoopbackFSDelegate> d);
    bool isReadonly() const { return isReadonly_.load(); }
    void setIsReadonly(bool v) { isReadonly_.store(v); }
    // Where the volume is mounted: links into the folder read back as links
    // into the volume. Copies of the application refuse this path as a side.
    const std::string& mountPath() const { return mountPath_; }
    void setMountPath(std::string p);
    const std::string& rootPath() const { return rootPath_; }

    // The volume is gone: unlock state and key material of the handle go too.
    void volumeDidUnmount();

    // ---- the volume's callbacks
    // Removes what earlier mounts left of files removed while open.
    void willMount() override;
    // A folder on a read-only file system mounts read-only.
    bool isReadOnlyVolume() const override;
    bool moveItem(const std::string& source, const std::string& destination,
                  platform::Error* error) override;
    bool removeDirectory(const std::string& path, platform::Error* error) override;
    bool removeItem(const std::string& path, platform::Error* error) override;
    bool createDirectory(const std::string& path, const platform::ItemAttributes& attributes,
                         platform::Error* error) override;
    bool createFile(const std::string& path, const platform::ItemAttributes& attributes,
                    platform::FileUserData* userData, platform::Error* error) override;
    bool createSpecialItem(const std::string& path, mode_t mode, dev_t device,
                           platform::Error* error) override;
    bool linkItem(const std::string& path, const std::string& otherPath,
                  platform::Error* error) override;
    bool createSymbolicLink(const std::string& path, const std::string& destination,
                            platform::Error* error) override;
    std::optional<std::string> destinationOfSymbolicLink(const std::string& path,
                                                         platform::Error* error) override;
    bool openFile(const std::string& path, int mode, platform::FileUserData* userData,
                  platform::Error* error) override;
    void releaseFile(const std::string& path, platform::FileUserData userData) override;
    int64_t readFile(const std::string& path, const platform::FileUserData& userData, char* buffer,
                     size_t size, off_t offset, platform::Error* error) override;
    int64_t writeFile(const std::string& path, const platform::FileUserData& userData,
                      const char* buffer, size_t size, off_t offset,
                      platform::Error* error) override;
    bool prepareWrite(const std::string& path, const platform::FileUserData& userData,
                      const char* buffer, char* prepared, size_t size, off_t offset) override;
    int64_t writePreparedFile(const std::string& path, const platform::FileUserData& userData,
                              const char* prepared, size_t size, off_t offset,
                              platform::Error* error) override;
    bool exchangeData(const std::string& path1, const std::string& path2,
                      platform::Error* error) override;
    std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path,
                                                                platform::Error* error) override;
    std::optional<std::vector<platform::DirectoryEntry>> entriesOfDirectory(
        const std::string& path, platform::Error* error) override;
    std::optional<struct stat> attributesOfItem(const std::string& path,
                                                const platform::FileUserData& userData,
                                                platform::Error* error) override;
    std::optional<struct statvfs> attributesOfFileSystem(const std::string& path,
                                                         platform::Error* error) override;
    bool setAttributes(const platform::ItemAttributes& attributes, const std::string& path,
                       const platform::FileUserData& userData, platform::Error* error) override;
    std::optional<std::vector<std::string>> extendedAttributes(const std::string& path,
                                                               platform::Error* error) override;
    std::optional<std::vector<uint8_t>> valueOfExtendedAttribute(const std::string& name,
                                                                 const std::string& path,
                                                                 off_t position,
                                                                 platform::Error* error) override;
    bool setExtendedAttribute(const std::string& name, const std::string& path,
                              const std::vector<uint8_t>& value, off_t position, int options,
                              platform::Error* error) override;
    bool removeExtendedAttribute(const std::string& name, const std::string& path,
                                 platform::Error* error) override;
    bool flushFile(const std::string& path, const platform::FileUserData& userData,
                   platform::Error* error) override;
    bool synchronizeFile(const std::string& path, const platform::FileUserData& userData,
                         bool dataOnly, platform::Error* error) override;

  private:
    // Where a volume path's item lives: the directory that holds it (the
    // root for "/", whose name is then "."), its name there, and the clean
    // path relative to the root.
    struct Location {
        platform::UniqueFd dir;
        std::string name;
        std::string rel;
    };
    // False with ENOENT for the configuration database, its journal and
    // anything that is not a clean path inside the folder; with the system's
    // error when the directory cannot be reached beneath the root.
    bool locate(const std::string& path, Location* at, platform::Error* error) const;
    // The item itself as an O_PATH descriptor: the open file's own when
    // `file` is open (its path may be ""), else the item at `path`.
    platform::UniqueFd itemDescriptor(const std::string& path, const QVFile::Ptr& file,
                                      platform::Error* error) const;
    // The target a link at `at` reads as on the volume.
    std::optional<std::string> linkTarget(const Location& at, platform::Error* error) const;
    // Walks the directory (the descriptor is taken over) and those below it.
    static void removeLeftoversOfRemovedFiles(int dirFd);
    // True when `file` was opened for writing; else closes it and fails with
    // the reason (EROFS, EACCES, EPERM).
    bool keepOnlyIfWritable(QVFileSystem& fs, const QVFile::Ptr& file,
                            platform::Error* error) const;
    // The read-only refusal: tells the mount controller, EROFS.
    bool refuseReadonly(platform::Error* error);
    // writeFile of plain bytes, or of bytes prepareWrite encrypted.
    int64_t storeWrite(const std::string& path, const platform::FileUserData& userData,
                       const char* buffer, size_t size, off_t offset, bool encrypted,
                       platform::Error* error);
    // Where every change to the tree starts: on a read-only volume the
    // refusal above, logged with the call's name and paths, and true.
    bool refusedAsReadonly(const char* call, const std::string& path, platform::Error* error,
                           const std::string& to = {});
    void askToUpdateKnownFoldersMenu();
    // Applies what the request carries to the item (size via the handle).
    bool applyAttributes(const platform::ItemAttributes& attributes, const std::string& path,
                         const QVFile::Ptr& file, platform::Error* error);
    // A new item belongs to the user whose request made it.
    void giveToCaller(const Location& at, const std::string& path) const;
    bool isQuarantine(const std::string& name) const;
    std::optional<std::vector<platform::DirectoryEntry>> listDirectory(const std::string& path,
                                                                       bool withAttributes,
                                                                       platform::Error* error);
    // True the first time `item` is named on this mount.
    bool markQuarantineCleared(const std::string& item);

    const std::string rootPath_;
    platform::UniqueFd rootFd_;
    std::string mountPath_;
    mutable std::mutex propertiesMutex_;
    std::shared_ptr<QVFileSystem> fileSystem_;
    std::shared_ptr<QVKnownFoldersMenu> appdelegate_;
    std::weak_ptr<QVFuseLoopbackFSDelegate> delegate_;
    std::atomic<bool> isReadonly_{false};
    // Real paths of ".DS_Store" files removed, and volume paths cleared of the
    // quarantine mark, on this mount.
    std::mutex onceMutex_;
    std::set<std::string> deletedDSStorePaths_;
    std::set<std::string> clearedQuarantineFlagPath_;
    // Last: its thread, which reaches the folder through this object, ends first.
    std::unique_ptr<QVReadAhead> readAhead_;
};

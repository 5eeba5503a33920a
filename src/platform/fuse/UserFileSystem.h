#pragma once
// A user-space volume served by a path-based delegate. Callers never see a
// libfuse type: the delegate answers with stat/statvfs records, byte vectors
// and platform::Error values of the POSIX domain, and the layer turns every
// failure into -errno for the kernel.
//
// The kernel caches entries, attributes and absent names for a second (see
// kCacheSeconds) and keeps a file's pages across opens while its size and
// modification time stay; every name of one raw item (st_dev, st_ino) is
// one node, with the raw st_ino.
//
// Each mount serves requests on several threads of libfuse's loop at once:
// the delegate is called concurrently, also for one open file (per-file order
// is the delegate's own locking).

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Error.h"

namespace platform {

// The attributes a set-attributes request carries; only the present ones are
// to be applied. chmod, chown, truncate and utimens each arrive as one of them.
struct ItemAttributes {
    std::optional<uint64_t> size;
    std::optional<uint32_t> flags;  // BSD file flags; none arrive on Linux
    std::optional<mode_t> permissions;
    std::optional<uid_t> owner;
    std::optional<gid_t> group;
    std::optional<timespec> accessDate;
    std::optional<timespec> modificationDate;

    bool empty() const {
        return !size && !flags && !permissions && !owner && !group && !accessDate &&
               !modificationDate;
    }
};

// What an open or create hands back and read, write and release get again.
using FileUserData = std::shared_ptr<void>;

// Who made the request being served.
struct RequestCaller {
    uid_t uid;
    gid_t gid;
    pid_t pid;
};
// The caller of the request that the calling thread is serving; nullopt
// outside a callback of a volume.
std::optional<RequestCaller> currentRequestCaller();

// One item of a directory listing; `attributes` as attributesOfItem gives
// them, when they were at hand.
struct DirectoryEntry {
    std::string name;
    std::optional<struct stat> attributes;
};

// Whether a file system is mounted at `path`, as /proc/self/mountinfo lists
// it (its escaped names read back); the mount itself is never asked.
bool isMountPoint(const std::string& path);

// The name libfuse's path-based servers (ours before) kept a file under
// that was removed while open: ".fuse_hidden" and sixteen hex digits. Never
// listed on a volume; one in a folder was left by a server that ended
// before the file's last close.
bool isRemovedWhileOpenName(std::string_view name);

// Every callback has a default body that fails with ENOSYS, so a delegate
// implements only what it serves. A failing call returns false / nullopt /
// -1 and, where it can, fills `error` (POSIX domain, errno code); a failure
// without an error value, or an exception, reaches the kernel as EIO.
//
// Paths are volume paths ("/" is the root). A request that comes through an
// open file whose last name is gone (removed while open) has the empty path
// "" and always its `userData`: it is to be served from the open file.
class UserFileSystemDelegate {
  public:
    virtual ~UserFileSystemDelegate() = default;

    virtual bool moveItem(const std::string& source, const std::string& destination, Error* error);
    virtual bool removeDirectory(const std::string& path, Error* error);
    virtual bool removeItem(const std::string& path, Error* error);
    virtual bool createDirectory(const std::string& path, const ItemAttributes& attributes,
                                 Error* error);
    virtual bool createFile(const std::string& path, const ItemAttributes& attributes,
                            FileUserData* userData, Error* error);
    // A FIFO, a socket or a device node; `mode` holds the kind (S_IFIFO...)
    // and the permissions, `device` the device number of a device node.
    // Regular files come through createFile.
    virtual bool createSpecialItem(const std::string& path, mode_t mode, dev_t device,
                                   Error* error);
    // A hard link: `path` is the new link, `otherPath` the existing item.
    virtual bool linkItem(const std::string& path, const std::string& otherPath, Error* error);
    virtual bool createSymbolicLink(const std::string& path, const std::string& destination,
                                    Error* error);
    virtual std::optional<std::string> destinationOfSymbolicLink(const std::string& path,
                                                                 Error* error);
    // `mode` is the open(2) flags.
    virtual bool openFile(const std::string& path, int mode, FileUserData* userData, Error* error);
    virtual void releaseFile(const std::string& path, FileUserData userData);
    // Bytes read (0 at the end) or -1.
    virtual int64_t readFile(const std::string& path, const FileUserData& userData, char* buffer,
                             size_t size, off_t offset, Error* error);
    // Bytes written or -1.
    virtual int64_t writeFile(const std::string& path, const FileUserData& userData,
                              const char* buffer, size_t size, off_t offset, Error* error);
    // Large writes of a file opened for writing only are answered before
    // they are applied, from a copy of their bytes. prepareWrite may make
    // that copy itself (`size` bytes into `prepared`), in a form of its own,
    // and return true; the copy is then applied with writePreparedFile
    // instead of writeFile. It runs on the request's thread beside the
    // file's earlier writes still being applied, so it must not depend on
    // what the file holds. The default prepares nothing.
    virtual bool prepareWrite(const std::string& path, const FileUserData& userData,
                              const char* buffer, char* prepared, size_t size, off_t offset);
    virtual int64_t writePreparedFile(const std::string& path, const FileUserData& userData,
                                      const char* prepared, size_t size, off_t offset,
                                      Error* error);
    virtual bool exchangeData(const std::string& path1, const std::string& path2, Error* error);
    virtual std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path,
                                                                        Error* error);
    // The listing with each item's attributes. The default asks
    // contentsOfDirectory, then attributesOfItem for each name.
    virtual std::optional<std::vector<DirectoryEntry>> entriesOfDirectory(const std::string& path,
                                                                          Error* error);
    // `userData` is set when the request came through an open file.
    virtual std::optional<struct stat> attributesOfItem(const std::string& path,
                                                        const FileUserData& userData, Error* error);
    virtual std::optional<struct statvfs> attributesOfFileSystem(const std::string& path,
                                                                 Error* error);
    virtual bool setAttributes(const ItemAttributes& attributes, const std::string& path,
                               const FileUserData& userData, Error* error);
    virtual std::optional<std::vector<std::string>> extendedAttributes(const std::string& path,
                                                                       Error* error);
    virtual std::optional<std::vector<uint8_t>> valueOfExtendedAttribute(const std::string& name,
                                                                         const std::string& path,
                                                                         off_t position,
                                                                         Error* error);
    // `options` are the setxattr(2) flags.
    virtual bool setExtendedAttribute(const std::string& name, const std::string& path,
                                      const std::vector<uint8_t>& value, off_t position,
                                      int options, Error* error);
    virtual bool removeExtendedAttribute(const std::string& name, const std::string& path,
                                         Error* error);

    // Called on the volume's thread once the volume is mounted, before it
    // serves any request. The default does nothing.
    virtual void willMount();
    // Asked once when the volume mounts: true mounts it read-only ("ro"), so
    // that opens for writing fail at open with EROFS and statvfs reports
    // ST_RDONLY. The default is false.
    virtual bool isReadOnlyVolume() const;

    // close(2) of a file opened for writing, and fsync(2); buffered data must
    // reach the folder before they succeed. A file opened read-only is never
    // flushed. The defaults have nothing to flush.
    virtual bool flushFile(const std::string& path, const FileUserData& userData, Error* error);
    virtual bool synchronizeFile(const std::string& path, const FileUserData& userData,
                                 bool dataOnly, Error* error);
};

struct UserFileSystemEvent {
    enum class Kind { DidMount, MountFailed, DidUnmount };
    Kind kind;
    std::string mountPath;
    Error error;  // for MountFailed
};

class UserFileSystem {
  public:
    using EventHandler = std::function<void(const UserFileSystemEvent&)>;

    explicit UserFileSystem(std::shared_ptr<UserFileSystemDelegate> delegate);
    ~UserFileSystem();  // unmounts (lazily if busy) and joins the loop thread
    UserFileSystem(const UserFileSystem&) = delete;
    UserFileSystem& operator=(const UserFileSystem&) = delete;

    // Events are delivered through the main queue (platform::mainQueue()).
    void setEventHandler(EventHandler handler);

    // Mounts at `path` (created when missing, removed again after unmount)
    // and starts serving. Options are "name=value" or "name" texts:
    // "volname=" names the volume, "volicon=" has no counterpart here and is
    // ignored, anything else goes to the FUSE mount as "-o". The outcome is
    // also posted as DidMount or MountFailed. Returns false on failure.
    bool mountAtPath(const std::string& path, const std::vector<std::string>& options,
                     Error* error = nullptr);

    // Unmounts; EBUSY while a file on the volume is in use, and the volume
    // stays mounted. DidUnmount is posted when the loop has ended.
    bool unmount(Error* error = nullptr);

    bool isMounted() const;
    const std::string& mountPath() const;
    const std::shared_ptr<UserFileSystemDelegate>& delegate() const;

    // Blocks until the serving thread has ended (after unmount or when the
    // volume was unmounted from outside).
    void waitUntilUnmounted();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform

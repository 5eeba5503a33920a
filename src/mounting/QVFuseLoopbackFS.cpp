#include "mounting/QVFuseLoopbackFS.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "FileSystem/QVFileSystem.h"
#include "FileSystem/QVMountedVolumes.h"
#include "Logging/LGLogMacros.h"
#include "folder/FolderPaths.h"
#include "folder/SectorIO.h"
#include "platform/core/Dispatch.h"
#include "platform/core/PathPieces.h"

using platform::descriptorPath;
using platform::Error;
using platform::FileUserData;
using platform::ItemAttributes;
using platform::posixOrEIO;
using platform::setError;
using platform::UniqueFd;

namespace {

const char* c(const std::string& s) {
    return s.c_str();
}

// The failure of the last system call, stored and returned for logging.
std::string failWithErrno(Error* error) {
    Error e = Error::fromErrno();
    std::string text = e.description;
    setError(error, std::move(e));
    return text;
}

QVFile::Ptr fileOf(const FileUserData& data) {
    return std::static_pointer_cast<QVFile>(data);
}

std::string sourceFileName() {
    return std::string(platform::lastComponent(__FILE__));
}

// Volume path of `name` inside the volume directory `dir`.
std::string childPath(const std::string& dir, const std::string& name) {
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The item `name` of `dir` itself, never what a link there points to.
UniqueFd openItem(int dir, const std::string& name) {
    return UniqueFd(openat(dir, c(name), O_PATH | O_NOFOLLOW | O_CLOEXEC));
}

// The directory `name` of `dir`, open for listing; a link there is not one.
int openDirectory(int dir, const std::string& name) {
    return openat(dir, c(name), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace

QVFuseLoopbackFS::QVFuseLoopbackFS(std::shared_ptr<QVFileSystem> fileSystem,
                                   std::shared_ptr<QVKnownFoldersMenu> appDelegate)
    : rootPath_(fileSystem ? fileSystem->volumePath().value_or("") : ""),
      fileSystem_(std::move(fileSystem)),
      appdelegate_(std::move(appDelegate)) {
    if (!fileSystem_ || !fileSystem_->isMounted())
        LGLogError("%s > init error > file system not mounted", sourceFileName().c_str());
    if (!rootPath_.empty()) rootFd_.reset(open(c(rootPath_), O_PATH | O_DIRECTORY | O_CLOEXEC));
    readAhead_ = std::make_unique<QVReadAhead>([this](const std::string& dirPath) {
        Location at;
        Error ignored;
        if (!locate(dirPath, &at, &ignored)) return UniqueFd();
        return UniqueFd(openDirectory(at.dir.get(), at.name));
    });
    // A folder on a read-only file system (a read-only share or bind mount, a
    // disc) makes a read-only volume, which says so instead of failing late.
    struct statvfs vfs;
    if (rootFd_.ok() && fstatvfs(rootFd_.get(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY)) {
        LGLogInfo("FUSE > %s is on a read-only file system: the volume is read-only", c(rootPath_));
        isReadonly_.store(true);
    }
}

QVFuseLoopbackFS::~QVFuseLoopbackFS() {
    QVMountedVolumes::remove(this);
}

void QVFuseLoopbackFS::setMountPath(std::string p) {
    mountPath_ = std::move(p);
    if (mountPath_.empty() || rootPath_.empty())
        QVMountedVolumes::remove(this);
    else
        QVMountedVolumes::add(this, rootPath_, mountPath_);
}

std::shared_ptr<QVFileSystem> QVFuseLoopbackFS::fileSystem() const {
    std::lock_guard lock(propertiesMutex_);
    return fileSystem_;
}
void QVFuseLoopbackFS::setFileSystem(std::shared_ptr<QVFileSystem> fs) {
    std::lock_guard lock(propertiesMutex_);
    fileSystem_ = std::move(fs);
}
std::shared_ptr<QVKnownFoldersMenu> QVFuseLoopbackFS::appdelegate() const {
    std::lock_guard lock(propertiesMutex_);
    return appdelegate_;
}
void QVFuseLoopbackFS::setAppdelegate(std::shared_ptr<QVKnownFoldersMenu> d) {
    std::lock_guard lock(propertiesMutex_);
    appdelegate_ = std::move(d);
}
std::weak_ptr<QVFuseLoopbackFSDelegate> QVFuseLoopbackFS::delegate() const {
    std::lock_guard lock(propertiesMutex_);
    return delegate_;
}
void QVFuseLoopbackFS::setDelegate(std::weak_ptr<QVFuseLoopbackFSDelegate> d) {
    std::lock_guard lock(propertiesMutex_);
    delegate_ = std::move(d);
}

bool QVFuseLoopbackFS::isReadOnlyVolume() const {
    return isReadonly();
}

void QVFuseLoopbackFS::willMount() {
    if (!isReadonly() && rootFd_.ok())
        removeLeftoversOfRemovedFiles(
            openat(rootFd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

void QVFuseLoopbackFS::removeLeftoversOfRemovedFiles(int dirFd) {
    // A file removed while open keeps a hidden name until its last close; a
    // server that never got there (killed, crashed, power lost) left it
    // behind. Nothing is served yet, so every one found is such a leftover.
    // Links are never followed, so nothing outside the folder is reached.
    DIR* dir = dirFd < 0 ? nullptr : fdopendir(dirFd);
    if (!dir) {
        if (dirFd >= 0) close(dirFd);
        return;
    }
    std::vector<std::string> subdirectories;
    while (dirent* ent = readdir(dir)) {
        if (!std::strcmp(ent->d_name, ".") || !std::strcmp(ent->d_name, "..")) continue;
        unsigned char type = ent->d_type;
        struct stat st;
        if (type == DT_UNKNOWN && fstatat(dirfd(dir), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        if (type == DT_DIR) {
            subdirectories.emplace_back(ent->d_name);
        } else if (type == DT_REG && platform::isRemovedWhileOpenName(ent->d_name)) {
            if (unlinkat(dirfd(dir), ent->d_name, 0) != 0)
                LGLogError("FUSE > removing the leftover %s error: %s", ent->d_name,
                           std::strerror(errno));
        }
    }
    for (const auto& name : subdirectories)
        removeLeftoversOfRemovedFiles(openDirectory(dirfd(dir), name));
    closedir(dir);
}

void QVFuseLoopbackFS::volumeDidUnmount() {
    QVMountedVolumes::remove(this);
    if (auto fs = fileSystem()) fs->unmount();
}

bool QVFuseLoopbackFS::locate(const std::string& path, Location* at, Error* error) const {
    // "" names an item that has lost its last name: only its open file reaches it.
    if (path.empty()) {
        setError(error, Error::posix(EBADF));
        return false;
    }
    auto rel = FolderPaths::relative(path);
    if (!rel || !rootFd_.ok()) {
        setError(error, Error::posix(ENOENT));
        return false;
    }
    if (rel->empty()) {
        at->dir.reset(fcntl(rootFd_.get(), F_DUPFD_CLOEXEC, 0));
        at->name = ".";
    } else {
        at->dir.reset(FolderPaths::openParentBeneath(rootFd_.get(), *rel, &at->name));
    }
    if (!at->dir.ok()) {
        failWithErrno(error);
        return false;
    }
    at->rel = std::move(*rel);
    return true;
}

UniqueFd QVFuseLoopbackFS::itemDescriptor(const std::string& path, const QVFile::Ptr& file,
                                          Error* error) const {
    if (file && file->isOpen()) {
        auto fs = fileSystem();
        Error e = Error::posix(EBADF);
        UniqueFd fd(fs ? fs->pathDescriptorOfFile(file, &e) : -1);
        if (!fd.ok()) setError(error, posixOrEIO(e));
        return fd;
    }
    Location at;
    if (!locate(path, &at, error)) return UniqueFd();
    UniqueFd fd = openItem(at.dir.get(), at.name);
    if (!fd.ok()) failWithErrno(error);
    return fd;
}

bool QVFuseLoopbackFS::refusedAsReadonly(const char* call, const std::string& path, Error* error,
                                         const std::string& to) {
    if (!isReadonly()) return false;
    refuseReadonly(error);
    if (to.empty())
        LGLogError("FUSE > %s %s readonly error: %s", call, c(path), std::strerror(EROFS));
    else
        LGLogError("FUSE > %s %s to %s readonly error: %s", call, c(path), c(to),
                   std::strerror(EROFS));
    return true;
}

bool QVFuseLoopbackFS::refuseReadonly(Error* error) {
    if (auto d = delegate().lock()) {
        platform::mainQueue()->async([d, self = weak_from_this()] {
            if (auto loopback = self.lock())
                d->loopbackTriedToWriteToReadonlyVolume(loopback.get());
        });
    }
    setError(error, Error::posix(EROFS));
    return false;
}

void QVFuseLoopbackFS::askToUpdateKnownFoldersMenu() {
    // Never on the volume's thread: the menu lives on the main thread, which
    // may itself be waiting for this volume.
    if (auto d = appdelegate()) platform::mainQueue()->async([d] { d->updateKnownFoldersMenu(); });
}

bool QVFuseLoopbackFS::isQuarantine(const std::string& name) const {
    return name == kQuarantineName || name == kQuarantineUserName;
}

void QVFuseLoopbackFS::giveToCaller(const Location& at, const std::string& path) const {
    // Only a server running as root serves other users and may give items away.
    auto caller = platform::currentRequestCaller();
    if (!caller || geteuid() != 0 || (caller->uid == geteuid() && caller->gid == getegid())) return;
    // Only what this server just made: a file that someone else created
    // meanwhile under the same name stays theirs.
    struct stat item;
    if (fstatat(at.dir.get(), c(at.name), &item, AT_SYMLINK_NOFOLLOW) != 0 ||
        item.st_uid != geteuid())
        return;
    // A set-group-ID directory hands its own group on, as on a local disk.
    struct stat dir;
    gid_t group = caller->gid;
    if (fstat(at.dir.get(), &dir) == 0 && (dir.st_mode & S_ISGID)) group = static_cast<gid_t>(-1);
    if (fchownat(at.dir.get(), c(at.name), caller->uid, group, AT_SYMLINK_NOFOLLOW) != 0)
        LGLogError("FUSE > giveToCaller %s error: %s", c(path), std::strerror(errno));
}

// ---- tree ------------------------------------------------------------------

bool QVFuseLoopbackFS::moveItem(const std::string& source, const std::string& destination,
                                Error* error) {
    if (refusedAsReadonly("moveItemAtPath", source, error, destination)) return false;
    Location from, to;
    if (!locate(source, &from, error) || !locate(destination, &to, error)) return false;
    if (renameat(from.dir.get(), c(from.name), to.dir.get(), c(to.name)) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > moveItemAtPath %s to %s error: %s", c(source), c(destination), c(why));
        return false;
    }
    return true;
}

bool QVFuseLoopbackFS::removeDirectory(const std::string& path, Error* error) {
    if (refusedAsReadonly("removeDirAtPath", path, error)) return false;
    Location at;
    if (!locate(path, &at, error)) return false;
    if (unlinkat(at.dir.get(), c(at.name), AT_REMOVEDIR) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > removeDirAtPath %s error: %s", c(path), c(why));
        return false;
    }
    askToUpdateKnownFoldersMenu();
    return true;
}

bool QVFuseLoopbackFS::removeItem(const std::string& path, Error* error) {
    if (refusedAsReadonly("removeItemAtPath", path, error)) return false;
    Location at;
    if (!locate(path, &at, error)) return false;
    // A directory goes with everything in it, as the handle removes one.
    bool ok = unlinkat(at.dir.get(), c(at.name), 0) == 0;
    if (!ok && errno == EISDIR) {
        auto fs = fileSystem();
        Error e = Error::posix(EIO);
        ok = fs && fs->removeItemAtPath(path, &e);
        if (!ok) errno = static_cast<int>(posixOrEIO(e).code);
    }
    if (!ok) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > removeItemAtPath %s error: %s", c(path), c(why));
    }
    askToUpdateKnownFoldersMenu();
    return ok;
}

bool QVFuseLoopbackFS::createDirectory(const std::string& path, const ItemAttributes& attributes,
                                       Error* error) {
    if (refusedAsReadonly("createDirAtPath", path, error)) return false;
    Location at;
    if (!locate(path, &at, error)) return false;
    auto fs = fileSystem();
    Error e;
    QVFile::Ptr dir = fs ? fs->createDirectoryAtPath(path, &e) : nullptr;
    if (!dir) {
        LGLogError("FUSE > createDirAtPath %s could not create error", c(path));
        setError(error, posixOrEIO(e));
        return false;
    }
    giveToCaller(at, path);
    ItemAttributes a = attributes;
    // A mode the request did not give gets the folder's default. A
    // set-group-ID directory passes that bit on, as on a local disk.
    if (!a.permissions) a.permissions = 0744;
    struct stat parent;
    if (fstat(at.dir.get(), &parent) == 0 && (parent.st_mode & S_ISGID)) *a.permissions |= S_ISGID;
    if (!applyAttributes(a, path, nullptr, &e)) {
        LGLogError("FUSE > createDirAtPath %s could not set atts error: %s", c(path),
                   c(e.description));
        setError(error, e);
        return false;
    }
    return true;
}

bool QVFuseLoopbackFS::createFile(const std::string& path, const ItemAttributes& attributes,
                                  FileUserData* userData, Error* error) {
    if (refusedAsReadonly("createFileAtPath", path, error)) return false;
    Location at;
    if (!locate(path, &at, error)) return false;
    auto fs = fileSystem();
    Error e;
    QVFile::Ptr file = fs ? fs->openFileAtPath(path, false, true, &e) : nullptr;
    if (!file) {
        LGLogError("FUSE > createFileAtPath %s could not open error", c(path));
        setError(error, posixOrEIO(e));
        return false;
    }
    // Only reachable for reading (made meanwhile by someone else): refused.
    if (!keepOnlyIfWritable(*fs, file, error)) return false;
    *userData = file;
    giveToCaller(at, path);
    ItemAttributes a = attributes;
    if (!a.permissions) a.permissions = 0744;
    if (!applyAttributes(a, path, file, &e)) {
        LGLogError("FUSE > createFileAtPath %s could not set atts error: %s", c(path),
                   c(e.description));
        setError(error, e);
        return false;
    }
    return true;
}

bool QVFuseLoopbackFS::createSpecialItem(const std::string& path, mode_t mode, dev_t device,
                                         Error* error) {
    if (refusedAsReadonly("createNodeAtPath", path, error)) return false;
    const mode_t kind = mode & S_IFMT;
    if (kind != S_IFIFO && kind != S_IFSOCK && kind != S_IFCHR && kind != S_IFBLK &&
        kind != S_IFREG) {
        setError(error, Error::posix(EINVAL));
        return false;
    }
    Location at;
    if (!locate(path, &at, error)) return false;
    // Device nodes need root, and the kernel says so; the volume is mounted
    // nodev, so one made here never opens a device through the volume.
    if (mknodat(at.dir.get(), c(at.name), kind | (mode & 07777), device) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > createNodeAtPath %s error: %s", c(path), c(why));
        return false;
    }
    giveToCaller(at, path);
    // The permissions asked for, not what the server's umask left of them.
    ItemAttributes a;
    a.permissions = mode & 07777;
    Error e;
    if (!applyAttributes(a, path, nullptr, &e)) {
        LGLogError("FUSE > createNodeAtPath %s could not set atts error: %s", c(path),
                   c(e.description));
        setError(error, e);
        return false;
    }
    return true;
}

bool QVFuseLoopbackFS::linkItem(const std::string& path, const std::string& otherPath,
                                Error* error) {
    if (refusedAsReadonly("linkItemAtPath", path, error)) return false;
    // A real hard link: a second name of the same encrypted file, whose
    // sectors decrypt the same under either name. An existing name is
    // EEXIST, so nothing is ever replaced.
    Location link, item;
    if (!locate(path, &link, error) || !locate(otherPath, &item, error)) return false;
    if (linkat(item.dir.get(), c(item.name), link.dir.get(), c(link.name), 0) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > linkItemAtPath %s to %s error: %s", c(path), c(otherPath), c(why));
        return false;
    }
    return true;
}

bool QVFuseLoopbackFS::createSymbolicLink(const std::string& path, const std::string& destination,
                                          Error* error) {
    if (refusedAsReadonly("createSymLinkAtPath", path, error)) return false;
    Location at;
    if (!locate(path, &at, error)) return false;
    // An absolute target is kept inside the folder, so a link made on the
    // volume never leads out of it; a target given as a path on the volume
    // names the same item in the folder. Relative targets stay as they are.
    std::string target = destination;
    if (!destination.empty() && destination[0] == '/') {
        std::string inside = destination;
        if (!mountPath_.empty() &&
            (destination == mountPath_ ||
             destination.compare(0, mountPath_.size() + 1, mountPath_ + "/") == 0))
            inside = destination.substr(mountPath_.size());
        target = rootPath_ + inside;
    }
    if (symlinkat(c(target), at.dir.get(), c(at.name)) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > createSymLinkAtPath %s error: %s", c(path), c(why));
        return false;
    }
    giveToCaller(at, path);
    return true;
}

std::optional<std::string> QVFuseLoopbackFS::destinationOfSymbolicLink(const std::string& path,
                                                                       Error* error) {
    Location at;
    if (!locate(path, &at, error)) return std::nullopt;
    return linkTarget(at, error);
}

std::optional<std::string> QVFuseLoopbackFS::linkTarget(const Location& at, Error* error) const {
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = readlinkat(at.dir.get(), c(at.name), buf.data(), buf.size());
        if (n < 0) {
            failWithErrno(error);
            return std::nullopt;
        }
        if (static_cast<size_t>(n) < buf.size()) {
            std::string target(buf.data(), static_cast<size_t>(n));
            // A link into the folder reads as a link into the volume: the
            // folder's real path would lead to ciphertext.
            if (!mountPath_.empty() &&
                (target == rootPath_ ||
                 target.compare(0, rootPath_.size() + 1, rootPath_ + "/") == 0))
                return mountPath_ + target.substr(rootPath_.size());
            return target;
        }
        buf.resize(buf.size() * 2);
    }
}

bool QVFuseLoopbackFS::exchangeData(const std::string& path1, const std::string& path2,
                                    Error* error) {
    if (refusedAsReadonly("exchangeDataFrom", path1, error, path2)) return false;
    Location a, b;
    if (!locate(path1, &a, error) || !locate(path2, &b, error)) return false;
    if (renameat2(a.dir.get(), c(a.name), b.dir.get(), c(b.name), RENAME_EXCHANGE) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > exchangeDataFrom %s to %s error: %s", c(path1), c(path2), c(why));
        return false;
    }
    return true;
}

std::optional<std::vector<std::string>> QVFuseLoopbackFS::contentsOfDirectory(
    const std::string& path, Error* error) {
    auto entries = listDirectory(path, false, error);
    if (!entries) return std::nullopt;
    std::vector<std::string> names;
    names.reserve(entries->size());
    for (auto& entry : *entries) names.push_back(std::move(entry.name));
    return names;
}

std::optional<std::vector<platform::DirectoryEntry>> QVFuseLoopbackFS::entriesOfDirectory(
    const std::string& path, Error* error) {
    return listDirectory(path, true, error);
}

std::optional<std::vector<platform::DirectoryEntry>> QVFuseLoopbackFS::listDirectory(
    const std::string& path, bool withAttributes, Error* error) {
    Location at;
    if (!locate(path, &at, error)) return std::nullopt;
    int fd = openDirectory(at.dir.get(), at.name);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (!dir) {
        std::string why = failWithErrno(error);
        if (fd >= 0) close(fd);
        LGLogError("FUSE > contentsOfDir %s error: %s", c(path), c(why));
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (dirent* ent = readdir(dir)) {
        if (!std::strcmp(ent->d_name, ".") || !std::strcmp(ent->d_name, "..")) continue;
        // The configuration database and its journal are never part of the volume.
        if (FolderPaths::isHiddenName(ent->d_name)) continue;
        names.emplace_back(ent->d_name);
    }

    auto ds = std::find(names.begin(), names.end(), ".DS_Store");
    if (ds != names.end()) {
        std::string dsPath = FolderPaths::join(rootPath_, FolderPaths::join(at.rel, ".DS_Store"));
        bool first;
        {
            std::lock_guard lock(onceMutex_);
            first = deletedDSStorePaths_.insert(dsPath).second;
        }
        if (first) {
            names.erase(ds);
            unlinkat(dirfd(dir), ".DS_Store", 0);
        }
    }
    std::vector<platform::DirectoryEntry> entries;
    entries.reserve(names.size());
    for (auto& name : names) {
        std::string item = childPath(path, name);
        if (markQuarantineCleared(item)) {
            UniqueFd itemFd = openItem(dirfd(dir), name);
            if (itemFd.ok() &&
                removexattr(c(descriptorPath(itemFd.get())), kQuarantineUserName) != 0 &&
                errno != ENODATA && errno != ENOTSUP && errno != EPERM)
                LGLogError("FUSE > removeExtendedAtt %s atPath %s error: %s", kQuarantineName,
                           c(item), std::strerror(errno));
        }
        std::optional<struct stat> st;
        if (withAttributes) {
            struct stat s;
            if (fstatat(dirfd(dir), c(name), &s, AT_SYMLINK_NOFOLLOW) == 0) st = s;
            // A link's attributes are what attributesOfItem makes of them.
            if (st && S_ISLNK(st->st_mode)) {
                Error ignored;
                st = attributesOfItem(item, nullptr, &ignored);
            }
        }
        entries.push_back({std::move(name), st});
    }
    closedir(dir);
    readAhead_->listed(path, entries);
    return entries;
}

bool QVFuseLoopbackFS::markQuarantineCleared(const std::string& item) {
    std::lock_guard lock(onceMutex_);
    return clearedQuarantineFlagPath_.insert(item).second;
}

std::optional<struct stat> QVFuseLoopbackFS::attributesOfItem(const std::string& path,
                                                              const FileUserData& userData,
                                                              Error* error) {
    struct stat st;
    // Through an open file its own attributes, also once it has no name.
    if (QVFile::Ptr file = fileOf(userData); file && file->isOpen()) {
        UniqueFd fd = itemDescriptor(path, file, error);
        if (!fd.ok()) return std::nullopt;
        if (fstat(fd.get(), &st) != 0) {
            failWithErrno(error);
            return std::nullopt;
        }
        return st;
    }
    Location at;
    if (!locate(path, &at, error)) return std::nullopt;
    if (fstatat(at.dir.get(), c(at.name), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        failWithErrno(error);
        return std::nullopt;
    }
    // A link's size is the length of what readlink gives, which differs from
    // the stored target for a link into the folder.
    if (S_ISLNK(st.st_mode) && !mountPath_.empty()) {
        if (auto target = linkTarget(at, nullptr)) st.st_size = static_cast<off_t>(target->size());
    }
    return st;
}

std::optional<struct statvfs> QVFuseLoopbackFS::attributesOfFileSystem(const std::string& path,
                                                                       Error* error) {
    struct statvfs st;
    if (!rootFd_.ok()) errno = ENOENT;
    if (!rootFd_.ok() || fstatvfs(rootFd_.get(), &st) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > attsOfFileSystemForPath %s error: %s", c(path), c(why));
        return std::nullopt;
    }
    return st;
}

bool QVFuseLoopbackFS::applyAttributes(const ItemAttributes& a, const std::string& path,
                                       const QVFile::Ptr& file, Error* error) {
    if (a.size) {
        // Through the handle: the new last sector is encrypted again and a
        // grown file reads as zeros, never as garbage.
        auto fs = fileSystem();
        Error e;
        bool ok = fs && (file && file->isOpen() ? fs->truncateFile(file, *a.size, &e)
                                                : fs->truncateItemAtPath(path, *a.size, &e));
        if (!ok) {
            e = posixOrEIO(e);
            LGLogError("FUSE > setAttsOfItemAtPath %s could not truncate error: %s", c(path),
                       c(e.description));
            setError(error, e);
            return false;
        }
    }
    if (a.flags) {
        // No BSD file flags here.
        Error e = Error::posix(ENOTSUP);
        LGLogError("FUSE > setAttsOfItemAtPath %s could note chflags error: %s", c(path),
                   c(e.description));
        setError(error, e);
        return false;
    }
    if (!a.permissions && !a.owner && !a.group && !a.accessDate && !a.modificationDate) return true;
    // Everything else on the item itself, held once: a name swapped meanwhile
    // changes nothing, and a link is never followed.
    UniqueFd item = itemDescriptor(path, file, error);
    if (!item.ok()) return false;
    struct stat st;
    bool ok = fstat(item.get(), &st) == 0;
    if (ok && a.permissions && !S_ISLNK(st.st_mode) &&
        chmod(c(descriptorPath(item.get())), *a.permissions) != 0)
        ok = false;
    if (ok && (a.owner || a.group) &&
        fchownat(item.get(), "", a.owner.value_or(static_cast<uid_t>(-1)),
                 a.group.value_or(static_cast<gid_t>(-1)), AT_EMPTY_PATH) != 0)
        ok = false;
    if (ok && (a.accessDate || a.modificationDate)) {
        timespec times[2] = {a.accessDate.value_or(timespec{0, UTIME_OMIT}),
                             a.modificationDate.value_or(timespec{0, UTIME_OMIT})};
        if (utimensat(item.get(), "", times, AT_EMPTY_PATH) != 0) ok = false;
    }
    if (!ok) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > setAttsOfItemAtPath %s error: %s", c(path), c(why));
    }
    return ok;
}

bool QVFuseLoopbackFS::setAttributes(const ItemAttributes& attributes, const std::string& path,
                                     const FileUserData& userData, Error* error) {
    if (isReadonly()) return refuseReadonly(error);
    QVFile::Ptr file = fileOf(userData);
    // "" is an item without a name, never the root: only its open file reaches it.
    if (path.empty() && !(file && file->isOpen())) {
        setError(error, Error::posix(EBADF));
        return false;
    }
    return applyAttributes(attributes, path, file, error);
}

// ---- contents ----------------------------------------------------------------

bool QVFuseLoopbackFS::openFile(const std::string& path, int mode, FileUserData* userData,
                                Error* error) {
    if (!FolderPaths::relative(path)) {
        setError(error, Error::posix(ENOENT));
        return false;
    }
    auto fs = fileSystem();
    if (!fs) {
        setError(error, Error::posix(EIO));
        return false;
    }
    // An open for writing is refused at open, as on a local disk, never
    // turned into a read-only one whose writes then fail.
    const bool forWriting = (mode & O_ACCMODE) != O_RDONLY;
    if (forWriting && isReadonly()) return refuseReadonly(error);
    Error e;
    // Opened for reading only when that is all that was asked: a file the
    // user may only read opens, and a write open costs the folder's disk
    // more at open and at close.
    QVFile::Ptr file = fs->openFileAtPath(path, isReadonly() || !forWriting, false, &e);
    // A file gone behind the volume's back since the kernel looked stays gone
    // (the kernel never passes O_CREAT on to an open of a name it knows).
    if (!file) {
        setError(error, posixOrEIO(e));
        return false;
    }
    if (forWriting && !keepOnlyIfWritable(*fs, file, error)) return false;
    *userData = file;
    if (!forWriting) readAhead_->opened(path);
    return true;
}

bool QVFuseLoopbackFS::keepOnlyIfWritable(QVFileSystem& fs, const QVFile::Ptr& file,
                                          Error* error) const {
    int refusal = fs.writeRefusalOfFile(file);
    if (refusal == 0) return true;
    fs.closeFile(file);
    setError(error, Error::posix(refusal));
    return false;
}

void QVFuseLoopbackFS::releaseFile(const std::string&, FileUserData userData) {
    if (auto fs = fileSystem(); fs && userData) fs->closeFile(fileOf(userData));
}

int64_t QVFuseLoopbackFS::readFile(const std::string& path, const FileUserData& userData,
                                   char* buffer, size_t size, off_t offset, Error* error) {
    auto fs = fileSystem();
    QVFile::Ptr file = fileOf(userData);
    if (!fs || !file) {
        setError(error, Error::posix(EBADF));
        return -1;
    }
    if (!file->isOpen()) {
        Error e;
        if (!fs->openFile(file, false, !fs->fileExistsAtPath(file->filePath()), &e))
            LGLogError("FUSE > readFile %s could not open: %s", c(path), c(e.description));
    }
    size_t got = 0;
    Error e;
    if (!fs->readFile(file, static_cast<uint64_t>(offset), buffer, size, &got, &e)) {
        LGLogError("FUSE > readFile %s error", c(path));
        // A failed read is an error, never an early end of the file.
        setError(error, posixOrEIO(e));
        return -1;
    }
    // What the file does not fill reads as zeros; a full read clears nothing.
    std::memset(buffer + got, 0, size - got);
    return static_cast<int64_t>(got);
}

int64_t QVFuseLoopbackFS::writeFile(const std::string& path, const FileUserData& userData,
                                    const char* buffer, size_t size, off_t offset, Error* error) {
    return storeWrite(path, userData, buffer, size, offset, false, error);
}

bool QVFuseLoopbackFS::prepareWrite(const std::string&, const FileUserData& userData,
                                    const char* buffer, char* prepared, size_t size, off_t offset) {
    // Whole sectors encrypt by their place alone, so they are encrypted
    // here, beside the file's earlier writes still being stored.
    auto fs = fileSystem();
    QVFile::Ptr file = fileOf(userData);
    return !isReadonly() && fs && file && offset >= 0 &&
           sector_io::coversWholeSectors(static_cast<uint64_t>(offset), size) &&
           fs->encryptForFile(file, static_cast<uint64_t>(offset), buffer, prepared, size);
}

int64_t QVFuseLoopbackFS::writePreparedFile(const std::string& path, const FileUserData& userData,
                                            const char* prepared, size_t size, off_t offset,
                                            Error* error) {
    return storeWrite(path, userData, prepared, size, offset, true, error);
}

int64_t QVFuseLoopbackFS::storeWrite(const std::string& path, const FileUserData& userData,
                                     const char* buffer, size_t size, off_t offset, bool encrypted,
                                     Error* error) {
    if (isReadonly()) {
        refuseReadonly(error);
        return -1;
    }
    auto fs = fileSystem();
    QVFile::Ptr file = fileOf(userData);
    if (!fs || !file) {
        setError(error, Error::posix(EBADF));
        return -1;
    }
    if (!file->isOpen()) {
        Error e;
        if (!fs->openFile(file, false, true, &e)) {
            LGLogError("FUSE > writeFileAtPath %s could not open", c(path));
            setError(error, posixOrEIO(e));
            return -1;
        }
    }
    Error e;
    const uint64_t at = static_cast<uint64_t>(offset);
    if (!(encrypted ? fs->writeEncryptedFile(file, at, buffer, size, &e)
                    : fs->writeFile(file, at, buffer, size, &e))) {
        setError(error, posixOrEIO(e));
        return -1;
    }
    return static_cast<int64_t>(size);
}

bool QVFuseLoopbackFS::flushFile(const std::string&, const FileUserData&, Error*) {
    // The handle writes through to the folder on every call, so a close has
    // nothing left to push; durability is fsync's job.
    return true;
}

bool QVFuseLoopbackFS::synchronizeFile(const std::string&, const FileUserData& userData,
                                       bool dataOnly, Error* error) {
    auto fs = fileSystem();
    QVFile::Ptr file = fileOf(userData);
    if (!fs || !file) return true;
    Error e;
    if (!fs->syncFile(file, dataOnly, &e)) {
        setError(error, posixOrEIO(e));
        return false;
    }
    return true;
}

// ---- extended attributes -------------------------------------------------------
// On the item's own descriptor, through its /proc path: there is no *at()
// form of these calls, and a path would follow a link swapped in meanwhile.

std::optional<std::vector<std::string>> QVFuseLoopbackFS::extendedAttributes(
    const std::string& path, Error* error) {
    if (path == "/") return std::vector<std::string>{};
    Location at;
    if (!locate(path, &at, error)) return std::nullopt;
    // Through the parent's descriptor without following the last name: as
    // safe as opening the item, one call cheaper, and most items have none,
    // so a small buffer usually answers at once.
    const std::string item = descriptorPath(at.dir.get()) + "/" + at.name;
    std::vector<char> buf(1024);
    ssize_t got;
    while ((got = llistxattr(c(item), buf.data(), buf.size())) < 0 && errno == ERANGE) {
        ssize_t size = llistxattr(c(item), nullptr, 0);
        if (size < 0) break;
        buf.resize(static_cast<size_t>(size) + 1024);  // room for one that appears meanwhile
    }
    if (got < 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > extendedAttsOfItemAtPath %s error: %s", c(path), c(why));
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (ssize_t i = 0; i < got;) {
        const char* name = buf.data() + i;
        size_t len = strnlen(name, static_cast<size_t>(got - i));
        names.emplace_back(name, len);
        i += static_cast<ssize_t>(len) + 1;
    }
    return names;
}

std::optional<std::vector<uint8_t>> QVFuseLoopbackFS::valueOfExtendedAttribute(
    const std::string& name, const std::string& path, off_t, Error* error) {
    if (path == "/") return std::vector<uint8_t>{};
    UniqueFd item = itemDescriptor(path, nullptr, error);
    if (!item.ok()) return std::nullopt;
    const std::string at = descriptorPath(item.get());
    for (;;) {
        ssize_t size = getxattr(c(at), c(name), nullptr, 0);
        if (size < 0) {
            failWithErrno(error);
            return std::nullopt;
        }
        std::vector<uint8_t> value(static_cast<size_t>(size));
        ssize_t got = size ? getxattr(c(at), c(name), value.data(), value.size()) : 0;
        if (got < 0 && errno == ERANGE) continue;  // grew between the two calls
        if (got < 0) {
            failWithErrno(error);
            return std::nullopt;
        }
        value.resize(static_cast<size_t>(got));
        return value;
    }
}

bool QVFuseLoopbackFS::setExtendedAttribute(const std::string& name, const std::string& path,
                                            const std::vector<uint8_t>& value, off_t, int options,
                                            Error* error) {
    if (isReadonly()) {
        setError(error, Error::posix(EROFS));
        return false;
    }
    if (isQuarantine(name)) return true;  // accepted and dropped
    UniqueFd item = itemDescriptor(path, nullptr, error);
    if (!item.ok()) return false;
    if (setxattr(c(descriptorPath(item.get())), c(name), value.data(), value.size(),
                 options & ~(0x08 | 0x10)) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > setExtendedAtts %s atPath %s error: %s", c(name), c(path), c(why));
        return false;
    }
    return true;
}

bool QVFuseLoopbackFS::removeExtendedAttribute(const std::string& name, const std::string& path,
                                               Error* error) {
    UniqueFd item = itemDescriptor(path, nullptr, error);
    if (!item.ok()) return false;
    if (removexattr(c(descriptorPath(item.get())), c(name)) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > removeExtendedAtt %s atPath %s error: %s", c(name), c(path), c(why));
        return false;
    }
    return true;
}

#include "mounting/QVFuseLoopbackFS.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Logging/LGLogMacros.h"
#include "folder/FolderPaths.h"
#include "platform/core/Dispatch.h"

using platform::Error;
using platform::FileUserData;
using platform::ItemAttributes;
using platform::setError;

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
    std::string f = __FILE__;
    auto slash = f.rfind('/');
    return slash == std::string::npos ? f : f.substr(slash + 1);
}

// Volume path of `name` inside the volume directory `dir`.
std::string childPath(const std::string& dir, const std::string& name) {
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

QVFuseLoopbackFS::QVFuseLoopbackFS(std::shared_ptr<QVFileSystem> fileSystem,
                                   std::shared_ptr<QVKnownFoldersMenu> appDelegate)
    : rootPath_(fileSystem ? fileSystem->volumePath().value_or("") : ""),
      fileSystem_(std::move(fileSystem)),
      appdelegate_(std::move(appDelegate)) {
    if (!fileSystem_ || !fileSystem_->isMounted())
        LGLogError("%s > init error > file system not mounted", sourceFileName().c_str());
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

void QVFuseLoopbackFS::volumeDidUnmount() {
    if (auto fs = fileSystem()) fs->unmount();
}

std::optional<std::string> QVFuseLoopbackFS::realPath(const std::string& path, Error* error) const {
    auto rel = FolderPaths::relative(path);
    if (!rel || rootPath_.empty()) {
        setError(error, Error::posix(ENOENT));
        return std::nullopt;
    }
    return rel->empty() ? rootPath_ : FolderPaths::join(rootPath_, *rel);
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

// ---- tree ------------------------------------------------------------------

bool QVFuseLoopbackFS::moveItem(const std::string& source, const std::string& destination,
                                Error* error) {
    if (isReadonly()) {
        refuseReadonly(error);
        LGLogError("FUSE > moveItemAtPath %s to %s readonly error: %s", c(source), c(destination),
                   std::strerror(EROFS));
        return false;
    }
    auto from = realPath(source, error);
    auto to = from ? realPath(destination, error) : std::nullopt;
    if (!to) return false;
    if (rename(c(*from), c(*to)) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > moveItemAtPath %s to %s error: %s", c(source), c(destination), c(why));
        return false;
    }
    return true;
}

bool QVFuseLoopbackFS::removeDirectory(const std::string& path, Error* error) {
    if (isReadonly()) {
        refuseReadonly(error);
        LGLogError("FUSE > removeDirAtPath %s readonly error: %s", c(path), std::strerror(EROFS));
        return false;
    }
    auto real = realPath(path, error);
    if (!real) return false;
    if (rmdir(c(*real)) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > removeDirAtPath %s error: %s", c(path), c(why));
        return false;
    }
    askToUpdateKnownFoldersMenu();
    return true;
}

bool QVFuseLoopbackFS::removeItem(const std::string& path, Error* error) {
    if (isReadonly()) {
        refuseReadonly(error);
        LGLogError("FUSE > removeItemAtPath %s readonly error: %s", c(path), std::strerror(EROFS));
        return false;
    }
    auto real = realPath(path, error);
    if (!real) return false;
    bool ok = true;
    struct stat st;
    if (lstat(c(*real), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::error_code ec;
        std::filesystem::remove_all(*real, ec);
        if (ec) {
            errno = ec.value();
            ok = false;
        }
    } else if (unlink(c(*real)) != 0) {
        ok = false;
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
    if (isReadonly()) {
        refuseReadonly(error);
        LGLogError("FUSE > createDirAtPath %s readonly error: %s", c(path), std::strerror(EROFS));
        return false;
    }
    auto real = realPath(path, error);
    if (!real) return false;
    auto fs = fileSystem();
    Error e;
    QVFile::Ptr dir = fs ? fs->createDirectoryAtPath(path, &e) : nullptr;
    if (!dir) {
        LGLogError("FUSE > createDirAtPath %s could not create error", c(path));
        setError(error, e.isPOSIX() ? e : Error::posix(EIO));
        return false;
    }
    if (!applyAttributes(attributes, path, *real, nullptr, &e)) {
        LGLogError("FUSE > createDirAtPath %s could not set atts error: %s", c(path),
                   c(e.description));
        setError(error, e);
        return false;
    }
    // A mode the request did not give gets the folder's default.
    if (!attributes.permissions) chmod(c(*real), 0744);
    return true;
}

bool QVFuseLoopbackFS::createFile(const std::string& path, const ItemAttributes& attributes,
                                  FileUserData* userData, Error* error) {
    if (isReadonly()) {
        refuseReadonly(error);
        LGLogError("FUSE > createFileAtPath %s readonly error: %s", c(path), std::strerror(EROFS));
        return false;
    }
    auto real = realPath(path, error);
    if (!real) return false;
    auto fs = fileSystem();
    Error e;
    QVFile::Ptr file = fs ? fs->openFileAtPath(path, false, true, &e) : nullptr;
    if (!file) {
        LGLogError("FUSE > createFileAtPath %s could not open error", c(path));
        setError(error, e.isPOSIX() ? e : Error::posix(EIO));
        return false;
    }
    *userData = file;
    if (!applyAttributes(attributes, path, *real, file, &e)) {
        LGLogError("FUSE > createFileAtPath %s could not set atts error: %s", c(path),
                   c(e.description));
        setError(error, e);
        return false;
    }
    if (!attributes.permissions) chmod(c(*real), 0744);
    return true;
}

bool QVFuseLoopbackFS::linkItem(const std::string& path, const std::string& otherPath,
                                Error* error) {
    // Served as a symbolic link to the item, as the folder format has always
    // done; the new name must be free so the item itself is never replaced.
    if (!isReadonly()) {
        auto real = realPath(path, error);
        if (!real) return false;
        struct stat st;
        if (lstat(c(*real), &st) == 0) {
            setError(error, Error::posix(EEXIST));
            return false;
        }
    }
    return createSymbolicLink(path, otherPath, error);
}

bool QVFuseLoopbackFS::createSymbolicLink(const std::string& path, const std::string& destination,
                                          Error* error) {
    if (isReadonly()) {
        refuseReadonly(error);
        LGLogError("FUSE > createSymLinkAtPath %s readonly error: %s", c(path),
                   std::strerror(EROFS));
        return false;
    }
    auto real = realPath(path, error);
    if (!real) return false;
    struct stat st;
    if (lstat(c(*real), &st) == 0) {
        setError(error, Error::posix(EEXIST));
        LGLogError("FUSE > createSymLinkAtPath %s error: %s", c(path), std::strerror(EEXIST));
        return false;
    }
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
    if (symlink(c(target), c(*real)) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > createSymLinkAtPath %s error: %s", c(path), c(why));
        return false;
    }
    return true;
}

std::optional<std::string> QVFuseLoopbackFS::destinationOfSymbolicLink(const std::string& path,
                                                                       Error* error) {
    auto real = realPath(path, error);
    if (!real) return std::nullopt;
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = readlink(c(*real), buf.data(), buf.size());
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
    if (isReadonly()) {
        refuseReadonly(error);
        LGLogError("FUSE > exchangeDataFrom %s to %s readonly error: %s", c(path1), c(path2),
                   std::strerror(EROFS));
        return false;
    }
    auto a = realPath(path1, error);
    auto b = a ? realPath(path2, error) : std::nullopt;
    if (!b) return false;
    if (renameat2(AT_FDCWD, c(*a), AT_FDCWD, c(*b), RENAME_EXCHANGE) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > exchangeDataFrom %s to %s error: %s", c(path1), c(path2), c(why));
        return false;
    }
    return true;
}

std::optional<std::vector<std::string>> QVFuseLoopbackFS::contentsOfDirectory(
    const std::string& path, Error* error) {
    auto real = realPath(path, error);
    if (!real) return std::nullopt;
    DIR* dir = opendir(c(*real));
    if (!dir) {
        std::string why = failWithErrno(error);
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
    closedir(dir);

    auto ds = std::find(names.begin(), names.end(), ".DS_Store");
    if (ds != names.end()) {
        std::string dsPath = FolderPaths::join(*real, ".DS_Store");
        if (deletedDSStorePaths_.insert(dsPath).second) {
            names.erase(ds);
            unlink(c(dsPath));
        }
    }
    for (const auto& name : names) {
        std::string item = childPath(path, name);
        if (!clearedQuarantineFlagPath_.insert(item).second) continue;
        std::string itemReal = FolderPaths::join(*real, name);
        if (lremovexattr(c(itemReal), kQuarantineUserName) != 0 && errno != ENODATA &&
            errno != ENOTSUP && errno != EPERM)
            LGLogError("FUSE > removeExtendedAtt %s atPath %s error: %s", kQuarantineName, c(item),
                       std::strerror(errno));
    }
    return names;
}

std::optional<struct stat> QVFuseLoopbackFS::attributesOfItem(const std::string& path,
                                                              const FileUserData&, Error* error) {
    auto real = realPath(path, error);
    if (!real) return std::nullopt;
    struct stat st;
    if (lstat(c(*real), &st) != 0) {
        failWithErrno(error);
        return std::nullopt;
    }
    return st;
}

std::optional<struct statvfs> QVFuseLoopbackFS::attributesOfFileSystem(const std::string& path,
                                                                       Error* error) {
    auto real = realPath(path, error);
    if (!real) return std::nullopt;
    struct statvfs st;
    if (statvfs(c(*real), &st) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > attsOfFileSystemForPath %s error: %s", c(path), c(why));
        return std::nullopt;
    }
    return st;
}

bool QVFuseLoopbackFS::applyAttributes(const ItemAttributes& a, const std::string& path,
                                       const std::string& real, const QVFile::Ptr& file,
                                       Error* error) {
    if (a.size) {
        // Through the handle: the new last sector is encrypted again and a
        // grown file reads as zeros, never as garbage.
        auto fs = fileSystem();
        Error e;
        bool ok = fs && (file && file->isOpen() ? fs->truncateFile(file, *a.size, &e)
                                                : fs->truncateItemAtPath(path, *a.size, &e));
        if (!ok) {
            if (!e.isPOSIX()) e = Error::posix(EIO);
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
    struct stat st;
    bool isLink = lstat(c(real), &st) == 0 && S_ISLNK(st.st_mode);
    bool ok = true;
    if (a.permissions && !isLink && chmod(c(real), *a.permissions) != 0) ok = false;
    if (ok && (a.owner || a.group) &&
        lchown(c(real), a.owner.value_or(static_cast<uid_t>(-1)),
               a.group.value_or(static_cast<gid_t>(-1))) != 0)
        ok = false;
    if (ok && (a.accessDate || a.modificationDate)) {
        timespec times[2] = {a.accessDate.value_or(timespec{0, UTIME_OMIT}),
                             a.modificationDate.value_or(timespec{0, UTIME_OMIT})};
        if (utimensat(AT_FDCWD, c(real), times, AT_SYMLINK_NOFOLLOW) != 0) ok = false;
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
    auto real = realPath(path, error);
    if (!real) return false;
    return applyAttributes(attributes, path, *real, fileOf(userData), error);
}

// ---- contents ----------------------------------------------------------------

bool QVFuseLoopbackFS::openFile(const std::string& path, int mode, FileUserData* userData,
                                Error* error) {
    if (!realPath(path, error)) return false;
    auto fs = fileSystem();
    if (!fs) {
        setError(error, Error::posix(EIO));
        return false;
    }
    bool exists = fs->fileExistsAtPath(path);
    Error e;
    QVFile::Ptr file = fs->openFileAtPath(path, isReadonly(), !exists, &e);
    // A file the user may only read is opened for reading when that is all
    // that was asked.
    if (!file && !isReadonly() && (mode & O_ACCMODE) == O_RDONLY && exists)
        file = fs->openFileAtPath(path, true, false, &e);
    if (!file) {
        setError(error, e.isPOSIX() ? e : Error::posix(EIO));
        return false;
    }
    *userData = file;
    return true;
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
        if (!fs->openFile(file, false, !fs->fileExistsAtPath(path), &e))
            LGLogError("FUSE > readFile %s could not open: %s", c(path), c(e.description));
    }
    std::memset(buffer, 0, size);
    size_t got = 0;
    Error e;
    if (!fs->readFile(file, static_cast<uint64_t>(offset), buffer, size, &got, &e)) {
        LGLogError("FUSE > readFile %s error", c(path));
        // A failed read is an error, never an early end of the file.
        setError(error, e.isPOSIX() && e.code ? e : Error::posix(EIO));
        return -1;
    }
    return static_cast<int64_t>(got);
}

int64_t QVFuseLoopbackFS::writeFile(const std::string& path, const FileUserData& userData,
                                    const char* buffer, size_t size, off_t offset, Error* error) {
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
            setError(error, e.isPOSIX() && e.code ? e : Error::posix(EIO));
            return -1;
        }
    }
    Error e;
    if (!fs->writeFile(file, static_cast<uint64_t>(offset), buffer, size, &e)) {
        setError(error, e.isPOSIX() && e.code ? e : Error::posix(EIO));
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
        setError(error, e.isPOSIX() && e.code ? e : Error::posix(EIO));
        return false;
    }
    return true;
}

// ---- extended attributes -------------------------------------------------------

std::optional<std::vector<std::string>> QVFuseLoopbackFS::extendedAttributes(
    const std::string& path, Error* error) {
    if (path == "/") return std::vector<std::string>{};
    auto real = realPath(path, error);
    if (!real) return std::nullopt;
    ssize_t size = llistxattr(c(*real), nullptr, 0);
    if (size < 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > extendedAttsOfItemAtPath %s 1 error: %s", c(path), c(why));
        return std::nullopt;
    }
    std::vector<char> buf(static_cast<size_t>(size));
    ssize_t got = size ? llistxattr(c(*real), buf.data(), buf.size()) : 0;
    if (got < 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > extendedAttsOfItemAtPath %s 2 error: %s", c(path), c(why));
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
    auto real = realPath(path, error);
    if (!real) return std::nullopt;
    for (;;) {
        ssize_t size = lgetxattr(c(*real), c(name), nullptr, 0);
        if (size < 0) {
            failWithErrno(error);
            return std::nullopt;
        }
        std::vector<uint8_t> value(static_cast<size_t>(size));
        ssize_t got = size ? lgetxattr(c(*real), c(name), value.data(), value.size()) : 0;
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
    auto real = realPath(path, error);
    if (!real) return false;
    if (lsetxattr(c(*real), c(name), value.data(), value.size(), options & ~(0x08 | 0x10)) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > setExtendedAtts %s atPath %s error: %s", c(name), c(path), c(why));
        return false;
    }
    return true;
}

bool QVFuseLoopbackFS::removeExtendedAttribute(const std::string& name, const std::string& path,
                                               Error* error) {
    auto real = realPath(path, error);
    if (!real) return false;
    if (lremovexattr(c(*real), c(name)) != 0) {
        std::string why = failWithErrno(error);
        LGLogError("FUSE > removeExtendedAtt %s atPath %s error: %s", c(name), c(path), c(why));
        return false;
    }
    return true;
}

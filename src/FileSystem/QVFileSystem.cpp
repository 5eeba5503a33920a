#include "FileSystem/QVFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "Crypto/TraceLog.h"
#include "Database/MoxConfigDatabase.h"
#include "Logging/LGLogMacros.h"
#include "folder/FolderPaths.h"
#include "folder/MoxEncryptedFolder.h"
#include "folder/ZelFsReader.h"
#include "platform/core/TreeBytes.h"
#include "platform/core/UniqueFd.h"

using platform::Error;

namespace {

using Clock = std::chrono::system_clock;

Clock::time_point toTime(const struct statx_timestamp& t) {
    return Clock::time_point(std::chrono::seconds(t.tv_sec)) +
           std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(t.tv_nsec));
}

// Size, dates and kind of `name` in the directory `dirFd` (symbolic links
// themselves, never what they point to). False when it does not exist.
bool fillAttributes(QVFile& f, int dirFd, const char* name) {
    struct statx sx;
    int flags = AT_SYMLINK_NOFOLLOW | (name[0] ? 0 : AT_EMPTY_PATH);
    if (statx(dirFd, name, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
    f.setIsDirectory(S_ISDIR(sx.stx_mode));
    f.setFileSize(sx.stx_size);
    f.setModificationDate(toTime(sx.stx_mtime));
    f.setCreationDate((sx.stx_mask & STATX_BTIME) ? toTime(sx.stx_btime) : toTime(sx.stx_mtime));
    f.setAccessDate(Clock::time_point(std::chrono::seconds(sx.stx_atime.tv_sec)));
    return true;
}

bool isRootPath(const std::optional<std::string>& p) {
    if (!p) return true;
    auto rel = FolderPaths::relative(*p);
    return rel && rel->empty();
}

Error posixError(int code, const std::string& what) {
    return Error::posix(code, what + ": " + std::strerror(code));
}

using Fd = platform::UniqueFd;

// Removes `name` in `dirFd` and, for a directory, everything below it; never
// follows a symbolic link.
int removeTree(int dirFd, const char* name) {
    struct stat st;
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return unlinkat(dirFd, name, 0) == 0 ? 0 : errno;
    int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        int e = errno;
        ::close(fd);
        return e;
    }
    int rc = 0;
    while (struct dirent* de = readdir(dir)) {
        if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..")) continue;
        if ((rc = removeTree(dirfd(dir), de->d_name)) != 0) break;
    }
    closedir(dir);
    if (rc != 0) return rc;
    return unlinkat(dirFd, name, AT_REMOVEDIR) == 0 ? 0 : errno;
}

// What the browser and an export count: visible names only, and a link as
// the text an export writes for it.
uint64_t treeSize(int dirFd, const std::string& name) {
    platform::TreeRules rules;
    rules.skip = [](std::string_view n) {
        return n.starts_with('.') || FolderPaths::isHiddenName(n);
    };
    rules.countLinkLengths = true;
    return static_cast<uint64_t>(platform::tallyTree(dirFd, name, rules).bytes);
}

}  // namespace

QVFileSystem::QVFileSystem() : m_reader(std::make_unique<CZelFsReader>()) {}

QVFileSystem::~QVFileSystem() = default;

// ---------------------------------------------------------------- identity

std::optional<std::string> QVFileSystem::volumePath() const {
    std::shared_lock lock(m_mutex);
    return m_volumePath;
}

bool QVFileSystem::isMounted() const {
    std::shared_lock lock(m_mutex);
    return m_isMounted;
}

std::optional<std::string> QVFileSystem::uuid() const {
    std::shared_lock lock(m_mutex);
    return m_uuid;
}

void QVFileSystem::setUuid(std::optional<std::string> uuid) {
    std::unique_lock lock(m_mutex);
    m_uuid = std::move(uuid);
}

std::optional<std::string> QVFileSystem::username() const {
    std::shared_lock lock(m_mutex);
    return m_username;
}

void QVFileSystem::setUsername(std::optional<std::string> name) {
    std::unique_lock lock(m_mutex);
    m_username = std::move(name);
}

bool QVFileSystem::mountEncryptedFolder(const std::optional<std::string>& path,
                                        const std::optional<std::string>& userName,
                                        const std::optional<std::string>& password, Error* error) {
    setUsername(userName);
    return mountEncryptedFolder(path, password, error);
}

bool QVFileSystem::mountEncryptedFolder(const std::optional<std::string>& path,
                                        const std::optional<std::string>& password, Error* error) {
    std::optional<std::string> user = username();
    auto refuse = [&](const char* what) {
        LGLogInfo("###QVFileSystem > mount > failed (%s)", what);
        platform::setError(error, Error::posix(EINVAL, std::string("mount failed: ") + what));
        return false;
    };
    if (!user) return refuse("no username given");
    if (!path) return refuse("no folder path given");
    if (!password) return refuse("no pw given");

    if (!uuid()) uuidOfUnmountedVolume(*path);

    struct stat st;
    int notDir = stat(path->c_str(), &st) != 0 ? errno : (S_ISDIR(st.st_mode) ? 0 : ENOTDIR);
    if (notDir) {
        LGLogError("FSReader MM > openEncryptedFolder > no folder a path %s", path->c_str());
        platform::setError(error, posixError(notDir, *path));
        return false;
    }

    MoxAuthentication request;
    request.type = kMoxAuthTypePassword;
    request.keyType = kMoxKeyTypePassword;
    request.SetName(user->c_str());
    request.SetPassword(password->c_str());
    uint32_t code = 0;
    std::shared_ptr<CMoxEncryptedFolder> folder(
        CMoxEncryptedFolder::Connect(path->c_str(), &request, &code));
    if (code != 0)
        LGLogError("FSReader MM > openEncryptedFolder > could not connect error %d",
                   static_cast<int>(code));
    if (!folder) {
        // The folder mounted before, if any, stays as it was.
        LGLogInfo("###QVFileSystem > mount > failed (wrong password?)");
        const char* why = code == kMoxErrLogonFailure  ? "wrong user name or password"
                          : code == kMoxErrDbNotOpened ? "the folder's configuration cannot be read"
                                                       : "the folder could not be opened";
        platform::setError(error, Error{kErrorDomain, static_cast<long>(code ? code : 1326), why});
        return false;
    }

    std::unique_lock lock(m_mutex);
    m_reader->setEncryptedFolder(folder);
    uint32_t rc = m_reader->OpenEncryptedVolume(*path, password->c_str(), false);
    if (rc != 0) {
        m_reader->CloseVolume();
        m_folder.reset();
        m_isMounted = false;
        LGLogInfo("###QVFileSystem > mount > failed (wrong password?)");
        platform::setError(
            error, Error{kErrorDomain, static_cast<long>(rc), "the folder could not be opened"});
        return false;
    }
    m_folder = std::move(folder);
    m_volumePath = *path;
    m_isMounted = true;
    return true;
}

void QVFileSystem::unmount() {
    std::unique_lock lock(m_mutex);
    m_reader->CloseVolume();
    m_folder.reset();
    m_isMounted = false;
}

std::optional<std::string> QVFileSystem::uuidOfUnmountedVolume(const std::string& folderPath) {
    auto* db = new CMoxConfigDatabase(MoxConfigDbPathIn(folderPath).c_str(), true);
    if (!db->OpenDatabase()) {
        db->CloseDatabase();
        TRACE_EXIT_ERR(0L, "GetFolderId", "Cannot open configuration database");
        LGLogWarn("QVZelFsReader > folder ID could not be read");
        return std::nullopt;
    }
    char id[64] = {};
    bool read = db->GetProperty("VolumeID", id, sizeof id, kUnknownFolderId);
    db->CloseDatabase();
    if (!read) {
        TRACE_EXIT_ERR(0L, "GetFolderId", "Cannot read configuration database");
        LGLogWarn("QVZelFsReader > folder ID could not be read");
        return std::nullopt;
    }
    std::string value = id;
    setUuid(value);
    return value;
}

std::string QVFileSystem::encryptionName() const {
    std::shared_lock lock(m_mutex);
    if (!m_folder) return "Unknown";
    switch (m_folder->GetCryptAlgo()) {
        case 1:
            return "AES 256";
        case 2:
            return "Tripple DES";
        case 512:
            return "IDEA";
        default:
            return "Unknown";
    }
}

bool QVFileSystem::isCreatedOnMac() const {
    std::shared_lock lock(m_mutex);
    return m_folder && m_folder->GetCreatedOnMacFlag();
}

void QVFileSystem::setIsCreatedOnMac(bool flag) {
    std::unique_lock lock(m_mutex);
    if (m_folder) m_folder->SetCreatedOnMacFlag(flag);
}

// ---------------------------------------------------------------- users

std::vector<QVFpUser> QVFileSystem::usersForFolderAtPath(const std::string& folderPath) {
    std::vector<QVFpUser> users;
    auto* db = new CMoxConfigDatabase(MoxConfigDbPathIn(folderPath).c_str(), true);
    if (!db->OpenDatabase()) {
        db->CloseDatabase();
        TRACE_EXIT_ERR(0L, "GetKeys", "Cannot open configuration database");
        LGLogInfo("ZelFSReader > availableUserNames > no users available > cert encrypted");
        return users;
    }
    std::vector<MoxKeyData*> records;
    // A list cut short (a statement out of time) is no list.
    bool read = db->FindKeys(kMoxKeyTypePassword, nullptr, records) &&
                db->FindKeys(kMoxKeyTypeUserPassword, nullptr, records);
    db->CloseDatabase();
    if (!read) {
        for (MoxKeyData* r : records) delete r;
        TRACE_EXIT_ERR(0L, "GetKeys", "Cannot read configuration database");
        LGLogInfo("ZelFSReader > availableUserNames > no users available > cert encrypted");
        return users;
    }
    for (MoxKeyData* r : records) {
        users.emplace_back(std::string(r->KeyId), r->UserId, r->DispName, r->Perms == 15);
        delete r;
    }
    return users;
}

std::optional<QVFpUser> QVFileSystem::authenticatedUser() {
    std::string userId;
    std::string path;
    {
        std::shared_lock lock(m_mutex);
        if (!m_isMounted || !m_folder || !m_volumePath) return std::nullopt;
        userId = m_folder->GetAuthenticatedUserId();
        path = *m_volumePath;
    }
    for (QVFpUser& u : usersForFolderAtPath(path))
        if (u.shortUserName() == userId) return u;
    return std::nullopt;
}

bool QVFileSystem::sameUserName(const std::string& a, const std::string& b) {
    MoxAuthentication x, y;
    x.SetName(a.c_str());
    y.SetName(b.c_str());
    return strcasecmp(x.name, y.name) == 0;
}

bool QVFileSystem::addUser(const QVFpUser& user, const std::string& password, Error* error) {
    std::unique_lock lock(m_mutex);
    if (!m_isMounted || !m_folder || !m_volumePath) {
        platform::setError(error, Error::posix(ENXIO, "the folder is not unlocked"));
        return false;
    }
    for (const QVFpUser& other : usersForFolderAtPath(*m_volumePath))
        if (sameUserName(other.shortUserName(), user.shortUserName())) {
            platform::setError(error, Error::posix(EEXIST, "the folder has a user of that name"));
            return false;
        }
    MoxAuthentication request;
    request.type = kMoxAuthTypePassword;
    request.keyType = kMoxKeyTypeUserPassword;
    request.SetName(user.shortUserName().c_str());
    request.userId = user.shortUserName();
    request.sid = user.shortUserName();
    request.displayName = user.longUserName();
    request.SetPassword(password.c_str());
    request.hashId = 0x2000000;
    request.cipherId = m_folder->GetCryptAlgo();
    if (!m_folder->AddUser(&request, user.isAdmin() ? 15 : 0)) {
        LGLogError("QVFileSystem > addUser > could not add user %s error %u",
                   user.shortUserName().c_str(), m_folder->GetError());
        platform::setError(error, Error{kErrorDomain, static_cast<long>(m_folder->GetError()),
                                        "the user could not be added"});
        return false;
    }
    return true;
}

bool QVFileSystem::deleteUser(const QVFpUser& user, Error* error) {
    std::unique_lock lock(m_mutex);
    if (!m_folder || !user.keyID()) {
        platform::setError(error, Error::posix(ENXIO, "no such user in an unlocked folder"));
        return false;
    }
    if (!m_folder->DeleteUser(user.keyID()->c_str())) {
        platform::setError(error, Error{kErrorDomain, static_cast<long>(m_folder->GetError()),
                                        "the user could not be deleted"});
        return false;
    }
    return true;
}

bool QVFileSystem::updateUserPermission(const QVFpUser& user, Error* error) {
    std::unique_lock lock(m_mutex);
    if (!m_folder || !user.keyID()) {
        platform::setError(error, Error::posix(ENXIO, "no such user in an unlocked folder"));
        return false;
    }
    if (!m_folder->UpdateUserPermissions(user.keyID()->c_str(), user.isAdmin() ? 15 : 0)) {
        platform::setError(error, Error{kErrorDomain, static_cast<long>(m_folder->GetError()),
                                        "the permissions could not be changed"});
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- tree

platform::SharedFd QVFileSystem::rootFd() const {
    // The folder the reader holds: no lookup of the whole path on every
    // call, and the same directory its opens use, whatever the path names now.
    if (m_isMounted && m_reader)
        if (platform::SharedFd root = m_reader->rootFd(); root.ok()) return root;
    if (!m_volumePath) {
        errno = ENXIO;
        return {};
    }
    return platform::SharedFd(::open(m_volumePath->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

QVFile::Ptr QVFileSystem::rootFile() const {
    return std::make_shared<QVFile>("", true);
}

bool QVFileSystem::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
    if (isDirectory) *isDirectory = false;
    auto rel = FolderPaths::relative(path);
    if (!rel) return false;
    if (rel->empty()) {
        if (isDirectory) *isDirectory = true;
        return true;
    }
    std::shared_lock lock(m_mutex);
    platform::SharedFd root = rootFd();
    if (!root.ok()) return false;
    Fd item(FolderPaths::openBeneath(root.get(), *rel, O_PATH));
    struct stat st;
    if (!item.ok() || fstat(item.get(), &st) != 0) return false;
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return true;
}

QVFile::Ptr QVFileSystem::fileAtPath(const std::optional<std::string>& path) const {
    std::shared_lock lock(m_mutex);
    return fileAtPathLocked(path);
}

QVFile::Ptr QVFileSystem::fileAtPathLocked(const std::optional<std::string>& path) const {
    if (!path) return rootFile();
    auto rel = FolderPaths::relative(*path);
    if (!rel) return nullptr;
    if (rel->empty()) return rootFile();
    platform::SharedFd root = rootFd();
    if (!root.ok()) return nullptr;
    std::string name;
    Fd dir(FolderPaths::openParentBeneath(root.get(), *rel, &name));
    if (!dir.ok()) return nullptr;
    auto file = std::make_shared<QVFile>(*rel, false);
    if (!fillAttributes(*file, dir.get(), name.c_str())) return nullptr;
    if (file->isDirectory()) file->setChildren({});
    return file;
}

std::optional<std::vector<QVFile::Ptr>> QVFileSystem::contentsOfDirectoryAtPath(
    const std::string& path, bool includeInvisibles) const {
    std::shared_lock lock(m_mutex);
    return contentsLocked(path, includeInvisibles);
}

std::optional<std::vector<QVFile::Ptr>> QVFileSystem::contentsLocked(const std::string& path,
                                                                     bool includeInvisibles) const {
    auto notADir = [&] {
        LGLogInfo("#QVFileSystem > contents of dir > file '%s' is not a dir or does not exist",
                  path.c_str());
        return std::nullopt;
    };
    auto rel = FolderPaths::relative(path);
    if (!rel) return notADir();
    platform::SharedFd root = rootFd();
    if (!root.ok()) return notADir();
    int fd = FolderPaths::openBeneath(root.get(), *rel, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return notADir();
    DIR* dir = fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return notADir();
    }
    std::vector<QVFile::Ptr> out;
    while (struct dirent* de = readdir(dir)) {
        std::string name = de->d_name;
        if (name == "." || name == ".." || FolderPaths::isHiddenName(name)) continue;
        if (!includeInvisibles && (name[0] == '.' || name == "Icon\r")) continue;
        auto file = std::make_shared<QVFile>(FolderPaths::join(*rel, name), false);
        if (!fillAttributes(*file, dirfd(dir), name.c_str())) continue;  // gone meanwhile
        if (file->isDirectory()) file->setChildren({});
        out.push_back(std::move(file));
    }
    closedir(dir);
    // In name order, letter case aside, as a file browser lists a directory
    // (readdir's order is the disk's hash order).
    std::sort(out.begin(), out.end(), [](const QVFile::Ptr& a, const QVFile::Ptr& b) {
        const int c = strcasecmp(a->fileName().c_str(), b->fileName().c_str());
        return c != 0 ? c < 0 : a->fileName() < b->fileName();
    });
    return out;
}

QVFile::Ptr QVFileSystem::createDirectoryAtPath(const std::optional<std::string>& path,
                                                Error* error) {
    if (isRootPath(path)) {
        LGLogError("###FileSystem > createDir > must not create dir in root");
        platform::setError(error, Error::posix(EEXIST, "must not create the root"));
        return nullptr;
    }
    auto rel = FolderPaths::relative(*path);
    std::shared_lock lock(m_mutex);
    int rc = EACCES;
    if (rel) {
        platform::SharedFd root = rootFd();
        std::string name;
        Fd dir(root.ok() ? FolderPaths::openParentBeneath(root.get(), *rel, &name) : -1);
        rc = dir.ok() ? (mkdirat(dir.get(), name.c_str(), 0777) == 0 ? 0 : errno) : errno;
    }
    if (rc != 0) {
        LGLogError("QVFileSystem > CreateDirectory %s failed with error: %s %s", path->c_str(),
                   std::strerror(rc), rel ? "" : "(name refused)");
        platform::setError(error, posixError(rc, "create directory " + *path));
        return nullptr;
    }
    return fileAtPathLocked(*rel);
}

bool QVFileSystem::removeItemAtPath(const std::optional<std::string>& path, Error* error) {
    if (isRootPath(path)) {
        LGLogWarn("QVFileSystem > removeItem > cannot remove root");
        platform::setError(error, Error::posix(EPERM, "cannot remove the root"));
        return false;
    }
    auto rel = FolderPaths::relative(*path);
    std::shared_lock lock(m_mutex);
    int rc = EACCES;
    if (rel) {
        platform::SharedFd root = rootFd();
        std::string name;
        Fd dir(root.ok() ? FolderPaths::openParentBeneath(root.get(), *rel, &name) : -1);
        rc = dir.ok() ? removeTree(dir.get(), name.c_str()) : errno;
    }
    if (rc != 0) {
        LGLogError("QVFileSystem > removeItemAtPath %s failed: %s %s", path->c_str(),
                   std::strerror(rc), rel ? "" : "(name refused)");
        platform::setError(error, posixError(rc, "remove " + *path));
        return false;
    }
    return true;
}

bool QVFileSystem::renameFileFromPath(const std::optional<std::string>& from,
                                      const std::optional<std::string>& to, Error* error) {
    if (isRootPath(from) || isRootPath(to)) {
        LGLogWarn("QVFileSystem > rename > cannot rename from or to root");
        platform::setError(error, Error::posix(EPERM, "cannot rename from or to the root"));
        return false;
    }
    auto a = FolderPaths::relative(*from);
    auto b = FolderPaths::relative(*to);
    std::shared_lock lock(m_mutex);
    int rc = EACCES;
    if (a && b) {
        platform::SharedFd root = rootFd();
        rc = root.ok() ? FolderPaths::moveBeneath(root.get(), *a, *b) : errno;
    }
    if (rc != 0) {
        LGLogError("QVFileSystem > rename > error: %s %s", std::strerror(rc),
                   (*from + " -> " + *to).c_str());
        platform::setError(error, posixError(rc, "rename " + *from + " to " + *to));
        return false;
    }
    return true;
}

uint64_t QVFileSystem::calculateItemSize(const std::string& path) const {
    auto rel = FolderPaths::relative(path);
    if (!rel) return 0;
    std::shared_lock lock(m_mutex);
    platform::SharedFd root = rootFd();
    if (!root.ok()) return 0;
    if (rel->empty()) return treeSize(root.get(), "");
    std::string name;
    Fd dir(FolderPaths::openParentBeneath(root.get(), *rel, &name));
    return dir.ok() ? treeSize(dir.get(), name) : 0;
}

bool QVFileSystem::volumeSize(uint64_t* size, uint64_t* freeSpace) const {
    std::shared_lock lock(m_mutex);
    struct statvfs vfs;
    if (!m_volumePath || statvfs(m_volumePath->c_str(), &vfs) != 0) {
        if (size) *size = 0;
        if (freeSpace) *freeSpace = 0;
        return false;
    }
    if (size) *size = static_cast<uint64_t>(vfs.f_frsize) * vfs.f_blocks;
    if (freeSpace) *freeSpace = static_cast<uint64_t>(vfs.f_frsize) * vfs.f_bavail;
    return true;
}

// ---------------------------------------------------------------- contents

bool QVFileSystem::openFile(const QVFile::Ptr& file, bool readOnly, bool createNew, Error* error) {
    std::shared_lock lock(m_mutex);
    return openFileLocked(file, readOnly, createNew, error);
}

bool QVFileSystem::openFileLocked(const QVFile::Ptr& file, bool readOnly, bool createNew,
                                  Error* error) {
    if (!file) {
        LGLogError("QVFileSystem > openFile > passed nil file");
        platform::setError(error, Error::posix(EINVAL, "no file"));
        return false;
    }
    std::lock_guard io(file->ioMutex());
    int e = ENXIO;
    CZelFsReader::FileHandle h;
    if (m_isMounted) h = m_reader->OpenFile(file->filePath(), readOnly, createNew, &e);
    if (!h) {
        LGLogError("QVFileSystem > openFile > could not open file %s", file->filePath().c_str());
        platform::setError(error, posixError(e, "open " + file->filePath()));
        return false;
    }
    if (CZelFsReader::FileHandle old = file->fileHandle()) m_reader->CloseFile(old);
    file->setFileHandle(h);
    file->setIsOpen(true);
    return true;
}

QVFile::Ptr QVFileSystem::openFileAtPath(const std::string& path, bool readOnly, bool createNew,
                                         Error* error) {
    std::shared_lock lock(m_mutex);
    if (QVFile::Ptr found = fileAtPathLocked(path)) {
        if (!openFileLocked(found, readOnly, createNew, error)) {
            LGLogError("QVFileSystem > openFileAtPath > could not open file %s", path.c_str());
            closeFileLocked(found);
            return nullptr;
        }
        return found;
    }
    if (readOnly || !createNew) {
        LGLogInfo("QVFileSystem > openFileAtPath > could not create file (read only specified) %s",
                  path.c_str());
        platform::setError(error, Error::posix(ENOENT, "no such file: " + path));
        return nullptr;
    }
    int e = ENXIO;
    CZelFsReader::FileHandle h;
    if (m_isMounted) h = m_reader->OpenFile(path, false, true, &e);
    if (!h) {
        LGLogError("QVFileSystem > openFileAtPath > could not create file %s", path.c_str());
        platform::setError(error, posixError(e, "create " + path));
        return nullptr;
    }
    std::string rel = FolderPaths::relative(path).value_or(path);
    // The new file's attributes: one look at it, not a listing of its
    // directory (a tar of a directory's files would list it once per file).
    QVFile::Ptr file = fileAtPathLocked(rel);
    if (!file) {
        LGLogError(
            "QVFileSystem > openFileAtPath > could not create file (not in contents of "
            "folder) %s",
            path.c_str());
        file = std::make_shared<QVFile>(rel, false);
    }
    std::lock_guard io(file->ioMutex());
    file->setFileHandle(h);
    file->setIsOpen(true);
    return file;
}

bool QVFileSystem::closeFile(const QVFile::Ptr& file, Error* error) {
    std::shared_lock lock(m_mutex);
    return closeFileLocked(file, error);
}

bool QVFileSystem::closeFileLocked(const QVFile::Ptr& file, Error* error) {
    if (!file) return true;
    std::lock_guard io(file->ioMutex());
    int e = 0;
    bool ok = true;
    if (file->isOpen())
        if (CZelFsReader::FileHandle h = file->fileHandle()) ok = m_reader->CloseFile(h, &e);
    file->setIsOpen(false);
    file->setFileHandle(nullptr);
    if (!ok) {
        LGLogError("QVFileSystem > closeFile > %s failed: %s", file->filePath().c_str(),
                   std::strerror(e));
        platform::setError(error, posixError(e, "close " + file->filePath()));
    }
    return ok;
}

namespace {

// The open handle of `file`, or null with EBADF in *error.
CZelFsReader::FileHandle openHandle(const QVFile::Ptr& file, Error* error) {
    CZelFsReader::FileHandle h = file && file->isOpen() ? file->fileHandle() : nullptr;
    if (!h) platform::setError(error, Error::posix(EBADF, "the file is not open"));
    return h;
}

}  // namespace

// The common frame of an operation on an open file: the handle shared, the
// file's own lock, its reader handle, and a failure logged and returned as a
// POSIX error. `shareFile`: the operation only reads, and may run beside
// other such reads of the file.
template <class Op>
bool QVFileSystem::withOpenFile(const QVFile::Ptr& file, Error* error, const char* logPrefix,
                                const char* verb, Op op, bool shareFile) {
    std::shared_lock lock(m_mutex);
    if (!file) return false;
    std::unique_lock alone(file->ioMutex(), std::defer_lock);
    std::shared_lock shared(file->ioMutex(), std::defer_lock);
    if (shareFile)
        shared.lock();
    else
        alone.lock();
    CZelFsReader::FileHandle h = openHandle(file, error);
    if (!h) return false;
    int e = 0;
    if (!op(h, &e)) {
        LGLogError("%s %s failed: %s", logPrefix, file->filePath().c_str(), std::strerror(e));
        platform::setError(error, posixError(e, std::string(verb) + " " + file->filePath()));
        return false;
    }
    return true;
}

std::optional<std::vector<uint8_t>> QVFileSystem::readDataFromFile(const QVFile::Ptr& file,
                                                                   size_t length, Error* error) {
    std::shared_lock lock(m_mutex);
    if (!file) return std::nullopt;
    std::lock_guard io(file->ioMutex());
    CZelFsReader::FileHandle h = openHandle(file, error);
    if (!h) return std::nullopt;
    // No larger than what is left, whatever length was asked for.
    const uint64_t size = m_reader->GetFileSize(h), pos = m_reader->Tell(h);
    const size_t n = pos >= size ? 0 : static_cast<size_t>(std::min<uint64_t>(length, size - pos));
    std::vector<uint8_t> data(n);
    size_t got = 0;
    int e = 0;
    if (!m_reader->ReadFile(h, data.data(), n, &got, &e)) {
        LGLogError("FSReaderMM > readFile > read Failed");
        platform::setError(error, posixError(e, "read " + file->filePath()));
        return std::nullopt;
    }
    data.resize(got);
    return data;
}

bool QVFileSystem::writeData(const std::vector<uint8_t>& data, const QVFile::Ptr& file,
                             Error* error) {
    return withOpenFile(file, error, "QVFileSystem > writeData > write to", "write",
                        [&](CZelFsReader::FileHandle h, int* e) {
                            return m_reader->WriteFile(h, data.data(), data.size(), nullptr, e);
                        });
}

bool QVFileSystem::setPosition(uint64_t position, const QVFile::Ptr& file) {
    std::shared_lock lock(m_mutex);
    if (!file) return false;
    std::lock_guard io(file->ioMutex());
    CZelFsReader::FileHandle h = openHandle(file, nullptr);
    return h && m_reader->SeekTo(h, position);
}

bool QVFileSystem::readFile(const QVFile::Ptr& file, uint64_t offset, void* buffer, size_t size,
                            size_t* got, Error* error) {
    if (got) *got = 0;
    return withOpenFile(
        file, error, "QVFileSystem > readFile > read of", "read",
        [&](CZelFsReader::FileHandle h, int* e) {
            return m_reader->ReadFileAt(h, offset, buffer, size, got, e);
        },
        true);
}

bool QVFileSystem::writeFile(const QVFile::Ptr& file, uint64_t offset, const void* buffer,
                             size_t size, Error* error) {
    return withOpenFile(file, error, "QVFileSystem > writeFile > write to", "write",
                        [&](CZelFsReader::FileHandle h, int* e) {
                            return m_reader->WriteFileAt(h, offset, buffer, size, e);
                        });
}

bool QVFileSystem::encryptForFile(const QVFile::Ptr& file, uint64_t offset, const void* plain,
                                  void* out, size_t size, Error* error) {
    // The handle alone, not the file's lock: a write of the file may be
    // under way meanwhile.
    std::shared_lock lock(m_mutex);
    CZelFsReader::FileHandle h = openHandle(file, error);
    if (!h) return false;
    int e = 0;
    if (m_reader->EncryptForFile(h, offset, plain, out, size, &e)) return true;
    platform::setError(error, posixError(e, "encrypt for " + file->filePath()));
    return false;
}

bool QVFileSystem::writeEncryptedFile(const QVFile::Ptr& file, uint64_t offset, const void* cipher,
                                      size_t size, Error* error) {
    return withOpenFile(file, error, "QVFileSystem > writeEncryptedFile > write to", "write",
                        [&](CZelFsReader::FileHandle h, int* e) {
                            return m_reader->WriteEncryptedFileAt(h, offset, cipher, size, e);
                        });
}

bool QVFileSystem::truncateFile(const QVFile::Ptr& file, uint64_t size, Error* error) {
    return withOpenFile(
        file, error, "QVFileSystem > truncateFile >", "truncate",
        [&](CZelFsReader::FileHandle h, int* e) { return m_reader->TruncateFile(h, size, e); });
}

bool QVFileSystem::truncateItemAtPath(const std::string& path, uint64_t size, Error* error) {
    QVFile::Ptr file = openFileAtPath(path, false, false, error);
    if (!file) return false;
    bool ok = truncateFile(file, size, error);
    closeFile(file);
    return ok;
}

bool QVFileSystem::syncFile(const QVFile::Ptr& file, bool dataOnly, Error* error) {
    return withOpenFile(
        file, error, "QVFileSystem > syncFile >", "sync",
        [&](CZelFsReader::FileHandle h, int* e) { return m_reader->SyncFile(h, dataOnly, e); });
}

int QVFileSystem::writeRefusalOfFile(const QVFile::Ptr& file) const {
    std::shared_lock lock(m_mutex);
    if (!file) return EBADF;
    std::lock_guard io(file->ioMutex());
    return file->isOpen() ? m_reader->WriteRefusal(file->fileHandle()) : EBADF;
}

int QVFileSystem::pathDescriptorOfFile(const QVFile::Ptr& file, Error* error) {
    int fd = -1;
    withOpenFile(file, error, "QVFileSystem > pathDescriptorOfFile > of", "describe",
                 [&](CZelFsReader::FileHandle h, int* e) {
                     fd = m_reader->PathDescriptor(h);
                     *e = errno;
                     return fd >= 0;
                 });
    return fd;
}

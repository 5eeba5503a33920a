#include "folder/ZelFsReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <shared_mutex>

#include "Crypto/TraceLog.h"
#include "folder/FolderPaths.h"
#include "folder/MoxEncryptedFolder.h"
#include "folder/SectorIO.h"
#include "folder/ZelFileKey.h"
#include "platform/core/UniqueFd.h"

// One open file: descriptor, position, the folder's file key and the lock it
// shares with every other handle of the same file.
class CZelFile {
  public:
    platform::UniqueFd fd;
    bool readOnly = false;
    // Why it is read-only: EBADF when that was asked for, else the errno of
    // the refused read-write open. 0 for a writable handle.
    int writeRefusal = 0;
    uint64_t position = 0;
    std::shared_ptr<CZelFileKey> key;
    std::shared_ptr<std::shared_mutex> lock;
    // The range locks of this descriptor's reads that run at once.
    sector_io::SharedReads reads;
};

namespace {

void setErr(int* out, int e) {
    if (out) *out = e;
}

// Runs fn(fd, key) under the file's lock and a use of its key; shared with
// other positional reads when `shareFile`, else alone.
template <typename Fn>
bool withFile(const CZelFsReader::FileHandle& h, bool forWriting, int* error, Fn&& fn,
              bool shareFile = false) {
    if (!h) {
        setErr(error, EBADF);
        return false;
    }
    std::unique_lock alone(*h->lock, std::defer_lock);
    std::shared_lock shared(*h->lock, std::defer_lock);
    if (shareFile)
        shared.lock();
    else
        alone.lock();
    if (!h->fd.ok()) {
        setErr(error, EBADF);
        return false;
    }
    if (forWriting && h->readOnly) {
        // A file the folder's disk refused to open for writing says why.
        setErr(error, h->writeRefusal ? h->writeRefusal : EBADF);
        return false;
    }
    CZelFileKey::Use use = h->key->use();
    if (!use) {
        setErr(error, EBADF);
        return false;
    }
    int rc = fn(*h);
    setErr(error, rc);
    return rc == 0;
}

// Whether `st` is the database or its journal under one of `names` in the
// root (followed as SQLite follows them).
bool isConfigFile(int root, const std::vector<std::string>& names, const struct stat& st) {
    for (const std::string& name : names) {
        struct stat c;
        if (::fstatat(root, name.c_str(), &c, 0) == 0 && c.st_dev == st.st_dev &&
            c.st_ino == st.st_ino)
            return true;
    }
    return false;
}

// A change of length that a killed process left half done is finished
// (the old file back, or the new one kept) before anyone reads the file. A
// read-only handle does it through a writable descriptor of the same file
// where it may; the failure of that is no reason to refuse the open.
void finishResize(int fd, bool readOnly) {
    if (!readOnly) {
        (void)sector_io::recover(fd);
        return;
    }
    if (::fgetxattr(fd, sector_io::kResizeRecord, nullptr, 0) < 0) return;
    platform::UniqueFd rw(
        ::open(platform::descriptorPath(fd).c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (rw.ok()) (void)sector_io::recover(rw.get());
}

int64_t nowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

CZelFsReader::CZelFsReader() = default;

CZelFsReader::~CZelFsReader() {
    if (m_key) m_key->wipe();
}

void CZelFsReader::setEncryptedFolder(std::shared_ptr<CMoxEncryptedFolder> folder) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_key) m_key->wipe();
    m_key.reset();
    m_folder = std::move(folder);
}

std::shared_ptr<CMoxEncryptedFolder> CZelFsReader::encryptedFolder() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_folder;
}

uint32_t CZelFsReader::OpenEncryptedVolume(const std::string& path, const char*, bool) {
    TRACE_ENTRY("OpenEncryptedVolume");
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_folder) {
        TRACE_EXIT("OpenEncryptedVolume");
        return kErrorNoFolder;
    }
    int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        uint32_t e = static_cast<uint32_t>(errno);
        TRACE_EXIT("OpenEncryptedVolume");
        return e;
    }
    m_rootFd = platform::SharedFd(fd);
    m_root = path;
    // The names under which SQLite reaches the database and its journal.
    std::string db = FolderPaths::splitParent(m_folder->GetConfigDbPath()).second;
    m_configNames.clear();
    for (std::string name : {db, std::string(FolderPaths::kConfigDatabaseName)})
        for (const char* suffix : {"", "-journal", "-JOURNAL"})
            if (std::find(m_configNames.begin(), m_configNames.end(), name + suffix) ==
                m_configNames.end())
                m_configNames.push_back(name + suffix);
    if (m_root.empty() || m_root.back() != '/') m_root += '/';
    TRACE_EXIT("OpenEncryptedVolume");
    return 0;
}

void CZelFsReader::CloseVolume() {
    std::shared_ptr<CMoxEncryptedFolder> folder;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_folder) return;
        if (m_key) m_key->wipe();
        m_key.reset();
        folder = std::move(m_folder);
        m_rootFd.reset();
    }
    folder.reset();  // the last owner's destructor wipes the folder key
}

platform::SharedFd CZelFsReader::rootFd() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_rootFd;
}

std::shared_ptr<CZelFileKey> CZelFsReader::fileKey() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_folder) return nullptr;
    if (!m_key) m_key = CZelFileKey::fromFolderKey(m_folder->GetKey());
    return m_key;
}

namespace {

// One lock per file for the whole process: two folder handles on one folder
// (the window and the volume) must not interleave their read-modify-write of
// a shared sector.
std::shared_ptr<std::shared_mutex> lockFor(dev_t dev, ino_t ino) {
    static std::mutex tableMutex;
    static auto* table = new std::map<std::pair<dev_t, ino_t>, std::weak_ptr<std::shared_mutex>>();
    std::lock_guard<std::mutex> guard(tableMutex);
    auto& slot = (*table)[{dev, ino}];
    std::shared_ptr<std::shared_mutex> lock = slot.lock();
    if (!lock) {
        // Free the slot when the last handle of the file goes.
        lock = std::shared_ptr<std::shared_mutex>(
            new std::shared_mutex, [dev, ino](std::shared_mutex* m) {
                delete m;
                std::lock_guard<std::mutex> g(tableMutex);
                auto it = table->find({dev, ino});
                if (it != table->end() && it->second.expired()) table->erase(it);
            });
        slot = lock;
    }
    return lock;
}

}  // namespace

// The root descriptor and the clean relative path of a request; false with
// errno set when the path is refused or no volume is open.
struct CZelFsReader::Resolved {
    platform::SharedFd root;
    std::string rel;
};

bool CZelFsReader::resolve(const std::string& path, Resolved* out) const {
    auto rel = FolderPaths::relative(path);
    if (!rel) {
        errno = EACCES;
        return false;
    }
    out->rel = *rel;
    out->root = rootFd();
    if (!out->root.ok()) {
        errno = ENXIO;
        return false;
    }
    return true;
}

std::optional<std::vector<FADirEntry>> CZelFsReader::NewDirEntryForPath(const std::string& path) {
    Resolved r;
    if (!resolve(path, &r)) return std::nullopt;
    platform::UniqueFd fd(FolderPaths::openBeneath(r.root.get(), r.rel, O_RDONLY | O_DIRECTORY));
    if (!fd.ok()) {
        TRACE_EXIT_ERR(static_cast<long>(errno), "NewDirEntryForPath", "Cannot find any file.");
        return std::nullopt;
    }
    DIR* dir = ::fdopendir(fd.get());
    if (!dir) return std::nullopt;
    fd.release();  // the stream owns it now
    std::vector<FADirEntry> entries;
    while (struct dirent* de = ::readdir(dir)) {
        std::string name = de->d_name;
        if (name == "." || name == ".." || FolderPaths::isHiddenName(name)) continue;
        FADirEntry e;
        e.name = name;
        struct statx sx;
        if (::statx(::dirfd(dir), de->d_name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                    &sx) == 0) {
            e.isDirectory = S_ISDIR(sx.stx_mode);
            e.size = sx.stx_size;
            e.accessTime = sx.stx_atime.tv_sec;
            e.modificationTime = sx.stx_mtime.tv_sec;
            e.creationTime =
                (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
        } else {
            e.isDirectory = de->d_type == DT_DIR;
        }
        entries.push_back(std::move(e));
    }
    ::closedir(dir);
    std::reverse(entries.begin(), entries.end());
    return entries;
}

bool CZelFsReader::DeleteFile(const std::string& path) {
    Resolved r;
    if (!resolve(path, &r)) return false;
    std::string name;
    platform::UniqueFd dir(FolderPaths::openParentBeneath(r.root.get(), r.rel, &name));
    return dir.ok() && ::unlinkat(dir.get(), name.c_str(), 0) == 0;
}

bool CZelFsReader::DeleteDirectory(const std::string& path) {
    Resolved r;
    if (!resolve(path, &r)) return false;
    std::string name;
    platform::UniqueFd dir(FolderPaths::openParentBeneath(r.root.get(), r.rel, &name));
    return dir.ok() && ::unlinkat(dir.get(), name.c_str(), AT_REMOVEDIR) == 0;
}

bool CZelFsReader::RenameFile(const std::string& from, const std::string& to) {
    Resolved a;
    if (!resolve(from, &a)) return false;
    auto toRel = FolderPaths::relative(to);
    if (!toRel || toRel->empty()) {
        errno = EACCES;
        return false;
    }
    return FolderPaths::moveBeneath(a.root.get(), a.rel, *toRel) == 0;
}

bool CZelFsReader::CreateDirectory(const std::string& path, FADirEntry* out) {
    Resolved r;
    if (!resolve(path, &r)) return false;
    std::string name;
    platform::UniqueFd dir(FolderPaths::openParentBeneath(r.root.get(), r.rel, &name));
    bool ok = dir.ok() && ::mkdirat(dir.get(), name.c_str(), 0770) == 0;
    int saved = errno;
    dir.reset();
    if (!ok) {
        std::printf("ZelFsReader > CreateDirectory %s failed with error: %d\n", path.c_str(),
                    saved);
        errno = saved;
        return false;
    }
    if (out) {
        *out = FADirEntry{};
        out->isDirectory = true;
        out->name = name;
        out->creationTime = out->accessTime = out->modificationTime = nowSeconds();
    }
    return true;
}

CZelFsReader::FileHandle CZelFsReader::OpenFile(const std::string& path, bool readOnly, bool create,
                                                int* error) {
    setErr(error, 0);
    auto fail = [&](int e) -> FileHandle {
        setErr(error, e);
        errno = e;
        return nullptr;
    };
    auto rel = FolderPaths::relative(path);
    if (!rel) return fail(EACCES);
    if (rel->empty()) return fail(EISDIR);
    platform::SharedFd root = rootFd();
    if (!root.ok()) return fail(ENXIO);
    std::shared_ptr<CZelFileKey> key = fileKey();
    if (!key) {
        std::printf("zelfsREader > openFile > mFolder is null!!!\n");
        return fail(ENXIO);
    }

    std::vector<std::string> configNames;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        configNames = m_configNames;
    }
    // The last component is opened without following a link first: an
    // object reached by its only name, which is not a hidden one, cannot be
    // the database. Anything else (a link, a second hard link) is compared
    // with the database and its journal before it is used, and truncated
    // only after that.
    const int base = O_NONBLOCK | O_NOCTTY;  // a FIFO must not hang the open
    bool followed = false;
    auto openAs = [&](int access, bool creating) {
        followed = false;
        int fd = FolderPaths::openBeneath(
            root.get(), *rel, base | access | O_NOFOLLOW | (creating ? O_CREAT : 0), 0666);
        if (fd < 0 && errno == ELOOP) {
            followed = true;
            fd = FolderPaths::openBeneath(root.get(), *rel, base | access);
            // Creating through a dangling link would create its target,
            // whatever name that has.
            if (fd < 0 && errno == ENOENT && creating) errno = EACCES;
        }
        return fd;
    };
    int fd = -1;
    bool gotReadOnly = readOnly;
    int writeRefusal = readOnly ? EBADF : 0;
    int saved = 0;
    if (!readOnly) {
        fd = openAs(O_RDWR, create);
        saved = errno;
        if (fd < 0 && (saved == EACCES || saved == EPERM || saved == EROFS)) {
            writeRefusal = saved;
            fd = openAs(O_RDONLY, false);
            gotReadOnly = true;
            // A file that cannot be read either, or a new one that cannot be
            // made, fails for the reason writing did (not ENOENT).
            if (fd >= 0) saved = 0;
        }
    } else {
        fd = openAs(O_RDONLY, false);
        saved = errno;
    }
    if (fd < 0) return fail(saved);
    platform::UniqueFd file(fd);
    struct stat st;
    int refused = 0;
    if (::fstat(fd, &st) != 0)
        refused = errno;
    else if (!S_ISREG(st.st_mode))
        refused = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    else if ((followed || st.st_nlink > 1) && isConfigFile(root.get(), configNames, st))
        refused = EACCES;
    root.reset();
    if (!refused) finishResize(fd, gotReadOnly);
    if (!refused && create && !gotReadOnly && st.st_size != 0 && ::ftruncate(fd, 0) != 0)
        refused = errno;
    if (refused) return fail(refused);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Files are mostly read from start to end: the disk's readahead doubles.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    auto h = std::make_shared<CZelFile>();
    h->fd = std::move(file);
    h->readOnly = gotReadOnly;
    h->writeRefusal = writeRefusal;
    h->key = std::move(key);
    h->lock = lockFor(st.st_dev, st.st_ino);
    return h;
}

bool CZelFsReader::CloseFile(const FileHandle& h, int* error) {
    setErr(error, 0);
    if (!h) return true;
    std::lock_guard guard(*h->lock);
    int rc = h->fd.ok() ? ::close(h->fd.release()) : 0;
    int saved = errno;
    // EINTR: the descriptor is gone all the same, and nothing was lost.
    if (rc == 0 || saved == EINTR) return true;
    setErr(error, saved);
    return false;
}

bool CZelFsReader::ReadFileAt(const FileHandle& h, uint64_t offset, void* buffer, size_t length,
                              size_t* got, int* error) {
    size_t n = 0;
    bool ok = withFile(
        h, false, error,
        [&](CZelFile& f) {
            return sector_io::readAt(f.fd.get(), *f.key, offset, static_cast<uint8_t*>(buffer),
                                     length, &n, &f.reads);
        },
        true);
    if (got) *got = n;
    return ok;
}

bool CZelFsReader::WriteFileAt(const FileHandle& h, uint64_t offset, const void* buffer,
                               size_t length, int* error) {
    return withFile(h, true, error, [&](CZelFile& f) {
        return sector_io::writeAt(f.fd.get(), *f.key, offset, static_cast<const uint8_t*>(buffer),
                                  length);
    });
}

bool CZelFsReader::EncryptForFile(const FileHandle& h, uint64_t offset, const void* plain,
                                  void* out, size_t length, int* error) {
    // The key is the handle's from its open on, and its use keeps it from
    // being wiped meanwhile; nothing else of the file is touched.
    if (!h || h->readOnly || !h->key) {
        setErr(error, h && h->readOnly && h->writeRefusal ? h->writeRefusal : EBADF);
        return false;
    }
    if (!sector_io::coversWholeSectors(offset, length)) {
        setErr(error, EINVAL);
        return false;
    }
    CZelFileKey::Use use = h->key->use();
    if (!use) {
        setErr(error, EBADF);
        return false;
    }
    std::memcpy(out, plain, length);
    if (!h->key->encrypt(offset, static_cast<uint8_t*>(out), length)) {
        setErr(error, EIO);
        return false;
    }
    return true;
}

bool CZelFsReader::WriteEncryptedFileAt(const FileHandle& h, uint64_t offset, const void* cipher,
                                        size_t length, int* error) {
    return withFile(h, true, error, [&](CZelFile& f) {
        return sector_io::writeEncryptedAt(f.fd.get(), *f.key, offset,
                                           static_cast<const uint8_t*>(cipher), length);
    });
}

bool CZelFsReader::ReadFile(const FileHandle& h, void* buffer, size_t length, size_t* got,
                            int* error) {
    size_t n = 0;
    bool ok = withFile(h, false, error, [&](CZelFile& f) {
        int rc = sector_io::readAt(f.fd.get(), *f.key, f.position, static_cast<uint8_t*>(buffer),
                                   length, &n);
        f.position += n;
        return rc;
    });
    if (got) *got = n;
    return ok;
}

bool CZelFsReader::WriteFile(const FileHandle& h, const void* buffer, size_t length, size_t* count,
                             int* error) {
    bool ok = withFile(h, true, error, [&](CZelFile& f) {
        int rc = sector_io::writeAt(f.fd.get(), *f.key, f.position,
                                    static_cast<const uint8_t*>(buffer), length);
        if (rc == 0) f.position += length;
        return rc;
    });
    if (count) *count = ok ? length : 0;
    return ok;
}

bool CZelFsReader::TruncateFile(const FileHandle& h, uint64_t size, int* error) {
    return withFile(h, true, error,
                    [&](CZelFile& f) { return sector_io::truncate(f.fd.get(), *f.key, size); });
}

bool CZelFsReader::SyncFile(const FileHandle& h, bool dataOnly, int* error) {
    return withFile(h, false, error, [&](CZelFile& f) {
        int rc = dataOnly ? ::fdatasync(f.fd.get()) : ::fsync(f.fd.get());
        return rc == 0 ? 0 : errno;
    });
}

bool CZelFsReader::Seek(const FileHandle& h, uint32_t low, uint32_t high) {
    return SeekTo(h, (static_cast<uint64_t>(high) << 32) | low);
}

bool CZelFsReader::SeekTo(const FileHandle& h, uint64_t position) {
    if (!h) return false;
    if (position > static_cast<uint64_t>(INT64_MAX)) return false;
    std::lock_guard guard(*h->lock);
    if (!h->fd.ok()) return false;
    h->position = position;
    return true;
}

uint64_t CZelFsReader::Tell(const FileHandle& h) const {
    if (!h) return 0;
    std::lock_guard guard(*h->lock);
    return h->position;
}

uint64_t CZelFsReader::GetFileSize(const FileHandle& h) const {
    if (!h) return 0;
    std::lock_guard guard(*h->lock);
    struct stat st;
    if (!h->fd.ok() || ::fstat(h->fd.get(), &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

bool CZelFsReader::SetFileTime(const FileHandle& h, int64_t, int64_t access, int64_t modification) {
    if (!h) return false;
    std::lock_guard guard(*h->lock);
    if (!h->fd.ok()) return false;
    struct timespec ts[2] = {{static_cast<time_t>(access), 0},
                             {static_cast<time_t>(modification), 0}};
    return ::futimens(h->fd.get(), ts) == 0;
}

bool CZelFsReader::IsHandleReadOnly(const FileHandle& h) const {
    return h && h->readOnly;
}

int CZelFsReader::WriteRefusal(const FileHandle& h) const {
    return h ? h->writeRefusal : EBADF;
}

int CZelFsReader::PathDescriptor(const FileHandle& h) const {
    if (!h) {
        errno = EBADF;
        return -1;
    }
    std::lock_guard guard(*h->lock);
    if (!h->fd.ok()) {
        errno = EBADF;
        return -1;
    }
    // Through the descriptor's own link, so it names this very file and
    // cannot be used to write its bytes.
    return ::open(platform::descriptorPath(h->fd.get()).c_str(), O_PATH | O_CLOEXEC);
}

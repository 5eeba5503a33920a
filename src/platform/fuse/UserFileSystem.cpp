#define FUSE_USE_VERSION 35
#include "platform/fuse/UserFileSystem.h"

#include <fuse.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/core/Console.h"
#include "platform/core/Dispatch.h"
#include "platform/core/ThreadHooks.h"

extern char** environ;

namespace platform {

// ---- delegate defaults: everything unimplemented answers ENOSYS ------------

namespace {
template <typename T>
T notImplemented(Error* error, T answer) {
    setError(error, Error::posix(ENOSYS));
    return answer;
}
}  // namespace

bool UserFileSystemDelegate::moveItem(const std::string&, const std::string&, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::removeDirectory(const std::string&, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::removeItem(const std::string&, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::createDirectory(const std::string&, const ItemAttributes&, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::createFile(const std::string&, const ItemAttributes&, FileUserData*,
                                        Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::createSpecialItem(const std::string&, mode_t, dev_t, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::linkItem(const std::string&, const std::string&, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::createSymbolicLink(const std::string&, const std::string&, Error* e) {
    return notImplemented(e, false);
}
std::optional<std::string> UserFileSystemDelegate::destinationOfSymbolicLink(const std::string&,
                                                                             Error* e) {
    return notImplemented<std::optional<std::string>>(e, std::nullopt);
}
bool UserFileSystemDelegate::openFile(const std::string&, int, FileUserData*, Error* e) {
    return notImplemented(e, false);
}
void UserFileSystemDelegate::releaseFile(const std::string&, FileUserData) {}
int64_t UserFileSystemDelegate::readFile(const std::string&, const FileUserData&, char*, size_t,
                                         off_t, Error* e) {
    return notImplemented<int64_t>(e, -1);
}
int64_t UserFileSystemDelegate::writeFile(const std::string&, const FileUserData&, const char*,
                                          size_t, off_t, Error* e) {
    return notImplemented<int64_t>(e, -1);
}
bool UserFileSystemDelegate::exchangeData(const std::string&, const std::string&, Error* e) {
    return notImplemented(e, false);
}
std::optional<std::vector<std::string>> UserFileSystemDelegate::contentsOfDirectory(
    const std::string&, Error* e) {
    return notImplemented<std::optional<std::vector<std::string>>>(e, std::nullopt);
}
std::optional<struct stat> UserFileSystemDelegate::attributesOfItem(const std::string&,
                                                                    const FileUserData&, Error* e) {
    return notImplemented<std::optional<struct stat>>(e, std::nullopt);
}
std::optional<struct statvfs> UserFileSystemDelegate::attributesOfFileSystem(const std::string&,
                                                                             Error* e) {
    return notImplemented<std::optional<struct statvfs>>(e, std::nullopt);
}
bool UserFileSystemDelegate::setAttributes(const ItemAttributes&, const std::string&,
                                           const FileUserData&, Error* e) {
    return notImplemented(e, false);
}
std::optional<std::vector<std::string>> UserFileSystemDelegate::extendedAttributes(
    const std::string&, Error* e) {
    return notImplemented<std::optional<std::vector<std::string>>>(e, std::nullopt);
}
std::optional<std::vector<uint8_t>> UserFileSystemDelegate::valueOfExtendedAttribute(
    const std::string&, const std::string&, off_t, Error* e) {
    return notImplemented<std::optional<std::vector<uint8_t>>>(e, std::nullopt);
}
bool UserFileSystemDelegate::setExtendedAttribute(const std::string&, const std::string&,
                                                  const std::vector<uint8_t>&, off_t, int,
                                                  Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::removeExtendedAttribute(const std::string&, const std::string&,
                                                     Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::flushFile(const std::string&, const FileUserData&, Error*) {
    return true;
}
bool UserFileSystemDelegate::synchronizeFile(const std::string&, const FileUserData&, bool,
                                             Error*) {
    return true;
}

// ---- the mount ---------------------------------------------------------------

struct UserFileSystem::Impl {
    std::shared_ptr<UserFileSystemDelegate> delegate;
    EventHandler handler;
    std::string mountPath;
    bool createdMountPoint = false;

    struct fuse* fuse = nullptr;
    std::thread loop;
    mutable std::mutex mutex;
    bool mounted = false;

    // Open files by FUSE file handle. Only the loop thread touches it, but a
    // lock keeps teardown from another thread safe.
    std::mutex filesMutex;
    std::map<uint64_t, FileUserData> files;
    uint64_t nextHandle = 1;

    void post(UserFileSystemEvent event) {
        EventHandler h;
        {
            std::lock_guard lock(mutex);
            h = handler;
        }
        if (!h) return;
        mainQueue()->async([h, event = std::move(event)] { h(event); });
    }

    uint64_t addFile(FileUserData data) {
        std::lock_guard lock(filesMutex);
        uint64_t fh = nextHandle++;
        files.emplace(fh, std::move(data));
        return fh;
    }
    FileUserData file(const fuse_file_info* fi) {
        if (!fi) return nullptr;
        std::lock_guard lock(filesMutex);
        auto it = files.find(fi->fh);
        return it == files.end() ? nullptr : it->second;
    }
    FileUserData takeFile(const fuse_file_info* fi) {
        std::lock_guard lock(filesMutex);
        auto it = files.find(fi->fh);
        if (it == files.end()) return nullptr;
        FileUserData d = std::move(it->second);
        files.erase(it);
        return d;
    }
};

namespace {

UserFileSystem::Impl* self() {
    return static_cast<UserFileSystem::Impl*>(fuse_get_context()->private_data);
}
UserFileSystemDelegate& delegate() {
    return *self()->delegate;
}

// -errno for a failed call; never -1, and a failure without a POSIX code is EIO.
int fail(const Error& e) {
    if (e.isPOSIX() && e.code > 0) return -static_cast<int>(e.code);
    return -EIO;
}
int answer(bool ok, const Error& e) {
    return ok ? 0 : fail(e);
}

// The caller of the request being served, set for the length of a callback.
thread_local std::optional<RequestCaller> tCaller;

// Runs one callback. An exception must never reach libfuse: it would end
// the loop thread, and with it the volume for every program using it.
template <typename Fn>
int guarded(const char* op, const char* path, Fn&& fn) noexcept {
    try {
        if (const fuse_context* c = fuse_get_context())
            tCaller = RequestCaller{c->uid, c->gid, c->pid};
        int rc = fn();
        tCaller.reset();
        return rc;
    } catch (const std::exception& e) {
        consoleLog("UserFileSystem > %s %s > %s", op, path ? path : "(open file)", e.what());
    } catch (...) {
        consoleLog("UserFileSystem > %s %s > unknown exception", op, path ? path : "(open file)");
    }
    tCaller.reset();
    return -EIO;
}

// The name libfuse keeps a file under that was removed while open:
// ".fuse_hidden" and sixteen hex digits. Never listed.
bool isRemovedWhileOpenName(const std::string& name) {
    constexpr std::string_view prefix = ".fuse_hidden";
    return name.size() == prefix.size() + 16 && name.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(name.begin() + prefix.size(), name.end(),
                       [](char ch) { return std::isxdigit(static_cast<unsigned char>(ch)); });
}

// A request through an open file carries no path once the file has lost its
// last name (removed while open); the delegate then gets "" and the file.
// Without either there is nothing to act on.
std::string pathOf(const char* path) {
    return path ? std::string(path) : std::string();
}
bool served(const char* path, const FileUserData& file) {
    return path || file;
}

int opGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
    return guarded("getattr", path, [&] {
        FileUserData file = self()->file(fi);
        if (!served(path, file)) return -EBADF;
        Error e;
        auto a = delegate().attributesOfItem(pathOf(path), file, &e);
        if (!a) return fail(e);
        *st = *a;
        return 0;
    });
}

int opReadlink(const char* path, char* buf, size_t size) {
    return guarded("readlink", path, [&] {
        Error e;
        auto d = delegate().destinationOfSymbolicLink(path, &e);
        if (!d) return fail(e);
        if (size == 0) return -EINVAL;
        size_t n = std::min(d->size(), size - 1);
        std::memcpy(buf, d->data(), n);
        buf[n] = '\0';
        return 0;
    });
}

int opMkdir(const char* path, mode_t mode) {
    return guarded("mkdir", path, [&] {
        ItemAttributes attrs;
        attrs.permissions = mode & 07777;
        Error e;
        return answer(delegate().createDirectory(path, attrs, &e), e);
    });
}

int opMknod(const char* path, mode_t mode, dev_t device) {
    return guarded("mknod", path, [&] {
        Error e;
        return answer(delegate().createSpecialItem(path, mode, device, &e), e);
    });
}

int opUnlink(const char* path) {
    return guarded("unlink", path, [&] {
        Error e;
        return answer(delegate().removeItem(path, &e), e);
    });
}

int opRmdir(const char* path) {
    return guarded("rmdir", path, [&] {
        Error e;
        if (delegate().removeDirectory(path, &e)) return 0;
        // Emptied but for files removed while still open: on a local disk
        // the directory goes, and so it does here; they stay open.
        Error listed;
        auto names = e.isPOSIX() && e.code == ENOTEMPTY
                         ? delegate().contentsOfDirectory(path, &listed)
                         : std::nullopt;
        if (!names || !std::all_of(names->begin(), names->end(), isRemovedWhileOpenName))
            return fail(e);
        for (const auto& n : *names) {
            Error ignored;
            delegate().removeItem(std::string(path) + "/" + n, &ignored);
        }
        e = Error();
        return answer(delegate().removeDirectory(path, &e), e);
    });
}

int opSymlink(const char* target, const char* linkpath) {
    return guarded("symlink", linkpath, [&] {
        Error e;
        return answer(delegate().createSymbolicLink(linkpath, target, &e), e);
    });
}

int opRename(const char* from, const char* to, unsigned int flags) {
    return guarded("rename", from, [&] {
        Error e;
        if (flags & RENAME_EXCHANGE) return answer(delegate().exchangeData(from, to, &e), e);
        if (flags & RENAME_NOREPLACE) {
            Error probe;
            if (delegate().attributesOfItem(to, nullptr, &probe)) return -EEXIST;
        }
        if (flags & ~(unsigned)(RENAME_NOREPLACE)) return -EINVAL;
        return answer(delegate().moveItem(from, to, &e), e);
    });
}

int opLink(const char* from, const char* to) {
    return guarded("link", to, [&] {
        Error e;
        return answer(delegate().linkItem(to, from, &e), e);
    });
}

int setAttrs(const char* op, const char* path, const ItemAttributes& attrs, fuse_file_info* fi) {
    return guarded(op, path, [&] {
        FileUserData file = self()->file(fi);
        if (!served(path, file)) return -EBADF;
        Error e;
        return answer(delegate().setAttributes(attrs, pathOf(path), file, &e), e);
    });
}

int opChmod(const char* path, mode_t mode, fuse_file_info* fi) {
    ItemAttributes a;
    a.permissions = mode & 07777;
    return setAttrs("chmod", path, a, fi);
}

int opChown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
    ItemAttributes a;
    if (uid != static_cast<uid_t>(-1)) a.owner = uid;
    if (gid != static_cast<gid_t>(-1)) a.group = gid;
    if (a.empty()) return 0;
    return setAttrs("chown", path, a, fi);
}

int opTruncate(const char* path, off_t size, fuse_file_info* fi) {
    if (size < 0) return -EINVAL;
    ItemAttributes a;
    a.size = static_cast<uint64_t>(size);
    return setAttrs("truncate", path, a, fi);
}

int opUtimens(const char* path, const struct timespec tv[2], fuse_file_info* fi) {
    auto resolve = [](const timespec& t) -> std::optional<timespec> {
        if (t.tv_nsec == UTIME_OMIT) return std::nullopt;
        if (t.tv_nsec == UTIME_NOW) {
            timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            return now;
        }
        return t;
    };
    ItemAttributes a;
    if (tv) {
        a.accessDate = resolve(tv[0]);
        a.modificationDate = resolve(tv[1]);
    } else {
        a.accessDate = resolve(timespec{0, UTIME_NOW});
        a.modificationDate = a.accessDate;
    }
    if (a.empty()) return 0;
    return setAttrs("utimens", path, a, fi);
}

int opOpen(const char* path, fuse_file_info* fi) {
    return guarded("open", path, [&] {
        FileUserData data;
        Error e;
        if (!delegate().openFile(path, fi->flags, &data, &e)) return fail(e);
        fi->fh = self()->addFile(std::move(data));
        return 0;
    });
}

int opCreate(const char* path, mode_t mode, fuse_file_info* fi) {
    return guarded("create", path, [&] {
        ItemAttributes attrs;
        attrs.permissions = mode & 07777;
        FileUserData data;
        Error e;
        if (!delegate().createFile(path, attrs, &data, &e)) {
            // A file made but not fully set up is still handed back for release.
            if (data) delegate().releaseFile(path, std::move(data));
            return fail(e);
        }
        fi->fh = self()->addFile(std::move(data));
        return 0;
    });
}

int opRead(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    return guarded("read", path, [&] {
        FileUserData file = self()->file(fi);
        if (!file) return -EBADF;
        Error e;
        int64_t n = delegate().readFile(pathOf(path), file, buf, size, offset, &e);
        if (n < 0) return fail(e);
        return static_cast<int>(n);
    });
}

int opWrite(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    return guarded("write", path, [&] {
        FileUserData file = self()->file(fi);
        if (!file) return -EBADF;
        Error e;
        int64_t n = delegate().writeFile(pathOf(path), file, buf, size, offset, &e);
        if (n < 0) return fail(e);
        return static_cast<int>(n);
    });
}

int opStatfs(const char* path, struct statvfs* st) {
    return guarded("statfs", path, [&] {
        Error e;
        auto a = delegate().attributesOfFileSystem(pathOf(path), &e);
        if (!a) return fail(e);
        *st = *a;
        return 0;
    });
}

int opFlush(const char* path, fuse_file_info* fi) {
    return guarded("flush", path, [&] {
        FileUserData file = self()->file(fi);
        if (!file) return -EBADF;
        Error e;
        return answer(delegate().flushFile(pathOf(path), file, &e), e);
    });
}

int opRelease(const char* path, fuse_file_info* fi) {
    return guarded("release", path, [&] {
        FileUserData data = self()->takeFile(fi);
        if (data) delegate().releaseFile(pathOf(path), std::move(data));
        return 0;
    });
}

int opFsync(const char* path, int datasync, fuse_file_info* fi) {
    return guarded("fsync", path, [&] {
        FileUserData file = self()->file(fi);
        if (!file) return -EBADF;
        Error e;
        return answer(delegate().synchronizeFile(pathOf(path), file, datasync != 0, &e), e);
    });
}

int opSetxattr(const char* path, const char* name, const char* value, size_t size, int flags) {
    return guarded("setxattr", path, [&] {
        std::vector<uint8_t> bytes(value, value + size);
        Error e;
        return answer(delegate().setExtendedAttribute(name, path, bytes, 0, flags, &e), e);
    });
}

int opGetxattr(const char* path, const char* name, char* value, size_t size) {
    return guarded("getxattr", path, [&] {
        Error e;
        auto v = delegate().valueOfExtendedAttribute(name, path, 0, &e);
        if (!v) return fail(e);
        if (size == 0) return static_cast<int>(v->size());
        if (v->size() > size) return -ERANGE;
        std::memcpy(value, v->data(), v->size());
        return static_cast<int>(v->size());
    });
}

int opListxattr(const char* path, char* list, size_t size) {
    return guarded("listxattr", path, [&] {
        Error e;
        auto names = delegate().extendedAttributes(path, &e);
        if (!names) return fail(e);
        size_t need = 0;
        for (const auto& n : *names) need += n.size() + 1;
        if (size == 0) return static_cast<int>(need);
        if (need > size) return -ERANGE;
        for (const auto& n : *names) {
            std::memcpy(list, n.c_str(), n.size() + 1);
            list += n.size() + 1;
        }
        return static_cast<int>(need);
    });
}

int opRemovexattr(const char* path, const char* name) {
    return guarded("removexattr", path, [&] {
        Error e;
        return answer(delegate().removeExtendedAttribute(name, path, &e), e);
    });
}

int opReaddir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    return guarded("readdir", path, [&] {
        std::vector<std::string> names;
        // An open directory that was removed meanwhile is empty.
        if (path) {
            Error e;
            auto listed = delegate().contentsOfDirectory(path, &e);
            if (!listed) return fail(e);
            names = std::move(*listed);
        }
        filler(buf, ".", nullptr, 0, fuse_fill_dir_flags(0));
        filler(buf, "..", nullptr, 0, fuse_fill_dir_flags(0));
        for (const auto& n : names) {
            if (isRemovedWhileOpenName(n)) continue;
            if (filler(buf, n.c_str(), nullptr, 0, fuse_fill_dir_flags(0))) break;
        }
        return 0;
    });
}

void* opInit(fuse_conn_info* conn, fuse_config* cfg) {
    // One request at a time: make each one carry as much as the kernel allows.
    conn->max_write = 1u << 20;
    conn->max_readahead = 1u << 20;
    // Attributes are never cached (below), and the page cache is dropped at
    // every open; refreshing them again before each read would put a second
    // round trip in front of every read.
    conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
    // An open with O_TRUNC then arrives as a truncation of its own, which the
    // delegate serves like any other; open never has to look at the flag.
    conn->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;
    // Sizes and modes come from the real folder and change behind the
    // kernel's back only through us, but keep attribute caching short so a
    // size is never stale after a write through another open file.
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    // A file removed while open is kept under a hidden name until its last
    // close: the kernel asks for the attributes of an open file (fstat,
    // fchmod, futimens) by its node alone, and libfuse can name that node
    // only while it has a name.
    cfg->hard_remove = 0;
    return fuse_get_context()->private_data;
}

fuse_operations makeOperations() {
    fuse_operations ops{};
    ops.getattr = opGetattr;
    ops.readlink = opReadlink;
    ops.mkdir = opMkdir;
    ops.mknod = opMknod;
    ops.unlink = opUnlink;
    ops.rmdir = opRmdir;
    ops.symlink = opSymlink;
    ops.rename = opRename;
    ops.link = opLink;
    ops.chmod = opChmod;
    ops.chown = opChown;
    ops.truncate = opTruncate;
    ops.open = opOpen;
    ops.read = opRead;
    ops.write = opWrite;
    ops.statfs = opStatfs;
    ops.flush = opFlush;
    ops.release = opRelease;
    ops.fsync = opFsync;
    ops.setxattr = opSetxattr;
    ops.getxattr = opGetxattr;
    ops.listxattr = opListxattr;
    ops.removexattr = opRemovexattr;
    ops.readdir = opReaddir;
    ops.init = opInit;
    ops.create = opCreate;
    ops.utimens = opUtimens;
    // copy_file_range stays unset: the kernel then copies through read and
    // write, so ciphertext never moves between files as it is.
    return ops;
}

const fuse_operations kOperations = makeOperations();

// FUSE option values must not carry the separators of "-o a=b,c".
std::string optionValue(const std::string& v) {
    std::string out;
    for (char c : v) {
        if (c == ',' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

bool isMountPoint(const std::string& path) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        // mount point is the fifth field
        size_t pos = 0;
        for (int i = 0; i < 4 && pos != std::string::npos; ++i) pos = line.find(' ', pos + 1);
        if (pos == std::string::npos) continue;
        size_t end = line.find(' ', pos + 1);
        if (line.compare(pos + 1, end - pos - 1, path) == 0) return true;
    }
    return false;
}

// "major:minor" of the file system mounted at `path`, read from mountinfo so
// that nothing asks the (not yet serving) volume itself.
std::string mountDevice(const std::string& path) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (fields >> id >> parent >> device >> root >> point && point == path) return device;
    }
    return {};
}

// The kernel caps a volume's readahead at 128 KiB unless told otherwise;
// with one request at a time, larger reads are what makes reading fast.
// Only root may raise it; elsewhere the default stays.
void raiseReadahead(const std::string& path, unsigned kib) {
    std::string device = mountDevice(path);
    if (device.empty()) return;
    std::ofstream ra("/sys/class/bdi/" + device + "/read_ahead_kb");
    if (ra) ra << kib << '\n';
}

// Unmount without detaching: a volume in use stays and the caller hears EBUSY.
int unmountNow(const std::string& path) {
    if (geteuid() == 0) return umount2(path.c_str(), 0) == 0 ? 0 : errno;
    pid_t pid;
    const char* argv[] = {"fusermount3", "-u", "-q", path.c_str(), nullptr};
    int rc = posix_spawnp(&pid, "fusermount3", nullptr, nullptr, const_cast<char**>(argv), environ);
    if (rc != 0) return rc;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    return isMountPoint(path) ? EBUSY : 0;
}

}  // namespace

std::optional<RequestCaller> currentRequestCaller() {
    return tCaller;
}

UserFileSystem::UserFileSystem(std::shared_ptr<UserFileSystemDelegate> delegate)
    : impl_(std::make_unique<Impl>()) {
    impl_->delegate = std::move(delegate);
}

UserFileSystem::~UserFileSystem() {
    if (isMounted() && !unmount()) {
        // Still in use: detach it so the loop ends once the last file closes.
        umount2(impl_->mountPath.c_str(), MNT_DETACH);
    }
    waitUntilUnmounted();
}

void UserFileSystem::setEventHandler(EventHandler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

bool UserFileSystem::mountAtPath(const std::string& path, const std::vector<std::string>& options,
                                 Error* error) {
    auto failWith = [&](Error e) {
        impl_->post({UserFileSystemEvent::Kind::MountFailed, path, e});
        setError(error, std::move(e));
        return false;
    };
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->mounted || impl_->loop.joinable())
            return failWith(Error::posix(EBUSY, "the volume is already mounted"));
    }
    std::error_code ec;
    bool created = std::filesystem::create_directories(path, ec);
    if (ec) return failWith(Error::posix(ec.value(), "cannot create mount point " + path));

    std::vector<std::string> args = {"tessaro", "-o", "default_permissions,auto_unmount"};
    std::string volname;
    for (const auto& o : options) {
        if (o.rfind("volname=", 0) == 0) {
            volname = o.substr(8);
        } else if (o.rfind("volicon=", 0) == 0) {
            continue;  // no volume icons here
        } else if (!o.empty()) {
            args.push_back("-o");
            args.push_back(o);
        }
    }
    args.push_back("-o");
    args.push_back("subtype=tessaro,fsname=" + optionValue(volname.empty() ? "tessaro" : volname));

    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    fuse_args fargs = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    struct fuse* f = fuse_new(&fargs, &kOperations, sizeof kOperations, impl_.get());
    fuse_opt_free_args(&fargs);
    auto removeCreated = [&] {
        if (created) std::filesystem::remove(path, ec);
    };
    if (!f) {
        removeCreated();
        return failWith(Error::posix(EINVAL, "the FUSE session could not be created"));
    }
    if (fuse_mount(f, path.c_str()) != 0) {
        int err = errno ? errno : EIO;
        fuse_destroy(f);
        removeCreated();
        return failWith(Error::posix(err, "cannot mount the volume at " + path));
    }
    raiseReadahead(path, 1024);
    {
        std::lock_guard lock(impl_->mutex);
        impl_->fuse = f;
        impl_->mountPath = path;
        impl_->createdMountPoint = created;
        impl_->mounted = true;
    }
    Impl* impl = impl_.get();
    impl_->loop = std::thread([impl] {
        platform::threadDidStart();
        fuse_loop(impl->fuse);  // single-threaded: one callback at a time
        fuse_unmount(impl->fuse);
        fuse_destroy(impl->fuse);
        {
            std::lock_guard lock(impl->filesMutex);
            impl->files.clear();
        }
        std::string path;
        {
            std::lock_guard lock(impl->mutex);
            impl->fuse = nullptr;
            impl->mounted = false;
            path = impl->mountPath;
            if (impl->createdMountPoint) {
                std::error_code ec;
                std::filesystem::remove(path, ec);
            }
        }
        impl->post({UserFileSystemEvent::Kind::DidUnmount, path, {}});
    });
    impl_->post({UserFileSystemEvent::Kind::DidMount, path, {}});
    return true;
}

bool UserFileSystem::unmount(Error* error) {
    std::string path;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->mounted) {
            setError(error, Error::posix(EINVAL, "the volume is not mounted"));
            return false;
        }
        path = impl_->mountPath;
    }
    int rc = unmountNow(path);
    if (rc != 0) {
        setError(error, Error::posix(rc, rc == EBUSY ? "the volume is in use" : ""));
        return false;
    }
    return true;
}

void UserFileSystem::waitUntilUnmounted() {
    if (impl_->loop.joinable() && impl_->loop.get_id() != std::this_thread::get_id())
        impl_->loop.join();
}

bool UserFileSystem::isMounted() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->mounted;
}

const std::string& UserFileSystem::mountPath() const {
    return impl_->mountPath;
}

const std::shared_ptr<UserFileSystemDelegate>& UserFileSystem::delegate() const {
    return impl_->delegate;
}

}  // namespace platform

// Real mounts of a small delegate that serves a plain directory.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#include "platform/core/Dispatch.h"
#include "platform/fuse/UserFileSystem.h"
#include "support/FuseCheck.h"
#include "support/TempDir.h"

using platform::Error;
using platform::FileUserData;
using platform::ItemAttributes;
using platform::UserFileSystem;
using platform::UserFileSystemEvent;

namespace {

// Serves `root` as it is; "/eio" fails without an error value, "/enoent-x"
// with ENOENT. Records the calls that matter to the tests.
class DirDelegate : public platform::UserFileSystemDelegate {
  public:
    explicit DirDelegate(std::string root) : root_(std::move(root)) {}
    std::string real(const std::string& p) const { return p == "/" ? root_ : root_ + p; }
    static bool posixResult(int rc, Error* e) {
        if (rc == 0) return true;
        platform::setError(e, Error::fromErrno());
        return false;
    }

    std::optional<struct stat> attributesOfItem(const std::string& path, const FileUserData&,
                                                Error* e) override {
        if (path == "/eio") return std::nullopt;
        if (path == "/throws") throw std::runtime_error("delegate failed");
        if (path == "/throws-other") throw 42;
        struct stat st;
        if (lstat(real(path).c_str(), &st) != 0) {
            platform::setError(e, Error::fromErrno());
            return std::nullopt;
        }
        return st;
    }
    std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path,
                                                                Error* e) override {
        DIR* d = opendir(real(path).c_str());
        if (!d) {
            platform::setError(e, Error::fromErrno());
            return std::nullopt;
        }
        std::vector<std::string> names;
        while (auto* ent = readdir(d))
            if (strcmp(ent->d_name, ".") && strcmp(ent->d_name, "..")) names.push_back(ent->d_name);
        closedir(d);
        return names;
    }
    bool createFile(const std::string& path, const ItemAttributes& a, FileUserData* ud,
                    Error* e) override {
        int fd =
            ::open(real(path).c_str(), O_CREAT | O_RDWR | O_EXCL, a.permissions.value_or(0644));
        if (fd < 0) return posixResult(-1, e);
        *ud = std::make_shared<int>(fd);
        return true;
    }
    bool openFile(const std::string& path, int mode, FileUserData* ud, Error* e) override {
        int fd = ::open(real(path).c_str(), mode & (O_ACCMODE | O_TRUNC | O_APPEND));
        if (fd < 0) return posixResult(-1, e);
        *ud = std::make_shared<int>(fd);
        return true;
    }
    void releaseFile(const std::string&, FileUserData ud) override {
        ::close(*std::static_pointer_cast<int>(ud));
        ++releases;
    }
    int64_t readFile(const std::string&, const FileUserData& ud, char* buf, size_t size, off_t off,
                     Error* e) override {
        ssize_t n = pread(*std::static_pointer_cast<int>(ud), buf, size, off);
        if (n < 0) platform::setError(e, Error::fromErrno());
        return n;
    }
    int64_t writeFile(const std::string&, const FileUserData& ud, const char* buf, size_t size,
                      off_t off, Error* e) override {
        off_t limit = fullAt;
        if (limit >= 0 && off + static_cast<off_t>(size) > limit &&
            fullAt.compare_exchange_strong(limit, -1)) {
            platform::setError(e, Error::posix(ENOSPC));
            return -1;
        }
        ssize_t n = pwrite(*std::static_pointer_cast<int>(ud), buf, size, off);
        if (n < 0) platform::setError(e, Error::fromErrno());
        return n;
    }
    bool flushFile(const std::string&, const FileUserData&, Error*) override {
        ++flushes;
        return true;
    }
    bool setAttributes(const ItemAttributes& a, const std::string& path, const FileUserData&,
                       Error* e) override {
        if (a.size && truncate(real(path).c_str(), static_cast<off_t>(*a.size)) != 0)
            return posixResult(-1, e);
        if (a.permissions && chmod(real(path).c_str(), *a.permissions) != 0)
            return posixResult(-1, e);
        return true;
    }
    bool createDirectory(const std::string& path, const ItemAttributes& a, Error* e) override {
        return posixResult(mkdir(real(path).c_str(), a.permissions.value_or(0755)), e);
    }
    bool removeItem(const std::string& path, Error* e) override {
        return posixResult(unlink(real(path).c_str()), e);
    }
    bool removeDirectory(const std::string& path, Error* e) override {
        return posixResult(rmdir(real(path).c_str()), e);
    }
    bool moveItem(const std::string& a, const std::string& b, Error* e) override {
        return posixResult(rename(real(a).c_str(), real(b).c_str()), e);
    }
    bool exchangeData(const std::string& a, const std::string& b, Error* e) override {
        exchanged.push_back(a + ">" + b);
        return posixResult(
            renameat2(AT_FDCWD, real(a).c_str(), AT_FDCWD, real(b).c_str(), RENAME_EXCHANGE), e);
    }
    bool linkItem(const std::string& path, const std::string& other, Error* e) override {
        return posixResult(link(real(other).c_str(), real(path).c_str()), e);
    }
    bool createSymbolicLink(const std::string& path, const std::string& dest, Error* e) override {
        return posixResult(symlink(dest.c_str(), real(path).c_str()), e);
    }
    std::optional<std::string> destinationOfSymbolicLink(const std::string& path,
                                                         Error* e) override {
        char buf[4096];
        ssize_t n = readlink(real(path).c_str(), buf, sizeof buf);
        if (n < 0) {
            platform::setError(e, Error::fromErrno());
            return std::nullopt;
        }
        return std::string(buf, static_cast<size_t>(n));
    }
    std::optional<std::vector<std::string>> extendedAttributes(const std::string& path,
                                                               Error*) override {
        if (path == "/") return std::vector<std::string>{};
        return std::vector<std::string>{"user.one", "user.\xc3\xa9t\xc3\xa9"};
    }
    std::optional<std::vector<uint8_t>> valueOfExtendedAttribute(const std::string& name,
                                                                 const std::string&, off_t,
                                                                 Error* e) override {
        if (name != "user.one") {
            platform::setError(e, Error::posix(ENODATA));
            return std::nullopt;
        }
        return std::vector<uint8_t>{'v', 'a', 'l'};
    }

    std::string root_;
    std::atomic<int> releases{0}, flushes{0};
    // The disk is full for the first write past this length, then has room again.
    std::atomic<off_t> fullAt{-1};
    std::vector<std::string> exchanged;
};

bool inMountinfo(const std::string& path) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.find(" " + path + " ") != std::string::npos) return true;
    return false;
}

struct Mounted {
    testsupport::TempDir backing{"fuse-backing"};
    testsupport::TempDir parent{"fuse-mnt"};
    std::string mnt = (parent.path() / "vol").string();
    std::shared_ptr<DirDelegate> delegate = std::make_shared<DirDelegate>(backing.path().string());
    UserFileSystem fs{delegate};
    std::vector<UserFileSystemEvent::Kind> events;

    Mounted() {
        fs.setEventHandler([this](const UserFileSystemEvent& e) { events.push_back(e.kind); });
        Error err;
        if (!fs.mountAtPath(mnt, {"volname=Docs-decrypted", "volicon=/x.icns"}, &err))
            ADD_FAILURE() << "mount failed: " << err.description;
    }
    // The guard: whatever a test did, nothing stays mounted.
    ~Mounted() {
        if (fs.isMounted() && !fs.unmount()) umount2(mnt.c_str(), MNT_DETACH);
        fs.waitUntilUnmounted();
        // Its queued events name `this`: delivered now, not into the next test.
        platform::pumpMainQueue();
    }
    std::string at(const std::string& name) const { return mnt + "/" + name; }
};

}  // namespace

TEST(UserFileSystem, ServesOrdinarySystemCalls) {
    REQUIRE_FUSE();
    Mounted m;
    ASSERT_TRUE(m.fs.isMounted());
    EXPECT_TRUE(inMountinfo(m.mnt));

    testsupport::writeFile(m.at("a.txt"), "hello world");
    EXPECT_EQ(testsupport::readFile(m.backing / "a.txt"), "hello world");
    EXPECT_EQ(testsupport::readFile(m.at("a.txt")), "hello world");

    ASSERT_EQ(truncate(m.at("a.txt").c_str(), 5), 0);
    EXPECT_EQ(testsupport::readFile(m.at("a.txt")), "hello");
    ASSERT_EQ(chmod(m.at("a.txt").c_str(), 0600), 0);
    struct stat st;
    ASSERT_EQ(stat((m.backing / "a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    ASSERT_EQ(mkdir(m.at("d").c_str(), 0755), 0);
    ASSERT_EQ(rename(m.at("a.txt").c_str(), m.at("d/b.txt").c_str()), 0);
    ASSERT_EQ(symlink("b.txt", m.at("d/l").c_str()), 0);
    char target[64] = {};
    ASSERT_EQ(readlink(m.at("d/l").c_str(), target, sizeof target), 5);
    EXPECT_STREQ(target, "b.txt");
    ASSERT_EQ(link(m.at("d/b.txt").c_str(), m.at("d/h").c_str()), 0);
    EXPECT_EQ(testsupport::readFile(m.backing / "d" / "h"), "hello");

    std::set<std::string> names;
    DIR* d = opendir(m.at("d").c_str());
    ASSERT_NE(d, nullptr);
    while (auto* e = readdir(d)) names.insert(e->d_name);
    closedir(d);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "b.txt", "l", "h"}));

    ASSERT_EQ(unlink(m.at("d/h").c_str()), 0);
    ASSERT_EQ(unlink(m.at("d/l").c_str()), 0);
    EXPECT_EQ(rmdir(m.at("d").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_GE(m.delegate->flushes.load(), 1);

    // close(2) flushes what was opened for writing, and costs a read-only
    // open no round trip.
    testsupport::writeFile(m.at("c.txt"), "c");
    for (int flags : {O_RDONLY, O_WRONLY, O_RDWR}) {
        const int before = m.delegate->flushes.load();
        int fd = open(m.at("c.txt").c_str(), flags);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(close(fd), 0);
        EXPECT_EQ(m.delegate->flushes.load() - before, flags == O_RDONLY ? 0 : 1) << flags;
    }
}

TEST(UserFileSystem, ExtendedAttributesAndErrorMapping) {
    REQUIRE_FUSE();
    Mounted m;
    testsupport::writeFile(m.at("x"), "1");

    char list[128];
    ssize_t n = listxattr(m.at("x").c_str(), list, sizeof list);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(list, static_cast<size_t>(n)),
              std::string("user.one\0user.\xc3\xa9t\xc3\xa9\0", 20));
    EXPECT_EQ(listxattr(m.at("x").c_str(), list, 3), -1);
    EXPECT_EQ(errno, ERANGE);
    char value[8];
    EXPECT_EQ(getxattr(m.at("x").c_str(), "user.one", nullptr, 0), 3);
    ASSERT_EQ(getxattr(m.at("x").c_str(), "user.one", value, sizeof value), 3);
    EXPECT_EQ(std::string(value, 3), "val");
    EXPECT_EQ(getxattr(m.at("x").c_str(), "user.two", value, sizeof value), -1);
    EXPECT_EQ(errno, ENODATA);

    struct Case {
        const char* path;
        int err;
    } cases[] = {
        {"eio", EIO},           // failure without an error value
        {"missing", ENOENT},    // errno passed through
        {"throws", EIO},        // an exception never reaches libfuse...
        {"throws-other", EIO},  // ...whatever was thrown
    };
    for (const auto& c : cases) {
        struct stat st;
        errno = 0;
        EXPECT_EQ(stat(m.at(c.path).c_str(), &st), -1) << c.path;
        EXPECT_EQ(errno, c.err) << c.path;
    }
    // The volume lives on.
    EXPECT_EQ(testsupport::readFile(m.at("x")), "1");
    // Unimplemented callbacks answer ENOSYS-like errors, never a bogus -1 (EPERM).
    EXPECT_EQ(setxattr(m.at("x").c_str(), "user.n", "v", 1, 0), -1);
    EXPECT_NE(errno, EPERM);
}

TEST(UserFileSystem, RenameFlags) {
    REQUIRE_FUSE();
    Mounted m;
    testsupport::writeFile(m.at("a"), "A");
    testsupport::writeFile(m.at("b"), "B");
    EXPECT_EQ(renameat2(AT_FDCWD, m.at("a").c_str(), AT_FDCWD, m.at("b").c_str(), RENAME_NOREPLACE),
              -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(testsupport::readFile(m.backing / "b"), "B");
    ASSERT_EQ(renameat2(AT_FDCWD, m.at("a").c_str(), AT_FDCWD, m.at("b").c_str(), RENAME_EXCHANGE),
              0);
    EXPECT_EQ(m.delegate->exchanged, std::vector<std::string>{"/a>/b"});
    EXPECT_EQ(testsupport::readFile(m.backing / "a"), "B");
    ASSERT_EQ(renameat2(AT_FDCWD, m.at("a").c_str(), AT_FDCWD, m.at("c").c_str(), RENAME_NOREPLACE),
              0);
    EXPECT_EQ(testsupport::readFile(m.backing / "c"), "B");
}

TEST(UserFileSystem, BusyUnmountFailsAndCleanUnmountLeavesNothing) {
    REQUIRE_FUSE();
    Mounted m;
    testsupport::writeFile(m.at("f"), "data");
    int fd = open(m.at("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    Error err;
    EXPECT_FALSE(m.fs.unmount(&err));
    EXPECT_EQ(err.code, EBUSY);
    EXPECT_TRUE(m.fs.isMounted());
    char c;
    EXPECT_EQ(read(fd, &c, 1), 1);  // still served
    close(fd);

    // Release reaches the delegate asynchronously after close.
    for (int i = 0; i < 200 && m.delegate->releases.load() == 0; ++i) usleep(5000);
    ASSERT_TRUE(m.fs.unmount(&err)) << err.description;
    m.fs.waitUntilUnmounted();
    platform::pumpMainQueue();
    EXPECT_FALSE(m.fs.isMounted());
    EXPECT_FALSE(inMountinfo(m.mnt));
    EXPECT_FALSE(std::filesystem::exists(m.mnt));  // the mount point we made is gone
    EXPECT_EQ(m.events,
              (std::vector<UserFileSystemEvent::Kind>{UserFileSystemEvent::Kind::DidMount,
                                                      UserFileSystemEvent::Kind::DidUnmount}));
}

TEST(UserFileSystem, MountFailureIsReported) {
    REQUIRE_FUSE();
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "file", "x");
    UserFileSystem fs(std::make_shared<DirDelegate>(dir.path().string()));
    std::vector<UserFileSystemEvent> events;
    fs.setEventHandler([&](const UserFileSystemEvent& e) { events.push_back(e); });
    Error err;
    EXPECT_FALSE(fs.mountAtPath((dir / "file").string(), {}, &err));  // not a directory
    EXPECT_FALSE(fs.isMounted());
    EXPECT_TRUE(events.empty());  // events arrive through the main queue
    platform::pumpMainQueue();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, UserFileSystemEvent::Kind::MountFailed);
    EXPECT_NE(events[0].error.code, 0);
}

TEST(UserFileSystem, KilledServerLeavesNoMount) {
    REQUIRE_FUSE();
    testsupport::TempDir backing, parent;
    std::string mnt = (parent.path() / "vol").string();
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        UserFileSystem fs(std::make_shared<DirDelegate>(backing.path().string()));
        char ok = fs.mountAtPath(mnt, {}) ? '1' : '0';
        if (write(pipefd[1], &ok, 1) != 1) _exit(2);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(pipefd[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');
    EXPECT_TRUE(inMountinfo(mnt));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    bool gone = false;
    for (int i = 0; i < 400 && !(gone = !inMountinfo(mnt)); ++i) usleep(5000);
    EXPECT_TRUE(gone) << "a dead server left its mount behind";
    if (!gone) umount2(mnt.c_str(), MNT_DETACH);
    close(pipefd[0]);
    close(pipefd[1]);
}

namespace {

// Whether something other than its parent's file system is mounted at `path`.
bool mountedAt(const std::string& path) {
    struct stat at, parent;
    return stat(path.c_str(), &at) == 0 &&
           stat(std::filesystem::path(path).parent_path().c_str(), &parent) == 0 &&
           at.st_dev != parent.st_dev;
}

// Mounts, unmounts busy and idle, at mount points whose names mountinfo
// escapes; what went wrong, one line per fault.
std::vector<std::string> unmountAtEscapedPaths(const std::string& parent,
                                               const std::string& backing) {
    std::vector<std::string> faults;
    for (const char* name : {"My Files.zel", "tab\there", "back\\slash", "new\nline"}) {
        for (bool busy : {true, false}) {
            const std::string mnt = parent + "/" + name + (busy ? " busy" : " idle");
            auto fault = [&](const std::string& what) {
                faults.push_back((busy ? "busy " : "idle ") + std::string(name) + ": " + what);
            };
            auto delegate = std::make_shared<DirDelegate>(backing);
            UserFileSystem fs(delegate);
            Error err;
            if (!fs.mountAtPath(mnt, {}, &err)) {
                fault("mount failed: " + err.description);
                continue;
            }
            if (!platform::isMountPoint(mnt)) fault("not listed as a mount point");
            if (geteuid() == 0) {
                // Readahead is raised for the device mountinfo names there.
                struct stat st;
                std::string ra;
                if (stat(mnt.c_str(), &st) == 0) {
                    std::ifstream in("/sys/class/bdi/" + std::to_string(major(st.st_dev)) + ":" +
                                     std::to_string(minor(st.st_dev)) + "/read_ahead_kb");
                    in >> ra;
                }
                if (ra != "8192") fault("readahead is " + ra);
            }
            int fd = busy ? open((mnt + "/f").c_str(), O_RDONLY) : -1;
            if (busy && fd < 0) fault(std::string("open: ") + std::strerror(errno));
            if (busy) {
                if (fs.unmount(&err))
                    fault("a busy volume reported unmounted");
                else if (err.code != EBUSY)
                    fault("busy unmount failed with " + std::to_string(err.code));
                if (!fs.isMounted() || !mountedAt(mnt)) fault("the busy volume went");
                if (fd >= 0) close(fd);
            }
            // The release of a closed file reaches the server a little later.
            bool gone = false;
            for (int i = 0; i < 200 && !(gone = fs.unmount(&err)); ++i) usleep(5000);
            if (!gone) fault("idle unmount failed: " + err.description);
            fs.waitUntilUnmounted();
            if (mountedAt(mnt) || platform::isMountPoint(mnt)) fault("still mounted");
            platform::pumpMainQueue();
        }
    }
    return faults;
}

}  // namespace

// Root unmounts by itself; anyone else through fusermount3, whose refusal is
// told apart from success by mountinfo, which escapes these names.
TEST(UserFileSystem, UnmountAtPathsWithSpacesTabsNewlinesAndBackslashes) {
    REQUIRE_FUSE();
    testsupport::TempDir backing, parent;
    testsupport::writeFile(backing / "f", "data");
    EXPECT_EQ(unmountAtEscapedPaths(parent.path().string(), backing.path().string()),
              std::vector<std::string>{});

    // Again as an unprivileged server, where the machine lets one mount.
    struct stat dev;
    if (geteuid() != 0 || stat("/dev/fuse", &dev) != 0 || (dev.st_mode & 0006) != 0006) return;
    constexpr uid_t kNobody = 65534;
    for (const auto& p : {backing.path(), parent.path(), backing / "f"})
        ASSERT_EQ(chown(p.c_str(), kNobody, kNobody), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(out[0]);
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
        std::string text;
        for (const auto& f : unmountAtEscapedPaths(parent.path().string(), backing.path().string()))
            text += f + "\n";
        _exit(write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 3);
    }
    close(out[1]);
    std::string faults;
    char buf[512];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) faults.append(buf, n);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(faults, "") << "as an unprivileged server";
}

// Every file open on a volume holds one of the server's descriptors: started
// at the desktop's usual soft limit of 1,024, the server still serves
// thousands of open files.
TEST(UserFileSystem, ServesMoreOpenFilesThanItsStartingSoftLimit) {
    REQUIRE_FUSE();
    constexpr int kFiles = 3000;
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 2 * kFiles) GTEST_SKIP() << "the hard limit is " << saved.rlim_max;
    testsupport::TempDir backing, parent;
    for (int i = 0; i < kFiles; ++i)
        testsupport::writeFile(backing / ("f" + std::to_string(i)), std::to_string(i));
    const std::string mnt = (parent.path() / "vol").string();
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        rlimit desktop = {1024, saved.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &desktop) != 0) _exit(2);
        UserFileSystem fs(std::make_shared<DirDelegate>(backing.path().string()));
        char ok = fs.mountAtPath(mnt, {}) ? '1' : '0';
        if (write(ready[1], &ok, 1) != 1) _exit(2);
        char go;
        if (read(done[0], &go, 1) != 1) _exit(2);
        bool gone = false;
        for (int i = 0; i < 400 && !(gone = fs.unmount()); ++i) usleep(5000);
        fs.waitUntilUnmounted();
        _exit(gone ? 0 : 3);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, '1');
    // This side is the programs using the volume, which need room of their own.
    rlimit client = {saved.rlim_max, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &client), 0);
    std::vector<int> fds;
    int firstErrno = 0;
    for (int i = 0; i < kFiles; ++i) {
        int fd = open((mnt + "/f" + std::to_string(i)).c_str(), O_RDONLY);
        if (fd < 0 && !firstErrno) firstErrno = errno;
        if (fd >= 0) fds.push_back(fd);
    }
    EXPECT_EQ(fds.size(), static_cast<size_t>(kFiles)) << std::strerror(firstErrno);
    char c[8] = {};
    if (!fds.empty()) {
        EXPECT_EQ(pread(fds.back(), c, sizeof c, 0), 4);
        EXPECT_EQ(std::string(c, 4), std::to_string(kFiles - 1));
    }
    for (int fd : fds) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(write(done[1], "x", 1), 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    if (inMountinfo(mnt)) umount2(mnt.c_str(), MNT_DETACH);
    for (int* p : {ready, done}) {
        close(p[0]);
        close(p[1]);
    }
}

// Large writes that bypass the page cache are answered before they are
// applied. One that then fails on a full disk is reported by the file's next
// write, or by fsync or close at the latest, never lost, even when the disk
// has room again at once; nothing the program wrote after it is applied.
TEST(UserFileSystem, AFullDiskIsReportedByCloseAtTheLatest) {
    REQUIRE_FUSE();
    Mounted m;
    ASSERT_TRUE(m.fs.isMounted());
    constexpr size_t kPiece = 1 << 20;
    const std::string piece(kPiece, 'w');
    for (int flags : {O_WRONLY, O_RDWR}) {
        for (bool syncs : {true, false}) {
            m.delegate->fullAt = 3 * kPiece;
            SCOPED_TRACE(testing::Message() << (flags == O_WRONLY ? "write-only" : "read-write")
                                            << (syncs ? ", fsync" : ", close"));
            int fd = open(m.at("full").c_str(), flags | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            int failure = 0, written = 0;
            for (int i = 0; i < 6 && !failure; ++i) {
                // As programs do: a short write goes on with the rest.
                for (size_t done = 0; done < kPiece && !failure;) {
                    ssize_t n = write(fd, piece.data() + done, kPiece - done);
                    if (n < 0) failure = errno;
                    done += n < 0 ? 0 : static_cast<size_t>(n);
                }
                written += !failure;
            }
            if (syncs && fsync(fd) != 0 && !failure) failure = errno;
            if (close(fd) != 0 && !failure) failure = errno;
            EXPECT_EQ(failure, ENOSPC);
            EXPECT_GE(written, 3);
            EXPECT_TRUE(testsupport::readFile(m.backing / "full") == std::string(3 * kPiece, 'w'));
            EXPECT_TRUE(testsupport::readFile(m.at("full")) == std::string(3 * kPiece, 'w'));
        }
    }
}

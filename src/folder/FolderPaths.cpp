#include "folder/FolderPaths.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "platform/core/PathPieces.h"
#include "platform/core/UniqueFd.h"

namespace FolderPaths {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

bool isHiddenName(std::string_view name) {
    return equalsIgnoringCase(name, kConfigDatabaseName) ||
           equalsIgnoringCase(name, kConfigJournalName);
}

std::optional<std::string> relative(std::string_view path) {
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        std::string_view part = path.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == ".." || part.find('\0') != std::string_view::npos || isHiddenName(part))
            return std::nullopt;
        if (!out.empty()) out += '/';
        out.append(part);
    }
    return out;
}

std::pair<std::string, std::string> splitParent(const std::string& rel) {
    return {std::string(platform::parentPath(rel)), std::string(platform::lastComponent(rel))};
}

std::string join(std::string_view root, std::string_view rel) {
    std::string out(root);
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    if (rel.empty()) return out;
    if (out.empty()) return std::string(rel);
    if (out.back() != '/') out += '/';
    out.append(rel);
    return out;
}

namespace {

int openat2Beneath(int dirFd, const char* path, int flags, mode_t mode) {
    struct open_how how = {};
    how.flags = static_cast<unsigned>(flags) | O_CLOEXEC;
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd;
    int retries = 0;  // EAGAIN: a rename raced the walk; it is worth a few more tries
    do {
        fd = syscall(SYS_openat2, dirFd, path, &how, sizeof how);
    } while (fd < 0 && (errno == EINTR || (errno == EAGAIN && ++retries < 16)));
    return static_cast<int>(fd);
}

}  // namespace

namespace {

// `path`'s components pushed onto `todo` so that the first comes off last.
void pushComponents(std::string_view path, std::vector<std::string>* todo) {
    size_t end = path.size();
    while (end > 0) {
        size_t slash = path.rfind('/', end - 1);
        size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        if (end > begin) todo->emplace_back(path.substr(begin, end - begin));
        if (slash == std::string_view::npos) break;
        end = slash;
    }
}

// Whether opening with `flags` follows a link in the last component.
bool followsLastLink(int flags) {
    return !(flags & O_NOFOLLOW) && !((flags & O_CREAT) && (flags & O_EXCL));
}

// A path too long for one call, walked a component at a time. Each step
// opens one name beneath the directory reached, so the kernel keeps it
// there; links are read and their targets walked in their place. A ".."
// goes back to the directory walked through before, checked by identity, so
// it reaches exactly as far up as on a plain directory and never above the
// root (EXDEV, as openat2 refuses it). EAGAIN when a directory moved meanwhile.
class BeneathWalk {
  public:
    BeneathWalk(int rootFd, const std::string& rel) : rootFd_(rootFd) {
        pushComponents(rel, &todo_);
    }

    int open(int flags, mode_t mode) {
        while (!todo_.empty()) {
            const std::string name = std::move(todo_.back());
            todo_.pop_back();
            if (name == ".") continue;
            if (name == "..") {
                if (!climb()) return -1;
                continue;
            }
            const bool last = todo_.empty();
            const Step step = last && !followsLastLink(flags) ? Step::Last : enter(name, last);
            if (step == Step::Failed) return -1;
            // Opened anew with the caller's flags: an item swapped in since is
            // still opened beneath this directory.
            if (step == Step::Last) return openat2Beneath(dir(), name.c_str(), flags, mode);
        }
        // Ended on a directory (a trailing "." or ".." of a link's target).
        return openat2Beneath(dir(), ".", flags, mode);
    }

  private:
    int dir() const { return cur_.ok() ? cur_.get() : rootFd_; }

    enum class Step { Entered, Last, Failed };

    // One name of the directory reached: a directory is entered, a link's
    // target queued in its place; Last when the caller's open comes next
    // (the last name, also one still to be made).
    Step enter(const std::string& name, bool last) {
        platform::UniqueFd item(openat2Beneath(dir(), name.c_str(), O_PATH | O_NOFOLLOW, 0));
        struct stat st;
        if (!item.ok() || fstat(item.get(), &st) != 0)
            return last && errno == ENOENT ? Step::Last : Step::Failed;
        if (S_ISLNK(st.st_mode)) return walkLinkTarget(item.get()) ? Step::Entered : Step::Failed;
        if (last) return Step::Last;
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return Step::Failed;
        }
        below_.emplace_back(st.st_dev, st.st_ino);
        cur_ = std::move(item);
        return Step::Entered;
    }

    bool climb() {
        if (below_.empty()) {
            errno = EXDEV;
            return false;
        }
        below_.pop_back();
        if (below_.empty()) {
            cur_.reset();
            return true;
        }
        platform::UniqueFd up(openat(dir(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat st;
        if (!up.ok() || fstat(up.get(), &st) != 0) return false;
        if (st.st_dev != below_.back().first || st.st_ino != below_.back().second) {
            errno = EAGAIN;
            return false;
        }
        cur_ = std::move(up);
        return true;
    }

    bool walkLinkTarget(int linkFd) {
        constexpr int kMaxLinks = 40;  // the kernel's own limit
        if (++links_ > kMaxLinks) {
            errno = ELOOP;
            return false;
        }
        char target[PATH_MAX];
        ssize_t n = readlinkat(linkFd, "", target, sizeof target);
        if (n < 0) return false;
        if (n == 0 || static_cast<size_t>(n) == sizeof target) {
            errno = n == 0 ? ENOENT : ENAMETOOLONG;
            return false;
        }
        if (target[0] == '/') {
            errno = EXDEV;  // as openat2 beneath refuses an absolute link
            return false;
        }
        pushComponents(std::string_view(target, static_cast<size_t>(n)), &todo_);
        return true;
    }

    const int rootFd_;
    std::vector<std::string> todo_;  // the next component last
    // Identity of each directory walked into below the root, outermost first.
    std::vector<std::pair<dev_t, ino_t>> below_;
    platform::UniqueFd cur_;  // not ok: the root
    int links_ = 0;
};

}  // namespace

int openBeneath(int rootFd, const std::string& rel, int flags, mode_t mode) {
    // The kernel takes at most PATH_MAX bytes (with the NUL) per call, while a
    // tree may go deeper: a longer path is walked by name.
    constexpr size_t kOneCall = PATH_MAX - 1;
    if (rel.size() <= kOneCall)
        return openat2Beneath(rootFd, rel.empty() ? "." : rel.c_str(), flags, mode);
    int fd;
    int retries = 0;  // EAGAIN: a rename raced the walk, as openat2 retries it
    do {
        fd = BeneathWalk(rootFd, rel).open(flags, mode);
    } while (fd < 0 && errno == EAGAIN && ++retries < 16);
    return fd;
}

int openParentBeneath(int rootFd, const std::string& rel, std::string* name) {
    if (rel.empty()) {
        errno = EINVAL;
        return -1;
    }
    auto [parent, last] = splitParent(rel);
    *name = last;
    return openBeneath(rootFd, parent, O_PATH | O_DIRECTORY);
}

namespace {

int renameNoReplace(int fromDir, const char* fromName, int toDir, const char* toName) {
    int rc = renameat2(fromDir, fromName, toDir, toName, RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {
        // The file system cannot refuse by itself: check, then move.
        struct stat st;
        if (fstatat(toDir, toName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            errno = EEXIST;
        } else if (errno == ENOENT) {
            rc = renameat(fromDir, fromName, toDir, toName);
        }
    }
    return rc == 0 ? 0 : errno;
}

}  // namespace

int moveBeneath(int rootFd, const std::string& fromRel, const std::string& toRel) {
    if (fromRel.empty() || toRel.empty()) return EINVAL;
    // Two names in the root itself need no walk: the root is their parent.
    if (fromRel.find('/') == std::string::npos && toRel.find('/') == std::string::npos)
        return renameNoReplace(rootFd, fromRel.c_str(), rootFd, toRel.c_str());
    std::string fromName, toName;
    platform::UniqueFd fromDir(openParentBeneath(rootFd, fromRel, &fromName));
    if (!fromDir.ok()) return errno;
    platform::UniqueFd toDir(openParentBeneath(rootFd, toRel, &toName));
    if (!toDir.ok()) return errno;
    return renameNoReplace(fromDir.get(), fromName.c_str(), toDir.get(), toName.c_str());
}

}  // namespace FolderPaths

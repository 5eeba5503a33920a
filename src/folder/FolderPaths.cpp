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

int openBeneath(int rootFd, const std::string& rel, int flags, mode_t mode) {
    // The kernel takes at most PATH_MAX bytes (with the NUL) per call, while a
    // tree may go deeper. A longer path is walked in pieces of whole
    // components, each beneath the directory the one before reached, which
    // itself lies beneath the root. (A relative link whose ".." climbs out of
    // its piece is refused there, though it would stay inside the root.)
    constexpr size_t kPiece = PATH_MAX - 1;
    if (rel.size() <= kPiece)
        return openat2Beneath(rootFd, rel.empty() ? "." : rel.c_str(), flags, mode);
    platform::UniqueFd dir;
    size_t start = 0;
    while (rel.size() - start > kPiece) {
        size_t cut = rel.rfind('/', start + kPiece);
        if (cut == std::string::npos || cut <= start) {
            errno = ENAMETOOLONG;  // one name longer than any the kernel takes
            return -1;
        }
        dir.reset(openat2Beneath(dir.ok() ? dir.get() : rootFd,
                                 rel.substr(start, cut - start).c_str(), O_PATH | O_DIRECTORY, 0));
        if (!dir.ok()) return -1;
        start = cut + 1;
    }
    return openat2Beneath(dir.get(), rel.c_str() + start, flags, mode);
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

#include "platform/core/TreeBytes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/core/UniqueFd.h"

namespace platform {

namespace {

std::int64_t bytesOf(const struct stat& st, const TreeRules& rules) {
    if (S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && rules.countLinkLengths)) return st.st_size;
    return 0;
}

// Adds what the directory `dir` (opened for reading, taken over) holds.
void addDirectory(UniqueFd dir, const TreeRules& rules, TreeTally* tally) {
    DIR* stream = ::fdopendir(dir.get());
    if (!stream) return;
    dir.release();
    while (struct dirent* de = ::readdir(stream)) {
        const char* name = de->d_name;
        if (!std::strcmp(name, ".") || !std::strcmp(name, "..")) continue;
        if (rules.skip && rules.skip(name)) continue;
        ++tally->items;
        struct stat st;
        if (::fstatat(::dirfd(stream), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            UniqueFd child(
                ::openat(::dirfd(stream), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.ok()) addDirectory(std::move(child), rules, tally);
        } else {
            tally->bytes += bytesOf(st, rules);
        }
    }
    ::closedir(stream);
}

}  // namespace

TreeTally tallyTree(const std::string& path, const TreeRules& rules) {
    return tallyTree(AT_FDCWD, path, rules);
}

TreeTally tallyTree(int atFd, const std::string& name, const TreeRules& rules) {
    TreeTally tally;
    const bool follow = rules.followRootLink;
    struct stat st;
    const int statFlags = name.empty() ? AT_EMPTY_PATH : follow ? 0 : AT_SYMLINK_NOFOLLOW;
    if (::fstatat(atFd, name.c_str(), &st, statFlags) != 0) return tally;
    if (!S_ISDIR(st.st_mode)) {
        tally.bytes = bytesOf(st, rules);
        return tally;
    }
    // Opened afresh for reading: `atFd` may be O_PATH, and its position is
    // its owner's.
    UniqueFd dir(::openat(atFd, name.empty() ? "." : name.c_str(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW)));
    if (dir.ok()) addDirectory(std::move(dir), rules, &tally);
    return tally;
}

}  // namespace platform

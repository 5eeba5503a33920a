#include "platform/core/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

#include "platform/core/FullIO.h"
#include "platform/core/PathPieces.h"

namespace platform {

namespace {

// `path` with its symbolic links followed; a dangling link gives the missing
// file it names, so that writing creates the link's target.
std::string followLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        const std::filesystem::path p(path);
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(p, ec))) break;
        const std::filesystem::path target = std::filesystem::read_symlink(p, ec);
        if (ec) break;
        path = (target.is_absolute() ? target : p.parent_path() / target).string();
    }
    return path;
}

}  // namespace

int openRegularFile(const std::string& path) {
    // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int saved = S_ISREG(st.st_mode) ? errno : EINVAL;
        ::close(fd);
        errno = saved;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::optional<std::string> readRegularFile(const std::string& path) {
    int fd = openRegularFile(path);
    if (fd < 0) return std::nullopt;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return bytes;
}

bool replaceFileContents(const std::string& path, std::string_view bytes, mode_t newFileMode) {
    const std::string file = followLinks(path);
    struct stat st {};
    const bool existed = ::stat(file.c_str(), &st) == 0;
    // A name of its own per call: two threads rewriting the same file must
    // never share one temporary file.
    static std::atomic<unsigned> serial{0};
    // Private until it has the old file's bits: a reader that opened a wider
    // temporary file in between would keep reading the new contents.
    const mode_t createMode = existed ? 0600 : newFileMode;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = file + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = (!existed || ::fchmod(fd, st.st_mode & 07777) == 0) &&
              writeFully(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), file.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        errno = err;
        return false;
    }
    // The rename is on disk once the folder is.
    const std::string folder(parentPath(file));
    const int dir =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace platform

#include "reporter/sdk/VXMFileHelpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/core/FullIO.h"
#include "platform/core/PathPieces.h"
#include "reporter/VXMSafe.h"

namespace {

// rename(2) that fails with EEXIST instead of replacing. Where the file
// system cannot do that atomically, a hard link does the same.
bool renameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    if (link(from.c_str(), to.c_str()) != 0) return false;
    unlink(from.c_str());
    return true;
}

}  // namespace

bool VXMWriteFileAtomically(const std::string& path, std::string_view bytes,
                            platform::Error* error) {
    // A leading dot keeps a leftover of a crash out of every listing.
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string temporary = path.substr(0, nameStart) + "." + path.substr(nameStart) + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        platform::setError(error, platform::Error::fromErrno());
        return false;
    }
    bool ok = fchmod(fd, 0644) == 0 && platform::writeFully(fd, bytes.data(), bytes.size()) &&
              fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        platform::setError(error, platform::Error::posix(platform::errnoOrEIO(saved)));
    }
    return ok;
}

bool VXMCreateDirectory(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (!ec) {
        chmod(path.c_str(), 0755);
        return true;
    }
    VXMDebugLog("[Vexmor] Unable to create directory %s", ec.message().c_str());
    return false;
}

std::string VXMMoveItemToDirectory(const std::string& path, const std::string& directory) {
    if (path.empty() || directory.empty()) {
        VXMDebugLog("[Vexmor] Failed to move file, inputs invalid");
        return {};
    }
    const std::string name(platform::lastComponent(path));
    const std::string extension = VXMPathExtension(name);
    const std::string stem = VXMDeletingPathExtension(name);
    for (unsigned suffix = 0; suffix < 1000; ++suffix) {
        std::string target = directory + "/";
        if (suffix == 0) {
            target += name;
        } else {
            target += stem + "-" + std::to_string(suffix) + (extension.empty() ? "" : ".");
            target += extension;
        }
        if (renameNoReplace(path, target)) return target;
        if (errno != EEXIST) break;
    }
    VXMDebugLog("[Vexmor] Failed to move file: %s", strerror(errno));
    return {};
}

bool VXMRemoveItem(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (!ec) return true;
    VXMDebugLog("[Vexmor] Failed to remove file '%s' : %s", path.c_str(), ec.message().c_str());
    return false;
}

bool VXMListDirectory(const std::string& directory, std::vector<std::string>& entries) {
    entries.clear();
    DIR* dir = opendir(directory.c_str());
    if (!dir) return false;
    while (dirent* entry = readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;
        entries.push_back(directory + "/" + std::string(name));
    }
    closedir(dir);
    return true;
}

std::string VXMPathExtension(const std::string& path) {
    const std::string name(platform::lastComponent(path));
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

std::string VXMDeletingPathExtension(const std::string& path) {
    const std::string extension = VXMPathExtension(path);
    return extension.empty() ? path : path.substr(0, path.size() - extension.size() - 1);
}

#include "reporter/analytics/VXMEventLogFile.h"
#include "platform/core/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "reporter/VXMSafe.h"

namespace fs = std::filesystem;

std::unique_ptr<VXMEventLogFile> VXMEventLogFile::open(const std::string& path) {
    std::unique_ptr<VXMEventLogFile> file(new VXMEventLogFile(path));
    if (!file->prepare()) return nullptr;
    return file;
}

std::unique_ptr<VXMEventLogFile> VXMEventLogFile::open(const std::string& name,
                                                       const std::string& directory) {
    return open((fs::path(directory) / name).string());
}

std::unique_ptr<VXMEventLogEventFile> VXMEventLogEventFile::open(const std::string& path) {
    std::unique_ptr<VXMEventLogEventFile> file(new VXMEventLogEventFile(path));
    if (!file->prepare()) return nullptr;
    return file;
}

bool VXMEventLogFile::prepare() {
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(path_, ec))) {
        fs::remove_all(path_, ec);
        if (ec)
            VXMDebugLog(
                "[Vexmor] VXMEventLogFile: Unable to delete blocking directory %s [error: %s]",
                path_.c_str(), ec.message().c_str());
    }
    // Opening with O_CREAT creates a missing file and continues an existing one.
    platform::Error error;
    if (!openFileHandleForWriting(&error)) {
        VXMDebugLog(
            "[Vexmor] VXMEventLogFile: Unable to get open file for writing at path %s [error: %s]",
            path_.c_str(), error.description.c_str());
        return false;
    }
    struct stat info {};
    if (fstat(fd_.get(), &info) != 0) {
        VXMDebugLog(
            "[Vexmor] VXMEventLogFile: Unable to get attributes for item at path %s [error: %s]",
            path_.c_str(), strerror(errno));
        return false;
    }
    size_ = static_cast<uint64_t>(info.st_size);
    return true;
}

bool VXMEventLogFile::openFileHandleForWriting(platform::Error* error) {
    if (fd_.ok()) {
        platform::setError(error, platform::Error::posix(EBUSY));
        return false;
    }
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        platform::setError(error, platform::Error::fromErrno());
        return false;
    }
    fd_.reset(fd);
    writing_ = true;
    return true;
}

bool VXMEventLogFile::openFileHandleForReading(platform::Error* error) {
    if (fd_.ok()) {
        platform::setError(error, platform::Error::posix(EBUSY));
        return false;
    }
    int fd = platform::openRegularFile(path_);
    if (fd < 0) {
        platform::setError(error, platform::Error::fromErrno());
        return false;
    }
    fd_.reset(fd);
    writing_ = false;
    return true;
}

void VXMEventLogFile::closeFileHandle() {
    fd_.reset();
    writing_ = false;
}

bool VXMEventLogFile::appendData(std::string_view data, platform::Error* error) {
    if (!fd_.ok() || !writing_) {
        platform::setError(error, platform::Error::posix(EBADF));
        return false;
    }
    ssize_t written;
    do {
        written = ::write(fd_.get(), data.data(), data.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        platform::setError(error, platform::Error::fromErrno());
        return false;
    }
    size_ += static_cast<uint64_t>(written);
    if (static_cast<size_t>(written) != data.size()) {
        // A torn line: the disk is full or the file limit reached.
        platform::setError(error, platform::Error::posix(ENOSPC));
        return false;
    }
    return true;
}

bool VXMEventLogFile::resetFile(platform::Error* error) {
    if (!fd_.ok()) {
        platform::setError(error, platform::Error::posix(EBADF));
        return false;
    }
    if (ftruncate(fd_.get(), 0) != 0) {
        platform::setError(error, platform::Error::fromErrno());
        return false;
    }
    size_ = 0;
    return true;
}

std::optional<std::string> VXMEventLogFile::readFromFile(platform::Error* error) {
    closeFileHandle();
    std::optional<std::string> contents;
    platform::Error readError;
    if (openFileHandleForReading(&readError)) {
        std::string data;
        char buffer[65536];
        for (;;) {
            ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                readError = platform::Error::fromErrno();
                break;
            }
            if (n == 0) {
                contents = std::move(data);
                break;
            }
            data.append(buffer, static_cast<size_t>(n));
        }
        closeFileHandle();
    }
    platform::Error reopenError;
    if (!openFileHandleForWriting(&reopenError) && !contents)
        VXMDebugLog(
            "[Vexmor] VXMEventLogFile: Unable to reopen file for writing at path %s [error: %s]",
            path_.c_str(), reopenError.description.c_str());
    if (!contents) platform::setError(error, readError);
    return contents;
}

#pragma once
// A file descriptor closed when its owner goes; -1 means none.

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <utility>

namespace platform {

class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Hands the descriptor over (to a stream, or to a close whose result counts).
    int release() { return std::exchange(fd_, -1); }
    // Leaves errno as it was, so a failure can be read after the cleanup.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

// A descriptor held by several owners at once (a long-lived directory that
// many calls work beneath): copying it costs no dup(2), and it is closed when
// the last copy goes.
class SharedFd {
  public:
    SharedFd() = default;
    explicit SharedFd(int fd) {
        if (fd >= 0) {
            int saved = errno;
            fd_ = std::make_shared<const UniqueFd>(fd);
            errno = saved;
        }
    }
    int get() const { return fd_ ? fd_->get() : -1; }
    bool ok() const { return fd_ != nullptr; }
    void reset() { fd_.reset(); }

  private:
    std::shared_ptr<const UniqueFd> fd_;
};

// "/proc/self/fd/N": through it the calls that take only a path (chmod, the
// extended-attribute calls) reach exactly the object the descriptor holds,
// even an O_PATH one, with no name looked up again.
inline std::string descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace platform

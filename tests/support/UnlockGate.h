#pragma once
// Holds each unlock of a QVUnlockController until released; then the
// handle's own unlock runs.
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "FileSystem/QVFileSystem.h"
#include "app/logic/QVUnlockController.h"

namespace testsupport {

struct UnlockGate {
    explicit UnlockGate(bool initiallyOpen) : open(initiallyOpen) {}
    ~UnlockGate() { release(); }
    UnlockGate(const UnlockGate&) = delete;
    UnlockGate& operator=(const UnlockGate&) = delete;

    std::mutex mutex;
    std::condition_variable cv;
    bool open;
    std::atomic<int> calls{0};

    void close() {
        std::lock_guard lock(mutex);
        open = false;
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
    QVUnlockController::UnlockFunction hook() {
        return [this](QVFileSystem& fs, const std::string& path, const std::string& password,
                      platform::Error* error) {
            ++calls;
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return open; });
            lock.unlock();
            return fs.mountEncryptedFolder(path, password, error);
        };
    }
};

}  // namespace testsupport

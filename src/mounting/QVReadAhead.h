#pragma once
// Reading ahead the small files of a directory that a program reads one after
// the other (tar, cp -r, rsync, grep -r). Each small file would otherwise cost
// the folder's disk a wait of its own, in turn; once a listed directory's files
// are opened for reading, the next few small ones are asked of the disk
// together, in the background, and their reads find them in the page cache.
// Listing alone (ls, find, du) reads nothing ahead.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/core/UniqueFd.h"
#include "platform/fuse/UserFileSystem.h"

class QVReadAhead {
  public:
    // Opens the real directory of a volume path, beneath the folder's root
    // only; an invalid descriptor when it cannot.
    using DirectoryOpener = std::function<platform::UniqueFd(const std::string& dirPath)>;

    // Files up to this size are read ahead whole; larger ones have the
    // kernel's own readahead.
    static constexpr off_t kSmallFile = 128 << 10;
    // How many files ahead of the one being opened.
    static constexpr size_t kFilesAhead = 32;

    explicit QVReadAhead(DirectoryOpener openDirectory);
    ~QVReadAhead();
    QVReadAhead(const QVReadAhead&) = delete;
    QVReadAhead& operator=(const QVReadAhead&) = delete;

    // A listing of `dirPath`, in the order it was given out.
    void listed(const std::string& dirPath, const std::vector<platform::DirectoryEntry>& entries);
    // `path` was opened for reading.
    void opened(const std::string& path);

  private:
    struct Listing {
        std::string dir;
        std::vector<std::string> names;  // its small regular files, in order
        std::unordered_map<std::string, size_t> index;
        size_t next = 0;  // the first not yet read ahead
        std::chrono::steady_clock::time_point at;
    };
    struct Job {
        std::string dir;
        std::vector<std::string> names;
    };
    void run();

    DirectoryOpener openDirectory_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Listing> listings_;  // the most recent first
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

#include "mounting/QVReadAhead.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "platform/core/PathPieces.h"
#include "platform/core/ThreadHooks.h"

namespace {

// Listings are remembered for the programs that read right after listing.
constexpr size_t kListings = 4;
constexpr auto kListingLife = std::chrono::seconds(10);
// A directory of more small files than this is read ahead from its start only.
constexpr size_t kListedFiles = 10'000;
constexpr size_t kJobsQueued = 16;

}  // namespace

QVReadAhead::QVReadAhead(DirectoryOpener openDirectory)
    : openDirectory_(std::move(openDirectory)) {}

QVReadAhead::~QVReadAhead() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void QVReadAhead::listed(const std::string& dirPath,
                         const std::vector<platform::DirectoryEntry>& entries) {
    Listing listing;
    listing.dir = dirPath;
    for (const auto& entry : entries) {
        if (listing.names.size() == kListedFiles) break;
        // A listing without attributes names everything; the read-ahead
        // itself then looks at what each name is.
        const auto& st = entry.attributes;
        if (st && (!S_ISREG(st->st_mode) || st->st_size <= 0 || st->st_size > kSmallFile)) continue;
        listing.index.emplace(entry.name, listing.names.size());
        listing.names.push_back(entry.name);
    }
    std::lock_guard lock(mutex_);
    listings_.erase(std::remove_if(listings_.begin(), listings_.end(),
                                   [&](const Listing& l) { return l.dir == dirPath; }),
                    listings_.end());
    if (listing.names.size() < 2) return;  // nothing to read ahead of
    listing.at = std::chrono::steady_clock::now();
    listings_.push_front(std::move(listing));
    if (listings_.size() > kListings) listings_.pop_back();
}

void QVReadAhead::opened(const std::string& path) {
    const std::string_view dir = platform::parentPath(path);
    const std::string name(platform::lastComponent(path));
    std::unique_lock lock(mutex_);
    if (stopping_) return;
    auto listing = std::find_if(listings_.begin(), listings_.end(),
                                [&](const Listing& l) { return l.dir == dir; });
    if (listing == listings_.end()) return;
    if (std::chrono::steady_clock::now() - listing->at > kListingLife) {
        listings_.erase(listing);
        return;
    }
    auto found = listing->index.find(name);
    if (found == listing->index.end()) return;
    const size_t from = std::max(listing->next, found->second + 1);
    const size_t to = std::min(listing->names.size(), found->second + 1 + kFilesAhead);
    // Asked for in batches of half the window, as the reader comes close.
    if (from >= to || to - from < std::min(kFilesAhead / 2, listing->names.size() - from)) return;
    if (jobs_.size() >= kJobsQueued) return;
    jobs_.push_back({std::string(dir),
                     {listing->names.begin() + static_cast<std::ptrdiff_t>(from),
                      listing->names.begin() + static_cast<std::ptrdiff_t>(to)}});
    listing->next = to;
    if (!thread_.joinable()) {
        // Without a thread there is no read-ahead, and the open goes on as ever.
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            jobs_.clear();
            return;
        }
    }
    lock.unlock();
    wake_.notify_one();
}

void QVReadAhead::run() {
    platform::threadDidStart();
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        platform::UniqueFd dir = openDirectory_(job.dir);
        for (const auto& name : job.names) {
            if (!dir.ok()) break;
            // Reading only: a link is not followed, a FIFO does not block.
            platform::UniqueFd file(
                openat(dir.get(), name.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            struct stat st;
            if (file.ok() && fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) &&
                st.st_size <= kSmallFile)
                posix_fadvise(file.get(), 0, st.st_size, POSIX_FADV_WILLNEED);
        }
        lock.lock();
    }
}

// Reading ahead a directory's small files, seen in the page cache.
#include "mounting/QVReadAhead.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/TempDir.h"

using platform::DirectoryEntry;
using platform::UniqueFd;

namespace {

// Whether the first page of `path` is in the page cache.
bool resident(const std::filesystem::path& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return false;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* map = mmap(nullptr, page, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED) return false;
    unsigned char in = 0;
    bool yes = mincore(map, page, &in) == 0 && (in & 1);
    munmap(map, page);
    return yes;
}

void evict(const std::filesystem::path& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    fdatasync(fd.get());
    posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
}

bool residentWithin(const std::filesystem::path& path, std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!resident(path)) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct Tree {
    testsupport::TempDir root{"tessaro-readahead"};
    testsupport::TempDir outside{"tessaro-readahead-outside"};
    std::vector<DirectoryEntry> entries;

    Tree() {
        std::filesystem::create_directory(root / "d");
        for (int i = 0; i < 60; ++i) add("f" + std::to_string(i), std::string(5000, 'x'));
        testsupport::writeFile(outside / "secret", std::string(5000, 's'));
    }
    void add(const std::string& name, const std::string& bytes) {
        testsupport::writeFile(root / "d" / name, bytes);
        struct stat st;
        lstat((root / "d" / name).c_str(), &st);
        entries.push_back({name, st});
    }
    std::filesystem::path at(const std::string& name) const { return root / "d" / name; }
    QVReadAhead::DirectoryOpener opener() const {
        return [dir = root.path()](const std::string& dirPath) {
            return UniqueFd(open((dir.string() + dirPath).c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        };
    }
    void evictAll() const {
        for (const auto& entry : std::filesystem::directory_iterator(root / "d"))
            if (entry.is_regular_file()) evict(entry.path());
        evict(outside / "secret");
    }
};

#define REQUIRE_EVICTION(tree)                                                     \
    do {                                                                           \
        (tree).evictAll();                                                         \
        if (resident((tree).at("f0")))                                             \
            GTEST_SKIP() << "this file system keeps every page in memory (tmpfs)"; \
    } while (0)

}  // namespace

TEST(ReadAhead, AReaderOfAListedDirectoryFindsTheNextSmallFilesReadAndNothingElse) {
    Tree tree;
    // A stale listing: one regular-looking name is now a link out of the
    // folder, another a FIFO; one file is too large to read whole.
    tree.add("big", std::string(QVReadAhead::kSmallFile + 1, 'b'));
    ASSERT_EQ(symlink((tree.outside / "secret").c_str(), tree.at("link").c_str()), 0);
    ASSERT_EQ(mkfifo(tree.at("fifo").c_str(), 0644), 0);
    auto listed = tree.entries;
    struct stat regular = *listed[1].attributes;
    listed.insert(listed.begin() + 2, {{"link", regular}, {"fifo", regular}});
    REQUIRE_EVICTION(tree);

    QVReadAhead readAhead(tree.opener());
    readAhead.listed("/d", listed);
    // Listing alone reads nothing ahead, and neither does a name not listed.
    readAhead.opened("/elsewhere/f0");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(resident(tree.at("f1")));

    readAhead.opened("/d/f0");
    EXPECT_TRUE(residentWithin(tree.at("f1"), std::chrono::seconds(3)));
    const size_t window = QVReadAhead::kFilesAhead;
    // f1 .. f(window - 2): the link and the FIFO took two places.
    EXPECT_TRUE(residentWithin(tree.at("f" + std::to_string(window - 2)), std::chrono::seconds(3)));
    EXPECT_FALSE(resident(tree.at("f" + std::to_string(window + 5))));
    EXPECT_FALSE(resident(tree.outside / "secret"));

    // Further on, the next batch follows the reader to the end.
    readAhead.opened("/d/f40");
    EXPECT_TRUE(residentWithin(tree.at("f59"), std::chrono::seconds(3)));
    EXPECT_FALSE(resident(tree.at("big")));
    EXPECT_FALSE(resident(tree.outside / "secret"));
}

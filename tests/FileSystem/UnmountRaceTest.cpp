// Unmount while two threads read: reads either return the plain bytes or fail
// cleanly, never touch freed key material. Also built with ThreadSanitizer.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>

#include "FileSystem/QVFileSystem.h"
#include "support/FolderBuilder.h"
#include "support/TempDir.h"

namespace {

TEST(QVFileSystemRace, UnmountWhileTwoThreadsRead) {
    testsupport::TempDir tmp;
    const auto folder = tmp / "race.zel";
    ASSERT_TRUE(testsupport::makeEncryptedFolder(folder, {{"ann", "pw"}}));
    QVFileSystem h;
    ASSERT_TRUE(h.mountEncryptedFolder(folder.string(), "ann", "pw"));
    std::vector<uint8_t> plain(300000);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 31 + i / 512);
    {
        auto w = h.openFileAtPath("data", false, true);
        ASSERT_TRUE(w && h.writeData(plain, w));
        h.closeFile(w);
    }

    std::atomic<int> started{0};
    std::atomic<bool> wrongBytes{false};
    std::atomic<int> reads{0};
    auto reader = [&](unsigned seed) {
        auto f = h.openFileAtPath("data", true, false);
        if (!f) return;
        std::vector<uint8_t> buf(70000);
        started++;
        for (unsigned i = 0;; ++i) {
            uint64_t off = (seed * 7919u + i * 104729u) % (plain.size() - buf.size());
            size_t got = 0;
            platform::Error err;
            if (!h.readFile(f, off, buf.data(), buf.size(), &got, &err)) {
                EXPECT_EQ(err.code, EBADF);
                break;
            }
            if (got != buf.size() || !std::equal(buf.begin(), buf.end(), plain.begin() + off))
                wrongBytes = true;
            reads++;
        }
        h.closeFile(f);
    };
    std::thread a(reader, 1), b(reader, 2);
    while (started < 2 || reads < 20) std::this_thread::yield();
    h.unmount();
    a.join();
    b.join();
    EXPECT_FALSE(wrongBytes);
    EXPECT_FALSE(h.isMounted());
}

}  // namespace

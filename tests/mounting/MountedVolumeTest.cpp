// Real volumes: ordinary programs and system calls on a mounted folder must
// give exactly what they give on a plain directory, and the folder must read
// back the same through the handle afterwards.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>

#include "mounting/LoopbackFixture.h"

using loopbacktest::MountedFolder;

namespace {

int run(const std::string& cmd) {
    return std::system(cmd.c_str());
}

std::string pattern(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

void pwriteAll(const std::string& path, const std::string& bytes, off_t at) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(close(fd), 0);
}

// One way of changing a file `name` inside directory `dir`.
struct Pattern {
    const char* name;
    std::function<void(const std::string& dir)> apply;
};

const std::string kData = pattern(70000, 7);

std::vector<Pattern> patterns() {
    return {
        {"split writes",
         [](const std::string& d) {
             pwriteAll(d + "/f", "hello", 0);
             pwriteAll(d + "/f", " world", 5);
             pwriteAll(d + "/f", "!\n", 11);
         }},
        {"1000-byte chunks",
         [](const std::string& d) {
             for (size_t off = 0; off < 20000; off += 1000)
                 pwriteAll(d + "/f", kData.substr(off, 1000), static_cast<off_t>(off));
         }},
        {"random overwrites",
         [](const std::string& d) {
             pwriteAll(d + "/f", kData.substr(0, 9000), 0);
             std::mt19937 rng(3);
             for (int i = 0; i < 60; ++i) {
                 size_t off = rng() % 10000, len = 1 + rng() % 1500;
                 pwriteAll(d + "/f", kData.substr(off, len), static_cast<off_t>(off));
             }
         }},
        {"truncate down and up",
         [](const std::string& d) {
             pwriteAll(d + "/f", kData.substr(0, 3000), 0);
             ASSERT_EQ(truncate((d + "/f").c_str(), 700), 0);
             ASSERT_EQ(truncate((d + "/f").c_str(), 5000), 0);
             pwriteAll(d + "/f", "tail", 4998);
         }},
        {"mmap write",
         [](const std::string& d) {
             pwriteAll(d + "/f", kData.substr(0, 8192), 0);
             int fd = open((d + "/f").c_str(), O_RDWR);
             ASSERT_GE(fd, 0);
             void* p = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
             ASSERT_NE(p, MAP_FAILED);
             std::memset(static_cast<char*>(p) + 1000, 'M', 3000);
             ASSERT_EQ(msync(p, 8192, MS_SYNC), 0);
             munmap(p, 8192);
             close(fd);
         }},
        {"rewritten shorter",
         [](const std::string& d) {
             testsupport::writeFile(d + "/f", kData.substr(0, 9000));
             testsupport::writeFile(d + "/f", "short\n");
             testsupport::writeFile(d + "/g", kData.substr(0, 9000));
             ASSERT_EQ(run("printf 'x\\n' > '" + d + "/h' && cp '" + d + "/h' '" + d + "/g'"), 0);
         }},
        {"cp, dd and sed -i",
         [](const std::string& d) {
             testsupport::writeFile(d + "/src.txt", "alpha\nbeta\ngamma\n" + kData.substr(0, 5000));
             ASSERT_EQ(run("cp '" + d + "/src.txt' '" + d + "/f'"), 0);
             ASSERT_EQ(run("dd if='" + d + "/src.txt' of='" + d +
                           "/f' bs=333 seek=7 conv=notrunc status=none"),
                       0);
             ASSERT_EQ(run("sed -i 's/beta/BETA-BETA/' '" + d + "/f'"), 0);
         }},
    };
}

}  // namespace

TEST(MountedVolume, WritePatternsMatchAPlainDirectory) {
    REQUIRE_FUSE();
    for (const auto& p : patterns()) {
        SCOPED_TRACE(p.name);
        testsupport::TempDir plain("plain");
        std::string folderPath;
        std::vector<std::string> names;
        {
            MountedFolder m;
            ASSERT_TRUE(m.volume && m.volume->isMounted());
            folderPath = m.folder.string();
            p.apply(plain.path().string());
            p.apply(m.mnt);
            for (const auto& e : std::filesystem::directory_iterator(plain.path())) {
                std::string name = e.path().filename().string();
                names.push_back(name);
                EXPECT_EQ(run("cmp -s '" + e.path().string() + "' '" + m.at(name) + "'"), 0)
                    << name;
                // Same length on disk, other bytes.
                EXPECT_EQ(std::filesystem::file_size(m.real(name)),
                          std::filesystem::file_size(e.path()));
                EXPECT_NE(testsupport::readFile(m.real(name)), testsupport::readFile(e.path()));
            }
            m.unmount();
            // The folder format is kept: a fresh handle reads the same bytes.
            QVFileSystem fs;
            ASSERT_TRUE(
                fs.mountEncryptedFolder(folderPath, std::string("alice"), std::string("secret")));
            for (const auto& name : names) {
                std::string want = testsupport::readFile(plain / name);
                auto f = fs.openFileAtPath("/" + name, true, false);
                ASSERT_TRUE(f) << name;
                std::string got(want.size() + 10, '\0');
                size_t n = 0;
                ASSERT_TRUE(fs.readFile(f, 0, got.data(), got.size(), &n));
                got.resize(n);
                EXPECT_EQ(got, want) << name;
                fs.closeFile(f);
            }
            fs.unmount();
        }
    }
}

TEST(MountedVolume, RandomOperationsMatchAPlainDirectory) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    testsupport::TempDir plain("plain");
    const std::string roots[2] = {plain.path().string(), m.mnt};
    std::mt19937 rng(20261210);
    const char* names[] = {"a", "b", "c", "d"};
    for (int step = 0; step < 2500; ++step) {
        const std::string n1 = names[rng() % 4], n2 = names[rng() % 4];
        int op = static_cast<int>(rng() % 6);
        size_t off = rng() % 6000, len = rng() % 2000;
        std::string bytes = pattern(len, static_cast<unsigned>(step));
        int results[2];
        for (int i = 0; i < 2; ++i) {
            std::string p1 = roots[i] + "/" + n1, p2 = roots[i] + "/" + n2;
            errno = 0;
            int rc = 0;
            switch (op) {
                case 0:
                case 1: {
                    // Every other write starts by emptying the file.
                    int flags = O_RDWR | O_CREAT | (op == 1 ? O_TRUNC : 0);
                    int fd = open(p1.c_str(), flags, 0644);
                    rc = fd < 0 ? -1
                                : static_cast<int>(
                                      pwrite(fd, bytes.data(), len, static_cast<off_t>(off)));
                    if (fd >= 0) close(fd);
                    break;
                }
                case 2:
                    rc = truncate(p1.c_str(), static_cast<off_t>(off));
                    break;
                case 3:
                    rc = rename(p1.c_str(), p2.c_str());
                    break;
                case 4:
                    rc = unlink(p1.c_str());
                    break;
                case 5: {
                    int fd = open(p1.c_str(), O_RDONLY);
                    std::string buf(len, '\0');
                    rc =
                        fd < 0
                            ? -1
                            : static_cast<int>(pread(fd, buf.data(), len, static_cast<off_t>(off)));
                    if (fd >= 0) close(fd);
                    break;
                }
            }
            results[i] = rc < 0 ? -errno : rc;
        }
        ASSERT_EQ(results[0], results[1]) << "step " << step << " op " << op << " " << n1;
        if (step % 50 == 0 || op == 5) {
            for (const char* n : names) {
                bool a = std::filesystem::exists(roots[0] + "/" + n);
                ASSERT_EQ(a, std::filesystem::exists(roots[1] + "/" + n)) << "step " << step;
                if (a) {
                    ASSERT_EQ(testsupport::readFile(roots[0] + "/" + n),
                              testsupport::readFile(roots[1] + "/" + n))
                        << "step " << step << " " << n;
                }
            }
        }
    }
}

TEST(MountedVolume, BusyUnmountFailsAndNothingIsLeftAfterwards) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    testsupport::writeFile(m.at("x"), "busy");
    int fd = open(m.at("x").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    platform::Error e;
    EXPECT_FALSE(m.volume->unmount(&e));
    EXPECT_EQ(e.code, EBUSY);
    close(fd);
    bool done = false;
    for (int i = 0; i < 200 && !(done = m.volume->unmount(&e)); ++i) usleep(5000);
    ASSERT_TRUE(done) << e.description;
    m.volume->waitUntilUnmounted();
    std::ifstream info("/proc/self/mountinfo");
    std::string all((std::istreambuf_iterator<char>(info)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all.find(m.mnt), std::string::npos);
    m.unmount();
    EXPECT_FALSE(m.fs->isMounted());  // the handle's key went with the volume
}

TEST(MountedVolume, TarAndRsyncRoundTrip) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    testsupport::TempDir src("tree"), back("back");
    std::filesystem::create_directories(src / "a" / "b");
    testsupport::writeFile(src / "a" / "one.txt", "first\n");
    testsupport::writeFile(src / "a" / "b" / "two.bin", pattern(123457, 9));
    std::filesystem::create_symlink("one.txt", src / "a" / "link");
    const std::string s = src.path().string(), b = back.path().string();
    ASSERT_EQ(run("tar -C '" + s + "' -cf - a | tar -C '" + m.mnt + "' -xf -"), 0);
    ASSERT_EQ(run("diff -r '" + s + "/a' '" + m.at("a") + "'"), 0);
    ASSERT_EQ(run("rsync -a '" + s + "/a/' '" + m.at("r") + "/'"), 0);
    ASSERT_EQ(run("rsync -a '" + m.at("r") + "/' '" + b + "/'"), 0);
    EXPECT_EQ(run("diff -r '" + s + "/a' '" + b + "'"), 0);
    EXPECT_EQ(std::filesystem::read_symlink(m.at("r/link")), "one.txt");
}

TEST(MountedVolume, HardLinksNeverLeaveAStrayItem) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    testsupport::writeFile(m.at("a"), "keep me");
    const std::string stored = testsupport::readFile(m.real("a"));

    // A file cannot get a second name here: a clean refusal, nothing made.
    errno = 0;
    EXPECT_EQ(link(m.at("a").c_str(), m.at("h").c_str()), -1);
    EXPECT_EQ(errno, EPERM);
    struct stat st;
    EXPECT_NE(lstat(m.at("h").c_str(), &st), 0);
    EXPECT_NE(lstat(m.real("h").c_str(), &st), 0);
    EXPECT_EQ(testsupport::readFile(m.at("a")), "keep me");
    EXPECT_EQ(testsupport::readFile(m.real("a")), stored);
    errno = 0;
    EXPECT_EQ(link(m.at("a").c_str(), m.at("a").c_str()), -1);
    EXPECT_EQ(errno, EEXIST);

    // A symbolic link served as a symbolic link is what was asked for.
    ASSERT_EQ(symlink("a", m.at("s").c_str()), 0);
    ASSERT_EQ(link(m.at("s").c_str(), m.at("hs").c_str()), 0) << std::strerror(errno);
    EXPECT_EQ(testsupport::readFile(m.at("hs")), "keep me");
}

// Real volumes: ordinary programs and system calls on a mounted folder must
// give exactly what they give on a plain directory, and the folder must read
// back the same through the handle afterwards.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

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
        {"write-only whole megabytes, a tail and an overwrite",
         [](const std::string& d) {
             testsupport::writeFile(d + "/src", pattern((3 << 20) + 1000, 5));
             ASSERT_EQ(run("dd if='" + d + "/src' of='" + d + "/f' bs=1M status=none"), 0);
             ASSERT_EQ(run("dd if='" + d + "/src' of='" + d +
                           "/f' bs=256K count=3 skip=1 seek=5 conv=notrunc status=none"),
                       0);
             ASSERT_EQ(
                 run("dd if='" + d + "/src' of='" + d + "/g' bs=256K count=2 seek=2 status=none"),
                 0);
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
        int op = static_cast<int>(rng() % 8);
        size_t off = rng() % 6000, len = rng() % 2000;
        std::string bytes = pattern(len, static_cast<unsigned>(step));
        int results[2];
        std::string seen[2];  // what an open file showed after losing its name
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
                case 6: {
                    // Removed while open, then written, resized and read.
                    int fd = open(p1.c_str(), O_RDWR);
                    rc = fd < 0 ? -1 : unlink(p1.c_str());
                    struct stat st;
                    std::string buf(off + len, '\0');
                    if (rc == 0 &&
                        pwrite(fd, bytes.data(), len, static_cast<off_t>(off)) ==
                            static_cast<ssize_t>(len) &&
                        ftruncate(fd, static_cast<off_t>(off + len / 2)) == 0 &&
                        fstat(fd, &st) == 0) {
                        ssize_t got = pread(fd, buf.data(), buf.size(), 0);
                        buf.resize(got < 0 ? 0 : static_cast<size_t>(got));
                        seen[i] = std::to_string(st.st_size) + "/" + std::to_string(st.st_nlink) +
                                  "/" + buf;
                    } else if (rc == 0) {
                        seen[i] = std::string("failed: ") + std::strerror(errno);
                    }
                    if (fd >= 0) close(fd);
                    break;
                }
                case 7:
                    rc = link(p1.c_str(), p2.c_str());
                    break;
            }
            results[i] = rc < 0 ? -errno : rc;
        }
        ASSERT_EQ(results[0], results[1]) << "step " << step << " op " << op << " " << n1;
        ASSERT_EQ(seen[0], seen[1]) << "step " << step << " op " << op << " " << n1;
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

// Several programs at once are served by several loop threads: listings
// closed the moment they are answered, and writes and reads of files of
// their own, all beside each other.
TEST(MountedVolume, ManyProgramsAtOnceAreServedConcurrently) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    const std::string dir = m.at("d");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    constexpr int kFixed = 20, kThreads = 8, kRounds = 300;
    for (int i = 0; i < kFixed; ++i)
        testsupport::writeFile(dir + "/fixed" + std::to_string(i), "x");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::string own = dir + "/own" + std::to_string(t);
            const std::string bytes = pattern(5000 + static_cast<size_t>(t) * 777, t);
            for (int round = 0; round < kRounds; ++round) {
                if (round % 10 == 0) {
                    testsupport::writeFile(own, bytes);
                    if (testsupport::readFile(own) != bytes) ++failures;
                }
                DIR* d = opendir(dir.c_str());
                if (!d) {
                    ++failures;
                    continue;
                }
                int fixed = 0;
                while (dirent* e = readdir(d)) fixed += std::strncmp(e->d_name, "fixed", 5) == 0;
                closedir(d);
                if (fixed != kFixed) ++failures;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(MountedVolume, HardLinksAreSecondNamesOfOneFile) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    testsupport::writeFile(m.at("a"), "keep me");

    ASSERT_EQ(link(m.at("a").c_str(), m.at("h").c_str()), 0) << std::strerror(errno);
    struct stat a, h;
    ASSERT_EQ(stat(m.at("a").c_str(), &a), 0);
    ASSERT_EQ(stat(m.at("h").c_str(), &h), 0);
    EXPECT_EQ(a.st_nlink, 2u);
    EXPECT_EQ(h.st_nlink, 2u);
    EXPECT_TRUE(S_ISREG(h.st_mode));
    EXPECT_TRUE(std::filesystem::equivalent(m.real("a"), m.real("h")));

    // One content under both names, also for a write through the other name.
    EXPECT_EQ(testsupport::readFile(m.at("h")), "keep me");
    pwriteAll(m.at("h"), "KEEP", 0);
    EXPECT_EQ(testsupport::readFile(m.at("a")), "KEEP me");
    ASSERT_EQ(unlink(m.at("a").c_str()), 0);
    EXPECT_EQ(testsupport::readFile(m.at("h")), "KEEP me");
    ASSERT_EQ(stat(m.at("h").c_str(), &h), 0);
    EXPECT_EQ(h.st_nlink, 1u);

    // An existing name is never replaced.
    testsupport::writeFile(m.at("b"), "other");
    errno = 0;
    EXPECT_EQ(link(m.at("h").c_str(), m.at("b").c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(testsupport::readFile(m.at("b")), "other");

    // A link to a symbolic link is another symbolic link.
    ASSERT_EQ(symlink("h", m.at("s").c_str()), 0);
    ASSERT_EQ(link(m.at("s").c_str(), m.at("hs").c_str()), 0) << std::strerror(errno);
    EXPECT_EQ(std::filesystem::read_symlink(m.at("hs")), "h");
    EXPECT_EQ(testsupport::readFile(m.at("hs")), "KEEP me");
}

// Every name of one raw file is one file on the volume: one inode number (the
// raw one, also after the kernel forgot the node and on another mount) and
// one cache, so a write through either name is seen through the other, by a
// held descriptor and by a map.
TEST(MountedVolume, HardLinksAreOneInodeWithOneCache) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    const size_t n = 8192;
    // A write-only open is served without the page cache; the others' pages
    // of the range must go all the same.
    enum Via { Pwrite, WriteOnlyPwrite, MapWrite };
    enum Reader { HeldDescriptor, MapRead };
    int round = 0;
    for (Via via : {Pwrite, WriteOnlyPwrite, MapWrite}) {
        for (Reader reader : {HeldDescriptor, MapRead}) {
            SCOPED_TRACE(testing::Message() << "via " << via << " reader " << reader);
            const std::string a = m.at("a" + std::to_string(round));
            const std::string b = m.at("b" + std::to_string(round++));
            testsupport::writeFile(a, std::string(n, 'A'));
            ASSERT_EQ(link(a.c_str(), b.c_str()), 0) << std::strerror(errno);

            // B is read first, so its pages are cached.
            int fb = open(b.c_str(), O_RDWR);
            ASSERT_GE(fb, 0);
            char* mb =
                static_cast<char*>(mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED, fb, 0));
            ASSERT_NE(mb, MAP_FAILED);
            auto readB = [&] {
                std::string got(n, '\0');
                if (reader == MapRead)
                    got.assign(mb, n);
                else if (pread(fb, got.data(), n, 0) != static_cast<ssize_t>(n))
                    got.clear();
                return got;
            };
            EXPECT_EQ(readB(), std::string(n, 'A'));

            int fa = open(a.c_str(), via == WriteOnlyPwrite ? O_WRONLY : O_RDWR);
            ASSERT_GE(fa, 0);
            if (via != MapWrite) {
                ASSERT_EQ(pwrite(fa, std::string(n, 'C').data(), n, 0), static_cast<ssize_t>(n));
            } else {
                char* ma =
                    static_cast<char*>(mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED, fa, 0));
                ASSERT_NE(ma, MAP_FAILED);
                std::memset(ma, 'C', n);
                ASSERT_EQ(msync(ma, n, MS_SYNC), 0);
                munmap(ma, n);
            }
            EXPECT_EQ(readB(), std::string(n, 'C'));

            // A byte written through B's map keeps everything A wrote.
            mb[n - 1] = 'B';
            ASSERT_EQ(msync(mb, n, MS_SYNC), 0);
            munmap(mb, n);
            close(fa);
            close(fb);
            EXPECT_EQ(testsupport::readFile(a), std::string(n - 1, 'C') + "B");
        }
    }

    // Both names report the raw inode number, also once the kernel has
    // dropped its nodes and on another mount of the folder.
    struct stat raw, sa, sb;
    ASSERT_EQ(stat(m.real("a0").c_str(), &raw), 0);
    auto expectRaw = [&](const std::string& mnt, const char* when) {
        SCOPED_TRACE(when);
        ASSERT_EQ(stat((mnt + "/a0").c_str(), &sa), 0);
        ASSERT_EQ(stat((mnt + "/b0").c_str(), &sb), 0);
        EXPECT_EQ(sa.st_ino, raw.st_ino);
        EXPECT_EQ(sb.st_ino, raw.st_ino);
        EXPECT_EQ(sb.st_nlink, 2u);
    };
    expectRaw(m.mnt, "mounted");
    if (std::ofstream drop("/proc/sys/vm/drop_caches"); drop) drop << "2\n";
    expectRaw(m.mnt, "after the kernel dropped its nodes");
    auto other = std::make_shared<QVFuseLoopbackFS>(m.fs, m.menu);
    const std::string mnt2 = (m.dir / "mnt" / "again").string();
    other->setMountPath(mnt2);
    platform::UserFileSystem second(other);
    platform::Error err;
    ASSERT_TRUE(second.mountAtPath(mnt2, {}, &err)) << err.description;
    expectRaw(mnt2, "another mount");
    EXPECT_TRUE(second.unmount());
    second.waitUntilUnmounted();
    platform::pumpMainQueue();

    // Programs that keep links see them.
    testsupport::TempDir out("out");
    ASSERT_EQ(run("rsync -aH '" + m.mnt + "/' '" + out.path().string() + "/'"), 0);
    struct stat oa, ob;
    ASSERT_EQ(stat((out / "a1").c_str(), &oa), 0);
    ASSERT_EQ(stat((out / "b1").c_str(), &ob), 0);
    EXPECT_EQ(oa.st_ino, ob.st_ino);
    EXPECT_EQ(ob.st_nlink, 2u);
}

// Sizes and times are cached, but never stale after a change through the
// volume: a write through one open file shows at once through every other
// way to the file.
TEST(MountedVolume, AttributesAreNeverStaleAfterAWrite) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    testsupport::writeFile(m.at("f"), "12345");
    ASSERT_EQ(link(m.at("f").c_str(), m.at("g").c_str()), 0);
    struct stat st;
    for (const char* name : {"f", "g"}) ASSERT_EQ(stat(m.at(name).c_str(), &st), 0);
    int reader = open(m.at("f").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    int writer = open(m.at("g").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    // Small writes and large ones (answered before they are applied).
    off_t size = 5;
    for (size_t piece : {size_t(4000), size_t(4000), size_t(3 << 20), size_t(300000)}) {
        const std::string bytes = pattern(piece, static_cast<unsigned>(size));
        ASSERT_EQ(write(writer, bytes.data(), piece), static_cast<ssize_t>(piece));
        for (const char* name : {"f", "g"}) {
            ASSERT_EQ(stat(m.at(name).c_str(), &st), 0);
            EXPECT_EQ(st.st_size, size + static_cast<off_t>(piece)) << name;
        }
        ASSERT_EQ(fstat(reader, &st), 0);
        EXPECT_EQ(st.st_size, size + static_cast<off_t>(piece));
        std::string back(piece, '\0');
        ASSERT_EQ(pread(reader, back.data(), piece, size), static_cast<ssize_t>(piece));
        EXPECT_TRUE(back == bytes);
        size += static_cast<off_t>(piece);
    }
    // A truncation and a new name are seen at once too, and a removed name
    // is gone at once.
    ASSERT_EQ(ftruncate(writer, 2), 0);
    ASSERT_EQ(stat(m.at("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 2);
    close(writer);
    close(reader);
    EXPECT_EQ(testsupport::readFile(m.at("g")), "12");
    errno = 0;
    EXPECT_NE(stat(m.at("new").c_str(), &st), 0);
    EXPECT_EQ(errno, ENOENT);
    testsupport::writeFile(m.at("new"), "n");
    EXPECT_EQ(stat(m.at("new").c_str(), &st), 0);
    ASSERT_EQ(unlink(m.at("new").c_str()), 0);
    EXPECT_NE(stat(m.at("new").c_str(), &st), 0);
}

// Extended-attribute names are kept for the cache time, so an absent one
// answers without the folder; every change through the volume shows at once
// through each of a file's names, and one behind its back within the time.
TEST(MountedVolume, ExtendedAttributesAreNeverStaleAfterAChange) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    testsupport::writeFile(m.at("f"), "x");
    ASSERT_EQ(link(m.at("f").c_str(), m.at("g").c_str()), 0);
    auto value = [&](const char* name, const char* attr) {
        char buf[64];
        ssize_t n = lgetxattr(m.at(name).c_str(), attr, buf, sizeof buf);
        return n < 0 ? std::string(errno == ENODATA ? "<none>" : std::strerror(errno))
                     : std::string(buf, static_cast<size_t>(n));
    };
    auto listed = [&](const char* name) {
        char buf[256];
        ssize_t n = llistxattr(m.at(name).c_str(), buf, sizeof buf);
        return n < 0 ? std::string(std::strerror(errno)) : std::string(buf, static_cast<size_t>(n));
    };
    for (const char* name : {"f", "g"}) {
        EXPECT_EQ(value(name, "user.a"), "<none>");
        EXPECT_EQ(value(name, "security.selinux"), "<none>");
        EXPECT_EQ(listed(name), "");
    }
    struct Step {
        const char* through;
        std::function<int(const std::string&)> change;
        int result;
        const char* after;  // user.a's value through both names
        std::string list;
    } steps[] = {
        {"f", [](const std::string& p) { return setxattr(p.c_str(), "user.a", "1", 1, 0); }, 0, "1",
         std::string("user.a\0", 7)},
        {"g", [](const std::string& p) { return setxattr(p.c_str(), "user.a", "22", 2, 0); }, 0,
         "22", std::string("user.a\0", 7)},
        {"f", [](const std::string& p) { return removexattr(p.c_str(), "user.a"); }, 0, "<none>",
         ""},
        // A failed change leaves what was there.
        {"g", [](const std::string& p) { return removexattr(p.c_str(), "user.a"); }, -1, "<none>",
         ""},
        {"g",
         [](const std::string& p) { return setxattr(p.c_str(), "user.a", "3", 1, XATTR_CREATE); },
         0, "3", std::string("user.a\0", 7)},
    };
    for (const auto& s : steps) {
        ASSERT_EQ(s.change(m.at(s.through)), s.result) << s.after;
        for (const char* name : {"f", "g"}) {
            EXPECT_EQ(value(name, "user.a"), s.after) << name;
            EXPECT_EQ(listed(name), s.list) << name;
        }
    }
    // Behind the volume's back: seen once the cache time is over.
    ASSERT_EQ(setxattr(m.real("f").c_str(), "user.b", "raw", 3, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(value("g", "user.b"), "raw");
    // A new file never inherits what an earlier item had.
    ASSERT_EQ(unlink(m.at("f").c_str()), 0);
    ASSERT_EQ(unlink(m.at("g").c_str()), 0);
    testsupport::writeFile(m.at("f"), "y");
    EXPECT_EQ(value("f", "user.a"), "<none>");
    EXPECT_EQ(listed("f"), "");
}

// A file removed behind the volume's back while the kernel still trusts its
// entry: an open fails and never makes an empty file in its place (a sync
// tool would take that for a new file).
TEST(MountedVolume, AnOpenOfAFileGoneBehindTheVolumesBackMakesNothing) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    for (int flags : {O_RDONLY, O_WRONLY, O_RDWR, O_RDWR | O_CREAT}) {
        const std::string name = "f" + std::to_string(flags);
        testsupport::writeFile(m.at(name), "x");
        struct stat st;
        ASSERT_EQ(stat(m.at(name).c_str(), &st), 0);
        ASSERT_EQ(unlink(m.real(name).c_str()), 0);
        errno = 0;
        int fd = open(m.at(name).c_str(), flags, 0644);
        EXPECT_EQ(fd, -1) << flags;
        EXPECT_EQ(errno, ENOENT) << flags;
        EXPECT_FALSE(std::filesystem::exists(m.real(name))) << flags;
        if (fd >= 0) close(fd);
    }
}

// The temp-file pattern: a file removed while open keeps working through
// every call on its descriptor, and the volume with it.
TEST(MountedVolume, FilesRemovedWhileOpenKeepWorking) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    ASSERT_EQ(mkdir(m.at("d").c_str(), 0755), 0);
    const std::string data = pattern(5000, 11);

    int fd = open(m.at("d/tmp").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    int other = open(m.at("d/tmp").c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(unlink(m.at("d/tmp").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(m.at("d/tmp")));
    EXPECT_TRUE(std::filesystem::is_empty(m.at("d")));

    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(fsync(fd), 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0) << std::strerror(errno);
    EXPECT_EQ(st.st_size, 5000);
    EXPECT_EQ(st.st_nlink, 0u);
    ASSERT_EQ(ftruncate(fd, 1234), 0) << std::strerror(errno);
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 1234);
    ASSERT_EQ(fchmod(fd, 0640), 0) << std::strerror(errno);
    timespec times[2] = {{1000, 0}, {2000, 0}};
    ASSERT_EQ(futimens(fd, times), 0) << std::strerror(errno);
    ASSERT_EQ(fstat(other, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtime, 2000);
    std::string back(2000, '\0');
    ASSERT_EQ(pread(other, back.data(), back.size(), 0), 1234);
    EXPECT_EQ(back.substr(0, 1234), data.substr(0, 1234));

    // A write-only file, whose large writes are answered before they are
    // stored, is read back through another descriptor once its name is gone.
    const std::string big = pattern((1 << 20) + 777, 12);
    int writer = open(m.at("d/w").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(writer, 0);
    int reader = open(m.at("d/w").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(unlink(m.at("d/w").c_str()), 0);
    ASSERT_EQ(write(writer, big.data(), big.size()), static_cast<ssize_t>(big.size()));
    std::string got(big.size() + 10, '\0');
    ASSERT_EQ(pread(reader, got.data(), got.size(), 0), static_cast<ssize_t>(big.size()));
    got.resize(big.size());
    EXPECT_TRUE(got == big);
    EXPECT_EQ(close(writer), 0);
    EXPECT_EQ(close(reader), 0);

    // Its directory goes as on a local disk, and the open file stays.
    ASSERT_EQ(rmdir(m.at("d").c_str()), 0) << std::strerror(errno);
    ASSERT_EQ(pread(fd, back.data(), 10, 0), 10);
    EXPECT_EQ(back.substr(0, 10), data.substr(0, 10));
    EXPECT_EQ(close(other), 0);
    EXPECT_EQ(close(fd), 0);

    // An unnamed file (O_TMPFILE) works or is refused cleanly.
    int tmp = open(m.mnt.c_str(), O_TMPFILE | O_RDWR, 0600);
    if (tmp >= 0) {
        EXPECT_EQ(write(tmp, "x", 1), 1);
        close(tmp);
    } else {
        EXPECT_TRUE(errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
            << std::strerror(errno);
    }

    // The volume still serves, and the folder holds nothing left over.
    testsupport::writeFile(m.at("after"), "alive");
    EXPECT_EQ(testsupport::readFile(m.at("after")), "alive");
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(m.folder))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"_QXCFG.MOX", "after"}));
}

TEST(MountedVolume, FifosSocketsAndDeviceNodes) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());

    // Made with no umask of the caller's: the server's own must not apply.
    int made = -1;
    std::thread([&] {
        unshare(CLONE_FS);
        umask(0);
        made = mkfifo(m.at("fifo").c_str(), 0620);
    }).join();
    ASSERT_EQ(made, 0);
    struct stat st;
    ASSERT_EQ(lstat(m.real("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0620u);  // as asked, whatever the server's umask
    int pipe = open(m.at("fifo").c_str(), O_RDWR);
    ASSERT_GE(pipe, 0);
    ASSERT_EQ(write(pipe, "ping", 4), 4);
    char buf[8] = {};
    ASSERT_EQ(read(pipe, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    close(pipe);

    int server = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sock = m.at("sock");
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, sock.c_str(), sock.size());
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0)
        << std::strerror(errno);
    ASSERT_EQ(listen(server, 1), 0);
    ASSERT_EQ(lstat(m.real("sock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    int client = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    int peer = accept(server, nullptr, nullptr);
    ASSERT_EQ(send(client, "pong", 4, 0), 4);
    ASSERT_EQ(recv(peer, buf, sizeof buf, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "pong");
    close(peer);
    close(client);
    close(server);

    // A device node can be made by root, but never opens a device: the
    // volume is nodev.
    int rc = mknod(m.at("null").c_str(), S_IFCHR | 0666, makedev(1, 3));
    if (geteuid() == 0) {
        ASSERT_EQ(rc, 0) << std::strerror(errno);
        ASSERT_EQ(lstat(m.real("null").c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_EQ(st.st_rdev, makedev(1, 3));
        EXPECT_EQ(open(m.at("null").c_str(), O_WRONLY), -1);
        EXPECT_EQ(errno, EACCES);
    } else {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(errno, EPERM);
    }
    EXPECT_EQ(unlink(m.at("fifo").c_str()), 0);
    EXPECT_EQ(unlink(m.at("sock").c_str()), 0);
}

// Root serving several users: what a user makes is that user's, as on a
// local disk, and a set-group-ID directory hands its group on.
TEST(MountedVolume, ItemsBelongToTheUserWhoMadeThem) {
    REQUIRE_FUSE();
    if (geteuid() != 0) GTEST_SKIP() << "only root serves a volume for other users";
    MountedFolder m({"allow_other"});
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    ASSERT_EQ(chmod(m.mnt.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(m.at("shared").c_str(), 0777), 0);
    ASSERT_EQ(chown(m.at("shared").c_str(), 0, 4321), 0);
    ASSERT_EQ(chmod(m.at("shared").c_str(), 02777), 0);

    constexpr uid_t kUser = 54321;
    constexpr gid_t kGroup = 54322;
    int volume = open(m.mnt.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(volume, 0);
    // Acting as that user: the file-system identity is per thread.
    std::vector<std::string> failures;
    std::thread([&] {
        syscall(SYS_setfsgid, kGroup);
        syscall(SYS_setfsuid, kUser);
        auto check = [&](bool ok, const char* what) {
            if (!ok) failures.push_back(std::string(what) + ": " + std::strerror(errno));
        };
        int f = openat(volume, "file", O_CREAT | O_WRONLY | O_EXCL, 0640);
        check(f >= 0 && write(f, "mine", 4) == 4, "create");
        if (f >= 0) close(f);
        check(mkdirat(volume, "dir", 0750) == 0, "mkdir");
        check(mkfifoat(volume, "fifo", 0600) == 0, "mkfifo");
        check(symlinkat("file", volume, "link") == 0, "symlink");
        check(mkdirat(volume, "shared/sub", 0755) == 0, "mkdir in the shared directory");
    }).join();
    close(volume);
    EXPECT_EQ(failures, std::vector<std::string>{});

    for (const char* name : {"file", "dir", "fifo", "link"}) {
        struct stat st;
        ASSERT_EQ(lstat(m.real(name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_uid, kUser) << name;
        EXPECT_EQ(st.st_gid, kGroup) << name;
        ASSERT_EQ(lstat(m.at(name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_uid, kUser) << name;
    }
    struct stat st;
    ASSERT_EQ(stat(m.real("file").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(stat(m.real("shared/sub").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
    EXPECT_EQ(st.st_gid, 4321u);
    EXPECT_TRUE(st.st_mode & S_ISGID);
    EXPECT_EQ(testsupport::readFile(m.at("file")), "mine");
}

// Someone swaps a link out of the folder in and out of a path while the
// volume works on it: the server never acts outside the folder.
TEST(MountedVolume, ALinkSwappedIntoAPathNeverLeadsOutOfTheFolder) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    // "../outside" from the folder is <dir>/outside; from the volume it is
    // <dir>/mnt/outside, which does not exist, so only the server could
    // reach the real one.
    const std::filesystem::path outside = m.dir / "outside";
    std::filesystem::create_directories(outside / "sub");
    for (const char* n : {"victim", "sub/inner", "x"})
        testsupport::writeFile(outside / n, std::string("outside ") + n);
    ASSERT_EQ(setxattr((outside / "victim").c_str(), "user.k", "v", 1, 0), 0);
    const std::string before = loopbacktest::treeSnapshot(outside);
    ASSERT_EQ(mkdir(m.at("d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(m.at("d/sub").c_str(), 0755), 0);
    testsupport::writeFile(m.at("d/victim"), "inside");
    std::filesystem::create_directory_symlink("../outside", m.real("l"));

    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
    std::thread swapper([&] {
        const std::string d = m.real("d"), l = m.real("l");
        while (!stop) {
            if (renameat2(AT_FDCWD, d.c_str(), AT_FDCWD, l.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
        }
    });
    const std::string v = m.at("d/victim"), x = m.at("d/x");
    const std::string data = pattern(3000, 5);
    for (int round = 0; round < 400; ++round) {
        chmod(v.c_str(), 0600 + (round % 2) * 0077);
        chown(v.c_str(), 1000 + round % 3, 1000);
        truncate(v.c_str(), round % 7);
        timespec t[2] = {{round, 0}, {round, 0}};
        utimensat(AT_FDCWD, v.c_str(), t, 0);
        setxattr(v.c_str(), "user.n", "x", 1, 0);
        removexattr(v.c_str(), "user.k");
        rename(v.c_str(), x.c_str());
        rename(x.c_str(), v.c_str());
        unlink(x.c_str());
        int fd = open(v.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            write(fd, data.data(), data.size());
            close(fd);
        }
        mkdir(m.at("d/sub/new").c_str(), 0755);
        rmdir(m.at("d/sub/new").c_str());
        rmdir(m.at("d/sub").c_str());
        symlink("target", m.at("d/sl").c_str());
        unlink(m.at("d/sl").c_str());
        link(v.c_str(), m.at("d/hl").c_str());
        unlink(m.at("d/hl").c_str());
        mkfifo(m.at("d/fifo").c_str(), 0644);
        unlink(m.at("d/fifo").c_str());
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator(m.at("d"), ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        }
    }
    stop = true;
    swapper.join();
    EXPECT_GT(swaps.load(), 0);
    EXPECT_EQ(loopbacktest::treeSnapshot(outside), before);
}

namespace {

// One call that changes the file "a" of a directory (or makes "new" there):
// 0, or -1 with errno.
struct ChangeCall {
    const char* what;
    std::function<int(const std::string& dir)> call;
};

int openAndClose(const std::string& path, int flags) {
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0) return -1;
    close(fd);
    return 0;
}

std::vector<ChangeCall> changeCalls() {
    return {
        {"read-write open", [](const std::string& d) { return openAndClose(d + "/a", O_RDWR); }},
        {"open with O_TRUNC",
         [](const std::string& d) { return openAndClose(d + "/a", O_WRONLY | O_TRUNC); }},
        {"open for appending",
         [](const std::string& d) { return openAndClose(d + "/a", O_WRONLY | O_APPEND); }},
        {"create",
         [](const std::string& d) { return openAndClose(d + "/new", O_WRONLY | O_CREAT); }},
        {"truncate", [](const std::string& d) { return truncate((d + "/a").c_str(), 0); }},
    };
}

// Each call on the volume's directory fails as on the plain one, at the call.
void expectRefusedAsOnThePlainDirectory(const std::string& plain, const std::string& volume,
                                        int expected) {
    for (const auto& c : changeCalls()) {
        SCOPED_TRACE(c.what);
        errno = 0;
        EXPECT_EQ(c.call(plain), -1);
        const int plainErrno = errno;
        EXPECT_EQ(plainErrno, expected) << std::strerror(plainErrno);
        errno = 0;
        EXPECT_EQ(c.call(volume), -1);
        EXPECT_EQ(errno, plainErrno) << std::strerror(errno);
    }
}

}  // namespace

TEST(MountedVolume, AFolderOnAReadOnlyFileSystemMountsReadOnly) {
    REQUIRE_FUSE();
    if (geteuid() != 0) GTEST_SKIP() << "a read-only bind mount needs root";
    loopbacktest::Preparation onReadOnlyShare;
    onReadOnlyShare.fill = [](QVFileSystem& fs) {
        loopbacktest::writeThroughHandle(fs, "/a", "kept");
        ASSERT_TRUE(fs.createDirectoryAtPath(std::string("/d")));
    };
    onReadOnlyShare.readOnly = true;
    MountedFolder m({}, onReadOnlyShare);
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    EXPECT_TRUE(m.loopback->isReadonly());

    struct statvfs vfs;
    ASSERT_EQ(statvfs(m.mnt.c_str(), &vfs), 0);
    EXPECT_TRUE(vfs.f_flag & ST_RDONLY);
    expectRefusedAsOnThePlainDirectory(m.folder.string(), m.mnt, EROFS);
    errno = 0;
    EXPECT_EQ(mkdir(m.at("e").c_str(), 0755), -1);
    EXPECT_EQ(errno, EROFS);

    // Reading and listing work as before.
    EXPECT_EQ(testsupport::readFile(m.at("a")), "kept");
    EXPECT_TRUE(std::filesystem::is_directory(m.at("d")));
}

// A part of the folder that cannot be written (here a read-only mount inside
// it) refuses writing at open, as a plain directory does, instead of opening
// read-only and failing every write after.
TEST(MountedVolume, AnOpenForWritingTheFolderCannotHonourFailsAtOpen) {
    REQUIRE_FUSE();
    if (geteuid() != 0) GTEST_SKIP() << "a read-only bind mount needs root";
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    ASSERT_EQ(mkdir(m.at("d").c_str(), 0755), 0);
    testsupport::writeFile(m.at("d/a"), "kept");
    struct Bind {
        std::string path;
        ~Bind() { umount2(path.c_str(), MNT_DETACH); }
    } bind{m.real("d")};
    ASSERT_EQ(mount(bind.path.c_str(), bind.path.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, bind.path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
              0);

    expectRefusedAsOnThePlainDirectory(m.real("d"), m.at("d"), EROFS);
    EXPECT_EQ(testsupport::readFile(m.at("d/a")), "kept");
    // The rest of the volume is writable.
    testsupport::writeFile(m.at("b"), "new");
    EXPECT_EQ(testsupport::readFile(m.at("b")), "new");
}

// A user's write-only file (mode 0200) opens for writing only, and not for
// reading, as on a plain directory.
TEST(MountedVolume, AWriteOnlyFileOpensForWriting) {
    REQUIRE_FUSE();
    if (geteuid() != 0) GTEST_SKIP() << "only root serves a volume for other users";
    MountedFolder m({"allow_other"});
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    ASSERT_EQ(chmod(m.mnt.c_str(), 0777), 0);
    testsupport::TempDir plain("plain");
    ASSERT_EQ(chmod(plain.path().c_str(), 0777), 0);
    constexpr uid_t kUser = 54321;
    for (const std::string& dir : {plain.path().string(), m.mnt}) {
        SCOPED_TRACE(dir);
        const std::string f = dir + "/wo";
        testsupport::writeFile(f, "0123456789");
        ASSERT_EQ(chown(f.c_str(), kUser, kUser), 0);
        ASSERT_EQ(chmod(f.c_str(), 0200), 0);
        int wrote = -1, openErrno = 0, readErrno = 0;
        // Through a descriptor of the directory: the user may not pass the
        // test's private folders above it.
        int at = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(at, 0);
        std::thread([&] {
            syscall(SYS_setfsgid, kUser);
            syscall(SYS_setfsuid, kUser);
            int fd = openat(at, "wo", O_WRONLY);
            if (fd < 0) openErrno = errno;
            if (fd >= 0) {
                wrote = static_cast<int>(pwrite(fd, "AB", 2, 3));
                close(fd);
            }
            errno = 0;
            if (openat(at, "wo", O_RDONLY) < 0) readErrno = errno;
        }).join();
        close(at);
        EXPECT_EQ(openErrno, 0) << std::strerror(openErrno);
        EXPECT_EQ(wrote, 2);
        EXPECT_EQ(readErrno, EACCES);
        EXPECT_EQ(testsupport::readFile(f), "012AB56789");
    }
}

TEST(MountedVolume, ALinkReportsTheLengthOfTheTargetItReadsAs) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    testsupport::writeFile(m.at("a"), "x");
    ASSERT_EQ(mkdir(m.at("d").c_str(), 0755), 0);
    // Made in the folder itself: an absolute link into the folder reads as
    // one into the volume, which is another length.
    std::filesystem::create_symlink(m.real("a"), m.real("raw"));
    const struct {
        const char* name;
        std::string target;
    } links[] = {
        {"into the volume", m.at("a")}, {"d/into the volume from below", m.at("d")},
        {"outside", "/etc/hostname"},   {"relative", "a"},
        {"d/relative up", "../a"},      {"dangling", "nowhere/at/all"},
    };
    for (const auto& l : links) ASSERT_EQ(symlink(l.target.c_str(), m.at(l.name).c_str()), 0);
    std::vector<std::string> names = {"raw"};
    for (const auto& l : links) names.emplace_back(l.name);
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        char target[PATH_MAX];
        ssize_t n = readlink(m.at(name).c_str(), target, sizeof target);
        ASSERT_GT(n, 0);
        struct stat st;
        ASSERT_EQ(lstat(m.at(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_size, n);
    }
    EXPECT_EQ(std::filesystem::read_symlink(m.at("raw")), m.at("a"));
}

namespace {

// 25 directories of 198-byte names below `root`, made one below the other;
// `rel` receives their path ("/aaa.../bbb..."), `atLevel` sees each one made.
// The deepest, open, or -1.
int makeDeepChain(const std::string& root, std::string* rel,
                  const std::function<void(int level, int dir)>& atLevel = {}) {
    rel->clear();
    int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 25 && dir >= 0; ++level) {
        const std::string name(198, static_cast<char>('a' + level));
        int next = mkdirat(dir, name.c_str(), 0755) == 0
                       ? openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY)
                       : -1;
        if (next < 0) ADD_FAILURE() << level << ": " << std::strerror(errno);
        close(dir);
        dir = next;
        *rel += "/" + name;
        if (dir >= 0 && atLevel) atLevel(level, dir);
    }
    return dir;
}

}  // namespace

// 25 directories of 198-byte names: about 5,000 bytes of path, more than
// the kernel takes in one call, and fine on a plain directory.
TEST(MountedVolume, PathsAsDeepAsAPlainDirectoryAllows) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    testsupport::TempDir plain("plain");
    const std::string data = pattern(20000, 25);
    std::string rel;
    for (const std::string& root : {plain.path().string(), m.mnt}) {
        SCOPED_TRACE(root);
        rel.clear();
        int dir = makeDeepChain(root, &rel);
        ASSERT_GE(dir, 0);
        int f = openat(dir, "file", O_RDWR | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(f, 0) << std::strerror(errno);
        EXPECT_EQ(write(f, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        close(f);
        ASSERT_EQ(renameat(dir, "file", dir, "moved"), 0) << std::strerror(errno);
        ASSERT_EQ(symlinkat("moved", dir, "link"), 0) << std::strerror(errno);
        struct stat st;
        ASSERT_EQ(fstatat(dir, "link", &st, 0), 0) << std::strerror(errno);
        EXPECT_EQ(st.st_size, static_cast<off_t>(data.size()));
        f = openat(dir, "link", O_RDONLY);
        ASSERT_GE(f, 0) << std::strerror(errno);
        std::string back(data.size() + 1, '\0');
        EXPECT_EQ(pread(f, back.data(), back.size(), 0), static_cast<ssize_t>(data.size()));
        back.resize(data.size());
        EXPECT_EQ(back, data);
        close(f);
        close(dir);
    }
    // The folder holds it under the same deep path, and the whole chain goes.
    EXPECT_TRUE(m.fs->fileExistsAtPath(rel + "/moved"));
    EXPECT_EQ(run("rm -rf '" + m.at(std::string(198, 'a')) + "'"), 0);
    EXPECT_FALSE(std::filesystem::exists(m.real(std::string(198, 'a'))));
}

// A relative link at the bottom of such a chain that climbs back up reads as
// on a plain directory, through the volume and through the folder's handle;
// one that climbs out of the folder leads to nothing outside it.
TEST(MountedVolume, LinksDeepDownClimbAsOnAPlainDirectory) {
    REQUIRE_FUSE();
    MountedFolder m;
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    testsupport::TempDir plain("plain");
    // What 26 levels up from the bottom of the chain reaches from the folder.
    testsupport::writeFile(m.dir / "outside", "outside");
    auto up = [](int levels, const std::string& rest) {
        std::string s;
        for (int i = 0; i < levels; ++i) s += "../";
        return s + rest;
    };
    auto readAt = [](int dir, const char* name) {
        int f = openat(dir, name, O_RDONLY);
        if (f < 0) return "error: " + std::string(std::strerror(errno));
        char buf[64] = {};
        ssize_t n = read(f, buf, sizeof buf);
        close(f);
        return n < 0 ? "read error" : std::string(buf, static_cast<size_t>(n));
    };
    std::string rel;
    for (const std::string& root : {plain.path().string(), m.mnt}) {
        SCOPED_TRACE(root);
        rel.clear();
        int dir = makeDeepChain(root, &rel, [](int level, int at) {
            if (level != 16) return;
            int f = openat(at, "file", O_WRONLY | O_CREAT | O_EXCL, 0644);
            ASSERT_GE(f, 0) << std::strerror(errno);
            EXPECT_EQ(write(f, "deep", 4), 4);
            close(f);
        });
        ASSERT_GE(dir, 0);
        ASSERT_EQ(symlinkat(up(8, "file").c_str(), dir, "up"), 0) << std::strerror(errno);
        ASSERT_EQ(symlinkat(up(8, "").c_str(), dir, "updir"), 0) << std::strerror(errno);
        ASSERT_EQ(symlinkat(up(26, "outside").c_str(), dir, "out"), 0) << std::strerror(errno);
        EXPECT_EQ(readAt(dir, "up"), "deep");
        EXPECT_EQ(readAt(dir, "updir/file"), "deep");
        if (root == m.mnt) {
            EXPECT_NE(readAt(dir, "out"), "outside");
        }
        close(dir);
    }
    // The handle resolves the folder's links itself, in the folder.
    for (const char* through : {"/up", "/updir/file"}) {
        SCOPED_TRACE(through);
        EXPECT_TRUE(m.fs->fileExistsAtPath(rel + through));
        platform::Error err;
        auto f = m.fs->openFileAtPath(rel + through, true, false, &err);
        ASSERT_TRUE(f) << err.description;
        char buf[16] = {};
        size_t got = 0;
        EXPECT_TRUE(m.fs->readFile(f, 0, buf, sizeof buf, &got, &err)) << err.description;
        EXPECT_EQ(std::string(buf, got), "deep");
        m.fs->closeFile(f);
    }
    EXPECT_FALSE(m.fs->fileExistsAtPath(rel + "/out"));
    platform::Error err;
    EXPECT_FALSE(m.fs->openFileAtPath(rel + "/out", true, false, &err));
    EXPECT_EQ(testsupport::readFile(m.dir / "outside"), "outside");
}

// A server that ended while a file removed on its volume was still open
// (killed, crashed) left that file behind under its hidden name; the next
// mount of the folder removes such files, and only those.
TEST(MountedVolume, LeftoversOfFilesRemovedWhileOpenGoAtTheNextMount) {
    REQUIRE_FUSE();
    loopbacktest::Preparation crashed;
    crashed.fill = [](QVFileSystem& fs) {
        const std::string folder = *fs.volumePath();
        testsupport::writeFile(folder + "/.fuse_hidden0000000a00000001", "left");
        // Such files deeper down too, and names that only look alike.
        std::filesystem::create_directories(folder + "/d/e");
        testsupport::writeFile(folder + "/d/e/.fuse_hidden00000b2c00000003", "left");
        testsupport::writeFile(folder + "/d/.fuse_hidden00000000000000", "short");
        testsupport::writeFile(folder + "/d/.fuse_hiddenxyz0000000000000z", "not hex");
        std::filesystem::create_directory(folder + "/d/.fuse_hidden0000000c00000004");
        std::filesystem::create_symlink("e", folder + "/d/.fuse_hidden0000000d00000005");
    };
    MountedFolder m({}, crashed);
    ASSERT_TRUE(m.volume && m.volume->isMounted());
    EXPECT_TRUE(std::filesystem::is_directory(m.at("d")));  // served once clean
    EXPECT_FALSE(std::filesystem::exists(m.real(".fuse_hidden0000000a00000001")));
    EXPECT_FALSE(std::filesystem::exists(m.real("d/e/.fuse_hidden00000b2c00000003")));
    for (const char* kept : {"d/.fuse_hidden00000000000000", "d/.fuse_hiddenxyz0000000000000z",
                             "d/.fuse_hidden0000000c00000004", "d/.fuse_hidden0000000d00000005"})
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(m.real(kept)))) << kept;
}

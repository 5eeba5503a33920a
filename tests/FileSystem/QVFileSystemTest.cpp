#include "FileSystem/QVFileSystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <algorithm>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <thread>
#include <tuple>

#include "Database/MoxConfigDatabase.h"
#include "support/FolderBuilder.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Every path below `dir` with its bytes ("/" for directories).
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        std::string rel = fs::relative(e.path(), dir).string();
        out[rel] = e.is_directory() ? "/" : testsupport::readFile(e.path());
    }
    return out;
}

class QVFileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = tmp_ / "box.zel";
        auto f = testsupport::makeEncryptedFolder(folder_, {{"ann", "secret", "Ann A."}});
        ASSERT_TRUE(f);
        f.reset();
        fs::create_directories(folder_ / "sub");
    }

    bool mount(QVFileSystem& h) {
        return h.mountEncryptedFolder(folder_.string(), "ann", "secret");
    }

    testsupport::TempDir tmp_;
    fs::path folder_;
};

TEST_F(QVFileSystemTest, MountTable) {
    testsupport::writeFile(tmp_ / "plain", "x");
    struct Case {
        const char* name;
        std::optional<std::string> path, user, password;
        bool mounts;
        bool uuidSet;
        long code;
    };
    const std::string p = folder_.string();
    const Case cases[] = {
        {"no user", p, std::nullopt, "secret", false, false, EINVAL},
        {"no path", std::nullopt, "ann", "secret", false, false, EINVAL},
        {"no password", p, "ann", std::nullopt, false, false, EINVAL},
        {"missing folder", (tmp_ / "nope").string(), "ann", "secret", false, false, ENOENT},
        {"not a directory", (tmp_ / "plain").string(), "ann", "secret", false, false, ENOTDIR},
        {"wrong password", p, "ann", "guess", false, true, 1326},
        {"wrong user", p, "bob", "secret", false, true, 1326},
        {"user name in other case", p, "ANN", "secret", true, true, 0},
        {"right password", p, "ann", "secret", true, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVFileSystem h;
        platform::Error err;
        EXPECT_EQ(h.mountEncryptedFolder(c.path, c.user, c.password, &err), c.mounts);
        EXPECT_EQ(h.isMounted(), c.mounts);
        EXPECT_EQ(h.uuid().has_value(), c.uuidSet);
        if (c.uuidSet) {
            EXPECT_EQ(h.uuid()->size(), 36u);
        }
        if (!c.mounts) {
            EXPECT_EQ(err.code, c.code) << err.description;
        }
        if (c.mounts) {
            EXPECT_EQ(h.volumePath(), p);
            EXPECT_EQ(h.encryptionName(), "AES 256");
            EXPECT_TRUE(h.isCreatedOnMac());
        }
    }
}

// A failed mount leaves a live one serving its files.
TEST_F(QVFileSystemTest, FailedMountKeepsTheLiveOne) {
    QVFileSystem h;
    ASSERT_TRUE(mount(h));
    auto f = h.openFileAtPath("/note.txt", false, true);
    ASSERT_TRUE(f);
    ASSERT_TRUE(h.writeData({'h', 'i'}, f));
    EXPECT_FALSE(h.mountEncryptedFolder(folder_.string(), "ann", "wrong"));
    EXPECT_FALSE(h.mountEncryptedFolder((tmp_ / "nope").string(), "ann", "secret"));
    EXPECT_TRUE(h.isMounted());
    uint8_t buf[4];
    size_t got = 0;
    ASSERT_TRUE(h.readFile(f, 0, buf, sizeof buf, &got));
    EXPECT_EQ(std::string(buf, buf + got), "hi");
    h.closeFile(f);
    h.unmount();
    EXPECT_FALSE(h.isMounted());
    EXPECT_EQ(h.volumePath(), folder_.string());
    EXPECT_FALSE(h.openFileAtPath("note.txt", true, false));
}

TEST_F(QVFileSystemTest, ListingHidesTheDatabase) {
    for (const char* name :
         {"a.txt", ".hidden", "Icon\r", "_qxcfg.mox-journal", "sub/_QXCFG.MOX", "sub/b"})
        testsupport::writeFile(folder_ / name, "x");
    QVFileSystem h;
    ASSERT_TRUE(mount(h));
    auto names = [&](const std::string& dir, bool invisibles) {
        std::vector<std::string> out;
        auto list = h.contentsOfDirectoryAtPath(dir, invisibles);
        EXPECT_TRUE(list);
        if (list)
            for (const auto& f : *list) out.push_back(f->filePath());
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(names("/", false), (std::vector<std::string>{"a.txt", "sub"}));
    EXPECT_EQ(names("", true), (std::vector<std::string>{".hidden", "Icon\r", "a.txt", "sub"}));
    EXPECT_EQ(names("/sub/", false), std::vector<std::string>{"sub/b"});
    EXPECT_FALSE(h.contentsOfDirectoryAtPath("a.txt", false));
    EXPECT_FALSE(h.contentsOfDirectoryAtPath("..", false));

    bool isDir = false;
    EXPECT_TRUE(h.fileExistsAtPath("/", &isDir));
    EXPECT_TRUE(isDir);
    EXPECT_TRUE(h.fileExistsAtPath("sub", &isDir));
    EXPECT_TRUE(isDir);
    EXPECT_FALSE(h.fileExistsAtPath("_QXCFG.MOX"));
    auto a = h.fileAtPath("/a.txt");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->fileName(), "a.txt");
    EXPECT_EQ(a->fileSize(), 1u);
    EXPECT_TRUE(a->modificationDate().has_value());
    EXPECT_EQ(h.fileAtPath(std::nullopt)->filePath(), "");
    EXPECT_EQ(h.calculateItemSize("/"), 3u);  // a.txt, sub/b, and nothing hidden
}

TEST_F(QVFileSystemTest, RefusalsChangeNothing) {
    testsupport::writeFile(folder_ / "a.txt", "A");
    testsupport::writeFile(folder_ / "b.txt", "B");
    testsupport::writeFile(tmp_ / "outside", "O");
    QVFileSystem h;
    ASSERT_TRUE(mount(h));
    const auto before = snapshot(tmp_.path());
    struct Case {
        const char* name;
        std::function<bool()> op;
    };
    const Case cases[] = {
        {"remove root", [&] { return h.removeItemAtPath("/"); }},
        {"remove empty", [&] { return h.removeItemAtPath(""); }},
        {"remove nil", [&] { return h.removeItemAtPath(std::nullopt); }},
        {"remove database", [&] { return h.removeItemAtPath("/_QXCFG.MOX"); }},
        {"remove outside", [&] { return h.removeItemAtPath("../outside"); }},
        {"mkdir root", [&] { return h.createDirectoryAtPath("") != nullptr; }},
        {"mkdir outside", [&] { return h.createDirectoryAtPath("sub/../../x") != nullptr; }},
        {"move onto existing", [&] { return h.renameFileFromPath("a.txt", "/b.txt"); }},
        {"move onto database", [&] { return h.renameFileFromPath("a.txt", "_qxcfg.MOX"); }},
        {"move database", [&] { return h.renameFileFromPath("_QXCFG.MOX", "c"); }},
        {"move root", [&] { return h.renameFileFromPath("/", "c"); }},
        {"move out", [&] { return h.renameFileFromPath("a.txt", "../a.txt"); }},
        {"create outside", [&] { return h.openFileAtPath("../new", false, true) != nullptr; }},
        {"open database", [&] { return h.openFileAtPath("_QXCFG.MOX", false, true) != nullptr; }},
        {"create journal",
         [&] { return h.openFileAtPath("_QXCFG.MOX-journal", false, true) != nullptr; }},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(c.op()) << c.name;
        EXPECT_EQ(snapshot(tmp_.path()), before) << c.name;
    }
    // The same operations on ordinary names do their work.
    EXPECT_TRUE(h.renameFileFromPath("a.txt", "sub/a.txt"));
    EXPECT_TRUE(h.createDirectoryAtPath("sub/new"));
    EXPECT_TRUE(h.removeItemAtPath("sub"));
    EXPECT_FALSE(fs::exists(folder_ / "sub"));
}

TEST_F(QVFileSystemTest, UsersWithoutUnlocking) {
    {
        QVFileSystem admin;
        ASSERT_TRUE(mount(admin));
        EXPECT_TRUE(admin.addUser(QVFpUser(std::nullopt, "bob", "Bob B.", false), "bobpw"));
        auto me = admin.authenticatedUser();
        ASSERT_TRUE(me);
        EXPECT_EQ(me->shortUserName(), "ann");
    }
    QVFileSystem locked;
    auto users = locked.usersForFolderAtPath(folder_.string());
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].shortUserName(), "ann");
    EXPECT_EQ(users[0].longUserName(), "Ann A.");
    EXPECT_TRUE(users[0].isAdmin());
    EXPECT_EQ(users[1].shortUserName(), "bob");
    EXPECT_FALSE(users[1].isAdmin());
    EXPECT_EQ(users[1].keyID()->size(), 36u);
    EXPECT_FALSE(locked.isMounted());
    EXPECT_TRUE(locked.usersForFolderAtPath((tmp_ / "nope").string()).empty());

    QVFileSystem bob;
    ASSERT_TRUE(bob.mountEncryptedFolder(folder_.string(), "bob", "bobpw"));
    QVFpUser promoted = users[1];
    promoted.setIsAdmin(true);
    EXPECT_TRUE(bob.updateUserPermission(promoted));
    EXPECT_TRUE(bob.usersForFolderAtPath(folder_.string())[1].isAdmin());
    EXPECT_TRUE(bob.deleteUser(users[0]));
    EXPECT_EQ(bob.usersForFolderAtPath(folder_.string()).size(), 1u);
    EXPECT_FALSE(locked.addUser(QVFpUser(std::nullopt, "eve", "Eve", true), "x"));
}

TEST_F(QVFileSystemTest, FileContents) {
    QVFileSystem h;
    ASSERT_TRUE(mount(h));
    const std::vector<uint8_t> data = randomBytes(12345, 5);
    const std::vector<uint8_t> copy = data;
    auto f = h.openFileAtPath("sub/doc.bin", false, true);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->filePath(), "sub/doc.bin");
    EXPECT_TRUE(f->isOpen());
    ASSERT_TRUE(h.writeData(data, f));
    EXPECT_EQ(data, copy);
    ASSERT_TRUE(h.syncFile(f, false));
    h.closeFile(f);
    EXPECT_FALSE(f->isOpen());
    EXPECT_FALSE(h.writeData(data, f));

    auto disk = testsupport::readFile(folder_ / "sub/doc.bin");
    EXPECT_EQ(disk.size(), data.size());
    EXPECT_NE(std::vector<uint8_t>(disk.begin(), disk.end()), data);

    auto r = h.openFileAtPath("/sub/doc.bin", true, false);
    ASSERT_TRUE(r);
    std::vector<uint8_t> back;
    while (auto chunk = h.readDataFromFile(r, 5000)) {
        back.insert(back.end(), chunk->begin(), chunk->end());
        if (chunk->size() < 5000) break;
    }
    EXPECT_EQ(back, data);
    ASSERT_TRUE(h.setPosition(12000, r));
    EXPECT_EQ(h.readDataFromFile(r, 1000)->size(), 345u);
    platform::Error err;
    EXPECT_FALSE(h.truncateFile(r, 10, &err));
    EXPECT_EQ(err.code, EBADF);
    h.closeFile(r);

    // Positional writes, truncation by path and growth.
    auto w = h.openFileAtPath("sub/doc.bin", false, false);
    ASSERT_TRUE(w);
    ASSERT_TRUE(h.writeFile(w, 100, "XYZ", 3));
    h.closeFile(w);
    ASSERT_TRUE(h.truncateItemAtPath("sub/doc.bin", 700));
    ASSERT_TRUE(h.truncateItemAtPath("sub/doc.bin", 900));
    w = h.openFileAtPath("sub/doc.bin", true, false);
    std::vector<uint8_t> expect(data.begin(), data.begin() + 700);
    std::copy_n("XYZ", 3, expect.begin() + 100);
    expect.resize(900, 0);
    std::vector<uint8_t> got(2000);
    size_t n = 0;
    ASSERT_TRUE(h.readFile(w, 0, got.data(), got.size(), &n));
    got.resize(n);
    EXPECT_EQ(got, expect);
}

// Size and free space are those of the volume that holds the folder: here a
// small tmpfs of its own, which "/" is not.
TEST_F(QVFileSystemTest, SizeOfTheFoldersOwnVolume) {
    QVFileSystem h;
    uint64_t size = 1, free = 1;
    EXPECT_FALSE(h.volumeSize(&size, &free));
    EXPECT_EQ(size + free, 0u);

    const fs::path vol = tmp_ / "vol";
    fs::create_directories(vol);
    if (::mount("tessaro-test", vol.c_str(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    {
        const fs::path small = vol / "small.zel";
        ASSERT_TRUE(testsupport::makeEncryptedFolder(small, {{"ann", "secret"}}));
        ASSERT_TRUE(h.mountEncryptedFolder(small.string(), "ann", "secret"));
        ASSERT_TRUE(h.volumeSize(&size, &free));
        EXPECT_EQ(size, 8u << 20);
        EXPECT_GT(free, 0u);
        EXPECT_LE(free, size);
        h.unmount();
    }
    ::umount2(vol.c_str(), MNT_DETACH);
}

// A full volume is reported as ENOSPC at the write, and the file keeps its
// old length and bytes; a growing truncate still succeeds, taking no room.
TEST_F(QVFileSystemTest, FullVolumeReportedAndNothingLost) {
    const fs::path vol = tmp_ / "full";
    fs::create_directories(vol);
    if (::mount("tessaro-test", vol.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    {
        const fs::path small = vol / "small.zel";
        ASSERT_TRUE(testsupport::makeEncryptedFolder(small, {{"ann", "secret"}}));
        QVFileSystem h;
        ASSERT_TRUE(h.mountEncryptedFolder(small.string(), "ann", "secret"));
        const std::vector<uint8_t> first = randomBytes(300001, 8);
        auto f = h.openFileAtPath("f.bin", false, true);
        ASSERT_TRUE(f);
        ASSERT_TRUE(h.writeData(first, f));
        platform::Error err;
        const std::vector<uint8_t> big = randomBytes(2 << 20, 9);
        EXPECT_FALSE(h.writeFile(f, 300001, big.data(), big.size(), &err));
        EXPECT_EQ(err.code, ENOSPC) << err.description;
        EXPECT_EQ(fs::file_size(small / "f.bin"), first.size());
        // Growing by truncation takes no room: the gap is a hole.
        ASSERT_TRUE(h.truncateFile(f, 4 << 20, &err)) << err.description;
        EXPECT_EQ(fs::file_size(small / "f.bin"), 4u << 20);
        std::vector<uint8_t> gap(1000, 1);
        size_t gapGot = 0;
        ASSERT_TRUE(h.readFile(f, (4 << 20) - 1000, gap.data(), gap.size(), &gapGot));
        EXPECT_EQ(gap, std::vector<uint8_t>(1000, 0));
        ASSERT_TRUE(h.truncateFile(f, first.size(), &err));
        std::vector<uint8_t> back(first.size() + 10);
        size_t got = 0;
        ASSERT_TRUE(h.readFile(f, 0, back.data(), back.size(), &got));
        back.resize(got);
        EXPECT_TRUE(back == first)
            << "first difference at "
            << std::mismatch(back.begin(), back.end(), first.begin(), first.end()).first -
                   back.begin();
        h.closeFile(f);
        h.unmount();
    }
    ::umount2(vol.c_str(), MNT_DETACH);
}

}  // namespace

// Links made in the raw folder that reach the database or its journal, by a
// symbolic link (directly, through "sub/..", from a sub-directory, in another
// case) or by a hard link: no read, create or truncate reaches the file.
TEST_F(QVFileSystemTest, LinksToTheDatabaseAreRefused) {
    const fs::path db = folder_ / "_QXCFG.MOX";
    const fs::path journal = folder_ / "_QXCFG.MOX-journal";
    testsupport::writeFile(folder_ / "plain.txt", "");
    struct Link {
        const char* name;
        const char* target;  // null: a hard link to the database
        bool journalExists;
    };
    const Link links[] = {
        {"report.txt", "_QXCFG.MOX", false},
        {"journal.txt", "_QXCFG.MOX-journal", false},
        {"journal-present.txt", "_QXCFG.MOX-journal", true},
        {"up.txt", "sub/../_QXCFG.MOX", false},
        {"sub/back.txt", "../_QXCFG.MOX", false},
        {"hard.txt", nullptr, false},
    };
    struct Op {
        const char* name;
        std::function<bool(QVFileSystem&, const std::string&)> run;
    };
    const Op ops[] = {
        {"read",
         [](QVFileSystem& h, const std::string& p) {
             auto f = h.openFileAtPath(p, true, false);
             return f && h.readDataFromFile(f, 100).has_value();
         }},
        {"create",
         [](QVFileSystem& h, const std::string& p) {
             return h.openFileAtPath(p, false, true) != nullptr;
         }},
        {"truncate",
         [](QVFileSystem& h, const std::string& p) { return h.truncateItemAtPath(p, 0); }},
    };
    QVFileSystem h;
    ASSERT_TRUE(mount(h));
    const std::string dbBytes = testsupport::readFile(db);
    for (const Link& l : links) {
        for (const Op& op : ops) {
            SCOPED_TRACE(std::string(l.name) + " / " + op.name);
            if (l.journalExists) testsupport::writeFile(journal, std::string(512, '\0'));
            const std::string journalBytes = l.journalExists ? std::string(512, '\0') : "";
            fs::remove(folder_ / l.name);
            if (l.target)
                fs::create_symlink(l.target, folder_ / l.name);
            else
                fs::create_hard_link(db, folder_ / l.name);
            EXPECT_FALSE(op.run(h, l.name));
            EXPECT_EQ(testsupport::readFile(db), dbBytes);
            EXPECT_EQ(fs::exists(journal), l.journalExists);
            if (l.journalExists) {
                EXPECT_EQ(testsupport::readFile(journal), journalBytes);
            }
            fs::remove(journal);
        }
    }
    // Links to ordinary files still work, and the folder still opens.
    fs::create_symlink("plain.txt", folder_ / "to-plain");
    auto f = h.openFileAtPath("to-plain", false, true);
    ASSERT_TRUE(f);
    EXPECT_TRUE(h.writeData({'o', 'k'}, f));
    h.closeFile(f);
    EXPECT_EQ(fs::file_size(folder_ / "plain.txt"), 2u);
    h.unmount();
    EXPECT_TRUE(mount(h));
}

// Two handles on one folder, as the window and the volume hold them: two
// threads write interleaved unaligned stripes of one file, and no byte of
// either is lost.
TEST_F(QVFileSystemTest, TwoHandlesWritingOneFileLoseNothing) {
    QVFileSystem a, b;
    ASSERT_TRUE(mount(a));
    ASSERT_TRUE(mount(b));
    constexpr size_t kStripe = 77, kStripes = 400;
    auto fa = a.openFileAtPath("shared.bin", false, true);
    ASSERT_TRUE(fa);
    auto fb = b.openFileAtPath("shared.bin", false, false);
    ASSERT_TRUE(fb);
    auto writer = [&](QVFileSystem& h, const QVFile::Ptr& f, size_t parity, uint8_t fill) {
        const std::vector<uint8_t> stripe(kStripe, fill);
        for (size_t i = parity; i < kStripes; i += 2)
            if (!h.writeFile(f, i * kStripe, stripe.data(), stripe.size())) return false;
        return true;
    };
    bool okA = false, okB = false;
    std::thread ta([&] { okA = writer(a, fa, 0, 0xAA); });
    std::thread tb([&] { okB = writer(b, fb, 1, 0xBB); });
    ta.join();
    tb.join();
    EXPECT_TRUE(okA && okB);
    a.closeFile(fa);
    b.closeFile(fb);
    auto r = a.openFileAtPath("shared.bin", true, false);
    ASSERT_TRUE(r);
    std::vector<uint8_t> got(kStripe * kStripes + 10);
    size_t n = 0;
    ASSERT_TRUE(a.readFile(r, 0, got.data(), got.size(), &n));
    ASSERT_EQ(n, kStripe * kStripes);
    size_t wrong = 0;
    for (size_t i = 0; i < n; ++i) wrong += got[i] != ((i / kStripe) % 2 ? 0xBB : 0xAA);
    EXPECT_EQ(wrong, 0u);
}

// A database that is there but cannot be read is reported as such at once,
// never as a wrong password or a missing file, and never blocks.
TEST_F(QVFileSystemTest, UnreadableDatabasesAreReportedAtOnce) {
    const fs::path db = folder_ / "_QXCFG.MOX";
    const std::string good = testsupport::readFile(db);
    auto sql = [&](const char* statement) {
        auto* d = new CMoxConfigDatabase(db.c_str(), false);
        EXPECT_TRUE(d->OpenDatabase());
        EXPECT_TRUE(d->SqLite_ExecSql(statement, nullptr, nullptr));
        d->CloseDatabase();
    };
    struct Case {
        const char* name;
        std::function<void()> make;
    };
    const Case cases[] = {
        {"fifo", [&] { ASSERT_EQ(mkfifo(db.c_str(), 0600), 0); }},
        {"directory", [&] { fs::create_directory(db); }},
        {"dangling link", [&] { fs::create_symlink("nowhere", db); }},
        {"empty", [&] { testsupport::writeFile(db, ""); }},
        {"truncated", [&] { testsupport::writeFile(db, good.substr(0, good.size() / 2)); }},
        {"random",
         [&] {
             auto r = randomBytes(8192, 3);
             testsupport::writeFile(db, std::string(r.begin(), r.end()));
         }},
        {"no key table",
         [&] {
             testsupport::writeFile(db, good);
             sql("DROP TABLE Keys");
         }},
        {"every record malformed",
         [&] {
             testsupport::writeFile(db, good);
             sql("UPDATE Keys SET EK = '100;<~garbage~>', PV = 'x'");
         }},
        {"fifo journal",
         [&] {
             testsupport::writeFile(db, good);
             ASSERT_EQ(mkfifo((folder_ / "_QXCFG.MOX-journal").c_str(), 0600), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(db);
        fs::remove(folder_ / "_QXCFG.MOX-journal");
        c.make();
        auto attempt = std::async(std::launch::async, [&] {
            QVFileSystem h;
            platform::Error err;
            bool mounted = h.mountEncryptedFolder(folder_.string(), "ann", "secret", &err);
            bool noUsers = h.usersForFolderAtPath(folder_.string()).empty();
            return std::make_tuple(mounted, err, noUsers);
        });
        // A blocked open would never come back: end the whole run instead.
        if (attempt.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "unlocking blocked";
            std::_Exit(1);
        }
        auto [mounted, err, noUsers] = attempt.get();
        EXPECT_FALSE(mounted);
        EXPECT_EQ(err.domain, QVFileSystem::kErrorDomain);
        EXPECT_EQ(err.code, 4313) << err.description;
        EXPECT_EQ(err.description, "the folder's configuration cannot be read");
        EXPECT_TRUE(noUsers);
    }
}

// A folder named relative to the working directory, or through a linked
// directory, unlocks and serves its files, and nothing, failed or not, moves
// the working directory.
TEST_F(QVFileSystemTest, RelativePathAndTheWorkingDirectory) {
    const fs::path before = fs::current_path();
    fs::current_path(tmp_.path());
    QVFileSystem h;
    EXPECT_FALSE(h.mountEncryptedFolder("box.zel", "ann", "wrong"));
    EXPECT_EQ(fs::current_path(), tmp_.path());
    ASSERT_TRUE(h.mountEncryptedFolder("box.zel", "ann", "secret"));
    EXPECT_EQ(fs::current_path(), tmp_.path());
    auto f = h.openFileAtPath("sub/r.txt", false, true);
    ASSERT_TRUE(f);
    ASSERT_TRUE(h.writeData({'r', 'e', 'l'}, f));
    h.closeFile(f);
    EXPECT_EQ(h.usersForFolderAtPath("box.zel").size(), 1u);
    EXPECT_TRUE(h.contentsOfDirectoryAtPath("sub", false).has_value());
    h.unmount();
    EXPECT_EQ(fs::current_path(), tmp_.path());
    // A folder reached through a linked directory is the same folder.
    fs::create_directory_symlink(tmp_.path(), "linked");
    EXPECT_TRUE(h.mountEncryptedFolder("linked/box.zel", "ann", "secret"));
    EXPECT_EQ(h.usersForFolderAtPath("linked/box.zel").size(), 1u);
    h.unmount();
    fs::current_path(before);
    EXPECT_EQ(fs::file_size(folder_ / "sub/r.txt"), 3u);
}

// A byte far past the end and a truncate to a tebibyte leave holes: the raw
// file takes a few blocks, the gap reads as zeros and the data around it is
// intact.
TEST_F(QVFileSystemTest, GapsStaySparse) {
    constexpr uint64_t kFar = 17ull << 30, kHuge = 1ull << 40;
    QVFileSystem h;
    ASSERT_TRUE(mount(h));
    auto f = h.openFileAtPath("sparse.bin", false, true);
    ASSERT_TRUE(f);
    ASSERT_TRUE(h.writeFile(f, 0, "head of file", 12));
    ASSERT_TRUE(h.writeFile(f, kFar, "x", 1));
    platform::Error err;
    ASSERT_TRUE(h.truncateFile(f, kHuge, &err)) << err.description;
    ASSERT_TRUE(h.writeFile(f, kHuge - 3, "end", 3));
    struct stat st;
    ASSERT_EQ(stat((folder_ / "sparse.bin").c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), kHuge);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 1u << 20);
    auto readAt = [&](uint64_t off, size_t n) {
        std::string out(n, '?');
        size_t got = 0;
        EXPECT_TRUE(h.readFile(f, off, out.data(), n, &got));
        out.resize(got);
        return out;
    };
    EXPECT_EQ(readAt(0, 12), "head of file");
    EXPECT_EQ(readAt(12, 2000), std::string(2000, '\0'));
    EXPECT_EQ(readAt(8ull << 30, 4096), std::string(4096, '\0'));
    EXPECT_EQ(readAt(kFar - 700, 702), std::string(700, '\0') + "x" + std::string(1, '\0'));
    EXPECT_EQ(readAt(kFar + 1, 3000), std::string(3000, '\0'));
    EXPECT_EQ(readAt(kHuge - 1000, 2000), std::string(997, '\0') + "end");
    // A pebibyte either fits as a hole or is refused as too large for the
    // file system, leaving the file as it was.
    if (!h.truncateFile(f, 1ull << 50, &err)) {
        EXPECT_EQ(err.code, EFBIG) << err.description;
        EXPECT_EQ(fs::file_size(folder_ / "sparse.bin"), kHuge);
        EXPECT_EQ(readAt(kHuge - 3, 10), "end");
    }
    h.closeFile(f);
}

// Databases someone hands over: each of the three calls that work on a
// locked folder comes back (a blocked call ends the run) with the folder's
// 4313 refusal, or with the right answer where the database is a real one.
TEST_F(QVFileSystemTest, HostileDatabasesAreAnsweredOrRefused) {
    const fs::path db = folder_ / "_QXCFG.MOX";
    const std::string good = testsupport::readFile(db);
    // Made with the sqlite3 shell, as someone handing the folder over would:
    // our own connections would hold the setup to their deadline.
    ASSERT_EQ(0, system("command -v sqlite3 >/dev/null")) << "sqlite3 shell not installed";
    auto sql = [&](const std::string& statement) {
        FILE* shell = popen(("sqlite3 -bail '" + db.string() + "'").c_str(), "w");
        ASSERT_TRUE(shell);
        std::fputs((statement + ";\n").c_str(), shell);
        EXPECT_EQ(pclose(shell), 0) << statement;
    };
    const std::string endless = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) ";
    struct Case {
        const char* name;
        std::string sql;
        bool refused;
        size_t users;  // when not refused
    };
    const Case cases[] = {
        {"endless view of Keys",
         "ALTER TABLE Keys RENAME TO K0; CREATE VIEW Keys AS " + endless +
             "SELECT K0.KeyId || x AS KeyId, K0.KeyType, K0.DispName, K0.Perms, K0.GroupId, "
             "K0.UserId, K0.SID, K0.KeySpec, K0.EK, K0.PV, K0.ModifyTime FROM c, K0",
         true, 0},
        {"endless view of Props",
         "ALTER TABLE Props RENAME TO P0; CREATE VIEW Props AS " + endless +
             "SELECT P0.PropId, P0.PropValue FROM c, P0",
         true, 0},
        {"Keys a view of plain rows",
         "ALTER TABLE Keys RENAME TO K0; CREATE VIEW Keys AS SELECT * FROM K0", true, 0},
        {"a trigger",
         "CREATE TRIGGER t AFTER INSERT ON Keys BEGIN SELECT count(*) FROM (" + endless +
             "SELECT x FROM c); END",
         false, 1},
        {"20,000 rows",
         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
         "INSERT INTO Keys SELECT KeyId || '-' || i, KeyType, DispName, Perms, GroupId, "
         "'u' || i, SID, KeySpec, EK, PV, ModifyTime FROM Keys, n",
         false, 20001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::writeFile(db, good);
        sql(c.sql);
        auto attempt = std::async(std::launch::async, [&] {
            QVFileSystem h;
            platform::Error err;
            bool mounted = h.mountEncryptedFolder(folder_.string(), "ann", "secret", &err);
            size_t users = h.usersForFolderAtPath(folder_.string()).size();
            bool idRead = QVFileSystem().uuidOfUnmountedVolume(folder_.string()).has_value();
            return std::make_tuple(mounted, err, users, idRead);
        });
        if (attempt.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "a call on the folder blocked";
            std::_Exit(1);
        }
        auto [mounted, err, users, idRead] = attempt.get();
        if (c.refused) {
            EXPECT_FALSE(mounted);
            EXPECT_EQ(err.code, 4313) << err.description;
            EXPECT_EQ(err.description, "the folder's configuration cannot be read");
            EXPECT_EQ(users, 0u);
            EXPECT_FALSE(idRead);
        } else {
            EXPECT_TRUE(mounted) << err.description;
            EXPECT_EQ(users, c.users);
            EXPECT_TRUE(idRead);
        }
    }
}

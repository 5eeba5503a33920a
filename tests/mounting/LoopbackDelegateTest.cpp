// The loopback delegate called directly, without a mount.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <functional>
#include <set>

#include "mounting/LoopbackFixture.h"

using loopbacktest::UnlockedFolder;
using platform::Error;
using platform::FileUserData;
using platform::ItemAttributes;

namespace {

std::set<std::string> listing(QVFuseLoopbackFS& fs, const std::string& path) {
    Error e;
    auto names = fs.contentsOfDirectory(path, &e);
    EXPECT_TRUE(names) << e.description;
    return names ? std::set<std::string>(names->begin(), names->end()) : std::set<std::string>{};
}

FileUserData create(QVFuseLoopbackFS& fs, const std::string& path, mode_t mode = 0644) {
    ItemAttributes a;
    a.permissions = mode;
    FileUserData ud;
    Error e;
    EXPECT_TRUE(fs.createFile(path, a, &ud, &e)) << path << ": " << e.description;
    return ud;
}

void write(QVFuseLoopbackFS& fs, const std::string& path, const std::string& bytes) {
    FileUserData ud = create(fs, path);
    Error e;
    EXPECT_EQ(fs.writeFile(path, ud, bytes.data(), bytes.size(), 0, &e),
              static_cast<int64_t>(bytes.size()));
    fs.releaseFile(path, ud);
}

}  // namespace

TEST(LoopbackDelegate, ListingHidesTheDatabaseAndCleansUpOncePerMount) {
    UnlockedFolder f;
    testsupport::writeFile(f.real("a.txt"), "x");
    testsupport::writeFile(f.real(".DS_Store"), "junk");
    testsupport::writeFile(f.real("_QXCFG.MOX-journal"), "");
    testsupport::writeFile(f.real("_qxcfg.mox"), "");
    ASSERT_TRUE(std::filesystem::exists(f.real("_QXCFG.MOX")));

    // The database and its journal in any letter case are never shown; the
    // first listing drops and deletes ".DS_Store".
    EXPECT_EQ(listing(*f.loopback, "/"), (std::set<std::string>{"a.txt"}));
    EXPECT_FALSE(std::filesystem::exists(f.real(".DS_Store")));
    testsupport::writeFile(f.real(".DS_Store"), "again");
    EXPECT_EQ(listing(*f.loopback, "/"), (std::set<std::string>{"a.txt", ".DS_Store"}));
    EXPECT_TRUE(std::filesystem::exists(f.real(".DS_Store")));

    // And nothing reaches them through the volume.
    Error e;
    EXPECT_FALSE(f.loopback->attributesOfItem("/_QXCFG.MOX", nullptr, &e));
    EXPECT_EQ(e.code, ENOENT);
    EXPECT_FALSE(f.loopback->removeItem("/_qxcfg.mox", &e));
    EXPECT_EQ(e.code, ENOENT);
    EXPECT_FALSE(f.loopback->moveItem("/a.txt", "/_QXCFG.MOX-JOURNAL", &e));
    EXPECT_EQ(e.code, ENOENT);
    EXPECT_TRUE(std::filesystem::exists(f.real("a.txt")));
}

TEST(LoopbackDelegate, QuarantineIsDroppedAndOtherNamesAreKept) {
    UnlockedFolder f;
    write(*f.loopback, "/a", "1");
    Error e;
    for (const char* name : {"com.apple.quarantine", "user.com.apple.quarantine"})
        EXPECT_TRUE(f.loopback->setExtendedAttribute(name, "/a", {'q'}, 0, 0, &e));
    const std::string accented = "user.\xc3\xa9t\xc3\xa9";
    ASSERT_TRUE(f.loopback->setExtendedAttribute(accented, "/a", {'v', '1'}, 0, 0, &e))
        << e.description;
    ASSERT_TRUE(f.loopback->setExtendedAttribute("user.two", "/a", {}, 0, 0, &e));

    auto names = f.loopback->extendedAttributes("/a", &e);
    ASSERT_TRUE(names);
    EXPECT_EQ(std::set<std::string>(names->begin(), names->end()),
              (std::set<std::string>{accented, "user.two"}));
    auto value = f.loopback->valueOfExtendedAttribute(accented, "/a", 0, &e);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, (std::vector<uint8_t>{'v', '1'}));

    // The root has none, and every value asked of it is empty.
    EXPECT_EQ(f.loopback->extendedAttributes("/", &e), std::vector<std::string>{});
    EXPECT_EQ(f.loopback->valueOfExtendedAttribute("user.x", "/", 0, &e), std::vector<uint8_t>{});

    // A failed set is a failure (a name outside every namespace).
    EXPECT_FALSE(f.loopback->setExtendedAttribute("nonamespace", "/a", {'x'}, 0, 0, &e));
    EXPECT_NE(e.code, 0);

    // A quarantine mark already on disk goes at the first listing of its directory.
    ASSERT_EQ(lsetxattr(f.real("a").c_str(), "user.com.apple.quarantine", "q", 1, 0), 0);
    listing(*f.loopback, "/");
    EXPECT_EQ(lgetxattr(f.real("a").c_str(), "user.com.apple.quarantine", nullptr, 0), -1);
}

TEST(LoopbackDelegate, ReadonlySwitchRefusesEveryChange) {
    UnlockedFolder f;
    write(*f.loopback, "/a", "data");
    ASSERT_TRUE(f.loopback->createDirectory("/d", {}, nullptr));
    FileUserData open;
    ASSERT_TRUE(f.loopback->openFile("/a", O_RDWR, &open, nullptr));
    f.loopback->setIsReadonly(true);

    ItemAttributes size0;
    size0.size = 0;
    struct Case {
        const char* what;
        std::function<bool(Error*)> call;
    } cases[] = {
        {"move", [&](Error* e) { return f.loopback->moveItem("/a", "/b", e); }},
        {"rmdir", [&](Error* e) { return f.loopback->removeDirectory("/d", e); }},
        {"remove", [&](Error* e) { return f.loopback->removeItem("/a", e); }},
        {"mkdir", [&](Error* e) { return f.loopback->createDirectory("/e", {}, e); }},
        {"create",
         [&](Error* e) {
             FileUserData ud;
             return f.loopback->createFile("/n", {}, &ud, e);
         }},
        {"symlink", [&](Error* e) { return f.loopback->createSymbolicLink("/l", "a", e); }},
        {"link", [&](Error* e) { return f.loopback->linkItem("/h", "/a", e); }},
        {"exchange", [&](Error* e) { return f.loopback->exchangeData("/a", "/d", e); }},
        {"setattr", [&](Error* e) { return f.loopback->setAttributes(size0, "/a", open, e); }},
        {"setxattr",
         [&](Error* e) { return f.loopback->setExtendedAttribute("user.x", "/a", {}, 0, 0, e); }},
        {"write", [&](Error* e) { return f.loopback->writeFile("/a", open, "zz", 2, 0, e) >= 0; }},
    };
    for (const auto& c : cases) {
        Error e;
        EXPECT_FALSE(c.call(&e)) << c.what;
        EXPECT_EQ(e.code, 30) << c.what;  // EROFS
    }
    platform::pumpMainQueue();
    EXPECT_EQ(f.watcher->notices, 10);  // all but setxattr, which refuses silently

    // Nothing changed, and reading still works.
    EXPECT_TRUE(std::filesystem::exists(f.real("a")));
    EXPECT_TRUE(std::filesystem::exists(f.real("d")));
    EXPECT_EQ(std::filesystem::file_size(f.real("a")), 4u);
    char buf[8];
    EXPECT_EQ(f.loopback->readFile("/a", open, buf, sizeof buf, 0, nullptr), 4);
    EXPECT_EQ(std::string(buf, 4), "data");
    f.loopback->releaseFile("/a", open);
}

TEST(LoopbackDelegate, LinksStayInsideTheFolder) {
    UnlockedFolder f;
    f.loopback->setMountPath("/media/u/Docs-decrypted");
    write(*f.loopback, "/a.txt", "keep me");
    const std::string stored = testsupport::readFile(f.real("a.txt"));
    Error e;

    // A hard link is a second name of the same file; it never removes what
    // it links to, and an existing name is EEXIST.
    ASSERT_TRUE(f.loopback->linkItem("/h", "/a.txt", &e)) << e.description;
    EXPECT_TRUE(std::filesystem::equivalent(f.real("h"), f.real("a.txt")));
    EXPECT_FALSE(f.loopback->linkItem("/a.txt", "/h", &e));
    EXPECT_EQ(e.code, EEXIST);
    EXPECT_EQ(testsupport::readFile(f.real("a.txt")), stored);

    struct Case {
        const char* link;
        const char* destination;
        std::string stored;  // the real link's target
        std::string reads;   // what reading it through the volume gives
    } cases[] = {
        {"/rel", "a.txt", "a.txt", "a.txt"},
        {"/up", "../x", "../x", "../x"},
        {"/abs", "/tmp/x", f.real("tmp/x"), "/media/u/Docs-decrypted/tmp/x"},
        {"/vol", "/media/u/Docs-decrypted/a.txt", f.real("a.txt"), "/media/u/Docs-decrypted/a.txt"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(f.loopback->createSymbolicLink(c.link, c.destination, &e)) << c.link;
        EXPECT_EQ(std::filesystem::read_symlink(f.real(c.link + 1)).string(), c.stored) << c.link;
        EXPECT_EQ(f.loopback->destinationOfSymbolicLink(c.link, &e), c.reads) << c.link;
    }
}

// A link in the middle of a path that leads out of the folder (made there by
// a sync client, a shared folder, or swapped in by someone else) is never
// followed: every call refuses it and the outside stays byte-identical.
TEST(LoopbackDelegate, EveryCallRefusesALinkOutOfTheFolderInThePath) {
    UnlockedFolder f;
    const std::filesystem::path outside = f.dir / "outside";
    std::filesystem::create_directories(outside / "sub");
    testsupport::writeFile(outside / "victim", "outside data");
    testsupport::writeFile(outside / "sub" / "inner", "inner data");
    std::filesystem::create_symlink("victim", outside / "lnk");
    ASSERT_EQ(setxattr((outside / "victim").c_str(), "user.k", "v", 1, 0), 0);
    std::filesystem::create_directory_symlink(outside, f.real("abs"));
    std::filesystem::create_directory_symlink("../outside", f.real("rel"));
    write(*f.loopback, "/inside", "inside data");
    const std::string before = loopbacktest::treeSnapshot(outside);

    auto& fs = *f.loopback;
    ItemAttributes size0, mode, owner, times;
    size0.size = 0;
    mode.permissions = 0777;
    owner.owner = 1234;
    owner.group = 1234;
    times.modificationDate = timespec{1000, 0};
    for (const std::string link : {"/abs", "/rel"}) {
        const std::string p = link + "/victim", d = link + "/sub";
        struct Case {
            std::string what;
            std::function<bool(Error*)> call;
        } cases[] = {
            {"move from", [&](Error* e) { return fs.moveItem(p, "/moved", e); }},
            {"move to", [&](Error* e) { return fs.moveItem("/inside", link + "/new", e); }},
            {"rmdir", [&](Error* e) { return fs.removeDirectory(d, e); }},
            {"remove file", [&](Error* e) { return fs.removeItem(p, e); }},
            {"remove dir", [&](Error* e) { return fs.removeItem(d, e); }},
            {"mkdir", [&](Error* e) { return fs.createDirectory(link + "/newdir", {}, e); }},
            {"create",
             [&](Error* e) {
                 FileUserData ud;
                 bool ok = fs.createFile(link + "/newfile", {}, &ud, e);
                 if (ud) fs.releaseFile("", ud);
                 return ok;
             }},
            {"mknod",
             [&](Error* e) { return fs.createSpecialItem(link + "/fifo", S_IFIFO | 0644, 0, e); }},
            {"link into", [&](Error* e) { return fs.linkItem(link + "/hl", "/inside", e); }},
            {"link from", [&](Error* e) { return fs.linkItem("/hl", p, e); }},
            {"symlink", [&](Error* e) { return fs.createSymbolicLink(link + "/sl", "x", e); }},
            {"readlink",
             [&](Error* e) { return fs.destinationOfSymbolicLink(link + "/lnk", e).has_value(); }},
            {"open",
             [&](Error* e) {
                 FileUserData ud;
                 bool ok = fs.openFile(p, O_RDWR, &ud, e);
                 if (ud) fs.releaseFile("", ud);
                 return ok;
             }},
            {"exchange", [&](Error* e) { return fs.exchangeData(p, "/inside", e); }},
            {"list", [&](Error* e) { return fs.contentsOfDirectory(d, e).has_value(); }},
            {"list the link",
             [&](Error* e) { return fs.contentsOfDirectory(link, e).has_value(); }},
            {"stat", [&](Error* e) { return fs.attributesOfItem(p, nullptr, e).has_value(); }},
            {"truncate", [&](Error* e) { return fs.setAttributes(size0, p, nullptr, e); }},
            {"chmod", [&](Error* e) { return fs.setAttributes(mode, p, nullptr, e); }},
            {"chown", [&](Error* e) { return fs.setAttributes(owner, p, nullptr, e); }},
            {"utimens", [&](Error* e) { return fs.setAttributes(times, p, nullptr, e); }},
            {"listxattr", [&](Error* e) { return fs.extendedAttributes(p, e).has_value(); }},
            {"getxattr",
             [&](Error* e) { return fs.valueOfExtendedAttribute("user.k", p, 0, e).has_value(); }},
            {"setxattr",
             [&](Error* e) { return fs.setExtendedAttribute("user.n", p, {'x'}, 0, 0, e); }},
            {"removexattr", [&](Error* e) { return fs.removeExtendedAttribute("user.k", p, e); }},
        };
        for (const auto& c : cases) {
            Error e;
            EXPECT_FALSE(c.call(&e)) << link << " " << c.what;
            EXPECT_NE(e.code, 0) << link << " " << c.what;
        }
        // The link itself as the last name: acted on as a link, never followed.
        Error e;
        fs.setAttributes(mode, link, nullptr, &e);
        fs.setAttributes(times, link, nullptr, &e);
        fs.setAttributes(owner, link, nullptr, &e);
        fs.setExtendedAttribute("user.n", link, {'x'}, 0, 0, &e);
        fs.removeExtendedAttribute("user.k", link, &e);
        EXPECT_EQ(loopbacktest::treeSnapshot(outside), before) << link;
        EXPECT_TRUE(fs.removeItem(link, &e)) << e.description;
    }
    EXPECT_EQ(loopbacktest::treeSnapshot(outside), before);
    EXPECT_EQ(testsupport::readFile(f.real("inside")).size(), 11u);
}

TEST(LoopbackDelegate, ContentsReadBackAndModesAreKept) {
    UnlockedFolder f;
    write(*f.loopback, "/a", "hello");
    Error e;
    FileUserData ud;
    ASSERT_TRUE(f.loopback->openFile("/a", O_RDONLY, &ud, &e));
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(f.loopback->readFile("/a", ud, buf, sizeof buf, 0, &e), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(std::count(buf + 5, buf + sizeof buf, 0), 11);  // the rest is zeros
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(f.loopback->readFile("/a", ud, buf, sizeof buf, 100, &e), 0);  // past the end
    EXPECT_EQ(std::count(buf, buf + sizeof buf, 0), 16);
    f.loopback->releaseFile("/a", ud);
    EXPECT_NE(testsupport::readFile(f.real("a")), "hello");  // encrypted on disk
    EXPECT_EQ(std::filesystem::file_size(f.real("a")), 5u);

    // The mode asked for is the mode kept.
    create(*f.loopback, "/key", 0600);
    ItemAttributes mode;
    mode.permissions = 0640;
    ASSERT_TRUE(f.loopback->setAttributes(mode, "/key", nullptr, &e));
    struct stat st;
    ASSERT_EQ(stat(f.real("key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ItemAttributes touch;
    touch.modificationDate = timespec{1000, 0};
    ASSERT_TRUE(f.loopback->setAttributes(touch, "/key", nullptr, &e));
    ASSERT_EQ(stat(f.real("key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtime, 1000);
    ASSERT_TRUE(f.loopback->createDirectory("/nomode", {}, &e));
    ASSERT_EQ(stat(f.real("nomode").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0744u);  // no mode given: the folder's default

    // Removing asks the menu to refresh, on the main queue.
    ASSERT_TRUE(f.loopback->removeItem("/key", &e));
    EXPECT_EQ(f.menu->updates, 0);
    platform::pumpMainQueue();
    EXPECT_EQ(f.menu->updates, 1);
}

// A request through a file that has lost its last name comes with the path
// "": it is served from the open file, and "" never means the root.
TEST(LoopbackDelegate, AFileWithoutANameIsServedFromItsOpenFile) {
    UnlockedFolder f;
    FileUserData ud = create(*f.loopback, "/tmp", 0600);
    Error e;
    ASSERT_EQ(f.loopback->writeFile("/tmp", ud, "12345", 5, 0, &e), 5);
    ASSERT_TRUE(f.loopback->removeItem("/tmp", &e));

    ItemAttributes change;
    change.size = 3;
    change.permissions = 0640;
    change.modificationDate = timespec{2000, 0};
    ASSERT_TRUE(f.loopback->setAttributes(change, "", ud, &e)) << e.description;
    auto st = f.loopback->attributesOfItem("", ud, &e);
    ASSERT_TRUE(st) << e.description;
    EXPECT_TRUE(S_ISREG(st->st_mode));
    EXPECT_EQ(st->st_size, 3);
    EXPECT_EQ(st->st_nlink, 0u);
    EXPECT_EQ(st->st_mode & 07777, 0640u);
    EXPECT_EQ(st->st_mtime, 2000);
    char buf[8] = {};
    EXPECT_EQ(f.loopback->readFile("", ud, buf, sizeof buf, 0, &e), 3);
    EXPECT_EQ(std::string(buf, 3), "123");
    EXPECT_TRUE(f.loopback->synchronizeFile("", ud, false, &e));
    f.loopback->releaseFile("", ud);

    // Without the file there is nothing to act on; the root is untouched.
    struct stat root;
    ASSERT_EQ(stat(f.folder.c_str(), &root), 0);
    EXPECT_FALSE(f.loopback->attributesOfItem("", nullptr, &e));
    EXPECT_EQ(e.code, EBADF);
    EXPECT_FALSE(f.loopback->setAttributes(change, "", nullptr, &e));
    struct stat after;
    ASSERT_EQ(stat(f.folder.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, root.st_mode);
    EXPECT_EQ(after.st_mtim.tv_sec, root.st_mtim.tv_sec);
}

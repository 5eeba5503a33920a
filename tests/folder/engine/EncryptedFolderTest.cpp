#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Crypto/Prng.h"
#include "folder/MoxEncryptedFolder.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

std::string hex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {d[p[i] >> 4], d[p[i] & 15]};
    return s;
}

std::unique_ptr<MoxAuthentication> request(const std::string& name, const std::string& password,
                                           uint32_t hashId = 0x2000000, uint32_t cipherId = 1,
                                           const std::string& display = "") {
    auto r = std::make_unique<MoxAuthentication>();
    r->type = kMoxAuthTypePassword;
    r->keyType = kMoxKeyTypeUserPassword;
    r->SetName(name.c_str());
    r->SetPassword(password.c_str());
    r->userId = name;
    r->sid = name;
    r->displayName = display.empty() ? name : display;
    r->hashId = hashId;
    r->cipherId = cipherId;
    return r;
}

// Connect needs only name and password.
std::unique_ptr<MoxAuthentication> login(const std::string& name, const std::string& password) {
    auto r = std::make_unique<MoxAuthentication>();
    r->keyType = kMoxKeyTypePassword;
    r->SetName(name.c_str());
    r->SetPassword(password.c_str());
    return r;
}

std::vector<std::string> rows(const std::string& db, const std::string& sql) {
    std::vector<std::string> out;
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                const unsigned char* t = sqlite3_column_text(s, i);
                if (i) row += '|';  // not a chain of operator+: GCC 12 -O3 -Wrestrict
                row += t ? (const char*)t : "NULL";
            }
            out.push_back(row);
        }
    } else {
        out.push_back(std::string("error: ") + sqlite3_errmsg(h));
    }
    sqlite3_finalize(s);
    sqlite3_close(h);
    return out;
}

struct FolderDeleter {
    void operator()(CMoxEncryptedFolder* f) const { delete f; }
};
using FolderPtr = std::unique_ptr<CMoxEncryptedFolder, FolderDeleter>;

class EncryptedFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        char buf[PATH_MAX];
        ASSERT_TRUE(getcwd(buf, sizeof buf));
        cwd = buf;
    }
    void TearDown() override { (void)!chdir(cwd.c_str()); }

    std::string folder() const { return dir.path().string(); }
    std::string db() const { return (dir.path() / "_QXCFG.MOX").string(); }

    FolderPtr create(std::vector<MoxAuthentication*> reqs, uint32_t cipherId = 1,
                     MoxNewFolderInfo* info = nullptr) {
        uint32_t err = 1;
        FolderPtr f(CMoxEncryptedFolder::CreateNew(folder().c_str(), cipherId, reqs, &err, info));
        EXPECT_TRUE(f) << "error " << err;
        EXPECT_EQ(0u, err);
        if (f) {
            EXPECT_TRUE(f->SetCreatedOnMacFlag(true));
        }
        return f;
    }
    FolderPtr connect(const std::string& name, const std::string& password, uint32_t* err) {
        auto r = login(name, password);
        return FolderPtr(CMoxEncryptedFolder::Connect(folder().c_str(), r.get(), err));
    }

    std::string cwd;
    testsupport::TempDir dir;
};

}  // namespace

TEST_F(EncryptedFolder, CreateConnectAndManageUsers) {
    auto alice = request("alice", "a-pw", 0x4000000, 512, "Alice A");
    MoxNewFolderInfo info;
    FolderPtr made = create({alice.get()}, 512, &info);
    ASSERT_TRUE(made);
    EXPECT_EQ(512u, made->GetCryptAlgo());
    EXPECT_EQ(kMoxPermsAdministrator, made->GetPermissions());
    EXPECT_STREQ("alice", made->GetAuthenticatedUserId());
    EXPECT_STREQ("Alice A", made->GetAuthenticatedUser());
    EXPECT_EQ(folder() + "/", made->GetPath());
    EXPECT_EQ(db(), made->GetConfigDbPath());
    EXPECT_TRUE(made->GetCreatedOnMacFlag());
    ASSERT_EQ(1u, info.keys.size());
    EXPECT_STREQ(made->GetAuthenticatedGuid(), info.keys[0]->KeyId);
    EXPECT_EQ(36u, info.volumeId.size());
    EXPECT_FALSE(info.recoveryId.empty());
    const std::string key = hex(made->GetKey()->bytes, 100);
    made.reset();

    uint32_t err = 1;
    FolderPtr f = connect("ALICE", "a-pw", &err);
    ASSERT_TRUE(f) << err;
    EXPECT_EQ(0u, err);
    EXPECT_EQ(key, hex(f->GetKey()->bytes, 100));
    char here[PATH_MAX];
    EXPECT_EQ(cwd, getcwd(here, sizeof here));  // connecting never moves the process

    // Added users share the folder key under their own password.
    auto bob = request("bob", "b-pw");
    MoxKeyData* bobRecord = nullptr;
    ASSERT_TRUE(f->AddUser(bob.get(), kMoxPermsUser, &bobRecord));
    std::unique_ptr<MoxKeyData> bobOwned(bobRecord);
    ASSERT_TRUE(bobRecord);
    std::vector<MoxKeyData*> users;
    ASSERT_TRUE(f->GetUsers(users));
    ASSERT_EQ(2u, users.size());
    EXPECT_STREQ("bob", users[1]->UserId);
    EXPECT_STREQ("bob", users[1]->Sid);
    EXPECT_EQ(kMoxPermsUser, users[1]->Perms);
    for (auto* u : users) delete u;
    std::string bobId = bobRecord->KeyId;
    std::string aliceId = f->GetAuthenticatedGuid();
    ASSERT_TRUE(f->UpdateUserPermissions(bobId.c_str(), kMoxPermsAdministrator));
    f.reset();

    FolderPtr asBob = connect("bob", "b-pw", &err);
    ASSERT_TRUE(asBob) << err;
    EXPECT_EQ(key, hex(asBob->GetKey()->bytes, 100));
    EXPECT_EQ(kMoxPermsAdministrator, asBob->GetPermissions());
    EXPECT_STREQ("bob", asBob->GetAuthenticatedUserId());
    EXPECT_FALSE(connect("bob", "a-pw", &err));
    EXPECT_EQ(kMoxErrLogonFailure, err);

    ASSERT_TRUE(asBob->DeleteUser(aliceId.c_str()));
    EXPECT_FALSE(asBob->DeleteUser(bobId.c_str())) << "the last key record must stay";
    EXPECT_EQ(kMoxErrLastKey, asBob->GetError());
    asBob.reset();
    EXPECT_FALSE(connect("alice", "a-pw", &err));
    EXPECT_TRUE(connect("bob", "b-pw", &err));
    EXPECT_EQ(std::vector<std::string>{"ok"}, rows(db(), "PRAGMA integrity_check"));
}

// Records of KeyType 1 are tried before those of KeyType 32, whatever their
// order in the table: of two records that both open, the KeyType 1 one wins.
TEST_F(EncryptedFolder, PasswordRecordsBeforeUserRecords) {
    auto alice = request("alice", "pw");
    FolderPtr f = create({alice.get()});
    ASSERT_TRUE(f);
    const std::string first = f->GetAuthenticatedGuid();
    auto same = request("alice", "pw", 0x10000, 1);
    same->keyType = kMoxKeyTypePassword;
    MoxKeyData* added = nullptr;
    ASSERT_TRUE(f->AddUser(same.get(), kMoxPermsUser, &added));
    std::unique_ptr<MoxKeyData> owned(added);
    f.reset();
    EXPECT_EQ((std::vector<std::string>{first + "|32", std::string(added->KeyId) + "|1"}),
              rows(db(), "SELECT KeyId, KeyType FROM Keys ORDER BY rowid"));

    uint32_t err = 1;
    FolderPtr c = connect("Alice", "pw", &err);
    ASSERT_TRUE(c) << err;
    EXPECT_STREQ(added->KeyId, c->GetAuthenticatedGuid());
    EXPECT_EQ(kMoxKeyTypePassword, c->GetAuthenticatedKeyType());
    EXPECT_EQ(kMoxPermsUser, c->GetPermissions());
}

TEST_F(EncryptedFolder, WrongPasswordChangesNothing) {
    auto alice = request("alice", "right");
    create({alice.get()}).reset();
    const std::string before = testsupport::readFile(db());
    uint32_t err = 0;
    EXPECT_FALSE(connect("alice", "wrong", &err));
    EXPECT_EQ(kMoxErrLogonFailure, err);
    EXPECT_FALSE(connect("mallory", "right", &err));
    EXPECT_EQ(kMoxErrLogonFailure, err);
    EXPECT_EQ(before, testsupport::readFile(db()));
    EXPECT_EQ(std::vector<std::string>{"_QXCFG.MOX"}, [&] {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename());
        return names;
    }());
}

TEST_F(EncryptedFolder, ConnectWithoutDatabase) {
    uint32_t err = 0;
    EXPECT_FALSE(connect("a", "b", &err));
    EXPECT_EQ((uint32_t)ENOENT, err);
    EXPECT_TRUE(fs::is_empty(dir.path()));
    auto r = login("a", "b");
    EXPECT_FALSE(CMoxEncryptedFolder::Connect((folder() + "/missing").c_str(), r.get(), &err));
    EXPECT_EQ((uint32_t)ENOENT, err);
}

// CreateNew only takes an empty directory and leaves it unchanged whenever
// it refuses.
TEST_F(EncryptedFolder, CreateNewRefusals) {
    auto ok = request("u", "p");
    auto badHash = request("u", "p", 0x80000);
    auto saved = request("u", "p");
    saved->type = kMoxAuthTypeSavedPassword;
    struct Case {
        const char* name;
        const char* existing;  // file put in the directory first, or null
        uint32_t cipherId;
        std::vector<MoxAuthentication*> requests;
        uint32_t error;
    };
    const Case cases[] = {
        {"already encrypted", "_QXCFG.MOX", 1, {ok.get()}, EEXIST},
        {"already encrypted, other case", "_qxcfg.mox", 1, {ok.get()}, EEXIST},
        {"plain files", "notes.txt", 1, {ok.get()}, ENOTEMPTY},
        // The name of an interrupted creation, but not its database: the user's own file.
        {"file named like a leftover", "_QXCFG.MOX-new", 1, {ok.get()}, ENOTEMPTY},
        {"file named like a leftover journal", "_qxcfg.mox-NEW-journal", 1, {ok.get()}, ENOTEMPTY},
        {"unknown hash", nullptr, 1, {ok.get(), badHash.get()}, kMoxErrInvalidParameter},
        {"unknown cipher", nullptr, 7, {ok.get()}, kMoxErrInvalidParameter},
        {"saved-password request", nullptr, 1, {saved.get()}, kMoxErrInvalidParameter},
        {"no users", nullptr, 1, {}, kMoxErrInvalidParameter},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir d;
        if (c.existing) testsupport::writeFile(d / c.existing, "keep me");
        uint32_t err = 0;
        EXPECT_FALSE(
            CMoxEncryptedFolder::CreateNew(d.path().c_str(), c.cipherId, c.requests, &err));
        EXPECT_EQ(c.error, err);
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(d.path())) names.push_back(e.path().filename());
        EXPECT_EQ(c.existing ? std::vector<std::string>{c.existing} : std::vector<std::string>{},
                  names);
        if (c.existing) {
            EXPECT_EQ("keep me", testsupport::readFile(d / c.existing));
        }
    }
}

// A creation killed half-way (database made, no key record yet) leaves
// neither a folder nor anything that blocks the next attempt.
TEST_F(EncryptedFolder, KilledCreationIsRetried) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The folder key is drawn after the database and its ids are written.
        CPrng::ScopedSource stall([&](uint8_t*, size_t) {
            char c = 1;
            (void)!write(ready[1], &c, 1);
            pause();
        });
        auto u = request("u", "p");
        uint32_t err = 0;
        CMoxEncryptedFolder::CreateNew(folder().c_str(), 1, {u.get()}, &err);
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(fs::exists(dir / kMoxConfigDbBuildName));

    uint32_t err = 0;
    EXPECT_FALSE(connect("u", "p", &err));
    EXPECT_EQ((uint32_t)ENOENT, err);
    auto u = request("u", "p");
    FolderPtr f = create({u.get()});
    ASSERT_TRUE(f);
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename());
    EXPECT_EQ(std::vector<std::string>{"_QXCFG.MOX"}, names);
}

TEST_F(EncryptedFolder, CreatedOnMacFlagDefaultsOff) {
    auto u = request("u", "p");
    uint32_t err = 0;
    FolderPtr f(CMoxEncryptedFolder::CreateNew(folder().c_str(), 2, {u.get()}, &err));
    ASSERT_TRUE(f);
    EXPECT_FALSE(f->GetCreatedOnMacFlag());
    ASSERT_TRUE(f->SetCreatedOnMacFlag(true));
    EXPECT_TRUE(f->GetCreatedOnMacFlag());
    EXPECT_EQ(std::vector<std::string>{"1"},
              rows(db(), "SELECT PropValue FROM Props WHERE PropId = 'isLumenProtectionEnabled'"));
}

// Reference folders built by tests/folder/tools/make_golden_folders.py from
// fixed random bytes with hashlib and the openssl command.
class GoldenFolder : public EncryptedFolder {
  protected:
    static nlohmann::json cases() {
        std::ifstream in(fs::path(TESSARO_TEST_DATA) / "golden" / "cases.json");
        return nlohmann::json::parse(in);
    }
    static std::vector<uint8_t> folderKey(const nlohmann::json& c) {
        std::string h = c["folderKey"];
        std::vector<uint8_t> b;
        for (size_t i = 0; i < h.size(); i += 2)
            b.push_back((uint8_t)std::stoi(h.substr(i, 2), nullptr, 16));
        return b;
    }
};

TEST_F(GoldenFolder, ReferenceFoldersOpen) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c["name"].get<std::string>());
        fs::path golden =
            fs::path(TESSARO_TEST_DATA) / "golden" / c["name"].get<std::string>() / "_QXCFG.MOX";
        fs::copy_file(golden, db(), fs::copy_options::overwrite_existing);
        std::vector<uint8_t> key = folderKey(c);
        for (const auto& u : c["users"]) {
            uint32_t err = 1;
            FolderPtr f = connect(u["name"], u["password"], &err);
            ASSERT_TRUE(f) << u["name"] << " error " << err;
            EXPECT_EQ(hex(key.data(), 100), hex(f->GetKey()->bytes, 100));
            EXPECT_EQ(c["cipherId"].get<uint32_t>(), f->GetCryptAlgo());
            EXPECT_EQ(u["displayName"].get<std::string>(), f->GetAuthenticatedUser());
            EXPECT_TRUE(f->GetCreatedOnMacFlag());
            f.reset();
            EXPECT_FALSE(connect(u["name"], u["password"].get<std::string>() + "!", &err));
        }
        EXPECT_EQ(testsupport::readFile(golden), testsupport::readFile(db()));
    }
}

TEST_F(GoldenFolder, CreatedFoldersMatchReference) {
    for (const auto& c : cases()) {
        const std::string name = c["name"];
        SCOPED_TRACE(name);
        testsupport::TempDir d;
        std::string random =
            testsupport::readFile(fs::path(TESSARO_TEST_DATA) / "golden" / name / "random.bin");
        size_t at = 0;
        CPrng::ScopedSource source([&](uint8_t* dst, size_t len) {
            for (size_t i = 0; i < len; ++i)
                dst[i] = at < random.size() ? (uint8_t)random[at++] : 0;
        });
        std::vector<std::unique_ptr<MoxAuthentication>> reqs;
        std::vector<MoxAuthentication*> ptrs;
        for (const auto& u : c["users"]) {
            reqs.push_back(
                request(u["name"], u["password"], u["hashId"], c["cipherId"], u["displayName"]));
            ptrs.push_back(reqs.back().get());
        }
        uint32_t err = 1;
        FolderPtr f(CMoxEncryptedFolder::CreateNew(d.path().c_str(), c["cipherId"], ptrs, &err));
        ASSERT_TRUE(f) << err;
        EXPECT_EQ(random.size(), at) << "random bytes spent differently";
        EXPECT_TRUE(f->SetCreatedOnMacFlag(true));
        std::vector<uint8_t> key = folderKey(c);
        EXPECT_EQ(hex(key.data(), 100), hex(f->GetKey()->bytes, 100));
        f.reset();

        std::string mine = (d.path() / "_QXCFG.MOX").string();
        std::string ref = (fs::path(TESSARO_TEST_DATA) / "golden" / name / "_QXCFG.MOX").string();
        const char* keys =
            "SELECT KeyType, DispName, Perms, GroupId, UserId, SID, KeySpec, EK, PV FROM Keys "
            "ORDER BY rowid";
        EXPECT_EQ(rows(ref, keys), rows(mine, keys));
        const char* schema = "SELECT type, name, sql FROM sqlite_master ORDER BY name";
        EXPECT_EQ(rows(ref, schema), rows(mine, schema));
        const char* fixed =
            "SELECT PropId, PropValue FROM Props WHERE PropId IN ('DbVersion', "
            "'isLumenProtectionEnabled') ORDER BY PropId";
        EXPECT_EQ(rows(ref, fixed), rows(mine, fixed));
        EXPECT_EQ(rows(ref, "SELECT * FROM Groups"), rows(mine, "SELECT * FROM Groups"));
    }
}

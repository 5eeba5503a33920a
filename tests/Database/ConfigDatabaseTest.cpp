#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "Crypto/Base85Coder.h"
#include "Database/DbTestUtil.h"
#include "Database/MoxConfigDatabase.h"
#include "Database/SqLiteQuoter.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Closes every opener of a database at the end of a scope.
struct DbCloser {
    void operator()(CMoxConfigDatabase* db) const {
        while (db && !db->CloseDatabase()) {
        }
    }
};
using DbPtr = std::unique_ptr<CMoxConfigDatabase, DbCloser>;

class ConfigDatabase : public ::testing::Test {
  protected:
    std::string path() const { return (dir / kMoxConfigDbName).string(); }
    DbPtr create() {
        DbPtr db(new CMoxConfigDatabase(path().c_str(), false));
        EXPECT_TRUE(db->CreateDatabase());
        return db;
    }
    DbPtr open(bool readOnly) {
        DbPtr db(new CMoxConfigDatabase(path().c_str(), readOnly));
        EXPECT_TRUE(db->OpenDatabase());
        return db;
    }
    testsupport::TempDir dir;
};

std::unique_ptr<MoxKeyData> makeKey(const char* id, uint32_t type, uint8_t seed) {
    auto k = std::make_unique<MoxKeyData>();
    MoxKeyData::SetText(k->KeyId, id);
    k->KeyType = type;
    MoxKeyData::SetText(k->DispName, id);
    MoxKeyData::SetText(k->UserId, id);
    MoxKeyData::SetText(k->Sid, id);
    k->KeySpec.length = kMoxKeySpecLength;
    k->EK.length = kMoxWrappedKeyLength;
    k->PV.length = kMoxVerifierLength;
    for (size_t i = 0; i < kMoxBlobSize; ++i) {
        k->KeySpec.data[i] = (uint8_t)(i * 7 + seed);
        k->EK.data[i] = (uint8_t)(i * 13 + seed);
    }
    for (size_t i = 0; i < kMoxPvBlobSize; ++i) k->PV.data[i] = (uint8_t)(i * 3 + seed);
    return k;
}

std::vector<std::string> keyIds(CMoxConfigDatabase* db) {
    std::vector<MoxKeyData*> keys;
    db->FindKeys(0, nullptr, keys);
    std::vector<std::string> ids;
    for (MoxKeyData* k : keys) {
        ids.emplace_back(k->KeyId);
        delete k;
    }
    return ids;
}

std::string runSqliteShell(const std::string& path, const std::string& command) {
    std::string cmd = "sqlite3 '" + path + "' '" + command + "'";
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

}  // namespace

TEST_F(ConfigDatabase, NewDatabaseHasExactSchemaAndRows) {
    create();
    ASSERT_EQ(0, system("command -v sqlite3 >/dev/null")) << "sqlite3 shell not installed";
    EXPECT_EQ(testsupport::readFile(fs::path(TESSARO_TEST_DATA) / "schema.txt"),
              runSqliteShell(path(), ".schema"));
    EXPECT_EQ(std::vector<std::string>{"DbVersion|1"},
              dbtest::query(path(), "SELECT * FROM Props"));
    EXPECT_EQ(std::vector<std::string>{"0|Default|0|1"},
              dbtest::query(path(), "SELECT * FROM Groups"));
    for (const char* t :
         {"PropList", "Keys", "KeySettings", "Jobs", "Folders", "Files", "Recovery"})
        EXPECT_EQ(std::vector<std::string>{"0"},
                  dbtest::query(path(), std::string("SELECT count(*) FROM ") + t))
            << t;
    EXPECT_EQ(std::vector<std::string>{"delete"}, dbtest::query(path(), "PRAGMA journal_mode"));
}

TEST_F(ConfigDatabase, OpenersShareOneConnection) {
    EXPECT_FALSE(DbPtr(new CMoxConfigDatabase(path().c_str(), true))->OpenDatabase());
    EXPECT_FALSE(DbPtr(new CMoxConfigDatabase(path().c_str(), false))->OpenDatabase());
    EXPECT_TRUE(fs::is_empty(dir.path())) << "opening a missing database created something";

    create().reset();
    auto* db = new CMoxConfigDatabase(path().c_str(), true);
    ASSERT_TRUE(db->OpenDatabase());
    ASSERT_TRUE(db->OpenDatabase());
    EXPECT_FALSE(db->CloseDatabase());
    char v[8];
    EXPECT_TRUE(db->GetProperty("DbVersion", v, sizeof v, ""));
    EXPECT_STREQ("1", v);
    EXPECT_TRUE(db->CloseDatabase());  // deletes db
}

TEST_F(ConfigDatabase, PropertiesIgnoreCaseAndReplace) {
    auto db = create();
    ASSERT_TRUE(db->SetProperty("VolumeID", "first"));
    ASSERT_TRUE(db->SetProperty("volumeid", "second"));
    char v[64];
    db->GetProperty("VOLUMEID", v, sizeof v, "none");
    EXPECT_STREQ("second", v);
    EXPECT_EQ(std::vector<std::string>{"1"},
              dbtest::query(path(), "SELECT count(*) FROM Props WHERE PropId LIKE 'volumeid'"));

    db->GetProperty("Missing", v, sizeof v, "{0}");
    EXPECT_STREQ("{0}", v);
    db->GetProperty("VolumeID", v, 4, "");
    EXPECT_STREQ("sec", v);

    std::string longValue(300, 'x');
    ASSERT_TRUE(db->SetProperty("Long", longValue.c_str()));
    char big[512];
    db->GetProperty("Long", big, sizeof big, "");
    EXPECT_EQ(std::string(255, 'x'), big);

    int64_t n = -1;
    ASSERT_TRUE(db->SetProperty("Created", (int64_t)133500000000000000LL));
    db->GetProperty("created", &n, 7);
    EXPECT_EQ(133500000000000000LL, n);
    db->GetProperty("isLumenProtectionEnabled", &n, 7);
    EXPECT_EQ(7, n);

    ASSERT_TRUE(db->SetProperty("Multi", std::vector<std::string>{"a", "b'c"}));
    std::vector<std::string> values;
    ASSERT_TRUE(db->GetProperty("multi", values));
    EXPECT_EQ((std::vector<std::string>{"a", "b'c"}), values);
}

TEST_F(ConfigDatabase, ReadOnlyRefusesWritesUntilSwitched) {
    create().reset();
    auto before = testsupport::readFile(path());
    auto db = open(true);
    EXPECT_FALSE(db->SetProperty("X", "y"));
    EXPECT_EQ(before, testsupport::readFile(path()));
    ASSERT_TRUE(db->setReadOnly(false));
    EXPECT_TRUE(db->SetProperty("X", "y"));
}

// KeySpec bytes chosen for the Ascii85 forms that matter: apostrophe digits
// (doubled in SQL literals, single in the stored text), 'z' groups, and every
// length of a short final group.
TEST_F(ConfigDatabase, KeyBlobsRoundTrip) {
    uint32_t apostrophes = 0;
    for (uint32_t w : Base85_Pow85) apostrophes += 6 * w;  // "'''''"
    struct Case {
        const char* name;
        uint32_t type;
        uint32_t specLength;
        std::function<uint8_t(size_t)> byte;
    };
    const Case cases[] = {
        {"apostrophes", 32, 336,
         [&](size_t i) { return (uint8_t)(apostrophes >> (24 - 8 * (i % 4))); }},
        {"zeros", 1, 336, [](size_t) { return (uint8_t)0; }},
        {"mixed", 32, 336, [](size_t i) { return (uint8_t)(i % 9 < 4 ? 0 : i * 37); }},
        {"empty", 2, 0, [](size_t) { return (uint8_t)1; }},
        {"tail1", 2, 1, [](size_t) { return (uint8_t)0; }},
        {"tail2", 2, 6, [](size_t i) { return (uint8_t)(i + 250); }},
        {"tail3", 2, 7, [](size_t) { return (uint8_t)0xFF; }},
        {"max", 2, 4096, [](size_t i) { return (uint8_t)(i * 11); }},
    };
    auto db = create();
    for (const Case& c : cases) {
        auto k = makeKey(c.name, c.type, 5);
        k->KeySpec.length = c.specLength;
        for (size_t i = 0; i < c.specLength; ++i) k->KeySpec.data[i] = c.byte(i);
        MoxKeyData::SetText(k->DispName, "O'Brien, \"Pat\"");
        MoxKeyData::SetText(k->UserId, "o'brien");
        MoxKeyData::SetText(k->Sid, "it's");
        int64_t before = MoxFileTimeNow();
        ASSERT_TRUE(db->AddKey(k.get())) << c.name;
        EXPECT_GE(k->ModifyTime, before);
    }
    std::vector<MoxKeyData*> found;
    ASSERT_TRUE(db->FindKeys(0, nullptr, found));
    ASSERT_EQ(std::size(cases), found.size());
    for (size_t n = 0; n < found.size(); ++n) {
        const Case& c = cases[n];
        std::unique_ptr<MoxKeyData> k(found[n]);
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(c.name, k->KeyId);
        EXPECT_EQ(c.type, k->KeyType);
        EXPECT_STREQ("O'Brien, \"Pat\"", k->DispName);
        EXPECT_STREQ("o'brien", k->UserId);
        EXPECT_STREQ("it's", k->Sid);
        ASSERT_EQ(c.specLength, k->KeySpec.length);
        for (size_t i = 0; i < c.specLength; ++i) ASSERT_EQ(c.byte(i), k->KeySpec.data[i]) << i;
        auto expect = makeKey(c.name, c.type, 5);
        EXPECT_EQ(0, memcmp(expect->EK.data, k->EK.data, kMoxWrappedKeyLength));
        EXPECT_EQ(0, memcmp(expect->PV.data, k->PV.data, kMoxVerifierLength));
    }

    // The stored text: "<length>;<~", single apostrophes, a line feed after
    // each 160 counted characters ("<~" and 159 on the first line).
    auto keySpec = dbtest::query(path(), "SELECT KeySpec FROM Keys WHERE KeyId = 'apostrophes'");
    ASSERT_EQ(1u, keySpec.size());
    const std::string& text = keySpec[0];
    ASSERT_EQ(0u, text.rfind("336;<~", 0));
    EXPECT_EQ(5 * 84, std::count(text.begin(), text.end(), '\'')) << "apostrophes must be single";
    std::vector<std::string> lines;
    for (size_t at = 4, nl; at <= text.size(); at = nl + 1) {
        nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(at, nl - at));
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(161u, lines[0].size());
    EXPECT_EQ(161u, lines[1].size());
    EXPECT_EQ(std::vector<std::string>{"336;<~" + std::string(84, 'z') + "~>"},
              dbtest::query(path(), "SELECT KeySpec FROM Keys WHERE KeyId = 'zeros'"));
    EXPECT_EQ(std::vector<std::string>{"0;<~~>"},
              dbtest::query(path(), "SELECT KeySpec FROM Keys WHERE KeyId = 'empty'"));
}

// Rows written by anything but this code may carry anything: each bad row is
// skipped and the good ones still come back.
TEST_F(ConfigDatabase, CorruptRowsAreSkipped) {
    create()->AddKey(makeKey("good", 32, 1).get());
    std::vector<uint8_t> b(5000, 0x41);
    std::string ek100 = MoxEncodeKeyField(b.data(), 100);
    std::string ek101 = MoxEncodeKeyField(b.data(), 101);
    std::string ek100Text = ek100.substr(4);
    struct Case {
        const char* name;
        std::string ek;
    };
    const Case cases[] = {
        {"prefix-too-short", "99;" + ek100Text},
        {"text-too-long", "100;" + ek101.substr(4)},
        {"no-semicolon", "100" + ek100Text},
        {"no-length", ";" + ek100Text},
        {"negative", "-100;" + ek100Text},
        {"huge-length", "99999999999;" + ek100Text},
        {"bad-character", "100;<~vvvvv" + ek100Text.substr(2)},
        {"no-delimiters", "100;" + ek100Text.substr(2, ek100Text.size() - 4)},
        {"zeros-overflow", "100;<~" + std::string(5000, 'z') + "~>"},
        {"empty", ""},
    };
    for (const Case& c : cases) {
        std::string sql = std::string("INSERT INTO Keys SELECT '") + c.name +
                          "', KeyType, DispName, Perms, GroupId, UserId, SID, KeySpec, '" + c.ek +
                          "', PV, ModifyTime FROM Keys WHERE KeyId = 'good'";
        ASSERT_EQ("", dbtest::exec(path(), sql)) << c.name;
    }
    ASSERT_EQ("", dbtest::exec(path(), "INSERT INTO Keys (KeyId, KeyType) VALUES (NULL, 32)"));
    auto db = open(true);
    EXPECT_EQ(std::vector<std::string>{"good"}, keyIds(db.get()));
}

TEST_F(ConfigDatabase, KeyIdIsDataNotSql) {
    auto db = create();
    const char* crafted = "x' OR '1'='1";
    for (const char* id : {"A-1", crafted, "B-2"})
        ASSERT_TRUE(db->AddKey(makeKey(id, 32, 2).get()));
    auto victim = makeKey(crafted, 32, 2);
    ASSERT_TRUE(db->DeleteKey(victim.get()));
    EXPECT_EQ((std::vector<std::string>{"A-1", "B-2"}), keyIds(db.get()));

    auto update = makeKey("a-1", 32, 2);  // KeyIds match ignoring case
    update->Perms = 15;
    ASSERT_TRUE(db->UpdateKey(update.get()));
    EXPECT_EQ(std::vector<std::string>{"A-1|15"},
              dbtest::query(path(), "SELECT KeyId, Perms FROM Keys WHERE Perms = 15"));
    auto replace = makeKey("b-2", 32, 9);
    ASSERT_TRUE(db->AddKey(replace.get()));
    EXPECT_EQ((std::vector<std::string>{"A-1", "b-2"}), keyIds(db.get()));

    std::vector<MoxKeyData*> filtered;
    ASSERT_TRUE(db->FindKeys(32, "%", filtered));
    EXPECT_TRUE(filtered.empty()) << "a filter is a substring, not a pattern";
    ASSERT_TRUE(db->FindKeys(32, "B-", filtered));
    ASSERT_EQ(1u, filtered.size());
    EXPECT_STREQ("b-2", filtered[0]->KeyId);
    delete filtered[0];
}

TEST_F(ConfigDatabase, LastPasswordRecordCannotBeDeleted) {
    auto db = create();
    ASSERT_TRUE(db->AddKey(makeKey("only", 32, 1).get()));
    ASSERT_TRUE(db->AddKey(makeKey("cert", 2, 1).get()));
    EXPECT_FALSE(db->DeleteKey(makeKey("only", 32, 1).get()));
    EXPECT_EQ(kMoxDbLastKey, db->lastError());
    EXPECT_EQ((std::vector<std::string>{"only", "cert"}), keyIds(db.get()));
    ASSERT_TRUE(db->AddKey(makeKey("second", 1, 1).get()));
    EXPECT_TRUE(db->DeleteKey(makeKey("ONLY", 32, 1).get()));
    EXPECT_EQ((std::vector<std::string>{"cert", "second"}), keyIds(db.get()));
}

// Folders written by the original engine: primary-key indexes built in an
// ordering that ignores case, under a schema that declares the binary one.
TEST_F(ConfigDatabase, LegacyCaseInsensitiveIndexes) {
    std::string sql =
        "CREATE TABLE Props ( PropId nvarchar(32) COLLATE NOCASE primary key, PropValue "
        "nvarchar(512) );"
        "CREATE TABLE Keys ( KeyId nvarchar(50) COLLATE NOCASE primary key, KeyType integer, "
        "DispName nvarchar(256), Perms integer, GroupId integer, UserId nvarchar(512), SID "
        "nvarchar(256), KeySpec nvarchar(4096), EK nvarchar(4096), PV nvarchar(512), ModifyTime "
        "bigint );"
        "INSERT INTO Props VALUES ('DbVersion','1'), ('isLumenProtectionEnabled','1'), "
        "('Created','1'), ('VolumeID','v'), ('RecoveryID','r'), ('aaa','1'), ('ZZZ','1');";
    auto good = makeKey("x", 32, 3);
    std::string keySpec = MoxEncodeKeyField(good->KeySpec.data, 336);
    std::string ek = MoxEncodeKeyField(good->EK.data, 100);
    std::string pv = MoxEncodeKeyField(good->PV.data, 64);
    CSqLiteQuoter q;
    for (const char* id : {"b-key", "C-key", "a-key", "D-key"})
        sql += std::string("INSERT INTO Keys VALUES ('") + id + "', 32, '" + id + "', 15, 0, '" +
               id + "', '" + id + "', '" + q.Quote(keySpec.c_str()) + "', '" + q.Quote(ek.c_str()) +
               "', '" + q.Quote(pv.c_str()) + "', 0);";
    sql += "PRAGMA writable_schema=ON;";
    for (int i : {0, 5}) {
        std::string create = CMoxConfigDatabase::kSchema[i];
        create.replace(0, std::strlen("CREATE TABLE IF NOT EXISTS"), "CREATE TABLE");
        std::string name = i == 0 ? "Props" : "Keys";
        sql += "UPDATE sqlite_master SET sql = '" + create + "' WHERE name = '" + name + "';";
    }
    ASSERT_EQ("", dbtest::exec(path(), sql));
    ASSERT_NE(std::vector<std::string>{"ok"}, dbtest::query(path(), "PRAGMA integrity_check"))
        << "fixture does not reproduce the legacy index order";

    auto db = open(true);
    EXPECT_EQ((std::vector<std::string>{"b-key", "C-key", "a-key", "D-key"}), keyIds(db.get()));
    char v[16];
    db->GetProperty("volumeid", v, sizeof v, "");
    EXPECT_STREQ("v", v);
    ASSERT_TRUE(db->setReadOnly(false));
    EXPECT_TRUE(db->DeleteKey(makeKey("c-KEY", 32, 3).get()));
    EXPECT_TRUE(db->SetProperty("VOLUMEID", "w"));
    EXPECT_TRUE(db->SetProperty("zzz", "2"));
    db->GetProperty("VolumeID", v, sizeof v, "");
    EXPECT_STREQ("w", v);
    auto replaced = makeKey("A-KEY", 32, 3);
    EXPECT_TRUE(db->AddKey(replaced.get()));
    EXPECT_EQ((std::vector<std::string>{"b-key", "D-key", "A-KEY"}), keyIds(db.get()));
    db.reset();
    EXPECT_EQ(std::vector<std::string>{"ok"}, dbtest::query(path(), "PRAGMA integrity_check"));
    EXPECT_EQ(std::vector<std::string>{"1"},
              dbtest::query(path(), "SELECT count(*) FROM Props WHERE PropId LIKE 'volumeid'"));
}

// A writer killed inside a transaction leaves a hot journal; read-only opens
// must still see the last committed state.
TEST_F(ConfigDatabase, HotJournalFromKilledWriter) {
    {
        auto db = create();
        for (const char* id : {"k1", "k2"}) ASSERT_TRUE(db->AddKey(makeKey(id, 32, 1).get()));
    }
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sqlite3* raw = nullptr;
        sqlite3_open_v2(path().c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
        // A tiny cache makes the uncommitted pages spill into the file.
        sqlite3_exec(raw,
                     "PRAGMA cache_size=2; BEGIN; DELETE FROM Keys;"
                     "CREATE TABLE Filler(x); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT "
                     "i+1 FROM n WHERE i < 2000) INSERT INTO Filler SELECT randomblob(500) FROM n;",
                     nullptr, nullptr, nullptr);
        char c = 1;
        (void)!write(ready[1], &c, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(fs::exists(path() + "-journal"));
    ASSERT_NE(std::vector<std::string>{"2"}, dbtest::query(path(), "SELECT count(*) FROM Keys"))
        << "a plain read-only open is expected to fail on the hot journal";

    auto db = open(true);
    EXPECT_EQ((std::vector<std::string>{"k1", "k2"}), keyIds(db.get()));
    EXPECT_TRUE(db->isReadOnly());
    db.reset();
    EXPECT_EQ(std::vector<std::string>{"ok"}, dbtest::query(path(), "PRAGMA integrity_check"));
}

TEST_F(ConfigDatabase, UniqueIds) {
    auto db = create();
    unsigned char uuid[16] = {};
    ASSERT_TRUE(db->CreateUniqueIds(&uuid));
    char volume[64], recovery[32];
    db->GetProperty("VolumeID", volume, sizeof volume, "");
    db->GetProperty("RecoveryID", recovery, sizeof recovery, "");
    ASSERT_EQ(36u, std::strlen(volume));
    char expect[37];
    std::snprintf(expect, sizeof expect,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", uuid[0],
                  uuid[1], uuid[2], uuid[3], uuid[4], uuid[5], uuid[6], uuid[7], uuid[8], uuid[9],
                  uuid[10], uuid[11], uuid[12], uuid[13], uuid[14], uuid[15]);
    EXPECT_STREQ(expect, volume);
    uint8_t bytes[16];
    ASSERT_EQ(8, MoxDecodeKeyField((std::string("8;") + recovery).c_str(), bytes, sizeof bytes))
        << recovery;
}

TEST(SqLiteQuoter, DoublesApostrophes) {
    CSqLiteQuoter q;
    EXPECT_STREQ("", q.Quote(nullptr));
    EXPECT_STREQ("it''s ''''", q.Quote("it's ''"));
    EXPECT_STREQ("plain", q.Quote("plain"));
}

TEST(ConfigDbNames, PathMatchesIgnoringCase) {
    testsupport::TempDir d;
    EXPECT_EQ((d.path() / "_QXCFG.MOX").string(), MoxConfigDbPathIn(d.path().string()));
    testsupport::writeFile(d / "_qxcfg.Mox", "");
    EXPECT_EQ((d.path() / "_qxcfg.Mox").string(), MoxConfigDbPathIn(d.path().string() + "/"));
}

// Key records are private: a new database is 0600, and SQLite gives its
// journal the same mode. A database made elsewhere keeps its own mode.
TEST_F(ConfigDatabase, NewDatabaseAndJournalArePrivate) {
    mode_t old = umask(022);
    auto mode = [](const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    };
    {
        auto db = create();
        EXPECT_EQ(mode(path()), 0600u);
        ASSERT_TRUE(
            db->SqLite_ExecSql("BEGIN; INSERT INTO Props VALUES ('x', 'y')", nullptr, nullptr));
        EXPECT_EQ(mode(path() + kMoxConfigJournalSuffix), 0600u);
        ASSERT_TRUE(db->SqLite_ExecSql("COMMIT", nullptr, nullptr));
    }
    ASSERT_EQ(chmod(path().c_str(), 0644), 0);
    {
        auto db = open(false);
        EXPECT_TRUE(db->SetProperty("z", "1"));
    }
    EXPECT_EQ(mode(path()), 0644u);
    umask(old);
}

// Every statement runs under a deadline: an endless sort ends with an error.
TEST_F(ConfigDatabase, StatementsRunUnderADeadline) {
    create().reset();
    auto db = open(true);
    EXPECT_FALSE(
        db->SqLite_ExecSql("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
                           "SELECT x FROM c ORDER BY x DESC LIMIT 1",
                           nullptr, nullptr));
    EXPECT_TRUE(db->timedOut());
    db.reset();
    EXPECT_FALSE(open(true)->timedOut()) << "a new connection starts afresh";
}

// Keys or Props that are not ordinary tables would run the file's own code
// on every read: such a database is refused as unreadable before any query.
TEST_F(ConfigDatabase, KeysAndPropsMustBePlainTables) {
    const char* const hostile[] = {
        "ALTER TABLE Keys RENAME TO K0; CREATE VIEW Keys AS SELECT * FROM K0",
        "ALTER TABLE Props RENAME TO P0; CREATE VIEW Props AS SELECT * FROM P0",
    };
    for (const char* sql : hostile) {
        SCOPED_TRACE(sql);
        fs::remove(path());
        create()->SqLite_ExecSql(sql, nullptr, nullptr);
        auto* db = new CMoxConfigDatabase(path().c_str(), true);
        EXPECT_FALSE(db->OpenDatabase());
        EXPECT_EQ(db->lastError(), kMoxDbNotReadable);
        db->CloseDatabase();
        db = new CMoxConfigDatabase(path().c_str(), true);
        EXPECT_FALSE(db->setReadOnly(false));
        db->CloseDatabase();
    }
}

#include "Database/MoxConfigDatabase.h"

#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "Crypto/TraceLog.h"

namespace {

// A folder's database is somebody else's file: no statement on it may run
// without bound. Each one gets this much time, and its temporary data stays
// in memory under a heap limit, so a crafted view or sort can neither hang a
// caller nor fill a disk. A prepared statement has that much for each row.
constexpr auto kStatementBudget = std::chrono::seconds(2);
constexpr sqlite3_int64 kHeapLimit = 128ll << 20;
// Far above any real folder's users; each record takes about 10 KB.
constexpr size_t kMaxKeyRows = 100000;
// Far above any stored text (a key blob is about 6 KB of Ascii85).
constexpr int kMaxTextLength = 1 << 20;

// The end of the running sqlite3_step() of a prepared statement, when one
// runs on this thread: a statement's budget counts SQLite's own time per row,
// not the caller's work on the rows between steps.
thread_local int64_t t_stepDeadline = 0;

int64_t steadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A prepared statement with its bound values; finalized when it goes.
class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) : m_db(db) {
        if (db && sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
            trace(sql);
            m_stmt = nullptr;
        }
    }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool ok() const { return m_stmt != nullptr; }
    Stmt& text(int i, const char* v) {
        if (m_stmt) sqlite3_bind_text(m_stmt, i, v ? v : "", -1, SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& text(int i, const std::string& v) {
        if (m_stmt) sqlite3_bind_text(m_stmt, i, v.data(), (int)v.size(), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& integer(int i, int64_t v) {
        if (m_stmt) sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or an error (traced).
    int step() {
        if (!m_stmt) return SQLITE_MISUSE;
        t_stepDeadline =
            steadyNow() +
            std::chrono::duration_cast<std::chrono::nanoseconds>(kStatementBudget).count();
        int rc = sqlite3_step(m_stmt);
        t_stepDeadline = 0;
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) trace(sqlite3_sql(m_stmt));
        return rc;
    }
    // Runs a statement that returns no rows.
    bool run() { return step() == SQLITE_DONE; }
    sqlite3_stmt* get() const { return m_stmt; }
    const char* column(int i) const {
        return reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, i));
    }

  private:
    void trace(const char* sql) const {
        TRACE_MSG("SqLite_ExecSql", "(sql) %.1023s", sql ? sql : "");
        TRACE_MSG("SqLite_ExecSql", "(dump) SqLite error %s", sqlite3_errmsg(m_db));
    }

    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

// One transaction: rolled back unless committed.
class Transaction {
  public:
    explicit Transaction(sqlite3* db) : m_db(db) {
        m_open =
            sqlite3_exec(db, "BEGIN IMMEDIATE TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction() {
        if (m_open) sqlite3_exec(m_db, "ROLLBACK TRANSACTION", nullptr, nullptr, nullptr);
    }
    bool ok() const { return m_open; }
    bool commit() {
        if (!m_open) return false;
        m_open = false;
        if (sqlite3_exec(m_db, "COMMIT TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK)
            return true;
        sqlite3_exec(m_db, "ROLLBACK TRANSACTION", nullptr, nullptr, nullptr);
        return false;
    }

  private:
    sqlite3* m_db;
    bool m_open = false;
};

bool fileExists(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

// 0 when `path` is a regular file that SQLite may open, else an errno value
// (ELOOP for a link, EINVAL for a FIFO, directory or device). Checked before
// every open: SQLite's own open of a FIFO would block for ever. A journal
// may be absent (`optional`).
int checkRegularFile(const char* path, bool optional) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return optional && errno == ENOENT ? 0 : errno;
    struct stat st;
    int rc = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    ::close(fd);
    return rc;
}

// The database and an existing journal are both regular files.
int checkDatabaseFiles(const char* dbPath) {
    if (int rc = checkRegularFile(dbPath, false)) return rc;
    return checkRegularFile((std::string(dbPath) + kMoxConfigJournalSuffix).c_str(), true);
}

// The creator's file: private from the start (the key records can be tried
// offline against their iteration count), and SQLite gives its journal the
// database's mode. An existing file keeps its mode.
bool createPrivateFile(const char* path) {
    int fd = ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return ok;
}

template <size_t N>
void copyColumn(char (&field)[N], const char* value) {
    MoxKeyData::SetText(field, value);
}

int64_t columnInt(const char* value) {
    return value ? std::strtoll(value, nullptr, 10) : 0;
}

// The six link-level address bytes that go into RecoveryID: "en0" when the
// host has it, else the first interface with a non-zero address, else zeros.
void linkAddress(uint8_t mac[6]) {
    std::memset(mac, 0, 6);
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return;
    bool found = false;
    for (int pass = 0; pass < 2 && !found; ++pass) {
        for (struct ifaddrs* a = list; a && !found; a = a->ifa_next) {
            if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET) continue;
            if (pass == 0 && std::strcmp(a->ifa_name, "en0") != 0) continue;
            if (a->ifa_flags & IFF_LOOPBACK) continue;
            auto* ll = reinterpret_cast<struct sockaddr_ll*>(a->ifa_addr);
            if (ll->sll_halen != 6) continue;
            bool zero = true;
            for (int i = 0; i < 6; ++i) zero = zero && ll->sll_addr[i] == 0;
            if (zero) continue;
            std::memcpy(mac, ll->sll_addr, 6);
            found = true;
        }
    }
    freeifaddrs(list);
}

}  // namespace

std::string MoxConfigDbPathIn(const std::string& folder) {
    std::string dir = folder;
    if (dir.empty() || dir.back() != '/') dir += '/';
    if (DIR* d = opendir(dir.c_str())) {
        std::string found;
        while (struct dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, kMoxConfigDbName) == 0) {
                found = e->d_name;
                break;
            }
            if (found.empty() && strcasecmp(e->d_name, kMoxConfigDbName) == 0) found = e->d_name;
        }
        closedir(d);
        if (!found.empty()) return dir + found;
    }
    return dir + kMoxConfigDbName;
}

int64_t MoxFileTimeNow() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (int64_t)tv.tv_sec * 10000000 + (int64_t)tv.tv_usec * 10 + 116444736000000000LL;
}

// ---- base ----

CMoxConfigDatabaseBase::CMoxConfigDatabaseBase(const char* path) {
    std::snprintf(m_path, sizeof m_path, "%s", path ? path : "");
}

CMoxConfigDatabaseBase::~CMoxConfigDatabaseBase() = default;

bool CMoxConfigDatabaseBase::CreateDatabase() {
    ++m_openCount;
    return true;
}

bool CMoxConfigDatabaseBase::OpenDatabase() {
    ++m_openCount;
    return true;
}

bool CMoxConfigDatabaseBase::CloseDatabase() {
    if (--m_openCount > 0) return false;
    delete this;
    return true;
}

bool CMoxConfigDatabaseBase::setReadOnly(bool readOnly) {
    m_readOnly = readOnly;
    return true;
}

bool CMoxConfigDatabaseBase::CreateUniqueIds(unsigned char (*uuid)[16]) {
    // RecoveryID: eight bytes packed from the clock and a link address, the
    // fields overlapping exactly as stored folders have them.
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    unsigned ms = (unsigned)(tv.tv_usec / 1000);
    unsigned y = (unsigned)(lt.tm_year + 151) & 0xFF;
    unsigned mday = (unsigned)lt.tm_mday;
    uint8_t m[6];
    linkAddress(m);
    uint8_t b[8];
    b[0] = (uint8_t)(ms >> 2);
    b[1] = (uint8_t)(((unsigned)lt.tm_min << 2) | (mday >> 2));
    b[2] = (uint8_t)((ms << 4) | (y << 2) | (mday & 3));
    b[3] = (uint8_t)(m[1] + m[4]);
    b[4] = (uint8_t)(m[2] + m[5]);
    b[5] = (uint8_t)(m[0] + m[3]);
    b[6] = (uint8_t)(((unsigned)lt.tm_sec << 2) | ((y >> 2) & 0x3F));
    b[7] = (uint8_t)((((unsigned)lt.tm_mon + 1) << 4) | (unsigned)lt.tm_hour);
    std::string recovery = MoxEncodeKeyField(b, sizeof b);
    // Only the Ascii85 text is stored, without the length prefix.
    recovery.erase(0, recovery.find(';') + 1);
    SetProperty("RecoveryID", recovery.c_str());

    uuid_t id;
    uuid_generate(id);
    if (uuid) std::memcpy(*uuid, id, 16);
    char text[37];
    uuid_unparse_upper(id, text);
    return SetProperty("VolumeID", text);
}

// ---- SQLite implementation ----

const char* const CMoxConfigDatabase::kSchema[11] = {
    "CREATE TABLE IF NOT EXISTS Props ( PropId nvarchar(32) primary key, PropValue "
    "nvarchar(512) )",
    "INSERT OR REPLACE INTO Props values ( 'DbVersion', '1' )",
    "CREATE TABLE IF NOT EXISTS PropList ( PropId nvarchar(32), ValueId integer, PropValue "
    "nvarchar(512) )",
    "CREATE TABLE IF NOT EXISTS Groups ( GroupId integer primary key, DispName nvarchar(256), "
    "Perms integer, Required integer )",
    "INSERT OR REPLACE INTO Groups values ( 0, 'Default', 0, 1 )",
    "CREATE TABLE IF NOT EXISTS Keys ( KeyId nvarchar(50) primary key, KeyType integer, "
    "DispName nvarchar(256), Perms integer, GroupId integer, UserId nvarchar(512), SID "
    "nvarchar(256), KeySpec nvarchar(4096), EK nvarchar(4096), PV nvarchar(512), ModifyTime "
    "bigint )",
    "CREATE TABLE IF NOT EXISTS KeySettings ( KeyId nvarchar(50), PropId nvarchar(32), "
    "PropValue nvarchar(512) )",
    "CREATE TABLE IF NOT EXISTS Jobs ( JobId integer primary key, JobType integer, IsEncrypt "
    "integer )",
    "CREATE TABLE IF NOT EXISTS Folders ( FolderId integer primary key, JobId integer, Name "
    "nvarchar(256), FullPath nvarcher(1024), ParentFolderId integer )",
    "CREATE TABLE IF NOT EXISTS Files ( FileId integer primary key, FolderId integer, JobId "
    "integer, Name nvarchar(256), Size bigint, Hash nvarchar(128), IsEncrypted integer, "
    "IsCompressed integer, Completed integer, ErrorCode integer )",
    "CREATE TABLE IF NOT EXISTS Recovery ( CertFileName nvarchar(256) primary key, "
    "CreationTime bigint, FileSaved integer, RecMessage nvarchar(4096) )",
};

CMoxConfigDatabase::CMoxConfigDatabase(const char* path, bool readOnly)
    : CMoxConfigDatabaseBase(path) {
    m_readOnly = readOnly;
}

CMoxConfigDatabase::~CMoxConfigDatabase() {
    closeConnection();
}

bool CMoxConfigDatabase::SqLite_ExecSql(const char* sql, RowCallback rowCallback, void* context) {
    if (!sql) return true;
    if (!m_db) {
        m_lastError = kMoxDbNotOpen;
        return false;
    }
    char* err = nullptr;
    if (sqlite3_exec(m_db, sql, rowCallback, context, &err) != SQLITE_OK) {
        TRACE_MSG("SqLite_ExecSql", "(sql) %.1023s", sql);
        TRACE_MSG("SqLite_ExecSql", "(dump) SqLite error %s", err ? err : sqlite3_errmsg(m_db));
        sqlite3_free(err);
        m_lastError = kMoxDbSqlError;
        return false;
    }
    return true;
}

int CMoxConfigDatabase::onStatement(unsigned, void* self, void*, void* sql) {
    auto* db = static_cast<CMoxConfigDatabase*>(self);
    // A trigger's program starts inside the statement that fired it and
    // shares that statement's time.
    const char* text = static_cast<const char*>(sql);
    if (db->m_timedOut || (text && text[0] == '-' && text[1] == '-')) return 0;
    db->m_deadline = steadyNow() +
                     std::chrono::duration_cast<std::chrono::nanoseconds>(kStatementBudget).count();
    return 0;
}

int CMoxConfigDatabase::onProgress(void* self) {
    auto* db = static_cast<CMoxConfigDatabase*>(self);
    if (!db->m_timedOut) {
        if (steadyNow() < (t_stepDeadline ? t_stepDeadline : db->m_deadline)) return 0;
        db->m_timedOut = true;
        TRACE_MSG("SqLite_ExecSql", "statement ran out of time in %s", db->m_path);
    }
    return 1;
}

bool CMoxConfigDatabase::harden(sqlite3* db) {
    static std::once_flag heapOnce;
    std::call_once(heapOnce, [] {
        if (sqlite3_hard_heap_limit64(-1) == 0) sqlite3_hard_heap_limit64(kHeapLimit);
    });
    int off = 0, on = 1;
    bool ok =
        sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, on, nullptr) == SQLITE_OK &&
        sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, off, nullptr) == SQLITE_OK &&
        sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, off, nullptr) == SQLITE_OK;
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kMaxTextLength);
    m_deadline = 0;
    m_timedOut = false;
    sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &CMoxConfigDatabase::onStatement, this);
    sqlite3_progress_handler(db, 1000, &CMoxConfigDatabase::onProgress, this);
    sqlite3_busy_timeout(db, 2000);
    ok = ok &&
         sqlite3_exec(db, "PRAGMA temp_store = MEMORY", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) TRACE_MSG("OpenDatabase", "(dump) SqLite error %s", sqlite3_errmsg(db));
    return ok;
}

bool CMoxConfigDatabase::schemaIsPlain() {
    Stmt s(m_db,
           "SELECT type, rootpage, sql FROM sqlite_master WHERE name = 'Keys' COLLATE NOCASE OR "
           "name = 'Props' COLLATE NOCASE");
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        const char* type = s.column(0);
        const char* sql = s.column(2);
        if (!type || std::strcmp(type, "table") != 0 || sqlite3_column_int64(s.get(), 1) <= 0 ||
            !sql || strncasecmp(sql, "CREATE TABLE", 12) != 0) {
            TRACE_MSG("OpenDatabase", "refused: %s is a %s, not a table", m_path,
                      type ? type : "?");
            return false;
        }
    }
    return rc == SQLITE_DONE;
}

bool CMoxConfigDatabase::openConnection(bool readOnly) {
    if (int rc = checkDatabaseFiles(m_path)) {
        TRACE_MSG("OpenDatabase", "not a regular file: %s (%d)", m_path, rc);
        m_lastError = kMoxDbNotReadable;
        errno = rc;
        return false;
    }
    int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
    if (sqlite3_open_v2(m_path, &m_db, flags, nullptr) != SQLITE_OK || !harden(m_db)) {
        TRACE_MSG("OpenDatabase", "(dump) SqLite error %s", sqlite3_errmsg(m_db));
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    m_checked = false;
    return true;
}

void CMoxConfigDatabase::closeConnection() {
    if (m_db) sqlite3_close(m_db);
    m_db = nullptr;
}

// A read-only connection cannot roll back a hot journal that a crashed writer
// left, and then fails every read. One read-write open that touches the schema
// rolls it back; the caller reopens read-only afterwards.
bool CMoxConfigDatabase::recoverHotJournal() {
    std::string journal = std::string(m_path) + kMoxConfigJournalSuffix;
    if (!fileExists(journal.c_str()) || checkDatabaseFiles(m_path) != 0) return false;
    sqlite3* rw = nullptr;
    bool ok = sqlite3_open_v2(m_path, &rw, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
              harden(rw) &&
              sqlite3_exec(rw, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) ==
                  SQLITE_OK;
    sqlite3_close(rw);
    TRACE_MSG("OpenDatabase", "hot journal %s", ok ? "rolled back" : "could not be rolled back");
    return ok;
}

bool CMoxConfigDatabase::CreateDatabase() {
    if (m_db) return false;
    std::printf(
        "ConfigDatabase > createDatabase > should be hidden > check if %s starts with dot\n",
        m_path);
    if (!createPrivateFile(m_path) ||
        sqlite3_open_v2(m_path, &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        !harden(m_db)) {
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    m_readOnly = false;
    m_checked = true;  // nothing to check in a new file
    bool ok = true;
    for (const char* sql : kSchema) ok = SqLite_ExecSql(sql, nullptr, nullptr) && ok;
    ++m_openCount;
    return ok;
}

bool CMoxConfigDatabase::OpenDatabase() {
    if (m_db) {
        ++m_openCount;
        return true;
    }
    if (!fileExists(m_path)) return false;
    bool ok = openConnection(m_readOnly);
    if (ok && sqlite3_exec(m_db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) !=
                  SQLITE_OK) {
        closeConnection();
        ok = recoverHotJournal() && openConnection(m_readOnly);
        if (!ok) m_lastError = kMoxDbNotReadable;
    }
    if (ok && !schemaIsPlain()) {
        closeConnection();
        m_lastError = kMoxDbNotReadable;
        ok = false;
    }
    ++m_openCount;  // also on failure: the caller's CloseDatabase balances it
    return ok;
}

bool CMoxConfigDatabase::CloseDatabase() {
    if (--m_openCount > 0) return false;
    if (m_db) {
        if (!m_readOnly) CompactDatabase();
        closeConnection();
    }
    delete this;
    return true;
}

bool CMoxConfigDatabase::setReadOnly(bool readOnly) {
    if (readOnly == m_readOnly && m_db) return true;
    closeConnection();
    m_readOnly = readOnly;
    if (!fileExists(m_path) || !openConnection(readOnly)) return false;
    if (schemaIsPlain()) return true;
    closeConnection();
    m_lastError = kMoxDbNotReadable;
    return false;
}

bool CMoxConfigDatabase::BeginTransaction() {
    if (m_db && sqlite3_exec(m_db, "BEGIN TRANSACTION", nullptr, nullptr, nullptr) != SQLITE_OK)
        TRACE_MSG("BeginTransaction", "(dump) BEGIN TRANSACTION %s", sqlite3_errmsg(m_db));
    return true;
}

bool CMoxConfigDatabase::CommitTransaction() {
    if (m_db && sqlite3_exec(m_db, "COMMIT TRANSACTION", nullptr, nullptr, nullptr) != SQLITE_OK)
        TRACE_MSG("CommitTransaction", "(dump) COMMIT TRANSACTION %s", sqlite3_errmsg(m_db));
    return true;
}

bool CMoxConfigDatabase::CompactDatabase() {
    if (m_db && sqlite3_exec(m_db, "VACUUM", nullptr, nullptr, nullptr) != SQLITE_OK)
        TRACE_MSG("CompactDatabase", "(dump) VACUUM %s", sqlite3_errmsg(m_db));
    return true;
}

// Folders written by the original engine carry primary-key indexes ordered
// ignoring case while their schema declares the binary order; SQLite then
// reports the file malformed on the first DELETE or duplicates rows on
// INSERT OR REPLACE. Rebuild such indexes before the first write.
bool CMoxConfigDatabase::prepareForWrite() {
    m_lastError = kMoxDbOk;
    if (!m_db) {
        m_lastError = kMoxDbNotOpen;
        return false;
    }
    if (m_checked) return true;
    bool healthy = false;
    {
        Stmt check(m_db, "PRAGMA integrity_check");
        healthy = check.step() == SQLITE_ROW && check.column(0) &&
                  std::strcmp(check.column(0), "ok") == 0;
    }
    if (!healthy) {
        TRACE_MSG("prepareForWrite", "integrity check failed, rebuilding indexes of %s", m_path);
        if (sqlite3_exec(m_db, "REINDEX", nullptr, nullptr, nullptr) != SQLITE_OK) {
            TRACE_MSG("prepareForWrite", "(dump) REINDEX %s", sqlite3_errmsg(m_db));
            m_lastError = kMoxDbSqlError;
            return false;
        }
    }
    m_checked = true;
    return true;
}

bool CMoxConfigDatabase::GetProperty(const char* name, char* out, unsigned size, const char* def) {
    char value[256] = {};
    bool ok = false;
    if (m_db) {
        Stmt s(m_db, "select PropValue from Props where PropId = ?1 COLLATE NOCASE");
        s.text(1, name);
        int rc = s.step();
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        if (rc == SQLITE_ROW && s.column(0)) std::snprintf(value, sizeof value, "%s", s.column(0));
    }
    if (out && size) std::snprintf(out, size, "%s", value[0] ? value : (def ? def : ""));
    return ok;
}

bool CMoxConfigDatabase::GetProperty(const char* name, int64_t* out, int64_t def) {
    char value[256] = {};
    bool ok = GetProperty(name, value, sizeof value, "");
    if (out) *out = value[0] ? std::strtoll(value, nullptr, 10) : def;
    return ok;
}

bool CMoxConfigDatabase::GetProperty(const char* name, std::vector<std::string>& out) {
    if (!m_db) return false;
    Stmt s(m_db,
           "select PropValue from PropList where PropId = ?1 COLLATE NOCASE order by ValueId");
    s.text(1, name);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW)
        if (s.column(0)) out.emplace_back(s.column(0));
    return rc == SQLITE_DONE;
}

bool CMoxConfigDatabase::SetProperty(const char* name, const char* value) {
    if (!prepareForWrite()) return false;
    Transaction t(m_db);
    bool ok =
        t.ok() &&
        Stmt(m_db, "delete from Props where PropId = ?1 COLLATE NOCASE").text(1, name).run() &&
        Stmt(m_db, "insert into Props ( PropId, PropValue ) values ( ?1, ?2 )")
            .text(1, name)
            .text(2, value)
            .run() &&
        t.commit();
    if (!ok) m_lastError = kMoxDbSqlError;
    return ok;
}

bool CMoxConfigDatabase::SetProperty(const char* name, int64_t value) {
    if (!prepareForWrite()) return false;
    Transaction t(m_db);
    bool ok =
        t.ok() &&
        Stmt(m_db, "delete from Props where PropId = ?1 COLLATE NOCASE").text(1, name).run() &&
        Stmt(m_db, "insert into Props ( PropId, PropValue ) values ( ?1, ?2 )")
            .text(1, name)
            .integer(2, value)
            .run() &&
        t.commit();
    if (!ok) m_lastError = kMoxDbSqlError;
    return ok;
}

bool CMoxConfigDatabase::SetProperty(const char* name, const std::vector<std::string>& values) {
    if (!prepareForWrite()) return false;
    Transaction t(m_db);
    bool ok =
        t.ok() &&
        Stmt(m_db, "delete from PropList where PropId = ?1 COLLATE NOCASE").text(1, name).run();
    for (size_t i = 0; ok && i < values.size(); ++i)
        ok = Stmt(m_db, "insert into PropList ( PropId, PropValue, ValueId ) values ( ?1, ?2, ?3 )")
                 .text(1, name)
                 .text(2, values[i])
                 .integer(3, (int64_t)i)
                 .run();
    ok = ok && t.commit();
    if (!ok) m_lastError = kMoxDbSqlError;
    return ok;
}

bool CMoxConfigDatabase::AddKey(MoxKeyData* key) {
    if (!key || !prepareForWrite()) return false;
    if (key->KeySpec.length > kMoxBlobSize || key->EK.length > kMoxBlobSize ||
        key->PV.length > kMoxPvBlobSize) {
        TRACE_MSG("AddKey", "blob length out of range");
        m_lastError = kMoxDbSqlError;
        return false;
    }
    key->ModifyTime = MoxFileTimeNow();
    std::string keySpec = MoxEncodeKeyField(key->KeySpec.data, key->KeySpec.length);
    std::string ek = MoxEncodeKeyField(key->EK.data, key->EK.length);
    std::string pv = MoxEncodeKeyField(key->PV.data, key->PV.length);

    Transaction t(m_db);
    bool ok =
        t.ok() &&
        Stmt(m_db, "DELETE FROM Keys WHERE KeyId = ?1 COLLATE NOCASE").text(1, key->KeyId).run();
    ok = ok && Stmt(m_db,
                    "INSERT INTO Keys (KeyId, KeyType, DispName, Perms, GroupId, UserId, Sid, "
                    "KeySpec, EK, PV, ModifyTime) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
                    "?11)")
                   .text(1, key->KeyId)
                   .integer(2, key->KeyType)
                   .text(3, key->DispName)
                   .integer(4, key->Perms)
                   .integer(5, key->GroupId)
                   .text(6, key->UserId)
                   .text(7, key->Sid)
                   .text(8, keySpec)
                   .text(9, ek)
                   .text(10, pv)
                   .integer(11, key->ModifyTime)
                   .run();
    if (ok && !key->settings.empty()) {
        ok = Stmt(m_db, "DELETE FROM KeySettings WHERE KeyId = ?1 COLLATE NOCASE")
                 .text(1, key->KeyId)
                 .run();
        for (size_t i = 0; ok && i < key->settings.size(); ++i)
            ok =
                Stmt(m_db, "INSERT INTO KeySettings (KeyId, PropId, PropValue) VALUES (?1, ?2, ?3)")
                    .text(1, key->KeyId)
                    .text(2, key->settings[i]->PropId)
                    .text(3, key->settings[i]->PropValue)
                    .run();
    }
    explicit_bzero(keySpec.data(), keySpec.size());
    explicit_bzero(ek.data(), ek.size());
    explicit_bzero(pv.data(), pv.size());
    ok = ok && t.commit();
    if (!ok) m_lastError = kMoxDbSqlError;
    return ok;
}

bool CMoxConfigDatabase::DeleteKey(MoxKeyData* key) {
    if (!key || !prepareForWrite()) return false;
    Transaction t(m_db);
    bool ok =
        t.ok() &&
        Stmt(m_db, "DELETE FROM Keys WHERE KeyId = ?1 COLLATE NOCASE").text(1, key->KeyId).run();
    if (!ok) {
        m_lastError = kMoxDbSqlError;
        return false;
    }
    // Without a password record nobody can ever open the folder again.
    Stmt left(m_db, "SELECT count(*) FROM Keys WHERE KeyType IN (1, 32)");
    if (left.step() != SQLITE_ROW || sqlite3_column_int64(left.get(), 0) == 0) {
        TRACE_MSG("DeleteKey", "refused: %s is the last key record", key->KeyId);
        m_lastError = kMoxDbLastKey;
        return false;
    }
    if (!t.commit()) {
        m_lastError = kMoxDbSqlError;
        return false;
    }
    return true;
}

bool CMoxConfigDatabase::UpdateKey(MoxKeyData* key) {
    if (!key || !prepareForWrite()) return false;
    bool ok = Stmt(m_db, "UPDATE Keys SET Perms = ?1 WHERE KeyId = ?2 COLLATE NOCASE")
                  .integer(1, key->Perms)
                  .text(2, key->KeyId)
                  .run();
    if (!ok) m_lastError = kMoxDbSqlError;
    return ok;
}

int CMoxConfigDatabase::GetKeyCount(uint32_t keyType) {
    if (!m_db) return 0;
    Stmt s(m_db, "select count(*) from Keys WHERE KeyType = ?1");
    s.integer(1, keyType);
    return s.step() == SQLITE_ROW ? sqlite3_column_int(s.get(), 0) : 0;
}

bool CMoxConfigDatabase::FindKeys(uint32_t keyType, const char* userFilter,
                                  std::vector<MoxKeyData*>& out) {
    m_lastError = kMoxDbOk;
    if (!m_db) {
        m_lastError = kMoxDbNotOpen;
        return false;
    }
    static const char* const kColumns =
        "SELECT KeyId, KeyType, DispName, Perms, GroupId, UserId, KeySpec, EK, PV, Sid FROM Keys";
    std::string sql = kColumns;
    std::string pattern;
    if (userFilter) {
        sql += " WHERE KeyType = ?1 AND UserId LIKE ?2 ESCAPE '\\'";
        pattern.push_back('%');  // not = "%": a false -Wrestrict in GCC 12 at -O3
        for (const char* c = userFilter; *c; ++c) {
            if (*c == '%' || *c == '_' || *c == '\\') pattern += '\\';
            pattern += *c;
        }
        pattern += '%';
    } else if (keyType) {
        sql += " WHERE KeyType = ?1";
    }
    sql += " ORDER BY rowid";
    Stmt s(m_db, sql.c_str());
    s.integer(1, keyType);
    if (userFilter) s.text(2, pattern);
    int rc;
    size_t rows = 0;
    while ((rc = s.step()) == SQLITE_ROW) {
        if (++rows > kMaxKeyRows) {
            TRACE_MSG("FindKeys", "refused: more than %zu key records in %s", kMaxKeyRows, m_path);
            rc = SQLITE_TOOBIG;
            break;
        }
        const char* columns[10];
        for (int c = 0; c < 10; ++c) columns[c] = s.column(c);
        auto* k = new (std::nothrow) MoxKeyData;
        if (!k) continue;
        if (MoxDecodeKeyRow(columns, k))
            out.push_back(k);
        else
            delete k;
    }
    if (rc != SQLITE_DONE) m_lastError = kMoxDbSqlError;
    return rc == SQLITE_DONE;
}

bool MoxDecodeKeyRow(const char* const columns[10], MoxKeyData* k) {
    if (!columns || !k) return false;
    k->Dispose();
    const char* keyId = columns[0];
    if (!keyId) return false;
    copyColumn(k->KeyId, keyId);
    k->KeyType = (uint32_t)columnInt(columns[1]);
    copyColumn(k->DispName, columns[2]);
    k->Perms = (uint32_t)columnInt(columns[3]);
    k->GroupId = (uint32_t)columnInt(columns[4]);
    copyColumn(k->UserId, columns[5]);
    copyColumn(k->Sid, columns[9]);
    long keySpec = MoxDecodeKeyField(columns[6], k->KeySpec.data, sizeof k->KeySpec.data);
    long ek = MoxDecodeKeyField(columns[7], k->EK.data, sizeof k->EK.data);
    long pv = MoxDecodeKeyField(columns[8], k->PV.data, sizeof k->PV.data);
    bool password = k->KeyType == kMoxKeyTypePassword || k->KeyType == kMoxKeyTypeUserPassword;
    bool good = keySpec >= 0 && ek >= 0 && pv >= 0;
    // Password records have one layout; anything else would be read past
    // the fields the authenticator uses.
    if (good && password)
        good =
            keySpec == kMoxKeySpecLength && ek == kMoxWrappedKeyLength && pv == kMoxVerifierLength;
    if (!good) {
        TRACE_MSG("FindKeys", "skipping key record %.63s: bad KeySpec/EK/PV (%ld/%ld/%ld)", keyId,
                  keySpec, ek, pv);
        k->Dispose();
        return false;
    }
    k->KeySpec.length = (uint32_t)keySpec;
    k->EK.length = (uint32_t)ek;
    k->PV.length = (uint32_t)pv;
    return true;
}

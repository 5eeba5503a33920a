#pragma once
// The configuration database "_QXCFG.MOX" in the root of every encrypted
// folder: the folder's properties and one key record per user.
//
// Objects are made with `new` and deleted by their last CloseDatabase(): every
// Create/OpenDatabase counts one opener, every CloseDatabase uncounts one.
//
//   auto* db = new CMoxConfigDatabase("/f/_QXCFG.MOX", true);   // read-only
//   if (db->OpenDatabase()) { std::vector<MoxKeyData*> keys; db->FindKeys(0, nullptr, keys); }
//   db->CloseDatabase();   // last opener: closes and deletes db
//
// Every statement binds its values. Property names and KeyIds match ignoring
// ASCII case, as they always have in stored folders.

#include <cstdint>
#include <string>
#include <vector>

#include "Database/MoxKeyData.h"

struct sqlite3;

// File names inside a folder. Folders made elsewhere may carry other cases.
inline constexpr const char* kMoxConfigDbName = "_QXCFG.MOX";
inline constexpr const char* kMoxConfigJournalSuffix = "-journal";
// A folder being created builds its database under this name first.
inline constexpr const char* kMoxConfigDbBuildName = "_QXCFG.MOX-new";

// The database path of a folder directory: the existing entry that matches
// "_QXCFG.MOX" ignoring case, else folder + "_QXCFG.MOX". folder may lack the
// trailing "/".
std::string MoxConfigDbPathIn(const std::string& folder);

// Current time as a FILETIME count (100 ns since 1601-01-01 UTC).
int64_t MoxFileTimeNow();

// Why the last operation of a database failed (0: it did not).
enum MoxDbError : uint32_t {
    kMoxDbOk = 0,
    kMoxDbSqlError = 1,     // SQLite refused a statement
    kMoxDbNotOpen = 2,      // no connection
    kMoxDbLastKey = 3,      // deleting the record would leave no password record
    kMoxDbOutOfMemory = 4,  // encoding buffers
    kMoxDbNotReadable = 5,  // the file is there but no database can be read from it
};

class CMoxConfigDatabaseBase {
  public:
    CMoxConfigDatabaseBase(const CMoxConfigDatabaseBase&) = delete;
    CMoxConfigDatabaseBase& operator=(const CMoxConfigDatabaseBase&) = delete;

    virtual bool CreateDatabase();
    virtual bool OpenDatabase();
    // Uncounts one opener; the last one closes the connection and deletes the
    // object (true then, false while openers remain).
    virtual bool CloseDatabase();
    virtual bool setReadOnly(bool readOnly);
    virtual bool BeginTransaction() = 0;
    virtual bool CommitTransaction() = 0;
    virtual bool GetProperty(const char* name, int64_t* out, int64_t def) = 0;
    // At most 255 characters of the value, bounded by size; def when none.
    virtual bool GetProperty(const char* name, char* out, unsigned size, const char* def) = 0;
    virtual bool GetProperty(const char* name, std::vector<std::string>& out) = 0;
    virtual bool SetProperty(const char* name, int64_t value) = 0;
    virtual bool SetProperty(const char* name, const char* value) = 0;
    virtual bool SetProperty(const char* name, const std::vector<std::string>& values) = 0;
    // Stores the record (replacing one with the same KeyId), stamping ModifyTime.
    virtual bool AddKey(MoxKeyData* key) = 0;
    // Refuses (kMoxDbLastKey) to delete the last password record.
    virtual bool DeleteKey(MoxKeyData* key) = 0;
    // Changes only Perms.
    virtual bool UpdateKey(MoxKeyData* key) = 0;
    // Appends new records (owned by the caller) in rowid order. keyType 0: all
    // kinds; userFilter: substring of UserId, ignoring ASCII case. Rows that do
    // not decode are skipped with a trace line.
    virtual bool FindKeys(uint32_t keyType, const char* userFilter,
                          std::vector<MoxKeyData*>& out) = 0;
    virtual int GetKeyCount(uint32_t keyType) = 0;
    // Writes "RecoveryID" and a new "VolumeID"; its 16 bytes go to uuid.
    virtual bool CreateUniqueIds(unsigned char (*uuid)[16]);
    virtual bool CompactDatabase() = 0;

    bool isReadOnly() const { return m_readOnly; }
    int openCount() const { return m_openCount; }
    const char* path() const { return m_path; }
    uint32_t lastError() const { return m_lastError; }

  protected:
    explicit CMoxConfigDatabaseBase(const char* path);
    virtual ~CMoxConfigDatabaseBase();

    bool m_readOnly = false;
    int m_openCount = 0;
    uint32_t m_lastError = kMoxDbOk;
    char m_path[512] = {};
};

class CMoxConfigDatabase : public CMoxConfigDatabaseBase {
  public:
    CMoxConfigDatabase(const char* path, bool readOnly);

    bool CreateDatabase() override;
    bool OpenDatabase() override;
    bool CloseDatabase() override;
    bool setReadOnly(bool readOnly) override;
    bool BeginTransaction() override;
    bool CommitTransaction() override;
    bool GetProperty(const char* name, int64_t* out, int64_t def) override;
    bool GetProperty(const char* name, char* out, unsigned size, const char* def) override;
    bool GetProperty(const char* name, std::vector<std::string>& out) override;
    bool SetProperty(const char* name, int64_t value) override;
    bool SetProperty(const char* name, const char* value) override;
    bool SetProperty(const char* name, const std::vector<std::string>& values) override;
    bool AddKey(MoxKeyData* key) override;
    bool DeleteKey(MoxKeyData* key) override;
    bool UpdateKey(MoxKeyData* key) override;
    bool FindKeys(uint32_t keyType, const char* userFilter, std::vector<MoxKeyData*>& out) override;
    int GetKeyCount(uint32_t keyType) override;
    bool CompactDatabase() override;

    // Whether a statement on this connection ran out of time (later ones
    // then fail at once, so one call costs one statement's budget at most).
    bool timedOut() const { return m_timedOut; }

    // Runs literal SQL text (no user data); rowCallback as for sqlite3_exec.
    using RowCallback = int (*)(void* context, int columns, char** values, char** names);
    bool SqLite_ExecSql(const char* sql, RowCallback rowCallback, void* context);

    // The statements CreateDatabase runs, in order.
    static const char* const kSchema[11];

  protected:
    ~CMoxConfigDatabase() override;

  private:
    // Limits every connection gets before its first statement.
    bool harden(sqlite3* db);
    // Keys and Props are ordinary tables (or absent): a view or a virtual
    // table in their place would run the file's own code on every read.
    bool schemaIsPlain();
    static int onProgress(void* self);
    static int onStatement(unsigned type, void* self, void* statement, void* sql);
    bool openConnection(bool readOnly);
    void closeConnection();
    bool recoverHotJournal();
    bool prepareForWrite();

    sqlite3* m_db = nullptr;
    bool m_checked = false;  // integrity verified on this connection
    int64_t m_deadline = 0;  // steady clock, ns: the end of the running statement
    bool m_timedOut = false;
};

// Strict decoding of one stored blob field "<length>;<Ascii85 text>" into
// out[0..capacity): the length must not exceed capacity and the text must
// decode to exactly that many bytes. Returns the length, or -1.
long MoxDecodeKeyField(const char* field, uint8_t* out, size_t capacity);
// Fills key from the ten columns of a Keys row in the order FindKeys selects
// them (KeyId, KeyType, DispName, Perms, GroupId, UserId, KeySpec, EK, PV,
// Sid; any may be null). False, with key cleared, for a row to skip: no
// KeyId, a blob that does not decode, or a password record whose blobs are
// not exactly 336, 100 and 64 bytes.
bool MoxDecodeKeyRow(const char* const columns[10], MoxKeyData* key);
// The stored text of a blob: "<length>;<Ascii85 text>", apostrophes single.
std::string MoxEncodeKeyField(const uint8_t* data, uint32_t length);

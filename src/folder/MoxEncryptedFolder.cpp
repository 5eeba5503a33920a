#include "folder/MoxEncryptedFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Crypto/Prng.h"
#include "Crypto/StackScrub.h"
#include "Crypto/TraceLog.h"
#include "platform/core/UniqueFd.h"

namespace {

const char* const kCreatedOnMacProperty = "isLumenProtectionEnabled";

// Request types and the key kinds they may open, in the order tried.
std::vector<uint32_t> keyTypesFor(uint32_t requestType) {
    switch (requestType) {
        case 1:
        case 6:
            return {kMoxKeyTypePassword, kMoxKeyTypeUserPassword};
        case 2:
            return {2};
        case 3:
        case 4:
            return {4, 64, 128, 2};
        default:
            return {};
    }
}

bool isCertificateKind(uint32_t keyType) {
    return keyType == 2 || keyType == 4 || keyType == 64 || keyType == 128;
}

void overwriteRandom(void* p, size_t n) {
    if (!CPrng::GetRandomBytes(static_cast<uint8_t*>(p), (unsigned)n)) explicit_bzero(p, n);
}

bool syncPath(const std::string& path, int flags) {
    platform::UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC));
    return fd.ok() && ::fsync(fd.get()) == 0;
}

// Whether `name` in `dir` is what an interrupted creation leaves: the build
// database or its journal under their exact names, a regular file that is
// empty or starts as SQLite starts such a file (a journal's header may still
// be zero). A user's file that merely bears the name is not, and is kept.
bool isCreationLeftover(const std::string& dir, const char* name) {
    const std::string build = kMoxConfigDbBuildName;
    const bool journal = name == build + kMoxConfigJournalSuffix;
    if (!journal && name != build) return false;
    platform::UniqueFd fd(
        ::open((dir + name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.ok()) return false;
    struct stat st;
    uint8_t head[16] = {};
    ssize_t n = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)
                    ? ::pread(fd.get(), head, sizeof head, 0)
                    : -1;
    fd.reset();
    if (n == 0) return true;
    if (journal) {
        static const uint8_t kMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
        static const uint8_t kZero[8] = {};
        return n >= 8 && (!std::memcmp(head, kMagic, 8) || !std::memcmp(head, kZero, 8));
    }
    return n == 16 && !std::memcmp(head, "SQLite format 3", 16);
}

// Why a directory cannot take a new folder: 0, EEXIST when it already holds
// a database, ENOTEMPTY for any other entry (its plaintext would later read
// as garbage), or the errno of reading it. Leftovers of an interrupted
// creation do not count.
int checkEmptyDirectory(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return errno;
    int result = 0;
    while (struct dirent* e = readdir(d)) {
        const char* n = e->d_name;
        if (!std::strcmp(n, ".") || !std::strcmp(n, "..")) continue;
        if (isCreationLeftover(dir, n)) continue;
        if (!strcasecmp(n, kMoxConfigDbName)) {
            result = EEXIST;
            break;
        }
        result = ENOTEMPTY;
    }
    closedir(d);
    return result;
}

}  // namespace

CMoxEncryptedFolder::CMoxEncryptedFolder() {
    TRACE_CNSTR("CMoxEncryptedFolder");
}

CMoxEncryptedFolder::~CMoxEncryptedFolder() {
    TRACE_DESTR("CMoxEncryptedFolder");
    overwriteRandom(m_path, sizeof m_path);
    overwriteRandom(m_keyId, sizeof m_keyId);
    overwriteRandom(m_userId, sizeof m_userId);
    overwriteRandom(&m_perms, sizeof m_perms);
    overwriteRandom(m_key.bytes, sizeof m_key.bytes);
    if (m_db) m_db->CloseDatabase();
    m_db = nullptr;
}

void CMoxEncryptedFolder::SetPath(const char* path) {
    TRACE_CALL("SetPath", path ? path : "");
    std::string p = path ? path : "";
    if (p.empty() || p.back() != '/') p += '/';
    std::snprintf(m_path, sizeof m_path, "%s", p.c_str());
    std::snprintf(m_dbPath, sizeof m_dbPath, "%s", MoxConfigDbPathIn(m_path).c_str());
}

bool CMoxEncryptedFolder::makeWritable() {
    return m_db && m_db->setReadOnly(false);
}

bool CMoxEncryptedFolder::Authenticate(MoxAuthentication* request, unsigned) {
    m_keyId[0] = 0;
    m_userId[0] = 0;
    m_perms = 0;
    if (!m_db) {
        m_error = kMoxErrDbNotOpened;
        return false;
    }
    if (!request) {
        m_error = kMoxErrLogonFailure;
        return false;
    }
    std::vector<MoxKeyData*> records;
    bool readable = true;
    for (uint32_t keyType : keyTypesFor(request->type))
        readable = m_db->FindKeys(keyType, nullptr, records) && readable;
    TRACE_MSG("Authenticate", "Found %d keys for authentication type %d", (int)records.size(),
              (int)request->type);
    // No key table, or not one record that decodes: no password was tried,
    // so this is not a wrong password but a database that cannot be read.
    if (!readable || records.empty()) {
        for (MoxKeyData* r : records) delete r;
        m_error = kMoxErrDbNotOpened;
        TRACE_MSG("Authenticate", "No readable key records");
        return false;
    }
    MoxCipherKey key;
    MoxKeyData* hit = m_auth.Authenticate(request, records, &key);
    if (hit) {
        TRACE_MSG("Authenticate", "Authenticating key: %s", hit->DispName);
        MoxKeyData::SetText(m_dispName, hit->DispName);
        MoxKeyData::SetText(m_keyId, hit->KeyId);
        MoxKeyData::SetText(m_userId, hit->UserId);
        m_keyType = hit->KeyType;
        m_perms = hit->Perms;
        m_key = key;
        std::memset(m_certSerNo, 0, sizeof m_certSerNo);
        if (isCertificateKind(hit->KeyType) && hit->PV.length >= 80 && hit->PV.data[16])
            std::memcpy(m_certSerNo, hit->PV.data + 16, sizeof m_certSerNo - 1);
        m_error = 0;
    } else {
        m_error = kMoxErrLogonFailure;
        TRACE_MSG("Authenticate", "No authenticating key found");
    }
    for (MoxKeyData* r : records) delete r;
    poi::scrubStack();  // unwrapping the folder key ran its cipher here
    return hit != nullptr;
}

bool CMoxEncryptedFolder::AddUser(MoxAuthentication* request, unsigned perms, MoxKeyData** out) {
    if (out) *out = nullptr;
    // The new record wraps the folder key held here, which only a successful
    // authentication provides.
    if (!m_keyId[0]) {
        m_error = kMoxErrKeyNotMade;
        TRACE_MSG("AddUser", "folder is not authenticated");
        return false;
    }
    CMoxAuthenticator auth;
    std::unique_ptr<MoxKeyData> rec(auth.GetKey(request, &m_key));
    if (!rec) {
        m_error = kMoxErrKeyNotMade;
        TRACE_MSG("AddUser", "Cannot generate user key");
        return false;
    }
    rec->Perms = perms;
    bool ok = makeWritable() && m_db->AddKey(rec.get());
    if (!ok) {
        m_error = kMoxErrKeyNotStored;
        TRACE_MSG("AddUser", "Cannot add user key to config database");
    } else {
        m_error = 0;
    }
    if (out) *out = rec.release();
    return ok;
}

bool CMoxEncryptedFolder::DeleteUser(const char* keyId) {
    MoxKeyData k;
    MoxKeyData::SetText(k.KeyId, keyId);
    if (makeWritable() && m_db->DeleteKey(&k)) {
        m_error = 0;
        return true;
    }
    m_error = m_db && m_db->lastError() == kMoxDbLastKey ? kMoxErrLastKey : kMoxErrKeyNotStored;
    TRACE_MSG("DeleteUser", "Cannot delete key %.63s", keyId ? keyId : "");
    return false;
}

bool CMoxEncryptedFolder::UpdateUserPermissions(const char* keyId, unsigned perms) {
    MoxKeyData k;
    MoxKeyData::SetText(k.KeyId, keyId);
    k.Perms = perms;
    bool ok = makeWritable() && m_db->UpdateKey(&k);
    m_error = ok ? 0 : kMoxErrKeyNotStored;
    return ok;
}

bool CMoxEncryptedFolder::SetCreatedOnMacFlag(bool flag) {
    return m_db && m_db->SetProperty(kCreatedOnMacProperty, (int64_t)(flag ? 1 : 0));
}

bool CMoxEncryptedFolder::GetCreatedOnMacFlag() {
    int64_t v = 0;
    if (m_db) m_db->GetProperty(kCreatedOnMacProperty, &v, 0);
    return v > 0;
}

bool CMoxEncryptedFolder::GetUsers(std::vector<MoxKeyData*>& out) {
    return m_db && m_db->FindKeys(0, nullptr, out);
}

CMoxEncryptedFolder* CMoxEncryptedFolder::Connect(const char* folderPath,
                                                  MoxAuthentication* request, uint32_t* error) {
    uint32_t dummy = 0;
    if (!error) error = &dummy;
    *error = 0;
    TRACE_ENTRY("Connect");
    // The folder is only checked, never made the working directory: relative
    // paths keep meaning what the caller meant, and a failure leaves the
    // process where it was.
    struct stat dirStat;
    int notFolder = !folderPath                         ? ENOENT
                    : ::stat(folderPath, &dirStat) != 0 ? errno
                    : S_ISDIR(dirStat.st_mode)          ? 0
                                                        : ENOTDIR;
    if (notFolder) {
        *error = (uint32_t)notFolder;
        std::printf("encrytpedFolder > connect > no folder at %s\n", folderPath ? folderPath : "");
        TRACE_EXIT_STATUS(*error, "Connect");
        return nullptr;
    }
    std::unique_ptr<CMoxEncryptedFolder> folder(new (std::nothrow) CMoxEncryptedFolder);
    if (!folder) {
        TRACE_MSG("Connect", "Out of memory");
        *error = kMoxErrOutOfMemory;
        return nullptr;
    }
    folder->SetPath(folderPath);
    auto* db = new (std::nothrow) CMoxConfigDatabase(folder->m_dbPath, true);
    if (!db) {
        *error = kMoxErrOutOfMemory;
        return nullptr;
    }
    errno = 0;
    if (!db->OpenDatabase()) {
        // A missing database keeps its errno; one that is there but cannot
        // be read as a database is the database error, whatever errno SQLite
        // left behind.
        struct stat dbStat;
        int e = ::lstat(folder->m_dbPath, &dbStat) != 0 ? errno : 0;
        std::printf("encrypted folder > connect > cannot open config db at %s\n", folder->m_dbPath);
        TRACE_EXIT_ERR(0L, "Connect", "Cannot open configuration database");
        db->CloseDatabase();
        *error = e ? (uint32_t)e : kMoxErrDbNotOpened;
        return nullptr;
    }
    folder->m_db = db;
    if (!folder->Authenticate(request)) {
        *error = folder->GetError();
        TRACE_EXIT_STATUS(*error, "Connect");
        return nullptr;
    }
    TRACE_EXIT_STATUS(0, "Connect");
    return folder.release();
}

CMoxEncryptedFolder* CMoxEncryptedFolder::CreateNew(const char* folderPath, uint32_t cipherId,
                                                    const std::vector<MoxAuthentication*>& requests,
                                                    uint32_t* error, MoxNewFolderInfo* info) {
    uint32_t dummy = 0;
    if (!error) error = &dummy;
    *error = 0;
    TRACE_ENTRY("CreateNew");
    auto fail = [&](uint32_t code, const char* why) -> CMoxEncryptedFolder* {
        *error = code;
        if (why) TRACE_MSG("CreateNew", "%s", why);
        TRACE_EXIT_STATUS(code, "CreateNew");
        return nullptr;
    };

    bool valid = folderPath && *folderPath && !requests.empty() &&
                 (cipherId == 1 || cipherId == 2 || cipherId == 512);
    for (const MoxAuthentication* r : requests)
        valid = valid && r && r->type == kMoxAuthTypePassword && MoxIsKnownHashId(r->hashId);
    if (!valid) return fail(kMoxErrInvalidParameter, "bad cipher id, hash id or request");

    std::string dir = folderPath;
    if (dir.back() != '/') dir += '/';
    if (int e = checkEmptyDirectory(dir)) {
        if (e == EEXIST) {
            TRACE_EXIT_ERR(0L, "CreateNew", "Folder is already encrypted");
            *error = EEXIST;
            return nullptr;
        }
        return fail((uint32_t)e, e == ENOTEMPTY ? "Folder is not empty" : "Cannot read folder");
    }

    // The database is built under a temporary name and renamed into place
    // once complete, so an interruption never leaves a key-less database.
    const std::string build = dir + kMoxConfigDbBuildName;
    const std::string finalPath = dir + kMoxConfigDbName;
    auto removeBuild = [&] {
        ::unlink(build.c_str());
        ::unlink((build + kMoxConfigJournalSuffix).c_str());
    };
    removeBuild();

    auto* db = new (std::nothrow) CMoxConfigDatabase(build.c_str(), false);
    if (!db) return fail(kMoxErrOutOfMemory, "CMoxConfigDatabase allocation failed");
    auto abandon = [&](uint32_t code, const char* why) {
        if (db) db->CloseDatabase();
        db = nullptr;
        removeBuild();
        return fail(code, why);
    };
    if (!db->CreateDatabase())
        return abandon(kMoxErrDbNotOpened, "Cannot create configuration database");
    if (!db->SetProperty("Created", MoxFileTimeNow()))
        return abandon(kMoxErrDbNotOpened, "Cannot create configuration database");
    unsigned char uuid[16];
    if (!db->CreateUniqueIds(&uuid))
        return abandon(kMoxErrDbNotOpened, "Cannot create configuration database");

    MoxCipherKey key;
    key.SetCipherId(cipherId);
    if (!CPrng::GetRandomBytes(key.Key(), MoxCipherKey::kKeyBytes))
        return abandon(kMoxErrWrapping, "no random bytes for the folder key");

    CMoxAuthenticator auth;
    for (MoxAuthentication* r : requests) {
        std::unique_ptr<MoxKeyData> rec(auth.GetKey(r, &key));
        if (!rec) return abandon(kMoxErrKeyNotMade, "Cannot generate user key");
        rec->Perms = kMoxPermsAdministrator;
        if (!db->AddKey(rec.get()))
            return abandon(kMoxErrKeyNotStored, "Cannot add user key to config database");
    }
    char recovery[32] = {};
    char volume[64] = {};
    db->GetProperty("RecoveryID", recovery, sizeof recovery, "");
    db->GetProperty("VolumeID", volume, sizeof volume, "");
    std::vector<MoxKeyData*> stored;
    db->FindKeys(0, nullptr, stored);
    std::vector<std::unique_ptr<MoxKeyData>> owned;
    for (MoxKeyData* k : stored) owned.emplace_back(k);

    db->CloseDatabase();  // last opener: compacts and closes
    db = nullptr;
    if (!syncPath(build, O_RDONLY) || ::rename(build.c_str(), finalPath.c_str()) != 0) {
        int e = errno;
        removeBuild();
        return fail(e ? (uint32_t)e : kMoxErrDbNotOpened,
                    "Cannot move configuration database into place");
    }
    syncPath(dir, O_RDONLY | O_DIRECTORY);

    std::unique_ptr<CMoxEncryptedFolder> folder(new (std::nothrow) CMoxEncryptedFolder);
    if (!folder) {
        ::unlink(finalPath.c_str());
        return fail(kMoxErrOutOfMemory, "Out of memory");
    }
    folder->SetPath(dir.c_str());
    auto* opened = new (std::nothrow) CMoxConfigDatabase(folder->m_dbPath, false);
    if (!opened || !opened->OpenDatabase()) {
        if (opened) opened->CloseDatabase();
        ::unlink(finalPath.c_str());
        return fail(kMoxErrDbNotOpened, "Cannot open configuration database");
    }
    folder->m_db = opened;
    if (!folder->Authenticate(requests.front())) {
        uint32_t e = folder->GetError();
        folder.reset();
        ::unlink(finalPath.c_str());
        return fail(e, "Cannot add user key to config database");
    }
    if (info) {
        info->recoveryId = recovery;
        info->volumeId = volume;
        info->keys = std::move(owned);
    }
    TRACE_EXIT_STATUS(0, "CreateNew");
    return folder.release();
}

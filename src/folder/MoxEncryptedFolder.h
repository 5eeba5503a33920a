#pragma once
// One encrypted folder as the engine sees it: a plain directory whose file
// contents are encrypted in place with the folder key, and whose
// "_QXCFG.MOX" database holds one key record per user.
//
//   uint32_t err = 0;
//   MoxAuthentication req;                 // type 1, the user's name and password
//   req.SetName("alice"); req.SetPassword("secret");
//   CMoxEncryptedFolder* f = CMoxEncryptedFolder::Connect("/data/x.zel", &req, &err);
//   if (!f) { /* err: 1326 wrong name or password, 4313 unreadable database, errno */ }
//   f->GetKey();                           // the unwrapped folder key
//   delete f;
//
// Nothing here changes the process's working directory; relative folder
// paths are taken relative to it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Database/MoxConfigDatabase.h"
#include "folder/MoxAuthenticator.h"

// Permission masks of a key record.
inline constexpr uint32_t kMoxPermsAdministrator = 15;
inline constexpr uint32_t kMoxPermsUser = 0;

// What CreateNew hands back besides the folder.
struct MoxNewFolderInfo {
    std::string recoveryId;                         // "RecoveryID" (at most 31 characters)
    std::string volumeId;                           // "VolumeID", 36 characters
    std::vector<std::unique_ptr<MoxKeyData>> keys;  // every stored key record
};

class CMoxEncryptedFolder {
  public:
    CMoxEncryptedFolder();
    virtual ~CMoxEncryptedFolder();
    CMoxEncryptedFolder(const CMoxEncryptedFolder&) = delete;
    CMoxEncryptedFolder& operator=(const CMoxEncryptedFolder&) = delete;

    // Opens an existing folder read-only and authenticates request against
    // its key records. Null on failure with *error set (1326 no record
    // opened; 4313 a database that is there but cannot be read: not a
    // regular file, not SQLite, no key table or no record that decodes; 14;
    // or the errno value of a missing folder or database); *error is 0 on
    // success.
    static CMoxEncryptedFolder* Connect(const char* folderPath, MoxAuthentication* request,
                                        uint32_t* error);

    // Makes a new folder in an existing, empty directory: the database, its
    // ids, a folder key of cipherId (1, 2 or 512) and one administrator
    // record per request, then authenticates the first request. The
    // database is built under a temporary name and appears complete or not
    // at all. Null on failure with *error set (EEXIST already encrypted,
    // ENOTEMPTY other entries, 87 bad cipher or hash id, 0x8028000E, 1370,
    // 1326, 14, 4313); the directory is left as it was.
    static CMoxEncryptedFolder* CreateNew(const char* folderPath, uint32_t cipherId,
                                          const std::vector<MoxAuthentication*>& requests,
                                          uint32_t* error, MoxNewFolderInfo* info = nullptr);

    virtual bool Authenticate(MoxAuthentication* request, unsigned flags = 0);
    // A new record wrapping the folder key this folder holds (it must be
    // authenticated), stored with perms. With out given the caller gets the
    // record and owns it.
    virtual bool AddUser(MoxAuthentication* request, unsigned perms, MoxKeyData** out = nullptr);
    // Refuses (error 1322) to delete the last password record.
    virtual bool DeleteUser(const char* keyId);
    virtual bool UpdateUserPermissions(const char* keyId, unsigned perms);
    // "isLumenProtectionEnabled"; the write needs a read-write database.
    virtual bool SetCreatedOnMacFlag(bool flag);
    virtual bool GetCreatedOnMacFlag();

    // Every key record (the folder's users) in database order; the caller
    // owns the records.
    bool GetUsers(std::vector<MoxKeyData*>& out);

    virtual uint32_t GetError() const { return m_error; }
    virtual uint32_t GetCryptAlgo() const { return m_key.CipherId(); }
    virtual uint32_t GetPermissions() const { return m_perms; }
    // Stores the path with a trailing "/"; the database path is the entry
    // matching "_QXCFG.MOX" ignoring case (that name when there is none).
    virtual void SetPath(const char* path);
    virtual const char* GetPath() const { return m_path; }
    virtual const char* GetAuthenticatedUser() const { return m_dispName; }
    virtual const char* GetAuthenticatedUserId() const { return m_userId; }
    virtual const char* GetAuthenticatedGuid() const { return m_keyId; }
    virtual const char* GetAuthenticatedCertSerNo() const { return m_certSerNo; }
    virtual const char* GetConfigDbPath() const { return m_dbPath; }
    virtual const char* GetFolderId() const { return m_volumeId; }
    virtual const MoxCipherKey* GetKey() const { return &m_key; }
    virtual uint32_t GetAuthenticatedKeyType() const { return m_keyType; }

    // The open database (one opener held by this folder), or null.
    CMoxConfigDatabase* GetConfigDatabase() const { return m_db; }

  private:
    bool makeWritable();

    uint32_t m_error = 0;
    char m_path[512] = {};
    char m_dbPath[512] = {};
    char m_dispName[256] = {};
    char m_keyId[64] = {};
    char m_userId[256] = {};
    char m_certSerNo[64] = {};
    uint32_t m_keyType = 0;
    char m_volumeId[64] = {};
    uint32_t m_perms = 0;
    MoxCipherKey m_key;
    CMoxAuthenticator m_auth;
    CMoxConfigDatabase* m_db = nullptr;  // owns one opener
};

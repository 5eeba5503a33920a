#pragma once
// Key records: a user's wrapped copy of the folder key. CMoxAuthenticator
// makes a record from a name, a password and the folder key, and finds the
// record that a name and password open, unwrapping the folder key from it.
// Which hash derived the record's key and which engine wrapped it are not
// stored; authentication finds them by trial.
//
//   CMoxAuthenticator a;
//   MoxKeyData* rec = a.GetKey(&request, &folderKey);      // caller owns rec
//   MoxCipherKey key;
//   MoxKeyData* hit = a.Authenticate(&request, records, &key);  // one of records, or null

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Crypto/CryptoApi.h"
#include "Database/MoxKeyData.h"

// The folder key: a 32-bit little-endian cipher id, then 96 random key bytes;
// always copied and wrapped as these 100 bytes.
struct MoxCipherKey {
    static constexpr size_t kSize = 100;
    static constexpr size_t kKeyBytes = 96;
    uint8_t bytes[kSize] = {};

    MoxCipherKey() = default;
    MoxCipherKey(const MoxCipherKey& other) = default;
    MoxCipherKey& operator=(const MoxCipherKey& other) = default;
    ~MoxCipherKey();

    uint32_t CipherId() const;
    void SetCipherId(uint32_t id);
    uint8_t* Key() { return bytes + 4; }
    const uint8_t* Key() const { return bytes + 4; }
    void Clear();
};

// Request kinds of MoxAuthentication::type.
inline constexpr uint32_t kMoxAuthTypePassword = 1;
inline constexpr uint32_t kMoxAuthTypeSavedPassword = 6;  // MOXAUTHTYPE_SAVEDPWD, refused

// One authentication or key-making request.
struct MoxAuthentication {
    uint32_t type = kMoxAuthTypePassword;
    uint32_t keyType = kMoxKeyTypeUserPassword;  // KeyType of a record made from it
    std::optional<std::string> userId;           // stored as UserId when given
    std::optional<std::string> sid;              // stored as Sid when given
    std::string displayName;                     // stored as DispName
    char name[256] = {};                         // the user name in the KeySpec
    char password[512] = {};
    uint32_t hashId = 0x2000000;  // derivation of a new record
    uint32_t cipherId = 1;        // the folder key's cipher id

    MoxAuthentication() = default;
    MoxAuthentication(const MoxAuthentication&) = default;
    MoxAuthentication& operator=(const MoxAuthentication&) = default;
    ~MoxAuthentication();

    // Bounded, NUL-terminated copies.
    void SetName(const char* text);
    void SetPassword(const char* text);
};

// Error codes of the encryption core.
inline constexpr uint32_t kMoxErrOutOfMemory = 14;
inline constexpr uint32_t kMoxErrInvalidParameter = 87;  // unknown hash or cipher id
inline constexpr uint32_t kMoxErrLastKey = 1322;         // would delete the last key record
inline constexpr uint32_t kMoxErrLogonFailure = 1326;    // no key record opened
inline constexpr uint32_t kMoxErrKeyNotStored = 1370;
inline constexpr uint32_t kMoxErrDbNotOpened = 4313;
inline constexpr uint32_t kMoxErrWrapping = 6000;
inline constexpr uint32_t kMoxErrKeyNotMade = 0x8028000E;

// The engine of a folder-key cipher id: 2 -> 2, 512 -> 3, anything else -> 7.
poi_crypto_api::SE_ID MoxEngineForCipherId(uint32_t cipherId);

// A new engine for engineId keyed with the first key-length bytes of
// keyBytes (32 for engine 7, 16 for engines 2 and 3). False, with out left
// empty, when there is no such engine or the key is refused.
bool PoiInitCryptContext(const uint8_t* keyBytes, poi_crypto_api::SE_ID engineId,
                         std::unique_ptr<poi_crypto_api::CSE>& out);

// Imports the folder key's bytes for its engine into csk and reports the
// engine; false for a null key or a failed import.
bool PoiConvertMoxCipherKeyToCSK(const MoxCipherKey* key, poi_crypto_api::CSK* csk,
                                 poi_crypto_api::SE_ID* engineOut);

// Hash ids that key derivation knows, in the order a login tries them.
bool MoxIsKnownHashId(uint32_t hashId);

// The most key records one authentication tries (each costs one key
// derivation per hash variant); records past it are not tried.
inline constexpr size_t kMoxMaxTriedRecords = 16;

class CMoxAuthenticator {
  public:
    CMoxAuthenticator() = default;
    virtual ~CMoxAuthenticator() = default;

    // A new record for a password request (type 1): KeyId a new UUID, names
    // from the request, Perms 0. Null on failure (see GetError).
    virtual MoxKeyData* GetKey(const MoxAuthentication* request, const MoxCipherKey* folderKey);
    // The first record the request's name and password open, its folder key
    // unwrapped into folderKeyOut; null when none does. Records of other
    // names and repeats are passed over; at most kMoxMaxTriedRecords are tried.
    virtual MoxKeyData* Authenticate(const MoxAuthentication* request,
                                     const std::vector<MoxKeyData*>& records,
                                     MoxCipherKey* folderKeyOut);
    // A null name skips the name test.
    virtual MoxKeyData* AuthenticatePassword(const char* name, const char* password,
                                             const std::vector<MoxKeyData*>& records,
                                             MoxCipherKey* folderKeyOut);
    // A record whose KeySpec carries name and whose EK/PV are wrapped under
    // the key derived from password with hashId. Unknown hash ids refuse.
    virtual MoxKeyData* GetKeyFromPassword(const char* name, const char* password, uint32_t hashId,
                                           uint32_t cipherId, const MoxCipherKey* folderKey);

    uint32_t GetError() const { return m_error; }

  private:
    uint32_t m_error = 0;
};

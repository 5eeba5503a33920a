#include "folder/MoxAuthenticator.h"

#include <strings.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Crypto/CryptoFactory.h"
#include "Crypto/PFSpecials/SectorSE.h"
#include "Crypto/Prng.h"
#include "Crypto/TraceLog.h"
#include "folder/KeyDerivation.h"

using poi_crypto_api::CSE;
using poi_crypto_api::CSectorSK;
using poi_crypto_api::SE_ID;

namespace {

// KeySpec layout: name[256] (NUL, then random bytes), salt[64], IV-PV[8], IV-EK[8].
constexpr size_t kNameOffset = 0;
constexpr size_t kSaltOffset = 256;
constexpr size_t kSaltSize = 64;
constexpr size_t kIvPvOffset = 320;
constexpr size_t kIvEkOffset = 328;
constexpr size_t kIvSize = 8;
constexpr size_t kDerivedSize = 96;

// Wipes a stack buffer of key material when the scope ends.
template <size_t N>
struct Secret {
    uint8_t bytes[N] = {};
    ~Secret() { explicit_bzero(bytes, N); }
};

// The KeySpec's name, bounded to its 256-byte area.
std::string specName(const MoxKeyData* rec) {
    const char* p = reinterpret_cast<const char*>(rec->KeySpec.data + kNameOffset);
    return std::string(p, strnlen(p, kSaltOffset));
}

}  // namespace

MoxCipherKey::~MoxCipherKey() {
    Clear();
}

uint32_t MoxCipherKey::CipherId() const {
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
           (uint32_t)bytes[3] << 24;
}

void MoxCipherKey::SetCipherId(uint32_t id) {
    for (int i = 0; i < 4; ++i) bytes[i] = (uint8_t)(id >> (8 * i));
}

void MoxCipherKey::Clear() {
    explicit_bzero(bytes, sizeof bytes);
}

MoxAuthentication::~MoxAuthentication() {
    explicit_bzero(password, sizeof password);
}

namespace {

// A bounded copy that never ends inside a UTF-8 sequence: creating a folder
// and unlocking it both go through here, so a long password is cut the same
// way each time, and what is kept is still valid text.
template <size_t N>
void setUtf8Text(char (&field)[N], const char* text) {
    MoxKeyData::SetText(field, text);
    if (!text) return;
    size_t len = strnlen(field, N);
    if (text[len] == 0) return;  // nothing was cut
    while (len > 0 && (static_cast<unsigned char>(text[len]) & 0xC0) == 0x80) --len;
    explicit_bzero(field + len, N - len);
}

}  // namespace

void MoxAuthentication::SetName(const char* text) {
    setUtf8Text(name, text);
}

void MoxAuthentication::SetPassword(const char* text) {
    explicit_bzero(password, sizeof password);
    setUtf8Text(password, text);
}

SE_ID MoxEngineForCipherId(uint32_t cipherId) {
    return poi_crypto_api::SEForCipherId(cipherId);
}

bool MoxIsKnownHashId(uint32_t hashId) {
    for (uint32_t id : g_HashAlgos)
        if (id == hashId) return true;
    return false;
}

bool PoiInitCryptContext(const uint8_t* keyBytes, SE_ID engineId, std::unique_ptr<CSE>& out) {
    out.reset();
    size_t length = poi_crypto_api::SEKeyLength(engineId);
    std::unique_ptr<CSE> se = poi_crypto_api::CCryptoFactory::GetSE(engineId);
    if (!se || !keyBytes || length == 0) return false;
    CSectorSK key;
    if (!key.Import(keyBytes, length) || !se->SetKey(&key)) return false;
    out = std::move(se);
    return true;
}

bool PoiConvertMoxCipherKeyToCSK(const MoxCipherKey* key, poi_crypto_api::CSK* csk,
                                 SE_ID* engineOut) {
    if (!key || !csk) return false;
    SE_ID engine = MoxEngineForCipherId(key->CipherId());
    if (engineOut) *engineOut = engine;
    return csk->Import(key->Key(), poi_crypto_api::SEKeyLength(engine));
}

MoxKeyData* CMoxAuthenticator::GetKeyFromPassword(const char* name, const char* password,
                                                  uint32_t hashId, uint32_t cipherId,
                                                  const MoxCipherKey* folderKey) {
    m_error = 0;
    // Derivation with an unknown id gives an all-zero key: a record wrapped
    // under it would open for any password.
    if (!MoxIsKnownHashId(hashId)) {
        m_error = kMoxErrInvalidParameter;
        TRACE_MSG("GetKeyFromPassword", "unknown hash id 0x%X", hashId);
        return nullptr;
    }
    if (!folderKey || !password) {
        m_error = kMoxErrInvalidParameter;
        return nullptr;
    }
    std::unique_ptr<MoxKeyData> rec(new (std::nothrow) MoxKeyData);
    if (!rec) {
        m_error = kMoxErrOutOfMemory;
        TRACE_MSG("GetKeyFromPassword", "Out of memory");
        return nullptr;
    }
    uint8_t* keySpec = rec->KeySpec.data;
    bool random = CPrng::GetRandomBytes(keySpec + kNameOffset, kSaltOffset);
    if (name && *name) {
        size_t n = strnlen(name, kSaltOffset - 1);
        std::memcpy(keySpec + kNameOffset, name, n);
        keySpec[kNameOffset + n] = 0;
    } else {
        keySpec[kNameOffset] = 0;
    }
    random = random && CPrng::GetRandomBytes(keySpec + kSaltOffset, kSaltSize) &&
             CPrng::GetRandomBytes(keySpec + kIvPvOffset, kIvSize) &&
             CPrng::GetRandomBytes(keySpec + kIvEkOffset, kIvSize);
    if (!random) {
        m_error = kMoxErrWrapping;
        TRACE_MSG("GetKeyFromPassword", "no random bytes");
        return nullptr;
    }

    Secret<kDerivedSize> derived;
    if (!DeriveKeyFromPassword(password, keySpec + kSaltOffset, hashId, derived.bytes)) {
        m_error = kMoxErrWrapping;
        TRACE_MSG("GetKeyFromPassword", "key derivation failed");
        return nullptr;
    }
    std::unique_ptr<CSE> se;
    if (!PoiInitCryptContext(derived.bytes, MoxEngineForCipherId(cipherId), se)) {
        m_error = kMoxErrWrapping;
        TRACE_MSG("GetKeyFromPassword", "PoiInitCryptContext failed");
        return nullptr;
    }
    rec->KeyType = name && *name ? kMoxKeyTypeUserPassword : kMoxKeyTypePassword;
    rec->KeySpec.length = kMoxKeySpecLength;
    rec->EK.length = kMoxWrappedKeyLength;
    std::memcpy(rec->EK.data, folderKey->bytes, MoxCipherKey::kSize);
    rec->PV.length = kMoxVerifierLength;
    std::memcpy(rec->PV.data, keySpec + kSaltOffset, kSaltSize);
    // A record whose wrapping failed would carry the folder key in clear:
    // never hand one out.
    if (!se->Encrypt(rec->EK.data, MoxCipherKey::kSize, nullptr, keySpec + kIvEkOffset, kIvSize)) {
        m_error = kMoxErrWrapping;
        TRACE_MSG("GetKeyFromPassword", "PoiEncrypt[EK] failed");
        return nullptr;
    }
    if (!se->Encrypt(rec->PV.data, kSaltSize, nullptr, keySpec + kIvPvOffset, kIvSize)) {
        m_error = kMoxErrWrapping;
        TRACE_MSG("GetKeyFromPassword", "PoiEncrypt[PV] failed");
        return nullptr;
    }
    return rec.release();
}

MoxKeyData* CMoxAuthenticator::GetKey(const MoxAuthentication* request,
                                      const MoxCipherKey* folderKey) {
    if (!request || request->type != kMoxAuthTypePassword) {
        m_error = kMoxErrInvalidParameter;
        return nullptr;
    }
    MoxKeyData* rec = GetKeyFromPassword(request->name, request->password, request->hashId,
                                         request->cipherId, folderKey);
    if (!rec) return nullptr;
    rec->KeyType = request->keyType;
    const char* userId = request->userId    ? request->userId->c_str()
                         : request->name[0] ? request->name
                                            : request->displayName.c_str();
    MoxKeyData::SetText(rec->UserId, userId);
    MoxKeyData::SetText(rec->Sid, request->sid ? request->sid->c_str() : "");
    uuid_t id;
    uuid_generate(id);
    char text[37];
    uuid_unparse_upper(id, text);
    MoxKeyData::SetText(rec->KeyId, text);
    MoxKeyData::SetText(rec->DispName, request->displayName.c_str());
    return rec;
}

MoxKeyData* CMoxAuthenticator::Authenticate(const MoxAuthentication* request,
                                            const std::vector<MoxKeyData*>& records,
                                            MoxCipherKey* folderKeyOut) {
    if (!request) return nullptr;
    if (request->type == kMoxAuthTypeSavedPassword) {
        std::printf(
            "Authenticator > Authenticate > called with MOXAUTHTYPE_SAVEDPWD which is not "
            "supported\n");
        return nullptr;
    }
    if (request->type != kMoxAuthTypePassword) return nullptr;
    return AuthenticatePassword(request->name, request->password, records, folderKeyOut);
}

MoxKeyData* CMoxAuthenticator::AuthenticatePassword(const char* name, const char* password,
                                                    const std::vector<MoxKeyData*>& records,
                                                    MoxCipherKey* folderKeyOut) {
    m_error = 0;
    if (!password || !folderKeyOut) return nullptr;
    // Key derivation is the whole cost of a try. The name is in clear in the
    // KeySpec, so a record of another user is passed over before it; a record
    // whose salt, IVs and verifier repeat one already tried cannot open where
    // that one did not; and at most kMoxMaxTriedRecords records are tried, so
    // no folder can make one wrong password cost more than that many.
    std::vector<const MoxKeyData*> tried;
    for (MoxKeyData* rec : records) {
        if (!rec || rec->KeySpec.length != kMoxKeySpecLength ||
            rec->EK.length != kMoxWrappedKeyLength || rec->PV.length != kMoxVerifierLength)
            continue;
        if (name && strcasecmp(name, specName(rec).c_str()) != 0) continue;
        const uint8_t* keySpec = rec->KeySpec.data;
        bool repeated = std::any_of(tried.begin(), tried.end(), [&](const MoxKeyData* t) {
            return std::memcmp(t->KeySpec.data + kSaltOffset, keySpec + kSaltOffset,
                               kMoxKeySpecLength - kSaltOffset) == 0 &&
                   std::memcmp(t->PV.data, rec->PV.data, kSaltSize) == 0;
        });
        if (repeated) continue;
        if (tried.size() == kMoxMaxTriedRecords) {
            TRACE_MSG("AuthenticatePassword", "stopped after %zu records", tried.size());
            break;
        }
        tried.push_back(rec);
        for (uint32_t hashId : g_HashAlgos) {
            Secret<kDerivedSize> derived;
            if (!DeriveKeyFromPassword(password, keySpec + kSaltOffset, hashId, derived.bytes))
                continue;
            for (SE_ID engine : poi_crypto_api::g_EncryptAlgos) {
                std::unique_ptr<CSE> se;
                if (!PoiInitCryptContext(derived.bytes, engine, se)) {
                    TRACE_MSG("AuthenticatePassword", "PoiInitCryptContext failed");
                    continue;
                }
                Secret<kSaltSize> pv;
                std::memcpy(pv.bytes, rec->PV.data, kSaltSize);
                if (!se->Decrypt(pv.bytes, kSaltSize, nullptr, keySpec + kIvPvOffset, kIvSize) ||
                    std::memcmp(pv.bytes, keySpec + kSaltOffset, kSaltSize) != 0)
                    continue;
                MoxCipherKey key;
                std::memcpy(key.bytes, rec->EK.data, MoxCipherKey::kSize);
                if (!se->Decrypt(key.bytes, MoxCipherKey::kSize, nullptr, keySpec + kIvEkOffset,
                                 kIvSize)) {
                    m_error = kMoxErrWrapping;
                    continue;
                }
                *folderKeyOut = key;
                return rec;
            }
        }
    }
    CTraceLog::TraceExit("AuthenticatePassword", "Cannot authenticate", __FILE__, __LINE__);
    return nullptr;
}

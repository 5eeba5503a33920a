#pragma once

// The encryption interface the folder engine sees: an engine (CSE) that
// encrypts byte ranges by their position, and its key (CSK).

#include <cstddef>
#include <cstdint>

#include "Crypto/EngineIds.h"

namespace poi_crypto_api {

class CSK {
  public:
    // Drops the key bytes (wiped).
    virtual void Clear() = 0;
    // Key length in bits.
    virtual size_t GetLength() const = 0;
    virtual size_t GetByteLength() const = 0;
    // Replaces the key by a copy of src[0..len); false for null or empty.
    virtual bool Import(const uint8_t* src, size_t len) = 0;
    // Zero-fills dst[0..len) and copies min(len, key length) key bytes to
    // its start; false for null or empty dst.
    virtual bool Export(uint8_t* dst, size_t len) const = 0;
    virtual ~CSK() = default;
};

class CSE {
  public:
    // Accepted for interface compatibility and ignored: the sector scheme
    // picks the mode of every step and never pads.
    enum FBM { FBM_ECB = 0, FBM_CBC = 1, FBM_CFB = 2, FBM_OFB = 3 };
    enum PADDING { PADDING_NONE = 0 };

    virtual ~CSE() = default;

    virtual bool SetKey(const CSK* key) = 0;

    // Buffer forms: the position forms at position 0.
    virtual bool Encrypt(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv, size_t ivLen,
                         FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) = 0;
    virtual bool Decrypt(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv, size_t ivLen,
                         FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) = 0;
    virtual bool EncryptInit(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                             size_t ivLen, FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) = 0;
    virtual bool DecryptInit(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                             size_t ivLen, FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) = 0;
    virtual bool EncryptUpdate(uint8_t* data, size_t len) = 0;
    virtual bool DecryptUpdate(uint8_t* data, size_t len) = 0;
    virtual bool EncryptFinal(uint8_t* data, size_t len) = 0;
    virtual bool DecryptFinal(uint8_t* data, size_t len) = 0;

    // Position forms: data[0..len) lies at byte position `pos` of its file.
    // In place and size-preserving; a range decrypts only with the same
    // boundaries it was encrypted with.
    virtual bool Encrypt(uint64_t pos, uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                         size_t ivLen, FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) = 0;
    virtual bool Decrypt(uint64_t pos, uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                         size_t ivLen, FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) = 0;
    virtual bool EncryptInit(uint64_t pos, uint8_t* data, size_t len, const CSK* key,
                             const uint8_t* iv, size_t ivLen, FBM fbm = FBM_CBC,
                             PADDING padding = PADDING_NONE) = 0;
    virtual bool DecryptInit(uint64_t pos, uint8_t* data, size_t len, const CSK* key,
                             const uint8_t* iv, size_t ivLen, FBM fbm = FBM_CBC,
                             PADDING padding = PADDING_NONE) = 0;
    virtual bool EncryptUpdate(uint64_t pos, uint8_t* data, size_t len) = 0;
    virtual bool DecryptUpdate(uint64_t pos, uint8_t* data, size_t len) = 0;
    virtual bool EncryptFinal(uint64_t pos, uint8_t* data, size_t len) = 0;
    virtual bool DecryptFinal(uint64_t pos, uint8_t* data, size_t len) = 0;

    virtual SE_ID GetID() const = 0;
};

}  // namespace poi_crypto_api

#pragma once

#include <cstddef>
#include <cstdint>

#include "Crypto/CryptoObject.h"
#include "Crypto/SymetricKey.h"

namespace poi {

// Which key schedules loadKey builds.
enum KEY_USE_ENUM { KEY_USE_ENCRYPT = 0, KEY_USE_DECRYPT = 1, KEY_USE_BOTH = 2 };

// Only "none" exists: the ciphers never add or remove bytes.
enum PADDING_ENUM { PADDING_NONE = 0 };

// Modes of operation of SymetricCipher::encrypt/decrypt.
enum CIPHER_MODE_ENUM { MODE_ECB = 0, MODE_CBC = 1, MODE_CFB8 = 5 };

// Cipher kinds, one numbering for all block ciphers.
enum CIPHER_KIND_ENUM {
    KIND_TDES3 = 2,   // Triple-DES EDE, three keys, 24 bytes
    KIND_DES = 3,     // DES, 8 bytes
    KIND_AES128 = 4,  // 16 bytes
    KIND_AES192 = 5,  // 24 bytes
    KIND_AES256 = 6,  // 32 bytes
    KIND_IDEA = 10,   // 16 bytes
    KIND_TDES2 = 11,  // Triple-DES EDE, K1 K2 K1, 16 bytes
};

// Key bytes a kind needs; 0 for an unknown kind.
size_t KindKeyLength(int kind);

// Base of the block ciphers: holds kind, block length, mode and chaining IV
// and runs ECB, CBC and CFB-8 over the subclass's single-block operations.
class SymetricCipher : public CryptoObject {
  public:
    ~SymetricCipher() override;
    SymetricCipher(const SymetricCipher&) = delete;
    SymetricCipher& operator=(const SymetricCipher&) = delete;

    virtual bool loadKey(const SymetricKey& key, KEY_USE_ENUM use) = 0;
    // One block in place; false when len is shorter than the block or the
    // schedule for that direction is not loaded.
    virtual bool blockEncrypt(uint8_t* block, size_t len) = 0;
    virtual bool blockDecrypt(uint8_t* block, size_t len) = 0;

    // In place under the current mode. iv (when given) must be at least one
    // block long; without it the IV is zero. ECB and CBC need a whole number
    // of blocks. outLen receives len.
    bool encrypt(uint8_t* data, size_t len, size_t& outLen, const uint8_t* iv, size_t ivLen,
                 PADDING_ENUM padding = PADDING_NONE);
    // As encrypt, but outLen gives on entry the number of bytes to decrypt
    // (at most len) and holds it on return.
    bool decrypt(uint8_t* data, size_t len, size_t& outLen, const uint8_t* iv, size_t ivLen,
                 PADDING_ENUM padding = PADDING_NONE);

    int kind() const { return m_kind; }
    int mode() const { return m_mode; }
    void setMode(int mode) { m_mode = mode; }
    size_t blockLength() const { return m_blockLen; }
    // The chaining value left by the last call (first blockLength() bytes).
    const uint8_t* iv() const { return m_iv; }
    bool isKeyLoaded() const { return m_keyLoaded; }

  protected:
    SymetricCipher(int kind, size_t blockLen);

    // Bulk steps over whole blocks; the IV runs through m_iv. Subclasses with
    // faster multi-block code override them.
    virtual bool ecbEncryptBlocks(uint8_t* data, size_t len);
    virtual bool ecbDecryptBlocks(uint8_t* data, size_t len);
    virtual bool cbcEncryptBlocks(uint8_t* data, size_t len);
    virtual bool cbcDecryptBlocks(uint8_t* data, size_t len);

    const int m_kind;
    int m_mode = MODE_CBC;
    const size_t m_blockLen;
    int m_padding = PADDING_NONE;
    size_t m_ivLen;
    uint8_t m_iv[32] = {};
    KEY_USE_ENUM m_keyUse = KEY_USE_BOTH;
    bool m_keyLoaded = false;

  private:
    bool run(bool forward, uint8_t* data, size_t len, const uint8_t* iv, size_t ivLen);
    bool cfb8(bool forward, uint8_t* data, size_t len);
};

}  // namespace poi

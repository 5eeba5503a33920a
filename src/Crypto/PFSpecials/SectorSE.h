#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Crypto/CryptoApi.h"
#include "Crypto/SymetricCipher.h"
#include "Crypto/SymetricKey.h"

namespace poi {
class AesCipher;
}

namespace poi_crypto_api {

// Key object of the sector engines: an owned copy of the key bytes.
class CSectorSK : public CSK {
  public:
    CSectorSK();
    ~CSectorSK() override;

    void Clear() override;
    size_t GetLength() const override { return 8 * GetByteLength(); }
    size_t GetByteLength() const override;
    bool Import(const uint8_t* src, size_t len) override;
    bool Export(uint8_t* dst, size_t len) const override;

  private:
    std::unique_ptr<poi::SymetricKey> m_pSK;
};

// Sector encryption: data is encrypted in place by its byte position in
// 512-byte CBC sectors whose IV comes from the position.
class CSectorSE : public CSE {
  public:
    // Takes ownership of the cipher; null makes an engine that refuses
    // everything (ids 8 to 12).
    CSectorSE(SE_ID id, std::unique_ptr<poi::SymetricCipher> cipher);
    ~CSectorSE() override;

    // Keys of at most 32 bytes; id 1 uses the first 8 bytes, id 2 doubles an
    // 8-byte key into K K.
    bool SetKey(const CSK* key) override;

    bool Encrypt(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv, size_t ivLen,
                 FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) override;
    bool Decrypt(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv, size_t ivLen,
                 FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) override;
    bool EncryptInit(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv, size_t ivLen,
                     FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) override;
    bool DecryptInit(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv, size_t ivLen,
                     FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) override;
    bool EncryptUpdate(uint8_t* data, size_t len) override;
    bool DecryptUpdate(uint8_t* data, size_t len) override;
    bool EncryptFinal(uint8_t* data, size_t len) override;
    bool DecryptFinal(uint8_t* data, size_t len) override;

    bool Encrypt(uint64_t pos, uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                 size_t ivLen, FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) override;
    bool Decrypt(uint64_t pos, uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                 size_t ivLen, FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) override;
    bool EncryptInit(uint64_t pos, uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                     size_t ivLen, FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) override;
    bool DecryptInit(uint64_t pos, uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                     size_t ivLen, FBM fbm = FBM_CBC, PADDING padding = PADDING_NONE) override;
    bool EncryptUpdate(uint64_t pos, uint8_t* data, size_t len) override;
    bool DecryptUpdate(uint64_t pos, uint8_t* data, size_t len) override;
    bool EncryptFinal(uint64_t pos, uint8_t* data, size_t len) override;
    bool DecryptFinal(uint64_t pos, uint8_t* data, size_t len) override;

    SE_ID GetID() const override { return m_id; }

    // Exchanges the two bytes of every 16-bit word; false (nothing changed)
    // for an odd length.
    static bool wordSwap(uint8_t* buf, size_t len);

  private:
    bool walk(bool forward, uint64_t pos, uint8_t* data, size_t len, const CSK* key,
              const uint8_t* iv, size_t ivLen);
    bool cbcStep(bool forward, uint8_t* data, size_t len, const uint8_t* ivBlock);
    bool sectorSteps(bool forward, uint64_t pos, uint8_t* data, size_t sectors);
    bool tailStep(bool forward, uint64_t pos, uint8_t* data, size_t len);

    SE_ID m_id;
    std::unique_ptr<poi::SymetricCipher> m_pSE;
    // m_pSE as AES, for the multi-sector fast path; null for other ciphers.
    poi::AesCipher* m_aes = nullptr;
};

}  // namespace poi_crypto_api

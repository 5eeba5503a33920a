#pragma once

#include <cstddef>
#include <cstdint>

#include "Crypto/SymetricCipher.h"

namespace poi {

// Code paths of AesCipher, slowest first. All give the same bytes.
enum AES_PATH_ENUM {
    AES_PATH_PORTABLE = 0,  // 32-bit tables
    AES_PATH_AESNI = 1,     // AES-NI, eight blocks at a time where chains allow
    AES_PATH_VAES = 2,      // as AES-NI, with two blocks per 256-bit register
};

// AES (kinds 4, 5, 6) as a 16-byte block cipher, on the fastest path the CPU
// offers.
class AesCipher : public SymetricCipher {
  public:
    explicit AesCipher(int kind);
    ~AesCipher() override;

    bool loadKey(const SymetricKey& key, KEY_USE_ENUM use) override;
    bool blockEncrypt(uint8_t* block, size_t len) override;
    bool blockDecrypt(uint8_t* block, size_t len) override;

    // Independent CBC encryption of `streams` consecutive runs of streamLen
    // bytes each (a multiple of 16), run i starting from ivs[16*i..]. With
    // AES-NI several runs go through the rounds at once, which a single CBC
    // chain cannot do.
    bool cbcEncryptStreams(uint8_t* data, size_t streams, size_t streamLen, const uint8_t* ivs);
    // The inverse of cbcEncryptStreams, in one call.
    bool cbcDecryptStreams(uint8_t* data, size_t streams, size_t streamLen, const uint8_t* ivs);

    // FIPS 197 key expansion into big-endian round-key words; returns the
    // number of rounds (10, 12, 14), or 0 for an unsupported key size.
    static int rijndaelKeySetupEnc(uint32_t rk[60], const uint8_t* key, int keyBits);

    // The fastest path this CPU offers.
    static int bestPath();
    // Caps the path of ciphers keyed from now on (tests use it to run every
    // path); returns the previous cap.
    static int setPathLimit(int limit);
    static const char* pathName(int path);
    // The path this cipher runs on, as keyed.
    int path() const { return m_path; }
    int rounds() const { return m_rounds; }

  protected:
    bool ecbEncryptBlocks(uint8_t* data, size_t len) override;
    bool ecbDecryptBlocks(uint8_t* data, size_t len) override;
    bool cbcEncryptBlocks(uint8_t* data, size_t len) override;
    bool cbcDecryptBlocks(uint8_t* data, size_t len) override;

  private:
    void wipe();
    bool canEncrypt() const { return m_keyLoaded && m_keyUse != KEY_USE_DECRYPT; }
    bool canDecrypt() const { return m_keyLoaded && m_keyUse != KEY_USE_ENCRYPT; }

    uint32_t m_ek[60] = {};
    uint32_t m_dk[60] = {};
    int m_rounds = 0;
    int m_path = AES_PATH_PORTABLE;
    // The same schedules as bytes, in the layout AES-NI loads.
    alignas(16) uint8_t m_ekHw[15 * 16] = {};
    alignas(16) uint8_t m_dkHw[15 * 16] = {};
};

}  // namespace poi

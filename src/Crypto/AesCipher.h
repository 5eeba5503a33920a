#pragma once

#include <cstddef>
#include <cstdint>

#include "Crypto/SymetricCipher.h"

namespace poi {

// AES (kinds 4, 5, 6) as a 16-byte block cipher. Uses AES-NI when the CPU
// has it; the portable table code gives the same bytes.
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

    // FIPS 197 key expansion into big-endian round-key words; returns the
    // number of rounds (10, 12, 14), or 0 for an unsupported key size.
    static int rijndaelKeySetupEnc(uint32_t rk[60], const uint8_t* key, int keyBits);

    // Whether the CPU offers AES-NI.
    static bool hardwareAvailable();
    // Allows or forbids AES-NI for ciphers keyed from now on (tests use it to
    // run both paths); returns the previous setting.
    static bool setHardwareAllowed(bool allowed);
    // Whether this cipher, as keyed, runs on AES-NI.
    bool usesHardware() const { return m_useHw; }
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
    bool m_useHw = false;
    // The same schedules as bytes, in the layout AES-NI loads.
    alignas(16) uint8_t m_ekHw[15 * 16] = {};
    alignas(16) uint8_t m_dkHw[15 * 16] = {};
};

}  // namespace poi

#pragma once

#include <cstddef>
#include <cstdint>

#include "Crypto/SymetricCipher.h"

namespace poi {

// DES (kind 3) and Triple-DES in EDE form with three keys (kind 2) or two
// keys K1 K2 K1 (kind 11); 8-byte blocks.
class DesCipher : public SymetricCipher {
  public:
    explicit DesCipher(int kind);
    ~DesCipher() override;

    // Fixes every byte to odd parity and refuses weak and semi-weak parts.
    bool loadKey(const SymetricKey& key, KEY_USE_ENUM use) override;
    bool blockEncrypt(uint8_t* block, size_t len) override;
    bool blockDecrypt(uint8_t* block, size_t len) override;

    // A DES key schedule: 16 rounds of eight 6-bit subkey groups, four per word.
    using Schedule = uint32_t[32];
    static void _dea_ekey(const uint8_t key[8], Schedule schedule);
    static void _dea_dkey(const uint8_t key[8], Schedule schedule);
    static void _dea_core(uint8_t out[8], const uint8_t in[8], const Schedule schedule);

    // Whether the 8 bytes (odd parity form) are one of the 16 weak or
    // semi-weak DES keys.
    static bool isWeakKey(const uint8_t key[8]);

  private:
    void wipe();

    // Encryption side: K1 enc, K2 dec, K3 enc; decryption side: K1 dec,
    // K2 enc, K3 dec.
    Schedule m_schedule[6] = {};
};

}  // namespace poi

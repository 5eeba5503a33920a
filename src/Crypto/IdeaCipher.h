#pragma once

#include <cstddef>
#include <cstdint>

#include "Crypto/SymetricCipher.h"

namespace poi {

// IDEA (kind 10): 8-byte blocks, 16-byte key, 8.5 rounds.
class IdeaCipher : public SymetricCipher {
  public:
    IdeaCipher();
    ~IdeaCipher() override;

    bool loadKey(const SymetricKey& key, KEY_USE_ENUM use) override;
    bool blockEncrypt(uint8_t* block, size_t len) override;
    bool blockDecrypt(uint8_t* block, size_t len) override;

    using Subkeys = uint32_t[52];
    static void _idea_ekey(const uint8_t key[16], Subkeys subkeys);
    static void _idea_dkey(const Subkeys encrypt, Subkeys decrypt);
    static void _idea_core(uint8_t out[8], const uint8_t in[8], const Subkeys subkeys);

  private:
    void wipe();

    Subkeys m_ek = {};
    Subkeys m_dk = {};
};

}  // namespace poi

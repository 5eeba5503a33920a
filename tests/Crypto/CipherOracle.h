#pragma once

// Test oracles for the block ciphers: OpenSSL EVP for AES and DES, libgcrypt
// for IDEA (Debian's OpenSSL has none). Only tests link these libraries.

#include <cstdint>
#include <string>
#include <vector>

namespace cipheroracle {

using Bytes = std::vector<uint8_t>;

Bytes unhex(const std::string& hex);
std::string hex(const Bytes& bytes);
// Deterministic pseudo-random bytes for a seed.
Bytes randomBytes(size_t len, uint32_t seed);

// Mode numbers as the ciphers use them.
enum Mode { ECB = 0, CBC = 1, CFB8 = 5 };

// Runs the oracle over data for a cipher kind (2, 3, 4, 5, 6, 10, 11) and
// key (exactly the kind's key length). Kind 11 runs as three-key EDE with
// K1 K2 K1. Returns an empty vector when the oracle refuses.
Bytes crypt(int kind, Mode mode, bool encrypt, const Bytes& key, const Bytes& iv,
            const Bytes& data);

// One block in ECB.
inline Bytes blockEncrypt(int kind, const Bytes& key, const Bytes& block) {
    return crypt(kind, ECB, true, key, {}, block);
}

}  // namespace cipheroracle

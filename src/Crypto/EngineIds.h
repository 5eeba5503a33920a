#pragma once

// Numberings of the sector-encryption engines, shared by the crypto library
// and the folder engine.

#include <cstddef>
#include <cstdint>

namespace poi_crypto_api {

// Engine ids. Stored folders name their engine by these values.
enum SE_ID : uint32_t {
    SE_NONE = 0,
    SE_DES = 1,      // DES
    SE_TDES2 = 2,    // two-key Triple-DES (EDE, K1 K2 K1)
    SE_IDEA_LE = 3,  // IDEA over little-endian 16-bit words
    SE_IDEA = 4,     // IDEA
    SE_AES128 = 5,
    SE_AES192 = 6,
    SE_AES256 = 7,
    SE_RESERVED8 = 8,  // 8 to 12: engines without a cipher
    SE_RESERVED9 = 9,
    SE_RESERVED10 = 10,
    SE_RESERVED11 = 11,
    SE_RESERVED12 = 12,
    SE_LAST = 13,
};

// The engines that encrypted folders use, in the order a login tries them.
inline constexpr SE_ID g_EncryptAlgos[] = {SE_AES256, SE_TDES2, SE_IDEA_LE};
inline constexpr size_t g_EncryptAlgosCount = sizeof g_EncryptAlgos / sizeof g_EncryptAlgos[0];

// Key bytes imported into a key object for engine id i + 1.
inline constexpr size_t g_SEKeyLength[12] = {8, 16, 16, 16, 16, 24, 32, 32, 32, 32, 32, 32};

// Key bytes for an engine id; 0 for ids without an engine (0, 13 and above).
constexpr size_t SEKeyLength(uint32_t id) {
    return id >= 1 && id <= 12 ? g_SEKeyLength[id - 1] : 0;
}

// Folder-key cipher ids, as stored with the folder key.
enum MOX_CIPHER_ID : uint32_t {
    MOX_CIPHER_AES256 = 1,
    MOX_CIPHER_TDES = 2,
    MOX_CIPHER_IDEA = 512,
};

// The engine that encrypts a folder with the given cipher id: 2 and 512 have
// their own, every other value means AES-256.
constexpr SE_ID SEForCipherId(uint32_t cipherId) {
    return cipherId == MOX_CIPHER_TDES   ? SE_TDES2
           : cipherId == MOX_CIPHER_IDEA ? SE_IDEA_LE
                                         : SE_AES256;
}

}  // namespace poi_crypto_api

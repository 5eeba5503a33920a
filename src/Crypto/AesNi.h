#pragma once

// AES-NI kernels behind AesCipher, and wider ones for CPUs that run AES
// rounds on 256-bit registers (VAES with AVX2). Round keys are (rounds + 1)
// 16-byte blocks; decryption keys are those of the equivalent inverse
// cipher. Only call a namespace's kernels when its available() is true.

#include <cstddef>
#include <cstdint>

namespace poi::aesni {

bool available();
void ecbEncrypt(const uint8_t* rk, int rounds, uint8_t* data, size_t blocks);
void ecbDecrypt(const uint8_t* rk, int rounds, uint8_t* data, size_t blocks);
void cbcEncrypt(const uint8_t* rk, int rounds, uint8_t* data, size_t blocks, uint8_t iv[16]);
void cbcDecrypt(const uint8_t* rk, int rounds, uint8_t* data, size_t blocks, uint8_t iv[16]);
// `streams` independent CBC chains of streamLen bytes, laid out one after the
// other, chain i starting from ivs + 16 * i.
void cbcEncryptStreams(const uint8_t* rk, int rounds, uint8_t* data, size_t streams,
                       size_t streamLen, const uint8_t* ivs);
void cbcDecryptStreams(const uint8_t* rk, int rounds, uint8_t* data, size_t streams,
                       size_t streamLen, const uint8_t* ivs);

}  // namespace poi::aesni

namespace poi::vaes {

// VAES and AVX2 (and AES-NI, which the kernels use for leftovers).
bool available();
void cbcDecrypt(const uint8_t* rk, int rounds, uint8_t* data, size_t blocks, uint8_t iv[16]);
void cbcEncryptStreams(const uint8_t* rk, int rounds, uint8_t* data, size_t streams,
                       size_t streamLen, const uint8_t* ivs);
void cbcDecryptStreams(const uint8_t* rk, int rounds, uint8_t* data, size_t streams,
                       size_t streamLen, const uint8_t* ivs);

}  // namespace poi::vaes

#pragma once

// AES-NI kernels behind AesCipher. Round keys are (rounds + 1) 16-byte
// blocks; decryption keys are those of the equivalent inverse cipher.
// Only call them when available() is true.

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

}  // namespace poi::aesni

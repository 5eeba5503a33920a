#pragma once
// RIPEMD-160 (ISO/IEC 10118-3) over a caller-owned context.
//
//   RMD160_CTX ctx;  RMD160Init(&ctx);  RMD160Update(&ctx, data, n);  RMD160Final(digest, &ctx);

#include <cstddef>
#include <cstdint>

constexpr size_t RMD160_DIGEST_LENGTH = 20;
constexpr size_t RMD160_BLOCK_LENGTH = 64;

struct RMD160_CTX {
    uint32_t state[5];
    uint64_t count;  // message length in bits
    unsigned char buffer[64];
};

void RMD160Init(RMD160_CTX* ctx);
void RMD160Update(RMD160_CTX* ctx, const unsigned char* data, size_t len);
void RMD160Transform(uint32_t state[5], const unsigned char block[64]);
// Writes the 20-byte digest and zeroes the context; a null digest only clears.
void RMD160Final(unsigned char* digest, RMD160_CTX* ctx);
void RMD160(unsigned char* digest, const unsigned char* data, size_t len);

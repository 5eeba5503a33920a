#pragma once
// Whirlpool (ISO/IEC 10118-3, the final version with the structured S-box and
// the circ(1, 1, 4, 1, 8, 5, 2, 9) diffusion matrix) over a caller-owned
// context. Data is added by bit count.
//
//   WHIRLPOOL_CTX ctx;  WHIRLPOOL_init(&ctx);  WHIRLPOOL_add(data, 8 * n, &ctx);
//   WHIRLPOOL_finalize(&ctx, digest);

#include <cstddef>
#include <cstdint>

constexpr size_t WHIRLPOOL_DIGEST_SIZE = 64;
constexpr size_t WHIRLPOOL_BLOCK_SIZE = 64;

struct WHIRLPOOL_CTX {
    unsigned char bitLength[32];  // message length in bits, big-endian
    unsigned char buffer[64];
    int bufferBits;  // bits held in buffer
    int bufferPos;   // byte that receives the next bits
    uint64_t hash[8];
};

void WHIRLPOOL_init(WHIRLPOOL_CTX* ctx);
// Adds the sourceBits bits of source; when sourceBits is not a multiple of 8
// the bits of the first byte are its low ones (the stream is right-aligned).
void WHIRLPOOL_add(const unsigned char* source, unsigned long sourceBits, WHIRLPOOL_CTX* ctx);
// Compresses the full block in ctx->buffer into the chaining words.
void processBuffer(WHIRLPOOL_CTX* ctx);
void WHIRLPOOL_finalize(WHIRLPOOL_CTX* ctx, unsigned char* digest);
void WHIRLPOOL(unsigned char* digest, const unsigned char* data, size_t len);

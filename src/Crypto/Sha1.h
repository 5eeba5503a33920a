#pragma once
// SHA-1 (FIPS 180) over a caller-owned context.
//
//   sha1_ctx ctx;  sha1_begin(&ctx);  sha1_hash(data, n, &ctx);  sha1_end(digest, &ctx);

#include <cstddef>
#include <cstdint>

constexpr size_t SHA1_DIGEST_SIZE = 20;
constexpr size_t SHA1_BLOCK_SIZE = 64;

struct sha1_ctx {
    uint32_t count[2];  // message length in bytes: low, high
    uint32_t hash[5];
    uint32_t wbuf[16];  // the block being filled, big-endian words
};

void sha1_begin(sha1_ctx* ctx);
void sha1_hash(const unsigned char* data, size_t len, sha1_ctx* ctx);
// Compresses the full block in ctx->wbuf into the chaining words.
void sha1_compile(sha1_ctx* ctx);
// Writes the 20-byte digest; the context must be begun again before reuse.
void sha1_end(unsigned char* hval, sha1_ctx* ctx);
void sha1(unsigned char* hval, const unsigned char* data, size_t len);

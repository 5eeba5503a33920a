#include "Crypto/Sha1.h"

#include <cstring>

namespace {

inline uint32_t rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// Byte i of the block, counting from the most significant byte of wbuf[0].
inline void putByte(sha1_ctx* ctx, size_t i, unsigned char b) {
    uint32_t& w = ctx->wbuf[i >> 2];
    int shift = 8 * (3 - static_cast<int>(i & 3));
    w = (w & ~(0xFFu << shift)) | (static_cast<uint32_t>(b) << shift);
}

}  // namespace

void sha1_begin(sha1_ctx* ctx) {
    ctx->count[0] = ctx->count[1] = 0;
    ctx->hash[0] = 0x67452301;
    ctx->hash[1] = 0xEFCDAB89;
    ctx->hash[2] = 0x98BADCFE;
    ctx->hash[3] = 0x10325476;
    ctx->hash[4] = 0xC3D2E1F0;
    memset(ctx->wbuf, 0, sizeof ctx->wbuf);
}

void sha1_compile(sha1_ctx* ctx) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = ctx->wbuf[i];
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

    uint32_t a = ctx->hash[0], b = ctx->hash[1], c = ctx->hash[2], d = ctx->hash[3],
             e = ctx->hash[4];
#define SHA1_STEP(f, k, i)                              \
    do {                                                \
        uint32_t t = rotl(a, 5) + (f) + e + (k) + w[i]; \
        e = d;                                          \
        d = c;                                          \
        c = rotl(b, 30);                                \
        b = a;                                          \
        a = t;                                          \
    } while (0)
    for (int i = 0; i < 20; ++i) SHA1_STEP((b & c) | (~b & d), 0x5A827999u, i);
    for (int i = 20; i < 40; ++i) SHA1_STEP(b ^ c ^ d, 0x6ED9EBA1u, i);
    for (int i = 40; i < 60; ++i) SHA1_STEP((b & c) | (b & d) | (c & d), 0x8F1BBCDCu, i);
    for (int i = 60; i < 80; ++i) SHA1_STEP(b ^ c ^ d, 0xCA62C1D6u, i);
#undef SHA1_STEP
    ctx->hash[0] += a;
    ctx->hash[1] += b;
    ctx->hash[2] += c;
    ctx->hash[3] += d;
    ctx->hash[4] += e;
}

void sha1_hash(const unsigned char* data, size_t len, sha1_ctx* ctx) {
    size_t pos = ctx->count[0] & (SHA1_BLOCK_SIZE - 1);
    uint64_t total = ((static_cast<uint64_t>(ctx->count[1]) << 32) | ctx->count[0]) + len;
    ctx->count[0] = static_cast<uint32_t>(total);
    ctx->count[1] = static_cast<uint32_t>(total >> 32);

    while (len > 0) {
        if (pos == 0 && len >= SHA1_BLOCK_SIZE) {
            for (int i = 0; i < 16; ++i, data += 4)
                ctx->wbuf[i] = (uint32_t(data[0]) << 24) | (uint32_t(data[1]) << 16) |
                               (uint32_t(data[2]) << 8) | data[3];
            len -= SHA1_BLOCK_SIZE;
            sha1_compile(ctx);
            continue;
        }
        putByte(ctx, pos++, *data++);
        --len;
        if (pos == SHA1_BLOCK_SIZE) {
            sha1_compile(ctx);
            pos = 0;
        }
    }
}

void sha1_end(unsigned char* hval, sha1_ctx* ctx) {
    uint64_t bits = ((static_cast<uint64_t>(ctx->count[1]) << 32) | ctx->count[0]) << 3;
    size_t pos = ctx->count[0] & (SHA1_BLOCK_SIZE - 1);
    putByte(ctx, pos++, 0x80);
    if (pos > SHA1_BLOCK_SIZE - 8) {
        while (pos < SHA1_BLOCK_SIZE) putByte(ctx, pos++, 0);
        sha1_compile(ctx);
        pos = 0;
    }
    while (pos < SHA1_BLOCK_SIZE - 8) putByte(ctx, pos++, 0);
    ctx->wbuf[14] = static_cast<uint32_t>(bits >> 32);
    ctx->wbuf[15] = static_cast<uint32_t>(bits);
    sha1_compile(ctx);
    for (int i = 0; i < 20; ++i)
        hval[i] = static_cast<unsigned char>(ctx->hash[i >> 2] >> (8 * (3 - (i & 3))));
}

void sha1(unsigned char* hval, const unsigned char* data, size_t len) {
    sha1_ctx ctx;
    sha1_begin(&ctx);
    sha1_hash(data, len, &ctx);
    sha1_end(hval, &ctx);
    explicit_bzero(&ctx, sizeof ctx);
}

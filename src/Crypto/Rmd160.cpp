#include "Crypto/Rmd160.h"

#include <cstring>

namespace {

inline uint32_t rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// Message word order and rotations of the left and right lines, five rounds of 16.
constexpr uint8_t kRL[80] = {0, 1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14, 15,
                             7, 4,  13, 1,  10, 6,  15, 3,  12, 0, 9,  5,  2,  14, 11, 8,
                             3, 10, 14, 4,  9,  15, 8,  1,  2,  7, 0,  6,  13, 11, 5,  12,
                             1, 9,  11, 10, 0,  8,  12, 4,  13, 3, 7,  15, 14, 5,  6,  2,
                             4, 0,  5,  9,  7,  12, 2,  10, 14, 1, 3,  8,  11, 6,  15, 13};
constexpr uint8_t kRR[80] = {5,  14, 7,  0, 9, 2,  11, 4,  13, 6,  15, 8,  1,  10, 3,  12,
                             6,  11, 3,  7, 0, 13, 5,  10, 14, 15, 8,  12, 4,  9,  1,  2,
                             15, 5,  1,  3, 7, 14, 6,  9,  11, 8,  12, 2,  10, 0,  4,  13,
                             8,  6,  4,  1, 3, 11, 15, 0,  5,  12, 2,  13, 9,  7,  10, 14,
                             12, 15, 10, 4, 1, 5,  8,  7,  6,  2,  13, 14, 0,  3,  9,  11};
constexpr uint8_t kSL[80] = {11, 14, 15, 12, 5,  8,  7,  9,  11, 13, 14, 15, 6,  7,  9,  8,
                             7,  6,  8,  13, 11, 9,  7,  15, 7,  12, 15, 9,  11, 7,  13, 12,
                             11, 13, 6,  7,  14, 9,  13, 15, 14, 8,  13, 6,  5,  12, 7,  5,
                             11, 12, 14, 15, 14, 15, 9,  8,  9,  14, 5,  6,  8,  6,  5,  12,
                             9,  15, 5,  11, 6,  8,  13, 12, 5,  12, 13, 14, 11, 8,  5,  6};
constexpr uint8_t kSR[80] = {8,  9,  9,  11, 13, 15, 15, 5,  7,  7,  8,  11, 14, 14, 12, 6,
                             9,  13, 15, 7,  12, 8,  9,  11, 7,  7,  12, 7,  6,  15, 13, 11,
                             9,  7,  15, 11, 8,  6,  6,  14, 12, 13, 5,  14, 13, 13, 7,  5,
                             15, 5,  8,  11, 14, 14, 6,  14, 6,  9,  12, 9,  12, 5,  15, 8,
                             8,  5,  12, 9,  12, 5,  14, 6,  8,  13, 6,  5,  15, 13, 11, 11};
constexpr uint32_t kKL[5] = {0x00000000, 0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xA953FD4E};
constexpr uint32_t kKR[5] = {0x50A28BE6, 0x5C4DD124, 0x6D703EF3, 0x7A6D76E9, 0x00000000};

inline uint32_t f(int j, uint32_t x, uint32_t y, uint32_t z) {
    switch (j) {
        case 0:
            return x ^ y ^ z;
        case 1:
            return (x & y) | (~x & z);
        case 2:
            return (x | ~y) ^ z;
        case 3:
            return (x & z) | (y & ~z);
        default:
            return x ^ (y | ~z);
    }
}

}  // namespace

void RMD160Init(RMD160_CTX* ctx) {
    ctx->count = 0;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xC3D2E1F0;
    memset(ctx->buffer, 0, sizeof ctx->buffer);
}

void RMD160Transform(uint32_t state[5], const unsigned char block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = uint32_t(block[4 * i]) | (uint32_t(block[4 * i + 1]) << 8) |
               (uint32_t(block[4 * i + 2]) << 16) | (uint32_t(block[4 * i + 3]) << 24);

    uint32_t al = state[0], bl = state[1], cl = state[2], dl = state[3], el = state[4];
    uint32_t ar = al, br = bl, cr = cl, dr = dl, er = el;
    for (int i = 0; i < 80; ++i) {
        int round = i / 16;
        uint32_t t = rotl(al + f(round, bl, cl, dl) + x[kRL[i]] + kKL[round], kSL[i]) + el;
        al = el;
        el = dl;
        dl = rotl(cl, 10);
        cl = bl;
        bl = t;
        t = rotl(ar + f(4 - round, br, cr, dr) + x[kRR[i]] + kKR[round], kSR[i]) + er;
        ar = er;
        er = dr;
        dr = rotl(cr, 10);
        cr = br;
        br = t;
    }
    uint32_t t = state[1] + cl + dr;
    state[1] = state[2] + dl + er;
    state[2] = state[3] + el + ar;
    state[3] = state[4] + al + br;
    state[4] = state[0] + bl + cr;
    state[0] = t;
}

void RMD160Update(RMD160_CTX* ctx, const unsigned char* data, size_t len) {
    size_t have = (ctx->count >> 3) & 63;
    ctx->count += static_cast<uint64_t>(len) << 3;
    if (have && have + len >= 64) {
        size_t need = 64 - have;
        memcpy(ctx->buffer + have, data, need);
        RMD160Transform(ctx->state, ctx->buffer);
        data += need;
        len -= need;
        have = 0;
    }
    for (; len >= 64; data += 64, len -= 64) RMD160Transform(ctx->state, data);
    if (len) memcpy(ctx->buffer + have, data, len);
}

void RMD160Final(unsigned char* digest, RMD160_CTX* ctx) {
    if (digest) {
        uint64_t bits = ctx->count;
        unsigned char tail[72] = {0x80};
        size_t have = (bits >> 3) & 63;
        size_t padLen = (have < 56 ? 56 : 120) - have;
        for (int i = 0; i < 8; ++i) tail[padLen + i] = static_cast<unsigned char>(bits >> (8 * i));
        RMD160Update(ctx, tail, padLen + 8);
        for (int i = 0; i < 20; ++i)
            digest[i] = static_cast<unsigned char>(ctx->state[i >> 2] >> (8 * (i & 3)));
    }
    explicit_bzero(ctx, sizeof *ctx);
}

void RMD160(unsigned char* digest, const unsigned char* data, size_t len) {
    RMD160_CTX ctx;
    RMD160Init(&ctx);
    RMD160Update(&ctx, data, len);
    RMD160Final(digest, &ctx);
}

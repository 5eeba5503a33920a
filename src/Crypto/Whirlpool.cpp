#include "Crypto/Whirlpool.h"

#include <array>
#include <cstring>

namespace {

constexpr int kRounds = 10;

// The S-box is built from the 4-bit mini-boxes E, E^-1 and R.
constexpr std::array<uint8_t, 256> makeSbox() {
    constexpr uint8_t E[16] = {0x1, 0xB, 0x9, 0xC, 0xD, 0x6, 0xF, 0x3,
                               0xE, 0x8, 0x7, 0x4, 0xA, 0x2, 0x5, 0x0};
    constexpr uint8_t R[16] = {0x7, 0xC, 0xB, 0xD, 0xE, 0x4, 0x9, 0xF,
                               0x6, 0x3, 0x8, 0xA, 0x2, 0x5, 0x1, 0x0};
    uint8_t Einv[16] = {};
    for (int i = 0; i < 16; ++i) Einv[E[i]] = static_cast<uint8_t>(i);
    std::array<uint8_t, 256> s{};
    for (int u = 0; u < 256; ++u) {
        uint8_t a = E[u >> 4], b = Einv[u & 15];
        uint8_t r = R[a ^ b];
        s[u] = static_cast<uint8_t>((E[a ^ r] << 4) | Einv[b ^ r]);
    }
    return s;
}

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x^2 + 1.
constexpr uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t p = 0;
    while (b) {
        if (b & 1) p ^= a;
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1D : 0));
        b >>= 1;
    }
    return p;
}

struct Tables {
    uint64_t C[8][256];
    uint64_t rc[kRounds + 1];
};

constexpr Tables makeTables() {
    constexpr uint8_t row[8] = {1, 1, 4, 1, 8, 5, 2, 9};
    auto s = makeSbox();
    Tables t{};
    for (int x = 0; x < 256; ++x) {
        uint64_t v = 0;
        for (int j = 0; j < 8; ++j) v = (v << 8) | gmul(s[x], row[j]);
        for (int i = 0; i < 8; ++i) t.C[i][x] = i == 0 ? v : (v >> (8 * i)) | (v << (64 - 8 * i));
    }
    t.rc[0] = 0;
    for (int r = 1; r <= kRounds; ++r) {
        uint64_t v = 0;
        for (int j = 0; j < 8; ++j) v = (v << 8) | s[8 * (r - 1) + j];
        t.rc[r] = v;
    }
    return t;
}

constexpr Tables kT = makeTables();

inline uint64_t column(const uint64_t* in, int i) {
    return kT.C[0][in[i & 7] >> 56] ^ kT.C[1][(in[(i - 1) & 7] >> 48) & 0xFF] ^
           kT.C[2][(in[(i - 2) & 7] >> 40) & 0xFF] ^ kT.C[3][(in[(i - 3) & 7] >> 32) & 0xFF] ^
           kT.C[4][(in[(i - 4) & 7] >> 24) & 0xFF] ^ kT.C[5][(in[(i - 5) & 7] >> 16) & 0xFF] ^
           kT.C[6][(in[(i - 6) & 7] >> 8) & 0xFF] ^ kT.C[7][in[(i - 7) & 7] & 0xFF];
}

}  // namespace

void WHIRLPOOL_init(WHIRLPOOL_CTX* ctx) {
    memset(ctx->bitLength, 0, sizeof ctx->bitLength);
    ctx->bufferBits = ctx->bufferPos = 0;
    ctx->buffer[0] = 0;
    memset(ctx->hash, 0, sizeof ctx->hash);
}

void processBuffer(WHIRLPOOL_CTX* ctx) {
    uint64_t block[8], state[8], K[8], L[8];
    for (int i = 0; i < 8; ++i) {
        uint64_t v = 0;
        for (int j = 0; j < 8; ++j) v = (v << 8) | ctx->buffer[8 * i + j];
        block[i] = v;
        K[i] = ctx->hash[i];
        state[i] = v ^ K[i];
    }
    for (int r = 1; r <= kRounds; ++r) {
        for (int i = 0; i < 8; ++i) L[i] = column(K, i);
        L[0] ^= kT.rc[r];
        memcpy(K, L, sizeof K);
        for (int i = 0; i < 8; ++i) L[i] = column(state, i) ^ K[i];
        memcpy(state, L, sizeof state);
    }
    for (int i = 0; i < 8; ++i) ctx->hash[i] ^= state[i] ^ block[i];
    explicit_bzero(block, sizeof block);
    explicit_bzero(state, sizeof state);
    explicit_bzero(K, sizeof K);
    explicit_bzero(L, sizeof L);
}

void WHIRLPOOL_add(const unsigned char* source, unsigned long sourceBits, WHIRLPOOL_CTX* ctx) {
    // Tally the length: a 256-bit big-endian counter.
    uint64_t value = sourceBits;
    uint32_t carry = 0;
    for (int i = 31; i >= 0 && (carry != 0 || value != 0); --i) {
        carry += ctx->bitLength[i] + static_cast<uint32_t>(value & 0xFF);
        ctx->bitLength[i] = static_cast<unsigned char>(carry);
        carry >>= 8;
        value >>= 8;
    }

    unsigned char* buffer = ctx->buffer;
    int bufferBits = ctx->bufferBits;
    int bufferPos = ctx->bufferPos;

    if ((bufferBits & 7) == 0 && (sourceBits & 7) == 0) {
        // Whole bytes onto a byte boundary: the common case, block-wise.
        size_t len = sourceBits >> 3;
        while (len > 0) {
            size_t take = WHIRLPOOL_BLOCK_SIZE - static_cast<size_t>(bufferPos);
            if (take > len) take = len;
            memcpy(buffer + bufferPos, source, take);
            source += take;
            len -= take;
            bufferPos += static_cast<int>(take);
            if (bufferPos == static_cast<int>(WHIRLPOOL_BLOCK_SIZE)) {
                processBuffer(ctx);
                bufferPos = 0;
            }
        }
        // The byte that receives the next bits starts empty.
        if (bufferPos < static_cast<int>(WHIRLPOOL_BLOCK_SIZE)) buffer[bufferPos] = 0;
        ctx->bufferBits = 8 * bufferPos;
        ctx->bufferPos = bufferPos;
        return;
    }

    // General case, a byte at a time.
    int sourcePos = 0;
    int sourceGap = (8 - static_cast<int>(sourceBits & 7)) & 7;
    int bufferRem = bufferBits & 7;
    uint32_t b;
    while (sourceBits > 8) {
        b = ((source[sourcePos] << sourceGap) & 0xFF) |
            ((source[sourcePos + 1] & 0xFF) >> (8 - sourceGap));
        buffer[bufferPos++] |= static_cast<unsigned char>(b >> bufferRem);
        bufferBits += 8 - bufferRem;
        if (bufferBits == 8 * static_cast<int>(WHIRLPOOL_BLOCK_SIZE)) {
            processBuffer(ctx);
            bufferBits = bufferPos = 0;
        }
        buffer[bufferPos] = static_cast<unsigned char>(b << (8 - bufferRem));
        bufferBits += bufferRem;
        sourceBits -= 8;
        ++sourcePos;
    }
    if (sourceBits > 0) {
        b = (source[sourcePos] << sourceGap) & 0xFF;
        buffer[bufferPos] |= static_cast<unsigned char>(b >> bufferRem);
    } else {
        b = 0;
    }
    if (bufferRem + sourceBits < 8) {
        bufferBits += static_cast<int>(sourceBits);
    } else {
        ++bufferPos;
        bufferBits += 8 - bufferRem;
        sourceBits -= 8 - bufferRem;
        if (bufferBits == 8 * static_cast<int>(WHIRLPOOL_BLOCK_SIZE)) {
            processBuffer(ctx);
            bufferBits = bufferPos = 0;
        }
        buffer[bufferPos] = static_cast<unsigned char>(b << (8 - bufferRem));
        bufferBits += static_cast<int>(sourceBits);
    }
    ctx->bufferBits = bufferBits;
    ctx->bufferPos = bufferPos;
}

void WHIRLPOOL_finalize(WHIRLPOOL_CTX* ctx, unsigned char* digest) {
    constexpr int kLengthBytes = 32;
    constexpr int kBlock = static_cast<int>(WHIRLPOOL_BLOCK_SIZE);
    unsigned char* buffer = ctx->buffer;
    int bufferPos = ctx->bufferPos;
    buffer[bufferPos] |= static_cast<unsigned char>(0x80u >> (ctx->bufferBits & 7));
    ++bufferPos;
    if (bufferPos > kBlock - kLengthBytes) {
        if (bufferPos < kBlock) memset(buffer + bufferPos, 0, kBlock - bufferPos);
        processBuffer(ctx);
        bufferPos = 0;
    }
    if (bufferPos < kBlock - kLengthBytes)
        memset(buffer + bufferPos, 0, (kBlock - kLengthBytes) - bufferPos);
    memcpy(buffer + kBlock - kLengthBytes, ctx->bitLength, kLengthBytes);
    processBuffer(ctx);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            digest[8 * i + j] = static_cast<unsigned char>(ctx->hash[i] >> (56 - 8 * j));
    ctx->bufferBits = ctx->bufferPos = 0;
}

void WHIRLPOOL(unsigned char* digest, const unsigned char* data, size_t len) {
    WHIRLPOOL_CTX ctx;
    WHIRLPOOL_init(&ctx);
    WHIRLPOOL_add(data, 8 * static_cast<unsigned long>(len), &ctx);
    WHIRLPOOL_finalize(&ctx, digest);
    explicit_bzero(&ctx, sizeof ctx);
}

#include "Crypto/DesCipher.h"

#include <string.h>

#include <cstring>

namespace poi {

namespace {

// Tables of FIPS 46-3, bit positions counted from 1 at the most significant
// bit.
constexpr uint8_t IP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                            62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                            57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                            61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t P[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                           2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t PC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                             10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                             63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                             14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t PC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                             26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                             51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t SHIFTS[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t S[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

// The 16 weak and semi-weak keys, odd parity form.
constexpr uint8_t WEAK_KEYS[16][8] = {{0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01},
                                      {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE},
                                      {0xE0, 0xE0, 0xE0, 0xE0, 0xF1, 0xF1, 0xF1, 0xF1},
                                      {0x1F, 0x1F, 0x1F, 0x1F, 0x0E, 0x0E, 0x0E, 0x0E},
                                      {0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE},
                                      {0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01},
                                      {0x1F, 0xE0, 0x1F, 0xE0, 0x0E, 0xF1, 0x0E, 0xF1},
                                      {0xE0, 0x1F, 0xE0, 0x1F, 0xF1, 0x0E, 0xF1, 0x0E},
                                      {0x01, 0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1},
                                      {0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1, 0x01},
                                      {0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E, 0xFE},
                                      {0xFE, 0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E},
                                      {0x01, 0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E},
                                      {0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E, 0x01},
                                      {0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1, 0xFE},
                                      {0xFE, 0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1}};

// Output bit `pos` (1-based, of `outBits`) takes input bit table[pos - 1]
// (1-based, of `inBits`).
template <size_t N>
constexpr uint64_t permute(uint64_t in, int inBits, const uint8_t (&table)[N]) {
    uint64_t out = 0;
    for (size_t i = 0; i < N; ++i) {
        out = (out << 1) | ((in >> (inBits - table[i])) & 1);
    }
    return out;
}

struct Tables {
    uint8_t fp[64] = {};
    // S-box i with the P permutation applied, indexed by the 6-bit input.
    uint32_t sp[8][64] = {};
};

constexpr Tables makeTables() {
    Tables t;
    for (int i = 0; i < 64; ++i) {
        t.fp[IP[i] - 1] = uint8_t(i + 1);
    }
    for (int box = 0; box < 8; ++box) {
        for (int v = 0; v < 64; ++v) {
            const int row = ((v >> 4) & 2) | (v & 1);
            const int col = (v >> 1) & 15;
            const uint64_t raw = uint64_t(S[box][row * 16 + col]) << (28 - 4 * box);
            t.sp[box][v] = uint32_t(permute(raw, 32, P));
        }
    }
    return t;
}

constexpr Tables T = makeTables();

uint64_t load64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

void store64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = uint8_t(v);
        v >>= 8;
    }
}

uint32_t rotl(uint32_t x, int n) {
    return n ? (x << n) | (x >> (32 - n)) : x;
}

// The 16 round subkeys of an 8-byte key, each as eight 6-bit groups.
void subkeys(const uint8_t key[8], uint8_t groups[16][8]) {
    const uint64_t cd = permute(load64(key), 64, PC1);
    uint32_t c = uint32_t(cd >> 28) & 0x0FFFFFFF;
    uint32_t d = uint32_t(cd) & 0x0FFFFFFF;
    for (int round = 0; round < 16; ++round) {
        for (int s = 0; s < SHIFTS[round]; ++s) {
            c = ((c << 1) | (c >> 27)) & 0x0FFFFFFF;
            d = ((d << 1) | (d >> 27)) & 0x0FFFFFFF;
        }
        const uint64_t k = permute((uint64_t(c) << 28) | d, 56, PC2);
        for (int g = 0; g < 8; ++g) {
            groups[round][g] = uint8_t((k >> (42 - 6 * g)) & 0x3F);
        }
    }
}

void packRound(const uint8_t g[8], uint32_t* out) {
    out[0] = (uint32_t(g[0]) << 24) | (uint32_t(g[1]) << 16) | (uint32_t(g[2]) << 8) | g[3];
    out[1] = (uint32_t(g[4]) << 24) | (uint32_t(g[5]) << 16) | (uint32_t(g[6]) << 8) | g[7];
}

void setOddParity(uint8_t* key, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        const uint8_t high = key[i] & 0xFE;
        key[i] = uint8_t(high | (__builtin_parity(high) ? 0 : 1));
    }
}

}  // namespace

void DesCipher::_dea_ekey(const uint8_t key[8], Schedule schedule) {
    uint8_t groups[16][8];
    subkeys(key, groups);
    for (int r = 0; r < 16; ++r) {
        packRound(groups[r], schedule + 2 * r);
    }
    explicit_bzero(groups, sizeof groups);
}

void DesCipher::_dea_dkey(const uint8_t key[8], Schedule schedule) {
    uint8_t groups[16][8];
    subkeys(key, groups);
    for (int r = 0; r < 16; ++r) {
        packRound(groups[15 - r], schedule + 2 * r);
    }
    explicit_bzero(groups, sizeof groups);
}

void DesCipher::_dea_core(uint8_t out[8], const uint8_t in[8], const Schedule schedule) {
    const uint64_t ip = permute(load64(in), 64, IP);
    uint32_t l = uint32_t(ip >> 32);
    uint32_t r = uint32_t(ip);
    for (int round = 0; round < 16; ++round) {
        const uint32_t k0 = schedule[2 * round];
        const uint32_t k1 = schedule[2 * round + 1];
        // Expansion E: group g is input bits 4g .. 4g+5, wrapping around.
        uint32_t f = 0;
        for (int g = 0; g < 8; ++g) {
            const uint32_t e = rotl(r, (4 * g + 31) % 32) >> 26;
            const uint32_t k = ((g < 4 ? k0 : k1) >> (24 - 8 * (g % 4))) & 0x3F;
            f |= T.sp[g][e ^ k];
        }
        const uint32_t next = l ^ f;
        l = r;
        r = next;
    }
    store64(out, permute((uint64_t(r) << 32) | l, 64, T.fp));
}

bool DesCipher::isWeakKey(const uint8_t key[8]) {
    for (const auto& weak : WEAK_KEYS) {
        if (std::memcmp(key, weak, 8) == 0) {
            return true;
        }
    }
    return false;
}

DesCipher::DesCipher(int kind) : SymetricCipher(kind, 8) {}

DesCipher::~DesCipher() {
    wipe();
}

void DesCipher::wipe() {
    explicit_bzero(m_schedule, sizeof m_schedule);
    m_keyLoaded = false;
}

bool DesCipher::loadKey(const SymetricKey& key, KEY_USE_ENUM use) {
    wipe();
    if (m_kind != KIND_DES && m_kind != KIND_TDES2 && m_kind != KIND_TDES3) {
        return false;
    }
    if (!key.keyData() || use < 0 || use > KEY_USE_BOTH) {
        return false;
    }
    const size_t len = key.keyLength();
    // Work on a private copy: parity fixing must not change the caller's key.
    SymetricKey copy(key.keyData(), len);
    if (copy.keyLength() != len) {
        return false;
    }
    uint8_t* k = const_cast<uint8_t*>(copy.keyData());
    setOddParity(k, len);
    // Weak parts are looked for by key length, last part first.
    if (len == 8 || len == 16 || len == 24) {
        for (size_t part = len / 8; part-- > 0;) {
            if (isWeakKey(k + 8 * part)) {
                return false;
            }
        }
    }
    if (len < KindKeyLength(m_kind)) {
        return false;
    }
    m_keyUse = use;
    const uint8_t* k1 = k;
    const uint8_t* k2 = k + 8;
    const uint8_t* k3 = m_kind == KIND_TDES3 ? k + 16 : k;
    const bool triple = m_kind != KIND_DES;
    if (use != KEY_USE_DECRYPT) {
        _dea_ekey(k1, m_schedule[0]);
        if (triple) {
            _dea_dkey(k2, m_schedule[1]);
            _dea_ekey(k3, m_schedule[2]);
        }
    }
    if (use != KEY_USE_ENCRYPT) {
        _dea_dkey(k1, m_schedule[3]);
        if (triple) {
            _dea_ekey(k2, m_schedule[4]);
            _dea_dkey(k3, m_schedule[5]);
        }
    }
    m_keyLoaded = true;
    return true;
}

bool DesCipher::blockEncrypt(uint8_t* block, size_t len) {
    if (!block || len < 8 || !m_keyLoaded || m_keyUse == KEY_USE_DECRYPT) {
        return false;
    }
    _dea_core(block, block, m_schedule[0]);
    if (m_kind != KIND_DES) {
        _dea_core(block, block, m_schedule[1]);
        _dea_core(block, block, m_schedule[2]);
    }
    return true;
}

bool DesCipher::blockDecrypt(uint8_t* block, size_t len) {
    if (!block || len < 8 || !m_keyLoaded || m_keyUse == KEY_USE_ENCRYPT) {
        return false;
    }
    if (m_kind == KIND_DES) {
        _dea_core(block, block, m_schedule[3]);
    } else {
        _dea_core(block, block, m_schedule[5]);
        _dea_core(block, block, m_schedule[4]);
        _dea_core(block, block, m_schedule[3]);
    }
    return true;
}

}  // namespace poi

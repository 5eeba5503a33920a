#include "Crypto/IdeaCipher.h"

#include <string.h>

namespace poi {

namespace {

// Multiplication modulo 65537, where 0 stands for 65536.
inline uint32_t mul(uint32_t a, uint32_t b) {
    if (a == 0) {
        return (1 - b) & 0xFFFF;
    }
    if (b == 0) {
        return (1 - a) & 0xFFFF;
    }
    const uint32_t p = a * b;
    const uint32_t lo = p & 0xFFFF;
    const uint32_t hi = p >> 16;
    return (lo - hi + (lo < hi ? 1 : 0)) & 0xFFFF;
}

// Multiplicative inverse modulo 65537 (0 and 1 are their own inverses).
uint32_t mulInv(uint32_t x) {
    if (x <= 1) {
        return x;
    }
    int64_t t0 = 0, t1 = 1;
    int64_t r0 = 65537, r1 = x;
    while (r1 != 0) {
        const int64_t q = r0 / r1;
        int64_t tmp = r0 - q * r1;
        r0 = r1;
        r1 = tmp;
        tmp = t0 - q * t1;
        t0 = t1;
        t1 = tmp;
    }
    if (t0 < 0) {
        t0 += 65537;
    }
    return uint32_t(t0) & 0xFFFF;
}

inline uint32_t addInv(uint32_t x) {
    return (0x10000 - x) & 0xFFFF;
}

}  // namespace

void IdeaCipher::_idea_ekey(const uint8_t key[16], Subkeys subkeys) {
    for (int i = 0; i < 8; ++i) {
        subkeys[i] = (uint32_t(key[2 * i]) << 8) | key[2 * i + 1];
    }
    // Each further group of eight is the 128-bit key rotated left by 25 bits;
    // word i is built from words i-7 and i-6 of the group before.
    for (int i = 8; i < 52; ++i) {
        const uint32_t* z = subkeys + ((i - 8) & ~7);
        const int j = i & 7;
        subkeys[i] = ((z[(j + 1) & 7] << 9) | (z[(j + 2) & 7] >> 7)) & 0xFFFF;
    }
}

void IdeaCipher::_idea_dkey(const Subkeys ek, Subkeys dk) {
    // Round r of decryption undoes round 8 - r of encryption.
    for (int r = 0; r <= 8; ++r) {
        const int e = 6 * (8 - r);
        const bool outer = r == 0 || r == 8;
        dk[6 * r] = mulInv(ek[e]);
        dk[6 * r + 1] = addInv(ek[e + (outer ? 1 : 2)]);
        dk[6 * r + 2] = addInv(ek[e + (outer ? 2 : 1)]);
        dk[6 * r + 3] = mulInv(ek[e + 3]);
        if (r < 8) {
            dk[6 * r + 4] = ek[e - 2];
            dk[6 * r + 5] = ek[e - 1];
        }
    }
}

void IdeaCipher::_idea_core(uint8_t out[8], const uint8_t in[8], const Subkeys k) {
    uint32_t x1 = (uint32_t(in[0]) << 8) | in[1];
    uint32_t x2 = (uint32_t(in[2]) << 8) | in[3];
    uint32_t x3 = (uint32_t(in[4]) << 8) | in[5];
    uint32_t x4 = (uint32_t(in[6]) << 8) | in[7];
    for (int r = 0; r < 8; ++r, k += 6) {
        x1 = mul(x1, k[0]);
        x2 = (x2 + k[1]) & 0xFFFF;
        x3 = (x3 + k[2]) & 0xFFFF;
        x4 = mul(x4, k[3]);
        const uint32_t t0 = mul(x1 ^ x3, k[4]);
        const uint32_t t1 = mul((t0 + (x2 ^ x4)) & 0xFFFF, k[5]);
        const uint32_t t2 = (t0 + t1) & 0xFFFF;
        x1 ^= t1;
        x4 ^= t2;
        const uint32_t a = x2 ^ t2;
        x2 = x3 ^ t1;
        x3 = a;
    }
    const uint32_t y1 = mul(x1, k[0]);
    const uint32_t y2 = (x3 + k[1]) & 0xFFFF;
    const uint32_t y3 = (x2 + k[2]) & 0xFFFF;
    const uint32_t y4 = mul(x4, k[3]);
    out[0] = uint8_t(y1 >> 8);
    out[1] = uint8_t(y1);
    out[2] = uint8_t(y2 >> 8);
    out[3] = uint8_t(y2);
    out[4] = uint8_t(y3 >> 8);
    out[5] = uint8_t(y3);
    out[6] = uint8_t(y4 >> 8);
    out[7] = uint8_t(y4);
}

IdeaCipher::IdeaCipher() : SymetricCipher(KIND_IDEA, 8) {}

IdeaCipher::~IdeaCipher() {
    wipe();
}

void IdeaCipher::wipe() {
    explicit_bzero(m_ek, sizeof m_ek);
    explicit_bzero(m_dk, sizeof m_dk);
    m_keyLoaded = false;
}

bool IdeaCipher::loadKey(const SymetricKey& key, KEY_USE_ENUM use) {
    wipe();
    if (!key.keyData() || key.keyLength() < 16 || use < 0 || use > KEY_USE_BOTH) {
        return false;
    }
    m_keyUse = use;
    _idea_ekey(key.keyData(), m_ek);
    if (use != KEY_USE_ENCRYPT) {
        _idea_dkey(m_ek, m_dk);
    }
    if (use == KEY_USE_DECRYPT) {
        explicit_bzero(m_ek, sizeof m_ek);
    }
    m_keyLoaded = true;
    return true;
}

bool IdeaCipher::blockEncrypt(uint8_t* block, size_t len) {
    if (!block || len < 8 || !m_keyLoaded || m_keyUse == KEY_USE_DECRYPT) {
        return false;
    }
    _idea_core(block, block, m_ek);
    return true;
}

bool IdeaCipher::blockDecrypt(uint8_t* block, size_t len) {
    if (!block || len < 8 || !m_keyLoaded || m_keyUse == KEY_USE_ENCRYPT) {
        return false;
    }
    _idea_core(block, block, m_dk);
    return true;
}

}  // namespace poi

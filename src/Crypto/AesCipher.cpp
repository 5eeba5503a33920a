#include "Crypto/AesCipher.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "Crypto/AesNi.h"

namespace poi {

namespace {

// The S-boxes and round tables, computed at compile time from the field
// arithmetic of FIPS 197 rather than typed in.
constexpr uint8_t xtime(uint8_t x) {
    return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1b : 0));
}

constexpr uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t p = 0;
    while (b) {
        if (b & 1) {
            p ^= a;
        }
        a = xtime(a);
        b >>= 1;
    }
    return p;
}

constexpr uint32_t ror8(uint32_t x) {
    return (x >> 8) | (x << 24);
}

struct Tables {
    uint8_t sbox[256] = {};
    uint8_t inv[256] = {};
    uint32_t te[4][256] = {};
    uint32_t td[4][256] = {};
};

constexpr Tables makeTables() {
    Tables t;
    // Walk the multiplicative group with generator 3: p = 3^i, q = 3^-i.
    uint8_t p = 1, q = 1;
    do {
        p = uint8_t(p ^ xtime(p));
        q ^= uint8_t(q << 1);
        q ^= uint8_t(q << 2);
        q ^= uint8_t(q << 4);
        if (q & 0x80) {
            q ^= 0x09;
        }
        const uint8_t r1 = uint8_t((q << 1) | (q >> 7));
        const uint8_t r2 = uint8_t((q << 2) | (q >> 6));
        const uint8_t r3 = uint8_t((q << 3) | (q >> 5));
        const uint8_t r4 = uint8_t((q << 4) | (q >> 4));
        t.sbox[p] = uint8_t(q ^ r1 ^ r2 ^ r3 ^ r4 ^ 0x63);
    } while (p != 1);
    t.sbox[0] = 0x63;
    for (int i = 0; i < 256; ++i) {
        t.inv[t.sbox[i]] = uint8_t(i);
    }
    for (int i = 0; i < 256; ++i) {
        const uint8_t s = t.sbox[i];
        const uint32_t e =
            (uint32_t(gmul(s, 2)) << 24) | (uint32_t(s) << 16) | (uint32_t(s) << 8) | gmul(s, 3);
        const uint8_t v = t.inv[i];
        const uint32_t d = (uint32_t(gmul(v, 14)) << 24) | (uint32_t(gmul(v, 9)) << 16) |
                           (uint32_t(gmul(v, 13)) << 8) | gmul(v, 11);
        t.te[0][i] = e;
        t.td[0][i] = d;
        for (int k = 1; k < 4; ++k) {
            t.te[k][i] = ror8(t.te[k - 1][i]);
            t.td[k][i] = ror8(t.td[k - 1][i]);
        }
    }
    return t;
}

constexpr Tables T = makeTables();

constexpr uint32_t Rcon[10] = {0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
                               0x20000000, 0x40000000, 0x80000000, 0x1b000000, 0x36000000};

inline uint32_t getU32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline void putU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline uint32_t subWord(uint32_t w) {
    return (uint32_t(T.sbox[w >> 24]) << 24) | (uint32_t(T.sbox[(w >> 16) & 0xff]) << 16) |
           (uint32_t(T.sbox[(w >> 8) & 0xff]) << 8) | T.sbox[w & 0xff];
}

// InvMixColumns of one round-key word, through the decryption tables (which
// include the inverse S-box, hence the S-box first).
inline uint32_t invMixWord(uint32_t w) {
    return T.td[0][T.sbox[w >> 24]] ^ T.td[1][T.sbox[(w >> 16) & 0xff]] ^
           T.td[2][T.sbox[(w >> 8) & 0xff]] ^ T.td[3][T.sbox[w & 0xff]];
}

void encryptBlock(const uint32_t* rk, int rounds, const uint8_t in[16], uint8_t out[16]) {
    uint32_t s0 = getU32(in) ^ rk[0];
    uint32_t s1 = getU32(in + 4) ^ rk[1];
    uint32_t s2 = getU32(in + 8) ^ rk[2];
    uint32_t s3 = getU32(in + 12) ^ rk[3];
    uint32_t t0, t1, t2, t3;
#define POI_AES_EROUND(d0, d1, d2, d3, a0, a1, a2, a3, k)                             \
    d0 = T.te[0][a0 >> 24] ^ T.te[1][(a1 >> 16) & 0xff] ^ T.te[2][(a2 >> 8) & 0xff] ^ \
         T.te[3][a3 & 0xff] ^ (k)[0];                                                 \
    d1 = T.te[0][a1 >> 24] ^ T.te[1][(a2 >> 16) & 0xff] ^ T.te[2][(a3 >> 8) & 0xff] ^ \
         T.te[3][a0 & 0xff] ^ (k)[1];                                                 \
    d2 = T.te[0][a2 >> 24] ^ T.te[1][(a3 >> 16) & 0xff] ^ T.te[2][(a0 >> 8) & 0xff] ^ \
         T.te[3][a1 & 0xff] ^ (k)[2];                                                 \
    d3 = T.te[0][a3 >> 24] ^ T.te[1][(a0 >> 16) & 0xff] ^ T.te[2][(a1 >> 8) & 0xff] ^ \
         T.te[3][a2 & 0xff] ^ (k)[3];
    // Two rounds per pass; the last full round is handled after the loop.
    const uint32_t* k = rk + 4;
    for (int r = rounds >> 1;;) {
        POI_AES_EROUND(t0, t1, t2, t3, s0, s1, s2, s3, k)
        k += 4;
        if (--r == 0) {
            break;
        }
        POI_AES_EROUND(s0, s1, s2, s3, t0, t1, t2, t3, k)
        k += 4;
    }
#undef POI_AES_EROUND
    const auto last = [&](uint32_t a0, uint32_t a1, uint32_t a2, uint32_t a3, uint32_t key) {
        return ((uint32_t(T.sbox[a0 >> 24]) << 24) | (uint32_t(T.sbox[(a1 >> 16) & 0xff]) << 16) |
                (uint32_t(T.sbox[(a2 >> 8) & 0xff]) << 8) | T.sbox[a3 & 0xff]) ^
               key;
    };
    putU32(out, last(t0, t1, t2, t3, k[0]));
    putU32(out + 4, last(t1, t2, t3, t0, k[1]));
    putU32(out + 8, last(t2, t3, t0, t1, k[2]));
    putU32(out + 12, last(t3, t0, t1, t2, k[3]));
}

void decryptBlock(const uint32_t* rk, int rounds, const uint8_t in[16], uint8_t out[16]) {
    uint32_t s0 = getU32(in) ^ rk[0];
    uint32_t s1 = getU32(in + 4) ^ rk[1];
    uint32_t s2 = getU32(in + 8) ^ rk[2];
    uint32_t s3 = getU32(in + 12) ^ rk[3];
    uint32_t t0, t1, t2, t3;
#define POI_AES_DROUND(d0, d1, d2, d3, a0, a1, a2, a3, k)                             \
    d0 = T.td[0][a0 >> 24] ^ T.td[1][(a3 >> 16) & 0xff] ^ T.td[2][(a2 >> 8) & 0xff] ^ \
         T.td[3][a1 & 0xff] ^ (k)[0];                                                 \
    d1 = T.td[0][a1 >> 24] ^ T.td[1][(a0 >> 16) & 0xff] ^ T.td[2][(a3 >> 8) & 0xff] ^ \
         T.td[3][a2 & 0xff] ^ (k)[1];                                                 \
    d2 = T.td[0][a2 >> 24] ^ T.td[1][(a1 >> 16) & 0xff] ^ T.td[2][(a0 >> 8) & 0xff] ^ \
         T.td[3][a3 & 0xff] ^ (k)[2];                                                 \
    d3 = T.td[0][a3 >> 24] ^ T.td[1][(a2 >> 16) & 0xff] ^ T.td[2][(a1 >> 8) & 0xff] ^ \
         T.td[3][a0 & 0xff] ^ (k)[3];
    const uint32_t* k = rk + 4;
    for (int r = rounds >> 1;;) {
        POI_AES_DROUND(t0, t1, t2, t3, s0, s1, s2, s3, k)
        k += 4;
        if (--r == 0) {
            break;
        }
        POI_AES_DROUND(s0, s1, s2, s3, t0, t1, t2, t3, k)
        k += 4;
    }
#undef POI_AES_DROUND
    const auto last = [&](uint32_t a0, uint32_t a1, uint32_t a2, uint32_t a3, uint32_t key) {
        return ((uint32_t(T.inv[a0 >> 24]) << 24) | (uint32_t(T.inv[(a1 >> 16) & 0xff]) << 16) |
                (uint32_t(T.inv[(a2 >> 8) & 0xff]) << 8) | T.inv[a3 & 0xff]) ^
               key;
    };
    putU32(out, last(t0, t3, t2, t1, k[0]));
    putU32(out + 4, last(t1, t0, t3, t2, k[1]));
    putU32(out + 8, last(t2, t1, t0, t3, k[2]));
    putU32(out + 12, last(t3, t2, t1, t0, k[3]));
}

std::atomic<int> g_pathLimit{AES_PATH_VAES};

int kindBits(int kind) {
    switch (kind) {
        case KIND_AES128:
            return 128;
        case KIND_AES192:
            return 192;
        case KIND_AES256:
            return 256;
        default:
            return 0;
    }
}

}  // namespace

AesCipher::AesCipher(int kind) : SymetricCipher(kind, 16) {}

AesCipher::~AesCipher() {
    wipe();
}

void AesCipher::wipe() {
    explicit_bzero(m_ek, sizeof m_ek);
    explicit_bzero(m_dk, sizeof m_dk);
    explicit_bzero(m_ekHw, sizeof m_ekHw);
    explicit_bzero(m_dkHw, sizeof m_dkHw);
    m_keyLoaded = false;
}

int AesCipher::bestPath() {
    static const int best = vaes::available()    ? AES_PATH_VAES
                            : aesni::available() ? AES_PATH_AESNI
                                                 : AES_PATH_PORTABLE;
    return best;
}

int AesCipher::setPathLimit(int limit) {
    return g_pathLimit.exchange(limit);
}

const char* AesCipher::pathName(int path) {
    switch (path) {
        case AES_PATH_AESNI:
            return "AES-NI";
        case AES_PATH_VAES:
            return "VAES";
        default:
            return "portable";
    }
}

int AesCipher::rijndaelKeySetupEnc(uint32_t rk[60], const uint8_t* key, int keyBits) {
    const int nk = keyBits / 32;
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) {
        return 0;
    }
    const int rounds = nk + 6;
    const int words = 4 * (rounds + 1);
    for (int i = 0; i < nk; ++i) {
        rk[i] = getU32(key + 4 * i);
    }
    for (int i = nk; i < words; ++i) {
        uint32_t w = rk[i - 1];
        if (i % nk == 0) {
            w = subWord((w << 8) | (w >> 24)) ^ Rcon[i / nk - 1];
        } else if (nk > 6 && i % nk == 4) {
            w = subWord(w);
        }
        rk[i] = rk[i - nk] ^ w;
    }
    return rounds;
}

bool AesCipher::loadKey(const SymetricKey& key, KEY_USE_ENUM use) {
    wipe();
    const int bits = kindBits(m_kind);
    if (bits == 0 || !key.keyData() || key.keyLength() < size_t(bits / 8) || use < 0 ||
        use > KEY_USE_BOTH) {
        return false;
    }
    m_keyUse = use;
    m_rounds = rijndaelKeySetupEnc(m_ek, key.keyData(), bits);
    const int words = 4 * (m_rounds + 1);
    // Equivalent inverse cipher: round keys in reverse order, InvMixColumns on
    // all but the first and the last.
    for (int r = 0; r <= m_rounds; ++r) {
        for (int j = 0; j < 4; ++j) {
            const uint32_t w = m_ek[4 * (m_rounds - r) + j];
            m_dk[4 * r + j] = (r == 0 || r == m_rounds) ? w : invMixWord(w);
        }
    }
    for (int i = 0; i < words; ++i) {
        putU32(m_ekHw + 4 * i, m_ek[i]);
        putU32(m_dkHw + 4 * i, m_dk[i]);
    }
    if (use == KEY_USE_ENCRYPT) {
        explicit_bzero(m_dk, sizeof m_dk);
        explicit_bzero(m_dkHw, sizeof m_dkHw);
    } else if (use == KEY_USE_DECRYPT) {
        explicit_bzero(m_ek, sizeof m_ek);
        explicit_bzero(m_ekHw, sizeof m_ekHw);
    }
    m_path = std::min(bestPath(), g_pathLimit.load());
    m_keyLoaded = true;
    return true;
}

bool AesCipher::blockEncrypt(uint8_t* block, size_t len) {
    if (!block || len < 16 || !canEncrypt()) {
        return false;
    }
    if (m_path != AES_PATH_PORTABLE) {
        aesni::ecbEncrypt(m_ekHw, m_rounds, block, 1);
    } else {
        encryptBlock(m_ek, m_rounds, block, block);
    }
    return true;
}

bool AesCipher::blockDecrypt(uint8_t* block, size_t len) {
    if (!block || len < 16 || !canDecrypt()) {
        return false;
    }
    if (m_path != AES_PATH_PORTABLE) {
        aesni::ecbDecrypt(m_dkHw, m_rounds, block, 1);
    } else {
        decryptBlock(m_dk, m_rounds, block, block);
    }
    return true;
}

bool AesCipher::ecbEncryptBlocks(uint8_t* data, size_t len) {
    if (!canEncrypt()) {
        return false;
    }
    if (m_path != AES_PATH_PORTABLE) {
        aesni::ecbEncrypt(m_ekHw, m_rounds, data, len / 16);
        return true;
    }
    for (size_t off = 0; off < len; off += 16) {
        encryptBlock(m_ek, m_rounds, data + off, data + off);
    }
    return true;
}

bool AesCipher::ecbDecryptBlocks(uint8_t* data, size_t len) {
    if (!canDecrypt()) {
        return false;
    }
    if (m_path != AES_PATH_PORTABLE) {
        aesni::ecbDecrypt(m_dkHw, m_rounds, data, len / 16);
        return true;
    }
    for (size_t off = 0; off < len; off += 16) {
        decryptBlock(m_dk, m_rounds, data + off, data + off);
    }
    return true;
}

bool AesCipher::cbcEncryptBlocks(uint8_t* data, size_t len) {
    if (!canEncrypt()) {
        return false;
    }
    if (m_path != AES_PATH_PORTABLE) {
        aesni::cbcEncrypt(m_ekHw, m_rounds, data, len / 16, m_iv);
        return true;
    }
    for (size_t off = 0; off < len; off += 16) {
        uint8_t* b = data + off;
        for (int i = 0; i < 16; ++i) {
            b[i] ^= m_iv[i];
        }
        encryptBlock(m_ek, m_rounds, b, b);
        std::memcpy(m_iv, b, 16);
    }
    return true;
}

bool AesCipher::cbcDecryptBlocks(uint8_t* data, size_t len) {
    if (!canDecrypt()) {
        return false;
    }
    if (m_path == AES_PATH_VAES) {
        vaes::cbcDecrypt(m_dkHw, m_rounds, data, len / 16, m_iv);
        return true;
    }
    if (m_path == AES_PATH_AESNI) {
        aesni::cbcDecrypt(m_dkHw, m_rounds, data, len / 16, m_iv);
        return true;
    }
    uint8_t kept[16];
    for (size_t off = 0; off < len; off += 16) {
        uint8_t* b = data + off;
        std::memcpy(kept, b, 16);
        decryptBlock(m_dk, m_rounds, b, b);
        for (int i = 0; i < 16; ++i) {
            b[i] ^= m_iv[i];
        }
        std::memcpy(m_iv, kept, 16);
    }
    return true;
}

bool AesCipher::cbcEncryptStreams(uint8_t* data, size_t streams, size_t streamLen,
                                  const uint8_t* ivs) {
    if (!canEncrypt() || streamLen % 16 || (streams > 0 && (!data || !ivs))) {
        return false;
    }
    if (m_path == AES_PATH_VAES) {
        vaes::cbcEncryptStreams(m_ekHw, m_rounds, data, streams, streamLen, ivs);
        return true;
    }
    if (m_path == AES_PATH_AESNI) {
        aesni::cbcEncryptStreams(m_ekHw, m_rounds, data, streams, streamLen, ivs);
        return true;
    }
    for (size_t s = 0; s < streams; ++s) {
        std::memcpy(m_iv, ivs + 16 * s, 16);
        cbcEncryptBlocks(data + s * streamLen, streamLen);
    }
    return true;
}

bool AesCipher::cbcDecryptStreams(uint8_t* data, size_t streams, size_t streamLen,
                                  const uint8_t* ivs) {
    if (!canDecrypt() || streamLen % 16 || (streams > 0 && (!data || !ivs))) {
        return false;
    }
    if (m_path == AES_PATH_VAES) {
        vaes::cbcDecryptStreams(m_dkHw, m_rounds, data, streams, streamLen, ivs);
        return true;
    }
    if (m_path == AES_PATH_AESNI) {
        aesni::cbcDecryptStreams(m_dkHw, m_rounds, data, streams, streamLen, ivs);
        return true;
    }
    for (size_t s = 0; s < streams; ++s) {
        std::memcpy(m_iv, ivs + 16 * s, 16);
        cbcDecryptBlocks(data + s * streamLen, streamLen);
    }
    return true;
}

}  // namespace poi

#include "Crypto/AesNi.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>
#include <string.h>

#define POI_AESNI __attribute__((target("aes,sse2")))

namespace poi::aesni {

POI_AESNI inline __m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
POI_AESNI inline void store(uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

namespace {

POI_AESNI inline __m128i encryptOne(const __m128i* k, int rounds, __m128i x) {
    x = _mm_xor_si128(x, k[0]);
    for (int r = 1; r < rounds; ++r) {
        x = _mm_aesenc_si128(x, k[r]);
    }
    return _mm_aesenclast_si128(x, k[rounds]);
}

POI_AESNI inline __m128i decryptOne(const __m128i* k, int rounds, __m128i x) {
    x = _mm_xor_si128(x, k[0]);
    for (int r = 1; r < rounds; ++r) {
        x = _mm_aesdec_si128(x, k[r]);
    }
    return _mm_aesdeclast_si128(x, k[rounds]);
}

// Eight blocks through the rounds side by side, so that the latency of one
// round instruction is hidden behind the other seven.
template <bool Enc>
POI_AESNI inline void rounds8(const __m128i* k, int rounds, __m128i x[8]) {
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        x[i] = _mm_xor_si128(x[i], k[0]);
    }
    for (int r = 1; r < rounds; ++r) {
        const __m128i key = k[r];
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) {
            x[i] = Enc ? _mm_aesenc_si128(x[i], key) : _mm_aesdec_si128(x[i], key);
        }
    }
    const __m128i last = k[rounds];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        x[i] = Enc ? _mm_aesenclast_si128(x[i], last) : _mm_aesdeclast_si128(x[i], last);
    }
}

template <bool Enc>
POI_AESNI void ecb(const uint8_t* rk, int rounds, uint8_t* data, size_t blocks) {
    const __m128i* k = reinterpret_cast<const __m128i*>(rk);
    for (; blocks >= 8; blocks -= 8, data += 128) {
        __m128i x[8];
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) {
            x[i] = load(data + 16 * i);
        }
        rounds8<Enc>(k, rounds, x);
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) {
            store(data + 16 * i, x[i]);
        }
    }
    for (; blocks > 0; --blocks, data += 16) {
        store(data, Enc ? encryptOne(k, rounds, load(data)) : decryptOne(k, rounds, load(data)));
    }
}

template <int N>
POI_AESNI void streamsN(const __m128i* k, int rounds, uint8_t* data, size_t streamLen,
                        const uint8_t* ivs) {
    __m128i c[N];
#pragma GCC unroll 8
    for (int s = 0; s < N; ++s) {
        c[s] = load(ivs + 16 * s);
    }
    for (size_t off = 0; off < streamLen; off += 16) {
#pragma GCC unroll 8
        for (int s = 0; s < N; ++s) {
            c[s] = _mm_xor_si128(c[s], _mm_xor_si128(load(data + s * streamLen + off), k[0]));
        }
        for (int r = 1; r < rounds; ++r) {
            const __m128i key = k[r];
#pragma GCC unroll 8
            for (int s = 0; s < N; ++s) {
                c[s] = _mm_aesenc_si128(c[s], key);
            }
        }
        const __m128i last = k[rounds];
#pragma GCC unroll 8
        for (int s = 0; s < N; ++s) {
            c[s] = _mm_aesenclast_si128(c[s], last);
            store(data + s * streamLen + off, c[s]);
        }
    }
}

}  // namespace

bool available() {
    return __builtin_cpu_supports("aes");
}

void ecbEncrypt(const uint8_t* rk, int rounds, uint8_t* data, size_t blocks) {
    ecb<true>(rk, rounds, data, blocks);
}

void ecbDecrypt(const uint8_t* rk, int rounds, uint8_t* data, size_t blocks) {
    ecb<false>(rk, rounds, data, blocks);
}

POI_AESNI void cbcEncrypt(const uint8_t* rk, int rounds, uint8_t* data, size_t blocks,
                          uint8_t iv[16]) {
    const __m128i* k = reinterpret_cast<const __m128i*>(rk);
    __m128i c = load(iv);
    for (; blocks > 0; --blocks, data += 16) {
        c = encryptOne(k, rounds, _mm_xor_si128(c, load(data)));
        store(data, c);
    }
    store(iv, c);
}

POI_AESNI void cbcDecrypt(const uint8_t* rk, int rounds, uint8_t* data, size_t blocks,
                          uint8_t iv[16]) {
    const __m128i* k = reinterpret_cast<const __m128i*>(rk);
    __m128i prev = load(iv);
    for (; blocks >= 8; blocks -= 8, data += 128) {
        __m128i x[8];
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) {
            x[i] = load(data + 16 * i);
        }
        rounds8<false>(k, rounds, x);
        // Chain from the ciphertext still in memory: store from the last
        // block down, so each block's predecessor is read before it is
        // overwritten (and no ciphertext copies take up registers).
        const __m128i next = load(data + 112);
#pragma GCC unroll 8
        for (int i = 7; i > 0; --i) {
            store(data + 16 * i, _mm_xor_si128(x[i], load(data + 16 * (i - 1))));
        }
        store(data, _mm_xor_si128(x[0], prev));
        prev = next;
    }
    for (; blocks > 0; --blocks, data += 16) {
        const __m128i ct = load(data);
        store(data, _mm_xor_si128(decryptOne(k, rounds, ct), prev));
        prev = ct;
    }
    store(iv, prev);
}

void cbcEncryptStreams(const uint8_t* rk, int rounds, uint8_t* data, size_t streams,
                       size_t streamLen, const uint8_t* ivs) {
    const __m128i* k = reinterpret_cast<const __m128i*>(rk);
    while (streams > 0) {
        size_t n;
        if (streams >= 8) {
            streamsN<8>(k, rounds, data, streamLen, ivs);
            n = 8;
        } else if (streams >= 4) {
            streamsN<4>(k, rounds, data, streamLen, ivs);
            n = 4;
        } else if (streams >= 2) {
            streamsN<2>(k, rounds, data, streamLen, ivs);
            n = 2;
        } else {
            streamsN<1>(k, rounds, data, streamLen, ivs);
            n = 1;
        }
        streams -= n;
        data += n * streamLen;
        ivs += n * 16;
    }
}

void cbcDecryptStreams(const uint8_t* rk, int rounds, uint8_t* data, size_t streams,
                       size_t streamLen, const uint8_t* ivs) {
    alignas(16) uint8_t iv[16];
    for (size_t s = 0; s < streams; ++s, data += streamLen, ivs += 16) {
        __builtin_memcpy(iv, ivs, 16);
        cbcDecrypt(rk, rounds, data, streamLen / 16, iv);
    }
}

}  // namespace poi::aesni

// ---- 256-bit rounds: two blocks per instruction ----

#define POI_VAES __attribute__((target("aes,avx2,vaes")))

namespace poi::vaes {

namespace {

POI_VAES inline __m256i load2(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
POI_VAES inline void store2(uint8_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}
// Two blocks from different places into one register, and back.
POI_VAES inline __m256i gather2(const uint8_t* lo, const uint8_t* hi) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(aesni::load(lo)), aesni::load(hi), 1);
}
POI_VAES inline void scatter2(uint8_t* lo, uint8_t* hi, __m256i v) {
    aesni::store(lo, _mm256_castsi256_si128(v));
    aesni::store(hi, _mm256_extracti128_si256(v, 1));
}

// Round keys broadcast to both lanes; wiped by the caller after use.
struct Keys {
    __m256i k[15];
};

POI_VAES inline void broadcastKeys(const uint8_t* rk, int rounds, Keys& keys) {
    for (int r = 0; r <= rounds; ++r) {
        keys.k[r] = _mm256_broadcastsi128_si256(aesni::load(rk + 16 * r));
    }
}

// Sixteen blocks of CBC decryption in place; `prev` is the ciphertext
// before them and becomes their last ciphertext block.
POI_VAES inline void decrypt16(const Keys& keys, int rounds, uint8_t* data, __m128i& prev) {
    __m256i x[8];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        x[i] = _mm256_xor_si256(load2(data + 32 * i), keys.k[0]);
    }
    for (int r = 1; r < rounds; ++r) {
        const __m256i key = keys.k[r];
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) {
            x[i] = _mm256_aesdec_epi128(x[i], key);
        }
    }
    const __m256i last = keys.k[rounds];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        x[i] = _mm256_aesdeclast_epi128(x[i], last);
    }
    // Each pair chains from the pair of ciphertext blocks 16 bytes before it,
    // still in memory when stored from the end down.
    const __m128i next = aesni::load(data + 240);
#pragma GCC unroll 8
    for (int i = 7; i > 0; --i) {
        store2(data + 32 * i, _mm256_xor_si256(x[i], load2(data + 32 * i - 16)));
    }
    const __m256i first =
        _mm256_inserti128_si256(_mm256_castsi128_si256(prev), aesni::load(data), 1);
    store2(data, _mm256_xor_si256(x[0], first));
    prev = next;
}

// 2 * N chains side by side, chain s at data + s * streamLen.
template <int N>
POI_VAES void encryptStreamsN(const Keys& keys, int rounds, uint8_t* data, size_t streamLen,
                              const uint8_t* ivs) {
    __m256i c[N];
#pragma GCC unroll 8
    for (int s = 0; s < N; ++s) {
        c[s] = load2(ivs + 32 * s);
    }
    for (size_t off = 0; off < streamLen; off += 16) {
#pragma GCC unroll 8
        for (int s = 0; s < N; ++s) {
            const __m256i in =
                gather2(data + (2 * s) * streamLen + off, data + (2 * s + 1) * streamLen + off);
            c[s] = _mm256_xor_si256(c[s], _mm256_xor_si256(in, keys.k[0]));
        }
        for (int r = 1; r < rounds; ++r) {
            const __m256i key = keys.k[r];
#pragma GCC unroll 8
            for (int s = 0; s < N; ++s) {
                c[s] = _mm256_aesenc_epi128(c[s], key);
            }
        }
        const __m256i last = keys.k[rounds];
#pragma GCC unroll 8
        for (int s = 0; s < N; ++s) {
            c[s] = _mm256_aesenclast_epi128(c[s], last);
            scatter2(data + (2 * s) * streamLen + off, data + (2 * s + 1) * streamLen + off, c[s]);
        }
    }
}

POI_VAES void decryptChain(const Keys& keys, const uint8_t* rk, int rounds, uint8_t* data,
                           size_t blocks, uint8_t iv[16]) {
    __m128i prev = aesni::load(iv);
    for (; blocks >= 16; blocks -= 16, data += 256) {
        decrypt16(keys, rounds, data, prev);
    }
    aesni::store(iv, prev);
    if (blocks > 0) {
        aesni::cbcDecrypt(rk, rounds, data, blocks, iv);
    }
}

}  // namespace

bool available() {
    // VAES is leaf 7, ECX bit 9; the avx2 check also covers the OS saving
    // the 256-bit registers.
    unsigned a, b, c, d;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        return false;
    }
    return (c & (1u << 9)) && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("aes");
}

POI_VAES void cbcDecrypt(const uint8_t* rk, int rounds, uint8_t* data, size_t blocks,
                         uint8_t iv[16]) {
    Keys keys;
    broadcastKeys(rk, rounds, keys);
    decryptChain(keys, rk, rounds, data, blocks, iv);
    explicit_bzero(&keys, sizeof keys);
}

POI_VAES void cbcDecryptStreams(const uint8_t* rk, int rounds, uint8_t* data, size_t streams,
                                size_t streamLen, const uint8_t* ivs) {
    Keys keys;
    broadcastKeys(rk, rounds, keys);
    alignas(16) uint8_t iv[16];
    for (size_t s = 0; s < streams; ++s, data += streamLen, ivs += 16) {
        __builtin_memcpy(iv, ivs, 16);
        decryptChain(keys, rk, rounds, data, streamLen / 16, iv);
    }
    explicit_bzero(&keys, sizeof keys);
}

POI_VAES void cbcEncryptStreams(const uint8_t* rk, int rounds, uint8_t* data, size_t streams,
                                size_t streamLen, const uint8_t* ivs) {
    Keys keys;
    broadcastKeys(rk, rounds, keys);
    while (streams >= 4) {
        size_t n;
        if (streams >= 16) {
            encryptStreamsN<8>(keys, rounds, data, streamLen, ivs);
            n = 16;
        } else if (streams >= 8) {
            encryptStreamsN<4>(keys, rounds, data, streamLen, ivs);
            n = 8;
        } else {
            encryptStreamsN<2>(keys, rounds, data, streamLen, ivs);
            n = 4;
        }
        streams -= n;
        data += n * streamLen;
        ivs += n * 16;
    }
    explicit_bzero(&keys, sizeof keys);
    if (streams > 0) {
        aesni::cbcEncryptStreams(rk, rounds, data, streams, streamLen, ivs);
    }
}

}  // namespace poi::vaes

#else

namespace poi::aesni {
bool available() {
    return false;
}
void ecbEncrypt(const uint8_t*, int, uint8_t*, size_t) {}
void ecbDecrypt(const uint8_t*, int, uint8_t*, size_t) {}
void cbcEncrypt(const uint8_t*, int, uint8_t*, size_t, uint8_t*) {}
void cbcDecrypt(const uint8_t*, int, uint8_t*, size_t, uint8_t*) {}
void cbcEncryptStreams(const uint8_t*, int, uint8_t*, size_t, size_t, const uint8_t*) {}
void cbcDecryptStreams(const uint8_t*, int, uint8_t*, size_t, size_t, const uint8_t*) {}
}  // namespace poi::aesni

namespace poi::vaes {
bool available() {
    return false;
}
void cbcDecrypt(const uint8_t*, int, uint8_t*, size_t, uint8_t*) {}
void cbcEncryptStreams(const uint8_t*, int, uint8_t*, size_t, size_t, const uint8_t*) {}
void cbcDecryptStreams(const uint8_t*, int, uint8_t*, size_t, size_t, const uint8_t*) {}
}  // namespace poi::vaes

#endif

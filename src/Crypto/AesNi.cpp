#include "Crypto/AesNi.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define POI_AESNI __attribute__((target("aes,sse2")))

namespace poi::aesni {

namespace {

POI_AESNI inline __m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
POI_AESNI inline void store(uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

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
        __m128i ct[8], x[8];
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) {
            ct[i] = x[i] = load(data + 16 * i);
        }
        rounds8<false>(k, rounds, x);
        store(data, _mm_xor_si128(x[0], prev));
#pragma GCC unroll 8
        for (int i = 1; i < 8; ++i) {
            store(data + 16 * i, _mm_xor_si128(x[i], ct[i - 1]));
        }
        prev = ct[7];
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

}  // namespace poi::aesni

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
}  // namespace poi::aesni

#endif

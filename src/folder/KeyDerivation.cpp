#include "folder/KeyDerivation.h"

#include <openssl/evp.h>

#include <cstring>

#include "Crypto/Rmd160.h"
#include "Crypto/Sha1.h"
#include "Crypto/TraceLog.h"
#include "Crypto/Whirlpool.h"

const uint32_t g_HashAlgos[kHashAlgoCount] = {kHashIdSha1,       kHashIdRipemd160,
                                              kHashIdWhirlpool,  kHashIdSha1Fips,
                                              kHashIdSha256Fips, kHashIdSha512Fips};

namespace {

// The hash variants behind one interface: init, update, final and a copy of
// a running state, so that HMAC keys its two pads once per derivation.
struct Sha1Core {
    static constexpr size_t kBlock = 64, kOut = 20;
    sha1_ctx c;
    ~Sha1Core() { explicit_bzero(&c, sizeof c); }
    bool init() { return sha1_begin(&c), true; }
    bool update(const unsigned char* d, size_t n) { return sha1_hash(d, n, &c), true; }
    bool final(unsigned char* out) { return sha1_end(out, &c), true; }
    bool copyFrom(const Sha1Core& o) { return c = o.c, true; }
};

struct Rmd160Core {
    static constexpr size_t kBlock = 64, kOut = 20;
    RMD160_CTX c;
    ~Rmd160Core() { explicit_bzero(&c, sizeof c); }
    bool init() { return RMD160Init(&c), true; }
    bool update(const unsigned char* d, size_t n) { return RMD160Update(&c, d, n), true; }
    bool final(unsigned char* out) { return RMD160Final(out, &c), true; }
    bool copyFrom(const Rmd160Core& o) { return c = o.c, true; }
};

// Whirlpool's block is 64 bytes, as is its digest.
struct WhirlpoolCore {
    static constexpr size_t kBlock = 64, kOut = 64;
    WHIRLPOOL_CTX c;
    ~WhirlpoolCore() { explicit_bzero(&c, sizeof c); }
    bool init() { return WHIRLPOOL_init(&c), true; }
    bool update(const unsigned char* d, size_t n) {
        return WHIRLPOOL_add(d, 8 * static_cast<unsigned long>(n), &c), true;
    }
    bool final(unsigned char* out) { return WHIRLPOOL_finalize(&c, out), true; }
    bool copyFrom(const WhirlpoolCore& o) { return c = o.c, true; }
};

// libcrypto digests; freeing a context cleanses its state.
template <const EVP_MD* (*Md)(), size_t Block, size_t Out>
struct EvpCore {
    static constexpr size_t kBlock = Block, kOut = Out;
    EVP_MD_CTX* c = EVP_MD_CTX_new();
    EvpCore() = default;
    EvpCore(const EvpCore&) = delete;
    ~EvpCore() { EVP_MD_CTX_free(c); }
    bool init() { return c && EVP_DigestInit_ex(c, Md(), nullptr) == 1; }
    bool update(const unsigned char* d, size_t n) { return EVP_DigestUpdate(c, d, n) == 1; }
    bool final(unsigned char* out) { return EVP_DigestFinal_ex(c, out, nullptr) == 1; }
    bool copyFrom(const EvpCore& o) { return c && EVP_MD_CTX_copy_ex(c, o.c) == 1; }
};

using Sha1Fips = EvpCore<EVP_sha1, 64, 20>;
using Sha256Fips = EvpCore<EVP_sha256, 64, 32>;
using Sha512Fips = EvpCore<EVP_sha512, 128, 64>;

template <class H>
class Hmac {
  public:
    bool setKey(const unsigned char* key, size_t len) {
        unsigned char k[H::kBlock] = {};
        unsigned char pad[H::kBlock];
        bool ok = true;
        if (len > H::kBlock) {
            H h;
            ok = h.init() && h.update(key, len) && h.final(k);
        } else if (len) {
            memcpy(k, key, len);
        }
        for (size_t i = 0; i < H::kBlock; ++i) pad[i] = k[i] ^ 0x36;
        ok = ok && m_inner.init() && m_inner.update(pad, H::kBlock);
        for (size_t i = 0; i < H::kBlock; ++i) pad[i] = k[i] ^ 0x5C;
        ok = ok && m_outer.init() && m_outer.update(pad, H::kBlock);
        explicit_bzero(k, sizeof k);
        explicit_bzero(pad, sizeof pad);
        return ok;
    }

    // HMAC of m1 followed by m2.
    bool mac(const unsigned char* m1, size_t n1, const unsigned char* m2, size_t n2,
             unsigned char* out) {
        unsigned char inner[H::kOut];
        bool ok = m_work.copyFrom(m_inner) && m_work.update(m1, n1) &&
                  (n2 == 0 || m_work.update(m2, n2)) && m_work.final(inner) &&
                  m_work.copyFrom(m_outer) && m_work.update(inner, H::kOut) && m_work.final(out);
        explicit_bzero(inner, sizeof inner);
        return ok;
    }

  private:
    H m_inner, m_outer, m_work;
};

// T_index = U_1 ^ ... ^ U_c with U_1 = PRF(P, S || INT(index)), U_j = PRF(P, U_j-1).
template <class H>
bool deriveBlock(Hmac<H>& prf, const unsigned char* salt, size_t saltLen, unsigned iterations,
                 unsigned char* t, unsigned index) {
    if (iterations == 0) return false;
    const unsigned char be[4] = {
        static_cast<unsigned char>(index >> 24), static_cast<unsigned char>(index >> 16),
        static_cast<unsigned char>(index >> 8), static_cast<unsigned char>(index)};
    unsigned char u[H::kOut], next[H::kOut];
    bool ok = prf.mac(salt, saltLen, be, sizeof be, u);
    if (ok) memcpy(t, u, H::kOut);
    for (unsigned j = 2; ok && j <= iterations; ++j) {
        ok = prf.mac(u, H::kOut, nullptr, 0, next);
        memcpy(u, next, H::kOut);
        for (size_t i = 0; i < H::kOut; ++i) t[i] ^= u[i];
    }
    explicit_bzero(u, sizeof u);
    explicit_bzero(next, sizeof next);
    if (!ok) explicit_bzero(t, H::kOut);
    return ok;
}

template <class H>
bool hmacOnce(const unsigned char* key, size_t keyLen, const unsigned char* msg, size_t msgLen,
              unsigned char* out) {
    Hmac<H> prf;
    return prf.setKey(key, keyLen) && prf.mac(msg, msgLen, nullptr, 0, out);
}

template <class H>
bool deriveUOnce(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt, size_t saltLen,
                 unsigned iterations, unsigned char* u, unsigned blockIndex) {
    Hmac<H> prf;
    return prf.setKey(pwd, pwdLen) && deriveBlock(prf, salt, saltLen, iterations, u, blockIndex);
}

template <class H>
bool derive(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt, unsigned iterations,
            unsigned char* key) {
    Hmac<H> prf;
    if (!prf.setKey(pwd, pwdLen)) return false;
    unsigned char t[H::kOut];
    bool ok = true;
    for (unsigned index = 1, done = 0; ok && done < kKdfKeyLength; ++index) {
        ok = deriveBlock(prf, salt, kKdfSaltLength, iterations, t, index);
        size_t take = kKdfKeyLength - done < H::kOut ? kKdfKeyLength - done : H::kOut;
        memcpy(key + done, t, take);
        done += static_cast<unsigned>(take);
    }
    explicit_bzero(t, sizeof t);
    return ok;
}

}  // namespace

bool hmac_sha1(const unsigned char* key, size_t keyLen, const unsigned char* msg, size_t msgLen,
               unsigned char* out) {
    return hmacOnce<Sha1Core>(key, keyLen, msg, msgLen, out);
}
bool hmac_ripemd160(const unsigned char* key, size_t keyLen, const unsigned char* msg,
                    size_t msgLen, unsigned char* out) {
    return hmacOnce<Rmd160Core>(key, keyLen, msg, msgLen, out);
}
bool hmac_whirlpool(const unsigned char* key, size_t keyLen, const unsigned char* msg,
                    size_t msgLen, unsigned char* out) {
    return hmacOnce<WhirlpoolCore>(key, keyLen, msg, msgLen, out);
}
bool hmac_sha1_fips(const unsigned char* key, size_t keyLen, const unsigned char* msg,
                    size_t msgLen, unsigned char* out) {
    return hmacOnce<Sha1Fips>(key, keyLen, msg, msgLen, out);
}
bool hmac_sha2_256_fips(const unsigned char* key, size_t keyLen, const unsigned char* msg,
                        size_t msgLen, unsigned char* out) {
    return hmacOnce<Sha256Fips>(key, keyLen, msg, msgLen, out);
}
bool hmac_sha2_512_fips(const unsigned char* key, size_t keyLen, const unsigned char* msg,
                        size_t msgLen, unsigned char* out) {
    return hmacOnce<Sha512Fips>(key, keyLen, msg, msgLen, out);
}

bool derive_u_sha1(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                   size_t saltLen, unsigned iterations, unsigned char* u, unsigned blockIndex) {
    return deriveUOnce<Sha1Core>(pwd, pwdLen, salt, saltLen, iterations, u, blockIndex);
}
bool derive_u_ripemd160(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                        size_t saltLen, unsigned iterations, unsigned char* u,
                        unsigned blockIndex) {
    return deriveUOnce<Rmd160Core>(pwd, pwdLen, salt, saltLen, iterations, u, blockIndex);
}
bool derive_u_whirlpool(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                        size_t saltLen, unsigned iterations, unsigned char* u,
                        unsigned blockIndex) {
    return deriveUOnce<WhirlpoolCore>(pwd, pwdLen, salt, saltLen, iterations, u, blockIndex);
}
bool derive_u_sha1_fips(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                        size_t saltLen, unsigned iterations, unsigned char* u,
                        unsigned blockIndex) {
    return deriveUOnce<Sha1Fips>(pwd, pwdLen, salt, saltLen, iterations, u, blockIndex);
}
bool derive_u_sha2_256_fips(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                            size_t saltLen, unsigned iterations, unsigned char* u,
                            unsigned blockIndex) {
    return deriveUOnce<Sha256Fips>(pwd, pwdLen, salt, saltLen, iterations, u, blockIndex);
}
bool derive_u_sha2_512_fips(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                            size_t saltLen, unsigned iterations, unsigned char* u,
                            unsigned blockIndex) {
    return deriveUOnce<Sha512Fips>(pwd, pwdLen, salt, saltLen, iterations, u, blockIndex);
}

bool DeriveKeyFromPassword(const char* password, const unsigned char* salt, uint32_t hashId,
                           unsigned char* key) {
    static const char kName[] = "DeriveKeyFromPassword";
    TRACE_ENTRY(kName);
    if (!key) {
        TRACE_EXIT(kName);
        return false;
    }
    memset(key, 0, kKdfKeyLength);
    if (!password || !salt) {
        TRACE_MSG(kName, "DeriveKey > missing password or salt");
        TRACE_EXIT(kName);
        return false;
    }

    char pwd[kKdfMaxPassword + 1];
    size_t len = strnlen(password, kKdfMaxPassword);
    memcpy(pwd, password, len);
    pwd[len] = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(pwd);

    // The iteration counts are low by today's measure, but a key record only
    // opens with the count it was made with: they are part of the stored format.
    bool known = true, ok = false;
    switch (hashId) {
        case kHashIdSha1:
            ok = derive<Sha1Core>(p, len, salt, 2000, key);
            break;
        case kHashIdRipemd160:
            ok = derive<Rmd160Core>(p, len, salt, 2000, key);
            break;
        case kHashIdWhirlpool:
            ok = derive<WhirlpoolCore>(p, len, salt, 1000, key);
            break;
        case kHashIdSha1Fips:
            ok = derive<Sha1Fips>(p, len, salt, 2000, key);
            break;
        case kHashIdSha256Fips:
            ok = derive<Sha256Fips>(p, len, salt, 1000, key);
            break;
        case kHashIdSha512Fips:
            ok = derive<Sha512Fips>(p, len, salt, 1000, key);
            break;
        default:
            known = false;
    }
    explicit_bzero(pwd, sizeof pwd);
    if (!known)
        TRACE_MSG(kName, "DeriveKey > hash id 0x%X no algo", hashId);
    else if (!ok)
        TRACE_MSG(kName, "DeriveKey > hash id 0x%X digest failed", hashId);
    if (!ok) explicit_bzero(key, kKdfKeyLength);
    TRACE_EXIT(kName);
    return ok;
}

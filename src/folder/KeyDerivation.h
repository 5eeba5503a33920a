#pragma once
// Password key derivation of key records: PBKDF2 (RFC 2898) with HMAC
// (RFC 2104) over one of six hash variants chosen by the record's hash id.
// The id fixes hash, implementation and iteration count.

#include <cstddef>
#include <cstdint>

constexpr uint32_t kHashIdSha1 = 0x10000;  // own SHA-1 core
constexpr uint32_t kHashIdRipemd160 = 0x20000;
constexpr uint32_t kHashIdWhirlpool = 0x40000;
constexpr uint32_t kHashIdSha1Fips = 0x1000000;  // SHA-1 through libcrypto
constexpr uint32_t kHashIdSha256Fips = 0x2000000;
constexpr uint32_t kHashIdSha512Fips = 0x4000000;

constexpr size_t kKdfSaltLength = 64;
constexpr size_t kKdfKeyLength = 96;
constexpr size_t kKdfMaxPassword = 1023;  // longer passwords are cut

// The order in which login tries the ids.
constexpr size_t kHashAlgoCount = 6;
extern const uint32_t g_HashAlgos[kHashAlgoCount];

// Derives the 96-byte key of password (NUL-terminated UTF-8, only its first
// 1023 bytes count) and the 64-byte salt. Returns false, with key all zero,
// for an unknown hash id or when a digest cannot be computed.
bool DeriveKeyFromPassword(const char* password, const unsigned char* salt, uint32_t hashId,
                           unsigned char* key);

// HMAC of msg under key into out (20, 20, 64, 20, 32, 64 bytes in the order below).
bool hmac_sha1(const unsigned char* key, size_t keyLen, const unsigned char* msg, size_t msgLen,
               unsigned char* out);
bool hmac_ripemd160(const unsigned char* key, size_t keyLen, const unsigned char* msg,
                    size_t msgLen, unsigned char* out);
bool hmac_whirlpool(const unsigned char* key, size_t keyLen, const unsigned char* msg,
                    size_t msgLen, unsigned char* out);
bool hmac_sha1_fips(const unsigned char* key, size_t keyLen, const unsigned char* msg,
                    size_t msgLen, unsigned char* out);
bool hmac_sha2_256_fips(const unsigned char* key, size_t keyLen, const unsigned char* msg,
                        size_t msgLen, unsigned char* out);
bool hmac_sha2_512_fips(const unsigned char* key, size_t keyLen, const unsigned char* msg,
                        size_t msgLen, unsigned char* out);

// PBKDF2 block T_blockIndex (a full digest) of pwd and salt after `iterations` rounds.
bool derive_u_sha1(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                   size_t saltLen, unsigned iterations, unsigned char* u, unsigned blockIndex);
bool derive_u_ripemd160(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                        size_t saltLen, unsigned iterations, unsigned char* u, unsigned blockIndex);
bool derive_u_whirlpool(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                        size_t saltLen, unsigned iterations, unsigned char* u, unsigned blockIndex);
bool derive_u_sha1_fips(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                        size_t saltLen, unsigned iterations, unsigned char* u, unsigned blockIndex);
bool derive_u_sha2_256_fips(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                            size_t saltLen, unsigned iterations, unsigned char* u,
                            unsigned blockIndex);
bool derive_u_sha2_512_fips(const unsigned char* pwd, size_t pwdLen, const unsigned char* salt,
                            size_t saltLen, unsigned iterations, unsigned char* u,
                            unsigned blockIndex);

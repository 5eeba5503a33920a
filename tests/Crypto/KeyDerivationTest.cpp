#include "folder/KeyDerivation.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>

#include <string>
#include <vector>

#include "Crypto/TraceLog.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes fromHex(const std::string& h) {
    Bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

std::string hex(const unsigned char* b, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {digits[b[i] >> 4], digits[b[i] & 15]};
    return s;
}

// OpenSSL as the oracle: whirlpool (and, on older builds, RIPEMD-160) live in
// the legacy provider; the default one must then be loaded by hand too.
struct Oracle {
    OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    EVP_MD* md(uint32_t id) const {
        const char* name = id == kHashIdSha1 || id == kHashIdSha1Fips ? "SHA1"
                           : id == kHashIdRipemd160                   ? "RIPEMD160"
                           : id == kHashIdWhirlpool                   ? "whirlpool"
                           : id == kHashIdSha256Fips                  ? "SHA256"
                                                                      : "SHA512";
        return EVP_MD_fetch(nullptr, name, nullptr);
    }
};
const Oracle& oracle() {
    static Oracle o;
    return o;
}

using HmacFn = bool (*)(const unsigned char*, size_t, const unsigned char*, size_t, unsigned char*);
using DeriveUFn = bool (*)(const unsigned char*, size_t, const unsigned char*, size_t, unsigned,
                           unsigned char*, unsigned);

struct Rfc {
    Bytes key, data;
};
// RFC 2202 / RFC 2286 test cases 1-7 and RFC 4231 cases 1-4, 6, 7.
const std::vector<Rfc> kRfc2202 = {
    {Bytes(20, 0x0b), bytes("Hi There")},
    {bytes("Jefe"), bytes("what do ya want for nothing?")},
    {Bytes(20, 0xaa), Bytes(50, 0xdd)},
    {fromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd)},
    {Bytes(20, 0x0c), bytes("Test With Truncation")},
    {Bytes(80, 0xaa), bytes("Test Using Larger Than Block-Size Key - Hash Key First")},
    {Bytes(80, 0xaa),
     bytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data")},
};
const std::vector<Rfc> kRfc4231 = {
    kRfc2202[0],
    kRfc2202[1],
    kRfc2202[2],
    kRfc2202[3],
    {Bytes(131, 0xaa), bytes("Test Using Larger Than Block-Size Key - Hash Key First")},
    {Bytes(131, 0xaa),
     bytes("This is a test using a larger than block-size key and a larger than block-size "
           "data. The key needs to be hashed before being used by the HMAC algorithm.")},
};

const std::vector<std::string> kSha1Macs = {
    "b617318655057264e28bc0b6fb378c8ef146be00", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79",
    "125d7342b9ac11cd91a39af48aa17b4f63f175d3", "4c9007f4026250c6bc8414f9bf50c86c2d7235da",
    "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04", "aa4ae5e15272d00e95705637ce8a3b55ed402112",
    "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"};
const std::vector<std::string> kRmd160Macs = {
    "24cb4bd67d20fc1a5d2ed7732dcc39377f0a5668", "dda6c0213a485a9e24f4742064a7f033b43c4069",
    "b0b105360de759960ab4f35298e116e295d8e7c1", "d5ca862f4d21d5e610e18b4cf1beb97a4365ecf4",
    "7619693978f91d90539ae786500ff3d8e0518e39", "6466ca07ac5eac29e1bd523e5ada7605b791fd8b",
    "69ea60798d71616cce5fd0871e23754cd75d5a0a"};
const std::vector<std::string> kSha256Macs = {
    "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
    "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
    "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
    "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
    "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
    "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"};
const std::vector<std::string> kSha512Macs = {
    "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
    "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854",
    "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
    "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737",
    "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39"
    "bf3e848279a722c806b485a47e67c807b946a337bee8942674278859e13292fb",
    "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3db"
    "a91ca5c11aa25eb4d679275cc5788063a5f19741120c4f2de2adebeb10a298dd",
    "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f352"
    "6b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598",
    "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944"
    "b6022cac3c4982b10d5eeb55c3e4de15134676fb6de0446065c97440fa8c6a58"};

TEST(KeyDerivation, HmacRfcVectors) {
    struct Set {
        const char* name;
        HmacFn fn;
        size_t size;
        const std::vector<Rfc>* cases;
        const std::vector<std::string>* macs;
    } sets[] = {
        {"hmac_sha1", hmac_sha1, 20, &kRfc2202, &kSha1Macs},
        {"hmac_sha1_fips", hmac_sha1_fips, 20, &kRfc2202, &kSha1Macs},
        {"hmac_ripemd160", hmac_ripemd160, 20, &kRfc2202, &kRmd160Macs},
        {"hmac_sha2_256_fips", hmac_sha2_256_fips, 32, &kRfc4231, &kSha256Macs},
        {"hmac_sha2_512_fips", hmac_sha2_512_fips, 64, &kRfc4231, &kSha512Macs},
    };
    for (const Set& s : sets) {
        for (size_t i = 0; i < s.cases->size(); ++i) {
            SCOPED_TRACE(std::string(s.name) + " case " + std::to_string(i + 1));
            const Rfc& c = (*s.cases)[i];
            unsigned char out[64];
            ASSERT_TRUE(s.fn(c.key.data(), c.key.size(), c.data.data(), c.data.size(), out));
            EXPECT_EQ(hex(out, s.size), (*s.macs)[i]);
        }
    }
    // Whirlpool has no RFC set: the same keys and messages against OpenSSL's HMAC.
    EVP_MD* md = oracle().md(kHashIdWhirlpool);
    if (!md) GTEST_SKIP() << "OpenSSL's legacy provider (whirlpool) is not available";
    for (const Rfc& c : kRfc4231) {
        unsigned char ours[64], theirs[64];
        unsigned len = 0;
        ASSERT_TRUE(hmac_whirlpool(c.key.data(), c.key.size(), c.data.data(), c.data.size(), ours));
        ASSERT_NE(HMAC(md, c.key.data(), static_cast<int>(c.key.size()), c.data.data(),
                       c.data.size(), theirs, &len),
                  nullptr);
        EXPECT_EQ(hex(ours, 64), hex(theirs, len));
    }
    EVP_MD_free(md);
}

// RFC 6070, through the block function of both SHA-1 implementations.
TEST(KeyDerivation, Pbkdf2Rfc6070) {
    struct Case {
        std::string password, salt;
        unsigned iterations;
        const char* dk;
    } cases[] = {
        {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096,
         "56fa6aa75548099dcc37d7f03425e0c3"},
    };
    for (DeriveUFn fn : {derive_u_sha1, derive_u_sha1_fips}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.password + " " + std::to_string(c.iterations));
            size_t want = strlen(c.dk) / 2;
            Bytes dk;
            for (unsigned block = 1; dk.size() < want; ++block) {
                unsigned char t[20];
                ASSERT_TRUE(fn(reinterpret_cast<const unsigned char*>(c.password.data()),
                               c.password.size(),
                               reinterpret_cast<const unsigned char*>(c.salt.data()), c.salt.size(),
                               c.iterations, t, block));
                dk.insert(dk.end(), t, t + 20);
            }
            EXPECT_EQ(hex(dk.data(), want), c.dk);
        }
    }
}

Bytes salt64() {
    Bytes s(kKdfSaltLength);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<unsigned char>(i * 3 + 1);
    return s;
}

Bytes derive(const std::string& password, uint32_t id, bool* ok = nullptr) {
    Bytes salt = salt64(), key(kKdfKeyLength, 0xAA);
    bool r = DeriveKeyFromPassword(password.c_str(), salt.data(), id, key.data());
    if (ok) *ok = r;
    return key;
}

// Every id against OpenSSL's PBKDF2 with the id's PRF and iteration count.
TEST(KeyDerivation, AllSixIdsMatchOpenSslPbkdf2) {
    CTraceLog::SetEcho(false);
    const std::vector<std::string> passwords = {"",
                                                "password",
                                                "p\xc3\xa4ssw\xc3\xb6rd",
                                                std::string(65, 'k'),
                                                std::string(129, 'K'),
                                                std::string(1500, 'x') + "tail"};
    const struct {
        uint32_t id;
        int iterations;
    } ids[] = {{kHashIdSha1, 2000},     {kHashIdRipemd160, 2000},  {kHashIdWhirlpool, 1000},
               {kHashIdSha1Fips, 2000}, {kHashIdSha256Fips, 1000}, {kHashIdSha512Fips, 1000}};
    Bytes salt = salt64();
    for (const auto& v : ids) {
        EVP_MD* md = oracle().md(v.id);
        if (!md) {
            // Whirlpool then rests on the golden values of FixedFacts.
            if (v.id != kHashIdWhirlpool) ADD_FAILURE() << "no oracle digest for " << v.id;
            continue;
        }
        for (const std::string& pw : passwords) {
            SCOPED_TRACE("id " + std::to_string(v.id) + ", password of " +
                         std::to_string(pw.size()) + " bytes");
            bool ok = false;
            Bytes ours = derive(pw, v.id, &ok);
            EXPECT_TRUE(ok);
            Bytes theirs(kKdfKeyLength);
            int used = static_cast<int>(std::min(pw.size(), kKdfMaxPassword));
            ASSERT_EQ(PKCS5_PBKDF2_HMAC(pw.data(), used, salt.data(), salt.size(), v.iterations, md,
                                        theirs.size(), theirs.data()),
                      1);
            EXPECT_EQ(hex(ours.data(), ours.size()), hex(theirs.data(), theirs.size()));
        }
        EVP_MD_free(md);
    }
    CTraceLog::SetEcho(true);
}

TEST(KeyDerivation, FixedFacts) {
    CTraceLog::SetEcho(false);
    // Computed once with OpenSSL's PBKDF2-HMAC-Whirlpool: they hold where
    // the legacy provider is missing.
    EXPECT_EQ(hex(derive("", kHashIdWhirlpool).data(), kKdfKeyLength),
              "b8a6858a9722206f044a353547d577f5edef7606caa7c8ff22820c000711497d"
              "32edfc7555f1393eac81f4b37d083762935a6f401208cbafc3b8eb74f62282e3"
              "d252a0c57e285db810556b2d1d87196665414dc2bb38bda9ccc5db63b8dbf135");
    EXPECT_EQ(hex(derive("password", kHashIdWhirlpool).data(), kKdfKeyLength),
              "65ae85345a86e675b4e5f50c86d6299d97db56d1f8233c4091cc02cbf2c590a3"
              "a1446dfba17788321524663a7fe589769beb638c33b9505e5a9fedc2251ee90a"
              "d2f3b9c096c280fd8556d49a10b6ff8275a5ef3f8bea29dc2a49829865363963");
    // Two implementations of one function.
    EXPECT_EQ(derive("secret", kHashIdSha1), derive("secret", kHashIdSha1Fips));
    // Only the first 1023 bytes of a password count.
    std::string longPw(1500, 'q');
    EXPECT_EQ(derive(longPw, kHashIdSha256Fips), derive(longPw.substr(0, 1023), kHashIdSha256Fips));
    EXPECT_NE(derive(longPw.substr(0, 1022), kHashIdSha256Fips),
              derive(longPw.substr(0, 1023), kHashIdSha256Fips));
    CTraceLog::SetEcho(true);
}

CTraceLog::Stamp fixedStamp() {
    CTraceLog::Stamp s{};
    s.local.tm_year = 126;
    s.local.tm_mday = 1;
    s.pid = 77;
    return s;
}

// An unknown id fails, leaves 96 zero bytes and says so in the trace.
TEST(KeyDerivation, UnknownIdFailsWithZeroKey) {
    for (uint32_t id : {0u, 0x80000u, 0x30000u, 0x8000000u}) {
        FILE* f = tmpfile();
        ASSERT_NE(f, nullptr);
        CTraceLog::SetFile(f);
        CTraceLog::SetEcho(false);
        CTraceLog::SetStampSource(fixedStamp);
        bool ok = true;
        Bytes key = derive("password", id, &ok);
        fflush(f);
        rewind(f);
        std::string trace;
        char buf[2048];
        while (size_t n = fread(buf, 1, sizeof buf, f)) trace.append(buf, n);
        CTraceLog::SetFile(nullptr);
        CTraceLog::SetStampSource(nullptr);
        CTraceLog::SetEcho(true);

        EXPECT_FALSE(ok) << id;
        EXPECT_EQ(key, Bytes(kKdfKeyLength, 0));
        std::vector<std::string> lines;
        for (size_t start = 0, nl; (nl = trace.find('\n', start)) != std::string::npos;
             start = nl + 1)
            lines.push_back(trace.substr(start, nl - start));
        ASSERT_EQ(lines.size(), 3u) << trace;
        const std::string prefix = "01.01.2026 00:00:00.000 MOX [  77] ";
        EXPECT_EQ(
            lines[0].rfind(prefix + "Entry        DeriveKeyFromPassword (KeyDerivation.cpp : ", 0),
            0u);
        char hexId[16];
        snprintf(hexId, sizeof hexId, "0x%X", id);
        EXPECT_EQ(
            lines[1].rfind(prefix + "Msg          DeriveKeyFromPassword: DeriveKey > hash id " +
                               hexId + " no algo (KeyDerivation.cpp : ",
                           0),
            0u)
            << lines[1];
        EXPECT_EQ(
            lines[2].rfind(prefix + "Exit         DeriveKeyFromPassword (KeyDerivation.cpp : ", 0),
            0u);
    }
}

}  // namespace

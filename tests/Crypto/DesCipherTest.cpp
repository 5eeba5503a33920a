#include <gtest/gtest.h>

#include "CipherOracle.h"
#include "Crypto/DesCipher.h"

using cipheroracle::Bytes;
using cipheroracle::hex;
using cipheroracle::unhex;

namespace {

Bytes run(int kind, int mode, bool encrypt, const Bytes& key, const Bytes& iv, Bytes data) {
    poi::DesCipher des(kind);
    poi::SymetricKey sk(key.data(), key.size());
    if (!des.loadKey(sk, poi::KEY_USE_BOTH)) {
        return {};
    }
    des.setMode(mode);
    size_t outLen = data.size();
    const bool ok = encrypt ? des.encrypt(data.data(), data.size(), outLen,
                                          iv.empty() ? nullptr : iv.data(), iv.size())
                            : des.decrypt(data.data(), data.size(), outLen,
                                          iv.empty() ? nullptr : iv.data(), iv.size());
    return ok ? data : Bytes{};
}

struct Vector {
    const char* name;
    int kind;
    int mode;
    const char* key;
    const char* iv;
    const char* plain;
    const char* cipher;
};

const char* kNowIsTheTime =
    "4e6f77206973207468652074696d6520666f7220616c6c20";  // "Now is the time for all "

// FIPS 81 appendix examples (DES), the classic single-block example, and the
// SP 800-67 three-key example.
const Vector kVectors[] = {
    {"FIPS 81 ECB", poi::KIND_DES, poi::MODE_ECB, "0123456789abcdef", "", kNowIsTheTime,
     "3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53"},
    {"FIPS 81 CBC", poi::KIND_DES, poi::MODE_CBC, "0123456789abcdef", "1234567890abcdef",
     kNowIsTheTime, "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"},
    {"FIPS 81 CFB-8", poi::KIND_DES, poi::MODE_CFB8, "0123456789abcdef", "1234567890abcdef",
     "4e6f7720697320746865", "f31fda07011462ee187f"},
    {"single block", poi::KIND_DES, poi::MODE_ECB, "133457799bbcdff1", "", "0123456789abcdef",
     "85e813540f0ab405"},
    {"SP 800-67 TDEA", poi::KIND_TDES3, poi::MODE_ECB,
     "0123456789abcdef23456789abcdef01456789abcdef0123", "",
     "5468652071756663"
     "6b2062726f776e20"
     "666f78206a756d70",
     "a826fd8ce53b855f"
     "cce21c8112256fe6"
     "68d5c05dd9b6b900"},
};

TEST(DesCipher, PublishedVectors) {
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.name);
        const Bytes key = unhex(v.key), iv = unhex(v.iv);
        const Bytes c = run(v.kind, v.mode, true, key, iv, unhex(v.plain));
        EXPECT_EQ(hex(c), v.cipher);
        EXPECT_EQ(hex(run(v.kind, v.mode, false, key, iv, c)), v.plain);
    }
}

// Two-key Triple-DES has no vector of its own; it must equal three-key EDE
// with K3 = K1 (OpenSSL), and equal single DES when K1 = K2.
TEST(DesCipher, TwoKeyTripleDes) {
    const Bytes key = cipheroracle::randomBytes(16, 11);
    const Bytes plain = cipheroracle::randomBytes(64, 12);
    EXPECT_EQ(hex(run(poi::KIND_TDES2, poi::MODE_ECB, true, key, {}, plain)),
              hex(cipheroracle::crypt(poi::KIND_TDES2, cipheroracle::ECB, true, key, {}, plain)));

    Bytes same(key.begin(), key.begin() + 8);
    const Bytes single = same;
    same.insert(same.end(), single.begin(), single.end());
    EXPECT_EQ(run(poi::KIND_TDES2, poi::MODE_CBC, true, same, {}, plain),
              run(poi::KIND_DES, poi::MODE_CBC, true, single, {}, plain));
}

// Parity bits do not matter: 00 and 01 in a byte give the same cipher.
TEST(DesCipher, ParityIsAdjusted) {
    const Bytes plain = cipheroracle::randomBytes(8, 3);
    const Bytes even = unhex("0023456789abcdee");
    const Bytes odd = unhex("0123456789abcdef");
    const Bytes a = run(poi::KIND_DES, poi::MODE_ECB, true, even, {}, plain);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, run(poi::KIND_DES, poi::MODE_ECB, true, odd, {}, plain));
    // The caller's key is not changed by the adjustment.
    poi::DesCipher des(poi::KIND_DES);
    poi::SymetricKey sk(even.data(), even.size());
    ASSERT_TRUE(des.loadKey(sk, poi::KEY_USE_BOTH));
    EXPECT_EQ(Bytes(sk.keyData(), sk.keyData() + 8), even);
}

const char* kWeakKeys[] = {
    "0101010101010101", "fefefefefefefefe", "e0e0e0e0f1f1f1f1", "1f1f1f1f0e0e0e0e",
    "01fe01fe01fe01fe", "fe01fe01fe01fe01", "1fe01fe00ef10ef1", "e01fe01ff10ef10e",
    "01e001e001f101f1", "e001e001f101f101", "1ffe1ffe0efe0efe", "fe1ffe1ffe0efe0e",
    "011f011f010e010e", "1f011f010e010e01", "e0fee0fef1fef1fe", "fee0fee0fef1fef1"};

// Each table entry really is weak (encrypting twice with it, or with its
// semi-weak partner, is the identity under the OpenSSL oracle) and is refused.
TEST(DesCipher, WeakKeysRefused) {
    const Bytes x = cipheroracle::randomBytes(8, 4);
    for (size_t i = 0; i < 16; ++i) {
        SCOPED_TRACE(kWeakKeys[i]);
        const Bytes k = unhex(kWeakKeys[i]);
        const Bytes partner = unhex(kWeakKeys[i < 4 ? i : (i % 2 ? i - 1 : i + 1)]);
        const Bytes once = cipheroracle::blockEncrypt(poi::KIND_DES, partner, x);
        EXPECT_EQ(cipheroracle::blockEncrypt(poi::KIND_DES, k, once), x);
        EXPECT_TRUE(run(poi::KIND_DES, poi::MODE_ECB, true, k, {}, x).empty());
    }
    struct Case {
        const char* name;
        int kind;
        const char* key;
    };
    const Case cases[] = {
        {"eight 00 bytes become the weak 01 key", poi::KIND_DES, "0000000000000000"},
        {"two-key with weak K2", poi::KIND_TDES2, "0123456789abcdeffefefefefefefefe"},
        {"two-key with weak K1", poi::KIND_TDES2, "e0e0e0e0f1f1f1f10123456789abcdef"},
        {"three-key with weak K3", poi::KIND_TDES3,
         "0123456789abcdef23456789abcdef011f1f1f1f0e0e0e0e"},
        {"DES key too short", poi::KIND_DES, "0123456789abcd"},
        {"two-key key of 8 bytes", poi::KIND_TDES2, "0123456789abcdef"},
        {"three-key key of 16 bytes", poi::KIND_TDES3, "0123456789abcdef23456789abcdef01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(run(c.kind, poi::MODE_ECB, true, unhex(c.key), {}, x).empty());
    }
}

}  // namespace

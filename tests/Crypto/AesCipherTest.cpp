#include <gtest/gtest.h>

#include "CipherOracle.h"
#include "Crypto/AesCipher.h"

using cipheroracle::Bytes;
using cipheroracle::hex;
using cipheroracle::unhex;

namespace {

// Runs a test body on every code path: portable, AES-NI, VAES.
class AesPath : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        if (GetParam() > poi::AesCipher::bestPath()) {
            GTEST_SKIP() << "this CPU has no " << poi::AesCipher::pathName(GetParam());
        }
        previous_ = poi::AesCipher::setPathLimit(GetParam());
    }
    void TearDown() override { poi::AesCipher::setPathLimit(previous_); }
    int previous_ = poi::AES_PATH_VAES;
};

std::string pathName(const ::testing::TestParamInfo<int>& info) {
    return info.param == poi::AES_PATH_VAES    ? "Vaes"
           : info.param == poi::AES_PATH_AESNI ? "AesNi"
                                               : "Portable";
}

struct Vector {
    const char* name;
    int kind;
    const char* key;
    const char* plain;
    const char* cipher;
};

// FIPS 197 Appendix B and C.1 to C.3.
const Vector kVectors[] = {
    {"B", poi::KIND_AES128, "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32"},
    {"C.1", poi::KIND_AES128, "000102030405060708090a0b0c0d0e0f",
     "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"C.2", poi::KIND_AES192, "000102030405060708090a0b0c0d0e0f1011121314151617",
     "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"C.3", poi::KIND_AES256, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
};

TEST_P(AesPath, Fips197Vectors) {
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.name);
        poi::AesCipher aes(v.kind);
        const Bytes key = unhex(v.key);
        poi::SymetricKey sk(key.data(), key.size());
        ASSERT_TRUE(aes.loadKey(sk, poi::KEY_USE_BOTH));
        EXPECT_EQ(aes.path(), GetParam());
        Bytes block = unhex(v.plain);
        ASSERT_TRUE(aes.blockEncrypt(block.data(), block.size()));
        EXPECT_EQ(hex(block), v.cipher);
        ASSERT_TRUE(aes.blockDecrypt(block.data(), block.size()));
        EXPECT_EQ(hex(block), v.plain);
    }
}

// The schedule of FIPS 197 Appendix A.1: last round key of the example key.
TEST(AesKeyExpansion, Fips197AppendixA) {
    uint32_t rk[60];
    const Bytes key = unhex("2b7e151628aed2a6abf7158809cf4f3c");
    ASSERT_EQ(poi::AesCipher::rijndaelKeySetupEnc(rk, key.data(), 128), 10);
    EXPECT_EQ(rk[40], 0xd014f9a8u);
    EXPECT_EQ(rk[43], 0xb6630ca6u);
    const Bytes key256 = unhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    ASSERT_EQ(poi::AesCipher::rijndaelKeySetupEnc(rk, key256.data(), 256), 14);
    EXPECT_EQ(rk[59], 0x706c631eu);
    EXPECT_EQ(poi::AesCipher::rijndaelKeySetupEnc(rk, key256.data(), 100), 0);
}

TEST_P(AesPath, KeyLengthRules) {
    const Bytes key32 = cipheroracle::randomBytes(32, 7);
    poi::SymetricKey k24(key32.data(), 24), k32(key32.data(), 32), k16(key32.data(), 16);
    poi::AesCipher aes256(poi::KIND_AES256);
    EXPECT_FALSE(aes256.loadKey(k24, poi::KEY_USE_BOTH));
    Bytes block(16, 0x5a);
    EXPECT_FALSE(aes256.blockEncrypt(block.data(), 16)) << "refused key leaves no schedule";

    // A longer key than the kind needs uses its first bytes.
    poi::AesCipher longKey(poi::KIND_AES128), exact(poi::KIND_AES128);
    ASSERT_TRUE(longKey.loadKey(k32, poi::KEY_USE_BOTH));
    ASSERT_TRUE(exact.loadKey(k16, poi::KEY_USE_BOTH));
    Bytes a(16, 0x11), b(16, 0x11);
    longKey.blockEncrypt(a.data(), 16);
    exact.blockEncrypt(b.data(), 16);
    EXPECT_EQ(a, b);

    // A schedule built for one direction only refuses the other.
    poi::AesCipher encOnly(poi::KIND_AES128);
    ASSERT_TRUE(encOnly.loadKey(k16, poi::KEY_USE_ENCRYPT));
    EXPECT_TRUE(encOnly.blockEncrypt(a.data(), 16));
    EXPECT_FALSE(encOnly.blockDecrypt(a.data(), 16));
    EXPECT_FALSE(encOnly.blockEncrypt(a.data(), 15)) << "short block";
}

// Bulk paths (8-block batches and parallel CBC streams) against OpenSSL.
TEST_P(AesPath, BulkAgainstOpenSsl) {
    for (int kind : {poi::KIND_AES128, poi::KIND_AES192, poi::KIND_AES256}) {
        SCOPED_TRACE(kind);
        const Bytes key = cipheroracle::randomBytes(poi::KindKeyLength(kind), kind);
        poi::SymetricKey sk(key.data(), key.size());
        poi::AesCipher aes(kind);
        ASSERT_TRUE(aes.loadKey(sk, poi::KEY_USE_BOTH));
        for (size_t streams : {1, 3, 8, 13, 16, 31}) {
            const size_t streamLen = 16 * 37;
            Bytes data = cipheroracle::randomBytes(streams * streamLen, 100 + streams);
            const Bytes ivs = cipheroracle::randomBytes(16 * streams, 200 + streams);
            Bytes expect;
            for (size_t s = 0; s < streams; ++s) {
                const Bytes part(data.begin() + s * streamLen, data.begin() + (s + 1) * streamLen);
                const Bytes iv(ivs.begin() + 16 * s, ivs.begin() + 16 * (s + 1));
                const Bytes c = cipheroracle::crypt(kind, cipheroracle::CBC, true, key, iv, part);
                expect.insert(expect.end(), c.begin(), c.end());
            }
            ASSERT_TRUE(aes.cbcEncryptStreams(data.data(), streams, streamLen, ivs.data()));
            EXPECT_EQ(hex(data), hex(expect)) << streams << " streams";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, AesPath,
                         ::testing::Values(poi::AES_PATH_PORTABLE, poi::AES_PATH_AESNI,
                                           poi::AES_PATH_VAES),
                         pathName);

}  // namespace

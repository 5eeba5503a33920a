#include <gtest/gtest.h>

#include <memory>

#include "CipherOracle.h"
#include "Crypto/AesCipher.h"
#include "Crypto/DesCipher.h"
#include "Crypto/IdeaCipher.h"

using cipheroracle::Bytes;
using cipheroracle::hex;

namespace {

std::unique_ptr<poi::SymetricCipher> makeCipher(int kind) {
    switch (kind) {
        case poi::KIND_AES128:
        case poi::KIND_AES192:
        case poi::KIND_AES256:
            return std::make_unique<poi::AesCipher>(kind);
        case poi::KIND_IDEA:
            return std::make_unique<poi::IdeaCipher>();
        default:
            return std::make_unique<poi::DesCipher>(kind);
    }
}

std::unique_ptr<poi::SymetricCipher> keyed(int kind, const Bytes& key) {
    auto c = makeCipher(kind);
    poi::SymetricKey sk(key.data(), key.size());
    EXPECT_TRUE(c->loadKey(sk, poi::KEY_USE_BOTH));
    return c;
}

const int kKinds[] = {poi::KIND_TDES3,  poi::KIND_DES,  poi::KIND_AES128, poi::KIND_AES192,
                      poi::KIND_AES256, poi::KIND_IDEA, poi::KIND_TDES2};
const cipheroracle::Mode kModes[] = {cipheroracle::ECB, cipheroracle::CBC, cipheroracle::CFB8};

// Every kind in every mode, both directions, against OpenSSL or libgcrypt;
// the IV left behind is the last ciphertext block (CBC) or the last
// block-length ciphertext bytes (CFB-8). AES runs on each of its paths.
TEST(SymetricCipherModes, AgainstOracles) {
    for (int path = poi::AES_PATH_PORTABLE; path <= poi::AesCipher::bestPath(); ++path) {
        const int previous = poi::AesCipher::setPathLimit(path);
        for (int kind : kKinds) {
            for (auto mode : kModes) {
                SCOPED_TRACE(testing::Message()
                             << "kind " << kind << " mode " << mode << " path " << path);
                const Bytes key = cipheroracle::randomBytes(poi::KindKeyLength(kind), kind);
                auto c = keyed(kind, key);
                const size_t b = c->blockLength();
                const Bytes iv = cipheroracle::randomBytes(b, 99);
                const size_t len = mode == cipheroracle::CFB8 ? 37 * b + 5 : 37 * b;
                const Bytes plain = cipheroracle::randomBytes(len, 1000 + kind);
                const Bytes expect = cipheroracle::crypt(kind, mode, true, key, iv, plain);
                ASSERT_EQ(expect.size(), len);

                c->setMode(mode);
                Bytes data = plain;
                size_t outLen = 0;
                ASSERT_TRUE(c->encrypt(data.data(), len, outLen, iv.data(), b));
                EXPECT_EQ(outLen, len);
                EXPECT_EQ(hex(data), hex(expect));
                if (mode != cipheroracle::ECB) {
                    EXPECT_EQ(hex(Bytes(c->iv(), c->iv() + b)),
                              hex(Bytes(data.end() - b, data.end())));
                }
                outLen = len;
                ASSERT_TRUE(c->decrypt(data.data(), len, outLen, iv.data(), b));
                EXPECT_EQ(data, plain);
            }
        }
        poi::AesCipher::setPathLimit(previous);
    }
}

TEST(SymetricCipherModes, CbcWithZeroIvIsEcbOnOneBlock) {
    for (int kind : kKinds) {
        SCOPED_TRACE(kind);
        auto c = keyed(kind, cipheroracle::randomBytes(poi::KindKeyLength(kind), 5));
        const size_t b = c->blockLength();
        Bytes viaCbc = cipheroracle::randomBytes(b, 6), viaEcb = viaCbc;
        size_t outLen;
        c->setMode(poi::MODE_CBC);
        ASSERT_TRUE(c->encrypt(viaCbc.data(), b, outLen, nullptr, 0));
        c->setMode(poi::MODE_ECB);
        ASSERT_TRUE(c->encrypt(viaEcb.data(), b, outLen, nullptr, 0));
        EXPECT_EQ(viaCbc, viaEcb);
    }
}

// Calls that are refused leave the data as it was.
TEST(SymetricCipherModes, Refusals) {
    auto aes = keyed(poi::KIND_AES128, cipheroracle::randomBytes(16, 1));
    const Bytes iv8(8, 1), iv32 = cipheroracle::randomBytes(32, 2);
    const Bytes original = cipheroracle::randomBytes(40, 3);
    struct Case {
        const char* name;
        int mode;
        size_t len;
        const Bytes* iv;
        bool decrypt;
        size_t outLen;
    };
    const Case cases[] = {
        {"IV shorter than the block", poi::MODE_CBC, 32, &iv8, false, 0},
        {"ECB over a partial block", poi::MODE_ECB, 40, nullptr, false, 0},
        {"CBC over a partial block", poi::MODE_CBC, 40, nullptr, false, 0},
        {"CBC decrypt of a partial block", poi::MODE_CBC, 40, nullptr, true, 40},
        {"decrypt count beyond the buffer", poi::MODE_CBC, 32, nullptr, true, 48},
        {"unknown mode", 3, 32, nullptr, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data = original;
        aes->setMode(c.mode);
        size_t outLen = c.outLen;
        const uint8_t* iv = c.iv ? c.iv->data() : nullptr;
        const size_t ivLen = c.iv ? c.iv->size() : 0;
        EXPECT_FALSE(c.decrypt ? aes->decrypt(data.data(), c.len, outLen, iv, ivLen)
                               : aes->encrypt(data.data(), c.len, outLen, iv, ivLen));
        EXPECT_EQ(data, original);
    }

    // A 32-byte IV on a 16-byte cipher uses its first 16 bytes.
    Bytes longIv = original, exactIv = original;
    size_t outLen;
    aes->setMode(poi::MODE_CBC);
    ASSERT_TRUE(aes->encrypt(longIv.data(), 32, outLen, iv32.data(), 32));
    ASSERT_TRUE(aes->encrypt(exactIv.data(), 32, outLen, iv32.data(), 16));
    EXPECT_EQ(longIv, exactIv);

    // CFB-8 over nothing succeeds and leaves the IV as given.
    aes->setMode(poi::MODE_CFB8);
    ASSERT_TRUE(aes->encrypt(longIv.data(), 0, outLen, iv32.data(), 16));
    EXPECT_EQ(Bytes(aes->iv(), aes->iv() + 16), Bytes(iv32.begin(), iv32.begin() + 16));

    // An unkeyed cipher encrypts nothing.
    poi::AesCipher unkeyed(poi::KIND_AES128);
    Bytes data = original;
    EXPECT_FALSE(unkeyed.encrypt(data.data(), 32, outLen, nullptr, 0));
    EXPECT_EQ(data, original);
}

TEST(SymetricKey, CopiesAndReplaces) {
    const Bytes a = cipheroracle::randomBytes(32, 1), b = cipheroracle::randomBytes(8, 2);
    poi::SymetricKey key(a.data(), a.size());
    EXPECT_EQ(Bytes(key.keyData(), key.keyData() + key.keyLength()), a);
    key.setKeyData(b.data(), b.size());
    EXPECT_EQ(Bytes(key.keyData(), key.keyData() + key.keyLength()), b);
    key.setKeyData(a.data(), a.size());
    EXPECT_EQ(Bytes(key.keyData(), key.keyData() + key.keyLength()), a);
}

}  // namespace

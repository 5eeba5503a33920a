#include <gtest/gtest.h>

#include "CipherOracle.h"
#include "Crypto/IdeaCipher.h"

using cipheroracle::Bytes;
using cipheroracle::hex;
using cipheroracle::unhex;

namespace {

TEST(IdeaCipher, PublishedVector) {
    const Bytes key = unhex("00010002000300040005000600070008");
    poi::IdeaCipher idea;
    poi::SymetricKey sk(key.data(), key.size());
    ASSERT_TRUE(idea.loadKey(sk, poi::KEY_USE_BOTH));
    Bytes block = unhex("0000000100020003");
    ASSERT_TRUE(idea.blockEncrypt(block.data(), 8));
    EXPECT_EQ(hex(block), "11fbed2b01986de5");
    ASSERT_TRUE(idea.blockDecrypt(block.data(), 8));
    EXPECT_EQ(hex(block), "0000000100020003");
}

// Random keys, including subkeys of 0 (the stand-in for 65536), against
// libgcrypt.
TEST(IdeaCipher, AgainstLibgcrypt) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        Bytes key = cipheroracle::randomBytes(16, seed);
        if (seed == 1) {
            key.assign(16, 0);
        }
        const Bytes plain = cipheroracle::randomBytes(64, seed + 100);
        poi::IdeaCipher idea;
        poi::SymetricKey sk(key.data(), key.size());
        ASSERT_TRUE(idea.loadKey(sk, poi::KEY_USE_BOTH));
        idea.setMode(poi::MODE_ECB);
        Bytes data = plain;
        size_t outLen;
        ASSERT_TRUE(idea.encrypt(data.data(), data.size(), outLen, nullptr, 0));
        EXPECT_EQ(hex(data),
                  hex(cipheroracle::crypt(poi::KIND_IDEA, cipheroracle::ECB, true, key, {}, plain)))
            << "key " << hex(key);
        outLen = data.size();
        ASSERT_TRUE(idea.decrypt(data.data(), data.size(), outLen, nullptr, 0));
        EXPECT_EQ(data, plain);
    }
}

TEST(IdeaCipher, ShortKeyRefused) {
    const Bytes key(15, 1);
    poi::IdeaCipher idea;
    poi::SymetricKey sk(key.data(), key.size());
    EXPECT_FALSE(idea.loadKey(sk, poi::KEY_USE_BOTH));
}

}  // namespace

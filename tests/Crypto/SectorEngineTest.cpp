#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "CipherOracle.h"
#include "Crypto/AesCipher.h"
#include "Crypto/CryptoFactory.h"
#include "Crypto/PFSpecials/SectorSE.h"

using cipheroracle::Bytes;
using cipheroracle::hex;
using namespace poi_crypto_api;

namespace {

struct EngineInfo {
    SE_ID id;
    int kind;
    size_t block;
};

const EngineInfo kEngines[] = {{SE_DES, 3, 8},    {SE_TDES2, 11, 8},  {SE_IDEA_LE, 10, 8},
                               {SE_IDEA, 10, 8},  {SE_AES128, 4, 16}, {SE_AES192, 5, 16},
                               {SE_AES256, 6, 16}};

void swapWords(Bytes& b) {
    for (size_t i = 0; i + 1 < b.size(); i += 2) {
        std::swap(b[i], b[i + 1]);
    }
}

// The sector scheme written out plainly over the oracle's ECB block function.
class ReferenceWalk {
  public:
    ReferenceWalk(const EngineInfo& e, Bytes key) : e_(e), key_(std::move(key)) {
        if (e_.id == SE_IDEA_LE || e_.id == SE_IDEA) {
            swapWords(key_);
        }
    }

    Bytes run(bool forward, uint64_t pos, Bytes data, const Bytes& callerIv) const {
        const size_t b = e_.block;
        size_t at = 0;
        auto cbc = [&](size_t len, Bytes iv) {
            Bytes part(data.begin() + at, data.begin() + at + len);
            if (e_.id == SE_IDEA_LE) {
                swapWords(iv);
                swapWords(part);
            }
            for (size_t off = 0; off < len; off += b) {
                Bytes blk(part.begin() + off, part.begin() + off + b);
                if (forward) {
                    for (size_t i = 0; i < b; ++i) blk[i] ^= iv[i];
                    blk = ecb(true, blk);
                    iv = blk;
                } else {
                    const Bytes kept = blk;
                    blk = ecb(false, blk);
                    for (size_t i = 0; i < b; ++i) blk[i] ^= iv[i];
                    iv = kept;
                }
                std::copy(blk.begin(), blk.end(), part.begin() + off);
            }
            if (e_.id == SE_IDEA_LE) swapWords(part);
            std::copy(part.begin(), part.end(), data.begin() + at);
            at += len;
            pos += len;
        };
        size_t n = data.size();
        if (n == 0) return data;
        if (pos % 512) {
            size_t head = std::min<uint64_t>(n, 512 - pos % 512);
            head -= head % b;
            if (head) cbc(head, callerIv);
        }
        while (data.size() - at >= 512) cbc(512, ivAt(pos));
        if (data.size() - at >= b) {
            const size_t rest = data.size() - at;
            cbc(rest - rest % b, ivAt(pos));
        }
        const size_t tail = data.size() - at;
        if (tail == 0) return data;
        Bytes reg = ivAt(pos);
        if (e_.id == SE_DES || e_.id == SE_TDES2 || e_.id == SE_IDEA) {
            for (size_t i = 0; i < tail; ++i) {
                const uint8_t in = data[at + i];
                const uint8_t out = in ^ ecb(true, reg)[0];
                data[at + i] = out;
                reg.erase(reg.begin());
                reg.push_back(forward ? out : in);
            }
        } else {
            if (e_.id == SE_IDEA_LE) swapWords(reg);
            Bytes ks = ecb(true, reg);
            if (e_.id == SE_IDEA_LE) swapWords(ks);
            for (size_t i = 0; i < tail; ++i) data[at + i] ^= ks[i];
        }
        return data;
    }

    Bytes ivAt(uint64_t pos) const {
        Bytes iv(e_.block);
        for (size_t i = 0; i < e_.block; ++i) iv[i] = uint8_t(uint32_t(pos) >> (8 * (i % 4)));
        return iv;
    }

  private:
    Bytes ecb(bool forward, const Bytes& block) const {
        Bytes k = key_;
        if (e_.id == SE_DES) k.resize(8);
        return cipheroracle::crypt(e_.kind, cipheroracle::ECB, forward, k, {}, block);
    }

    EngineInfo e_;
    Bytes key_;
};

std::unique_ptr<CSectorSK> makeKey(const Bytes& bytes) {
    auto k = std::make_unique<CSectorSK>();
    EXPECT_TRUE(k->Import(bytes.data(), bytes.size()));
    return k;
}

class SectorEngine : public ::testing::TestWithParam<int> {
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

// Every engine over positions and lengths that reach each step of the walk
// (head, sectors, remaining blocks, tail; high position bits ignored),
// against the reference; decryption restores the plaintext.
TEST_P(SectorEngine, MatchesReferenceWalk) {
    const uint64_t positions[] = {0, 10, 510, 512, (uint64_t(1) << 32) + 512};
    const size_t lengths[] = {0, 8, 100, 1000, 1024, 512 * 17 + 40};
    for (const EngineInfo& e : kEngines) {
        const Bytes keyBytes = cipheroracle::randomBytes(SEKeyLength(e.id), e.id);
        const auto key = makeKey(keyBytes);
        auto engine = CCryptoFactory::GetSE(e.id);
        ASSERT_TRUE(engine);
        ASSERT_TRUE(engine->SetKey(key.get()));
        const ReferenceWalk ref(e, keyBytes);
        const Bytes callerIv = cipheroracle::randomBytes(e.block, 77);
        for (uint64_t pos : positions) {
            for (size_t len : lengths) {
                SCOPED_TRACE(testing::Message()
                             << "id " << e.id << " pos " << pos << " len " << len);
                const Bytes plain = cipheroracle::randomBytes(len, uint32_t(pos + len));
                const Bytes expect = ref.run(true, pos, plain, callerIv);
                Bytes data = plain;
                ASSERT_TRUE(engine->Encrypt(pos, data.data(), len, nullptr, callerIv.data(),
                                            callerIv.size()));
                ASSERT_EQ(hex(data), hex(expect));
                ASSERT_EQ(hex(ref.run(false, pos, expect, callerIv)), hex(plain));
                ASSERT_TRUE(engine->Decrypt(pos, data.data(), len, nullptr, callerIv.data(),
                                            callerIv.size()));
                ASSERT_EQ(data, plain);
            }
        }
    }
}

std::string pathParamName(const ::testing::TestParamInfo<int>& info) {
    static const char* const kNames[] = {"Portable", "AesNi", "Vaes"};
    return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Paths, SectorEngine,
                         ::testing::Values(poi::AES_PATH_PORTABLE, poi::AES_PATH_AESNI,
                                           poi::AES_PATH_VAES),
                         pathParamName);

// The stored layout of a 100-byte key record under AES-256 (buffer form):
// 96 bytes CBC with a zero IV, then 4 bytes XORed with the encryption of the
// position IV of 96.
TEST(SectorEngineLayout, KeyRecordUnderAes256) {
    const Bytes keyBytes = cipheroracle::randomBytes(32, 5);
    const auto key = makeKey(keyBytes);
    auto engine = CCryptoFactory::GetSE(SE_AES256);
    const Bytes plain = cipheroracle::randomBytes(100, 6);
    Bytes data = plain;
    const Bytes callerIv(16, 0xAA);  // plays no part at position 0
    ASSERT_TRUE(engine->Encrypt(data.data(), data.size(), key.get(), callerIv.data(), 16));

    const Bytes body = cipheroracle::crypt(6, cipheroracle::CBC, true, keyBytes, Bytes(16, 0),
                                           Bytes(plain.begin(), plain.begin() + 96));
    EXPECT_EQ(hex(Bytes(data.begin(), data.begin() + 96)), hex(body));
    Bytes iv96(16);
    for (size_t i = 0; i < 16; i += 4) iv96[i] = 0x60;
    const Bytes ks = cipheroracle::blockEncrypt(6, keyBytes, iv96);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(data[96 + i], plain[96 + i] ^ ks[i]);

    // Decryption also encrypts the IV for the tail, and the buffer forms and
    // Init/Update/Final are the position-0 call.
    Bytes other = plain;
    ASSERT_TRUE(engine->EncryptInit(other.data(), other.size(), nullptr, nullptr, 0));
    EXPECT_EQ(other, data);
    other = plain;
    ASSERT_TRUE(engine->EncryptUpdate(uint64_t(0), other.data(), other.size()));
    EXPECT_EQ(other, data);
    ASSERT_TRUE(engine->DecryptFinal(other.data(), other.size()));
    EXPECT_EQ(other, plain);
}

TEST(SectorEngineLayout, SplitRangesDoNotMix) {
    for (const EngineInfo& e : kEngines) {
        SCOPED_TRACE(e.id);
        const auto key = makeKey(cipheroracle::randomBytes(SEKeyLength(e.id), 9));
        auto engine = CCryptoFactory::GetSE(e.id);
        ASSERT_TRUE(engine->SetKey(key.get()));
        const Bytes plain = cipheroracle::randomBytes(1000, 10);
        Bytes data = plain;
        ASSERT_TRUE(engine->Encrypt(uint64_t(10), data.data(), 1000, nullptr, nullptr, 0));
        ASSERT_TRUE(engine->Decrypt(uint64_t(10), data.data(), 300, nullptr, nullptr, 0));
        ASSERT_TRUE(engine->Decrypt(uint64_t(310), data.data() + 300, 700, nullptr, nullptr, 0));
        EXPECT_NE(data, plain);
    }
}

// A caller IV shorter than the block is repeated to fill it (the positional
// reader hands AES an 8-byte IV); only the head off the sector grid sees it.
TEST(SectorEngineLayout, ShortCallerIvIsRepeated) {
    for (const EngineInfo& e : kEngines) {
        const auto key = makeKey(cipheroracle::randomBytes(SEKeyLength(e.id), 41));
        auto engine = CCryptoFactory::GetSE(e.id);
        ASSERT_TRUE(engine->SetKey(key.get()));
        const Bytes plain = cipheroracle::randomBytes(1000, 42);
        for (size_t ivLen = 4; ivLen < e.block; ivLen *= 2) {
            SCOPED_TRACE(testing::Message() << "id " << e.id << " iv of " << ivLen);
            const Bytes shortIv = cipheroracle::randomBytes(ivLen, 43);
            Bytes fullIv;
            while (fullIv.size() < e.block)
                fullIv.insert(fullIv.end(), shortIv.begin(), shortIv.end());
            Bytes viaShort = plain, viaFull = plain;
            ASSERT_TRUE(engine->Encrypt(uint64_t(10), viaShort.data(), viaShort.size(), nullptr,
                                        shortIv.data(), ivLen));
            ASSERT_TRUE(engine->Encrypt(uint64_t(10), viaFull.data(), viaFull.size(), nullptr,
                                        fullIv.data(), fullIv.size()));
            EXPECT_EQ(hex(viaShort), hex(viaFull));
            ASSERT_TRUE(engine->Decrypt(uint64_t(10), viaShort.data(), viaShort.size(), nullptr,
                                        shortIv.data(), ivLen));
            EXPECT_EQ(viaShort, plain);
        }
    }
}

// Id 1 takes the first 8 key bytes; id 2 turns an 8-byte key K into K K,
// which is single DES.
TEST(SectorEngineLayout, DesKeyRules) {
    const Bytes k8 = cipheroracle::randomBytes(8, 21);
    Bytes k32 = k8;
    k32.resize(32, 0x5C);
    const Bytes plain = cipheroracle::randomBytes(1000, 22);
    auto run = [&](SE_ID id, const Bytes& keyBytes) {
        const auto key = makeKey(keyBytes);
        auto engine = CCryptoFactory::GetSE(id);
        Bytes data = plain;
        EXPECT_TRUE(engine->Encrypt(uint64_t(3), data.data(), data.size(), key.get(), nullptr, 0));
        return data;
    };
    const Bytes des = run(SE_DES, k8);
    EXPECT_EQ(run(SE_DES, k32), des);
    EXPECT_EQ(run(SE_TDES2, k8), des);
}

TEST(SectorEngineFactory, EveryId) {
    EXPECT_FALSE(CCryptoFactory::GetSE(SE_NONE));
    EXPECT_FALSE(CCryptoFactory::GetSE(SE_LAST));
    EXPECT_FALSE(CCryptoFactory::GetSE(SE_ID(1000)));
    const auto key = makeKey(Bytes(32, 0x42));
    for (uint32_t id = 1; id <= 12; ++id) {
        SCOPED_TRACE(id);
        auto engine = CCryptoFactory::GetSE(SE_ID(id));
        ASSERT_TRUE(engine);
        EXPECT_EQ(engine->GetID(), SE_ID(id));
        Bytes data(64, 1);
        EXPECT_EQ(engine->Encrypt(data.data(), data.size(), key.get(), nullptr, 0), id <= 7);
    }
    EXPECT_EQ(SEKeyLength(0), 0u);
    EXPECT_EQ(SEKeyLength(2), 16u);
    EXPECT_EQ(SEKeyLength(3), 16u);
    EXPECT_EQ(SEKeyLength(7), 32u);
    EXPECT_EQ(SEKeyLength(13), 0u);
    EXPECT_EQ(SEForCipherId(MOX_CIPHER_AES256), SE_AES256);
    EXPECT_EQ(SEForCipherId(MOX_CIPHER_TDES), SE_TDES2);
    EXPECT_EQ(SEForCipherId(MOX_CIPHER_IDEA), SE_IDEA_LE);
    EXPECT_EQ(SEForCipherId(77), SE_AES256);
}

// Calls the engine refuses: false, and the data is untouched.
TEST(SectorEngineRefusals, Table) {
    const Bytes original = cipheroracle::randomBytes(100, 31);
    const auto good = makeKey(cipheroracle::randomBytes(32, 32));
    const auto tooLong = makeKey(cipheroracle::randomBytes(33, 33));
    const auto shortForAes256 = makeKey(cipheroracle::randomBytes(16, 34));
    const auto weakDes = makeKey(Bytes(8, 0x01));
    const auto oddIdea = makeKey(cipheroracle::randomBytes(17, 35));
    const uint8_t iv16[16] = {};
    struct Case {
        const char* name;
        SE_ID id;
        std::function<bool(CSE&, uint8_t*)> call;
    };
    const Case cases[] = {
        {"key longer than 32 bytes", SE_AES256,
         [&](CSE& e, uint8_t* d) { return e.Encrypt(d, 100, tooLong.get(), nullptr, 0); }},
        {"key too short for the cipher", SE_AES256,
         [&](CSE& e, uint8_t* d) { return e.Encrypt(d, 100, shortForAes256.get(), nullptr, 0); }},
        {"weak DES key", SE_DES,
         [&](CSE& e, uint8_t* d) { return e.Encrypt(d, 100, weakDes.get(), nullptr, 0); }},
        {"odd key length for word swapping", SE_IDEA_LE,
         [&](CSE& e, uint8_t* d) { return e.Encrypt(d, 100, oddIdea.get(), nullptr, 0); }},
        {"null key to SetKey", SE_AES256, [&](CSE& e, uint8_t*) { return e.SetKey(nullptr); }},
        {"never keyed", SE_AES256,
         [&](CSE& e, uint8_t* d) { return e.Encrypt(d, 100, nullptr, nullptr, 0); }},
        {"IV longer than the block", SE_TDES2,
         [&](CSE& e, uint8_t* d) { return e.Encrypt(uint64_t(7), d, 100, good.get(), iv16, 16); }},
        {"IV length not dividing the block", SE_AES256,
         [&](CSE& e, uint8_t* d) { return e.Decrypt(uint64_t(7), d, 100, good.get(), iv16, 3); }},
        {"engine without a cipher: SetKey", SE_RESERVED9,
         [&](CSE& e, uint8_t*) { return e.SetKey(good.get()); }},
        {"engine without a cipher: Decrypt", SE_RESERVED12,
         [&](CSE& e, uint8_t* d) { return e.Decrypt(d, 100, nullptr, nullptr, 0); }},
        {"engine without a cipher: empty range", SE_RESERVED8,
         [&](CSE& e, uint8_t* d) { return e.Encrypt(d, 0, nullptr, nullptr, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = CCryptoFactory::GetSE(c.id);
        ASSERT_TRUE(engine);
        Bytes data = original;
        EXPECT_FALSE(c.call(*engine, data.data()));
        EXPECT_EQ(data, original);
    }

    // A refused key leaves the engine unkeyed.
    auto engine = CCryptoFactory::GetSE(SE_AES256);
    ASSERT_TRUE(engine->SetKey(good.get()));
    EXPECT_FALSE(engine->SetKey(shortForAes256.get()));
    Bytes data = original;
    EXPECT_FALSE(engine->Encrypt(data.data(), data.size(), nullptr, nullptr, 0));

    // An empty range succeeds without touching the key.
    auto fresh = CCryptoFactory::GetSE(SE_AES256);
    EXPECT_TRUE(fresh->Encrypt(data.data(), 0, good.get(), nullptr, 0));
    EXPECT_FALSE(fresh->Encrypt(data.data(), data.size(), nullptr, nullptr, 0));

    uint8_t odd[3] = {1, 2, 3};
    EXPECT_FALSE(CSectorSE::wordSwap(odd, 3));
    EXPECT_EQ(odd[0], 1);
}

TEST(SectorKey, ImportExportClear) {
    CSectorSK key;
    EXPECT_EQ(key.GetByteLength(), 0u);
    EXPECT_FALSE(key.Import(nullptr, 4));
    const uint8_t src[4] = {1, 2, 3, 4};
    EXPECT_FALSE(key.Import(src, 0));
    ASSERT_TRUE(key.Import(src, 4));
    EXPECT_EQ(key.GetByteLength(), 4u);
    EXPECT_EQ(key.GetLength(), 32u);
    uint8_t wide[6] = {9, 9, 9, 9, 9, 9}, narrow[2];
    ASSERT_TRUE(key.Export(wide, 6));
    EXPECT_EQ(Bytes(wide, wide + 6), (Bytes{1, 2, 3, 4, 0, 0}));
    ASSERT_TRUE(key.Export(narrow, 2));
    EXPECT_EQ(Bytes(narrow, narrow + 2), (Bytes{1, 2}));
    EXPECT_FALSE(key.Export(nullptr, 2));
    EXPECT_FALSE(key.Export(narrow, 0));
    key.Clear();
    EXPECT_EQ(key.GetByteLength(), 0u);
}

}  // namespace

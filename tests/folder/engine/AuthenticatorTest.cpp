#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Crypto/PFSpecials/SectorSE.h"
#include "Crypto/Prng.h"
#include "folder/MoxAuthenticator.h"

namespace {

const uint32_t kHashIds[] = {0x10000, 0x20000, 0x40000, 0x1000000, 0x2000000, 0x4000000};
const uint32_t kCipherIds[] = {1, 2, 512};

MoxCipherKey folderKey(uint32_t cipherId) {
    MoxCipherKey k;
    k.SetCipherId(cipherId);
    for (size_t i = 0; i < MoxCipherKey::kKeyBytes; ++i) k.Key()[i] = (uint8_t)(0xA0 ^ i);
    return k;
}

std::string hex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {d[p[i] >> 4], d[p[i] & 15]};
    return s;
}

}  // namespace

// Every hash and every cipher of a folder: the record opens with its
// password (the trial finds both), gives back exactly the wrapped 100 bytes,
// and refuses any other password.
TEST(Authenticator, EveryHashAndCipherRoundTrips) {
    for (uint32_t cipher : kCipherIds) {
        for (uint32_t hash : kHashIds) {
            SCOPED_TRACE(testing::Message()
                         << "cipher " << cipher << " hash 0x" << std::hex << hash);
            CMoxAuthenticator a;
            MoxCipherKey key = folderKey(cipher);
            std::unique_ptr<MoxKeyData> rec(
                a.GetKeyFromPassword("User", "pässword", hash, cipher, &key));
            ASSERT_TRUE(rec);
            EXPECT_EQ(0u, a.GetError());
            EXPECT_EQ(kMoxKeyTypeUserPassword, rec->KeyType);
            ASSERT_EQ(336u, rec->KeySpec.length);
            ASSERT_EQ(100u, rec->EK.length);
            ASSERT_EQ(64u, rec->PV.length);
            EXPECT_NE(0, std::memcmp(rec->EK.data, key.bytes, 100)) << "EK stored in clear";

            std::vector<MoxKeyData*> records{rec.get()};
            MoxCipherKey out;
            EXPECT_EQ(rec.get(), a.AuthenticatePassword("user", "pässword", records, &out));
            EXPECT_EQ(hex(key.bytes, 100), hex(out.bytes, 100));
            MoxCipherKey none;
            EXPECT_EQ(nullptr, a.AuthenticatePassword("user", "password", records, &none));
            EXPECT_EQ(hex(MoxCipherKey().bytes, 100), hex(none.bytes, 100));
        }
    }
}

TEST(Authenticator, NameRules) {
    CMoxAuthenticator a;
    MoxCipherKey key = folderKey(1);
    std::unique_ptr<MoxKeyData> alice(a.GetKeyFromPassword("Alice", "pw", 0x2000000, 1, &key));
    std::unique_ptr<MoxKeyData> nameless(a.GetKeyFromPassword("", "pw", 0x2000000, 1, &key));
    MoxCipherKey other = folderKey(1);
    other.Key()[0] ^= 1;
    std::unique_ptr<MoxKeyData> alice2(a.GetKeyFromPassword("alice", "pw", 0x2000000, 1, &other));
    ASSERT_TRUE(alice && nameless && alice2);
    EXPECT_EQ(kMoxKeyTypePassword, nameless->KeyType);

    struct Case {
        const char* name;
        std::vector<MoxKeyData*> records;
        MoxKeyData* expect;
    };
    const Case cases[] = {
        {"alice", {alice.get()}, alice.get()},
        {"ALICE", {alice.get()}, alice.get()},
        {"Alic", {alice.get()}, nullptr},
        {"bob", {alice.get()}, nullptr},
        {"", {alice.get()}, nullptr},
        {"", {alice.get(), nameless.get()}, nameless.get()},
        {"x", {nameless.get()}, nullptr},
        {"alice", {nameless.get(), alice.get()}, alice.get()},
        {"alice", {alice2.get(), alice.get()}, alice2.get()},  // first of equal names wins
    };
    for (const Case& c : cases) {
        MoxCipherKey out;
        EXPECT_EQ(c.expect, a.AuthenticatePassword(c.name, "pw", c.records, &out))
            << "name '" << c.name << "'";
    }
    MoxCipherKey out;
    EXPECT_EQ(alice.get(), a.AuthenticatePassword(nullptr, "pw", {alice.get()}, &out))
        << "a null name skips the name test";
}

TEST(Authenticator, RecordLayoutAndRefusals) {
    // KeySpec: the name, its NUL, then random bytes; salt, IV-PV, IV-EK in
    // the order the random source gives them.
    std::vector<uint8_t> drawn;
    auto counting = CPrng::CountingSource(7);
    CPrng::ScopedSource source([&](uint8_t* dst, size_t len) {
        counting(dst, len);
        drawn.insert(drawn.end(), dst, dst + len);
    });
    CMoxAuthenticator a;
    MoxCipherKey key = folderKey(2);
    MoxAuthentication req;
    req.SetName("bob");
    req.SetPassword("pw");
    req.displayName = "Bob B";
    req.userId = "bob-login";
    req.cipherId = 2;
    std::unique_ptr<MoxKeyData> rec(a.GetKey(&req, &key));
    ASSERT_TRUE(rec);
    ASSERT_EQ(336u, drawn.size());
    EXPECT_EQ(0, std::memcmp("bob", rec->KeySpec.data, 4));
    EXPECT_EQ(0, std::memcmp(drawn.data() + 4, rec->KeySpec.data + 4, 332));
    EXPECT_STREQ("bob-login", rec->UserId);
    EXPECT_STREQ("", rec->Sid);
    EXPECT_STREQ("Bob B", rec->DispName);
    EXPECT_EQ(36u, std::strlen(rec->KeyId));
    EXPECT_EQ(0u, rec->Perms);

    req.userId.reset();
    std::unique_ptr<MoxKeyData> byName(a.GetKey(&req, &key));
    ASSERT_TRUE(byName);
    EXPECT_STREQ("bob", byName->UserId);

    // An unknown hash id derives an all-zero key: such a record would open
    // for any password, so none is made.
    for (uint32_t bad : {0u, 0x80000u, 0x2000001u}) {
        req.hashId = bad;
        EXPECT_EQ(nullptr, a.GetKey(&req, &key));
        EXPECT_EQ(kMoxErrInvalidParameter, a.GetError());
    }
    req.hashId = 0x2000000;
    req.type = kMoxAuthTypeSavedPassword;
    EXPECT_EQ(nullptr, a.GetKey(&req, &key));
    MoxCipherKey out;
    EXPECT_EQ(nullptr, a.Authenticate(&req, {rec.get()}, &out));
    req.type = 2;
    EXPECT_EQ(nullptr, a.Authenticate(&req, {rec.get()}, &out));
    req.type = kMoxAuthTypePassword;
    EXPECT_EQ(rec.get(), a.Authenticate(&req, {rec.get()}, &out));
}

TEST(Authenticator, EngineKeys) {
    struct Case {
        uint32_t cipherId;
        poi_crypto_api::SE_ID engine;
        size_t keyBytes;
    };
    const Case cases[] = {{1, poi_crypto_api::SE_AES256, 32},
                          {2, poi_crypto_api::SE_TDES2, 16},
                          {512, poi_crypto_api::SE_IDEA_LE, 16},
                          {0, poi_crypto_api::SE_AES256, 32},
                          {3, poi_crypto_api::SE_AES256, 32}};
    for (const Case& c : cases) {
        MoxCipherKey key = folderKey(c.cipherId);
        poi_crypto_api::CSectorSK csk;
        poi_crypto_api::SE_ID engine = poi_crypto_api::SE_NONE;
        ASSERT_TRUE(PoiConvertMoxCipherKeyToCSK(&key, &csk, &engine));
        EXPECT_EQ(c.engine, engine);
        EXPECT_EQ(c.keyBytes, csk.GetByteLength());
        uint8_t exported[32] = {};
        csk.Export(exported, sizeof exported);
        EXPECT_EQ(0, std::memcmp(key.Key(), exported, c.keyBytes));
        std::unique_ptr<poi_crypto_api::CSE> se;
        EXPECT_TRUE(PoiInitCryptContext(key.Key(), engine, se));
        EXPECT_EQ(c.engine, se->GetID());
    }
    EXPECT_FALSE(PoiConvertMoxCipherKeyToCSK(nullptr, nullptr, nullptr));
    std::unique_ptr<poi_crypto_api::CSE> se;
    EXPECT_FALSE(PoiInitCryptContext(folderKey(1).Key(), poi_crypto_api::SE_NONE, se));
    EXPECT_FALSE(se);
}

// A wrong password costs a bounded number of key derivations whatever the
// folder holds: records of other names are passed over before any
// derivation, repeats of one record are tried once, and no more than
// kMoxMaxTriedRecords records are tried.
TEST(Authenticator, WorkPerAttemptIsBounded) {
    CMoxAuthenticator a;
    MoxCipherKey folderKey;
    folderKey.SetCipherId(1);
    std::vector<std::unique_ptr<MoxKeyData>> owned;
    auto add = [&](const char* name, const char* password) {
        owned.emplace_back(a.GetKeyFromPassword(name, password, 0x2000000, 1, &folderKey));
        return owned.back().get();
    };
    std::vector<MoxKeyData*> records;
    for (int i = 0; i < 40; ++i) records.push_back(add("other", "pw"));
    MoxKeyData* copy = add("ann", "old");
    for (int i = 0; i < 100; ++i) records.push_back(copy);
    MoxKeyData* right = add("ann", "pw");
    records.push_back(right);
    MoxCipherKey out;
    EXPECT_EQ(a.AuthenticatePassword("ann", "pw", records, &out), right)
        << "other names and repeats count nothing";

    records.clear();
    for (size_t i = 0; i < kMoxMaxTriedRecords; ++i) records.push_back(add("ann", "old"));
    records.push_back(right);
    EXPECT_EQ(a.AuthenticatePassword("ann", "pw", records, &out), nullptr)
        << "a record past the bound is not tried";
}

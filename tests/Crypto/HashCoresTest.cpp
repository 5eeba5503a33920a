#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Crypto/Rmd160.h"
#include "Crypto/Sha1.h"
#include "Crypto/Whirlpool.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string hex(const Bytes& b) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (unsigned char c : b) s += {digits[c >> 4], digits[c & 15]};
    return s;
}

// Feeds the message in pieces of the given sizes (the rest in one piece).
using Feed = Bytes (*)(const std::string& msg, const std::vector<size_t>& pieces);

template <typename Add>
void feedPieces(const std::string& msg, const std::vector<size_t>& pieces, Add add) {
    const auto* p = reinterpret_cast<const unsigned char*>(msg.data());
    size_t pos = 0;
    for (size_t n : pieces) {
        n = std::min(n, msg.size() - pos);
        add(p + pos, n);
        pos += n;
    }
    add(p + pos, msg.size() - pos);
}

Bytes sha1Feed(const std::string& msg, const std::vector<size_t>& pieces) {
    sha1_ctx ctx;
    sha1_begin(&ctx);
    feedPieces(msg, pieces, [&](const unsigned char* d, size_t n) { sha1_hash(d, n, &ctx); });
    Bytes out(SHA1_DIGEST_SIZE);
    sha1_end(out.data(), &ctx);
    return out;
}

Bytes rmd160Feed(const std::string& msg, const std::vector<size_t>& pieces) {
    RMD160_CTX ctx;
    RMD160Init(&ctx);
    feedPieces(msg, pieces, [&](const unsigned char* d, size_t n) { RMD160Update(&ctx, d, n); });
    Bytes out(RMD160_DIGEST_LENGTH);
    RMD160Final(out.data(), &ctx);
    EXPECT_EQ(ctx.count, 0u);  // the context is cleared after use
    return out;
}

Bytes whirlpoolFeed(const std::string& msg, const std::vector<size_t>& pieces) {
    WHIRLPOOL_CTX ctx;
    WHIRLPOOL_init(&ctx);
    feedPieces(msg, pieces,
               [&](const unsigned char* d, size_t n) { WHIRLPOOL_add(d, 8 * n, &ctx); });
    Bytes out(WHIRLPOOL_DIGEST_SIZE);
    WHIRLPOOL_finalize(&ctx, out.data());
    return out;
}

const std::string kMillionA(1000000, 'a');
const std::string k56 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k80 =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

// FIPS 180 / ISO 10118-3 / NESSIE vectors.
const struct {
    Feed feed;
    const char* name;
    const std::string* message;
    const char* literal;
    const char* digest;
} kVectors[] = {
    {sha1Feed, "sha1", nullptr, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {sha1Feed, "sha1", nullptr, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {sha1Feed, "sha1", &k56, nullptr, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {sha1Feed, "sha1", &kMillionA, nullptr, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {rmd160Feed, "rmd160", nullptr, "", "9c1185a5c5e9fc54612808977ee8f548b2258d31"},
    {rmd160Feed, "rmd160", nullptr, "a", "0bdc9d2d256b3ee9daae347be6f4dc835a467ffe"},
    {rmd160Feed, "rmd160", nullptr, "abc", "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc"},
    {rmd160Feed, "rmd160", nullptr, "message digest", "5d0689ef49d2fae572b881b123a85ffa21595f36"},
    {rmd160Feed, "rmd160", &k56, nullptr, "12a053384a9c0c88e405a06c27dcf49ada62eb2b"},
    {rmd160Feed, "rmd160", &k80, nullptr, "9b752e45573d4b39f4dbd3323cab82bf63326bfb"},
    {rmd160Feed, "rmd160", &kMillionA, nullptr, "52783243c1697bdbe16d37f97f68f08325dc1528"},
    {whirlpoolFeed, "whirlpool", nullptr, "",
     "19fa61d75522a4669b44e39c1d2e1726c530232130d407f89afee0964997f7a7"
     "3e83be698b288febcf88e3e03c4f0757ea8964e59b63d93708b138cc42a66eb3"},
    {whirlpoolFeed, "whirlpool", nullptr, "a",
     "8aca2602792aec6f11a67206531fb7d7f0dff59413145e6973c45001d0087b42"
     "d11bc645413aeff63a42391a39145a591a92200d560195e53b478584fdae231a"},
    {whirlpoolFeed, "whirlpool", nullptr, "abc",
     "4e2448a4c6f486bb16b6562c73b4020bf3043e3a731bce721ae1b303d97e6d4c"
     "7181eebdb6c57e277d0e34957114cbd6c797fc9d95d8b582d225292076d4eef5"},
    {whirlpoolFeed, "whirlpool", nullptr, "message digest",
     "378c84a4126e2dc6e56dcc7458377aac838d00032230f53ce1f5700c0ffb4d3b"
     "8421557659ef55c106b4b52ac5a4aaa692ed920052838f3362e86dbd37a8903e"},
    {whirlpoolFeed, "whirlpool", &k80, nullptr,
     "466ef18babb0154d25b9d38a6414f5c08784372bccb204d6549c4afadb601429"
     "4d5bd8df2a6c44e538cd047b2681a51a2c60481e88c5a20b2c2a80cf3a9a083b"},
    {whirlpoolFeed, "whirlpool", &kMillionA, nullptr,
     "0c99005beb57eff50a7cf005560ddf5d29057fd86b20bfd62deca0f1ccea4af5"
     "1fc15490eddc47af32bb2b66c34ff9ad8c6008ad677f77126953b226e4ed8b01"},
};

// Splits that cross, meet and straddle block and padding boundaries.
const std::vector<std::vector<size_t>> kSplits = {
    {},           {0},     {1},
    {63},         {64},    {0, 64, 0, 64},
    {55, 1},      {56, 8}, {1, 1, 1, 61, 65, 127, 0, 3},
    {31, 33, 32},
};

TEST(HashCores, PublishedVectorsWithSplitFeeding) {
    for (const auto& v : kVectors) {
        const std::string msg = v.message ? *v.message : v.literal;
        SCOPED_TRACE(std::string(v.name) + " of " + std::to_string(msg.size()) + " bytes");
        for (const auto& split : kSplits) EXPECT_EQ(hex(v.feed(msg, split)), v.digest);
    }
    // A million bytes one at a time.
    std::vector<size_t> ones(kMillionA.size(), 1);
    EXPECT_EQ(hex(whirlpoolFeed(kMillionA, ones)), kVectors[16].digest);
    EXPECT_EQ(hex(sha1Feed(kMillionA, ones)), kVectors[3].digest);
    EXPECT_EQ(hex(rmd160Feed(kMillionA, ones)), kVectors[10].digest);
}

TEST(HashCores, OneShotHelpersAndWhirlpoolBitFeeding) {
    const auto* abc = reinterpret_cast<const unsigned char*>("abc");
    Bytes d(64);
    sha1(d.data(), abc, 3);
    EXPECT_EQ(hex(Bytes(d.begin(), d.begin() + 20)), kVectors[1].digest);
    RMD160(d.data(), abc, 3);
    EXPECT_EQ(hex(Bytes(d.begin(), d.begin() + 20)), kVectors[6].digest);
    WHIRLPOOL(d.data(), abc, 3);
    EXPECT_EQ(hex(d), kVectors[13].digest);

    // "abc" as 24 bits added off byte boundaries: 3 bits (the low ones of
    // 0x03 = 011, the top of 'a'), then 13 bits, then 8.
    // 'a' 'b' 'c' = 01100001 01100010 01100011
    WHIRLPOOL_CTX ctx;
    WHIRLPOOL_init(&ctx);
    const unsigned char first[] = {0x03};         // 011
    const unsigned char second[] = {0x01, 0x62};  // 00001 01100010
    WHIRLPOOL_add(first, 3, &ctx);
    WHIRLPOOL_add(second, 13, &ctx);
    WHIRLPOOL_add(reinterpret_cast<const unsigned char*>("c"), 8, &ctx);
    WHIRLPOOL_finalize(&ctx, d.data());
    EXPECT_EQ(hex(d), kVectors[13].digest);

    // A null digest only clears the RIPEMD-160 context.
    RMD160_CTX r;
    RMD160Init(&r);
    RMD160Update(&r, abc, 3);
    RMD160Final(nullptr, &r);
    EXPECT_EQ(r.count, 0u);
    EXPECT_EQ(r.state[0], 0u);
}

}  // namespace

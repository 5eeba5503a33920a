#include "Crypto/Prng.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Prng, SystemBytesAndInjectedSource) {
    uint8_t guard[4] = {1, 2, 3, 4};
    EXPECT_TRUE(CPrng::GetRandomBytes(guard, 0));
    EXPECT_EQ(guard[0], 1);  // len 0 writes nothing

    std::vector<uint8_t> a(4099), b(4099);  // more than one getrandom() chunk, odd length
    ASSERT_TRUE(CPrng::GetRandomBytes(a.data(), a.size()));
    ASSERT_TRUE(CPrng::GetRandomBytes(b.data(), b.size()));
    EXPECT_NE(a, b);
    EXPECT_NE(a, std::vector<uint8_t>(a.size(), 0));

    std::vector<uint8_t> first(32), second(32), inner(32);
    {
        CPrng::ScopedSource seeded(CPrng::CountingSource(7));
        CPrng::GetRandomBytes(first.data(), 32);
        {
            CPrng::ScopedSource again(CPrng::CountingSource(7));
            CPrng::GetRandomBytes(second.data(), 32);
        }
        CPrng::GetRandomBytes(inner.data(), 32);  // the outer source goes on
    }
    EXPECT_EQ(first, second);
    EXPECT_NE(first, inner);
    CPrng::ScopedSource other(CPrng::CountingSource(8));
    std::vector<uint8_t> third(32);
    CPrng::GetRandomBytes(third.data(), 32);
    EXPECT_NE(first, third);
}

}  // namespace

#include "utilities/VersionComparator.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* a;
    const char* b;
    bool greater;         // a > b
    bool greaterOrEqual;  // a >= b
};

TEST(VersionComparator, ComparesTheFirstThreeComponentsNumerically) {
    const Case cases[] = {
        {"2.7.4", "2.7.3", true, true},
        {"2.7.4", "2.7.4", false, true},
        {"2.7.4", "2.7.4.1", false, true},  // a fourth component is ignored
        {"2.7.4.9", "2.7.4", false, true},
        {"2.7.4", "2.8", false, false},
        {"2.7.4", "2.7", true, true},  // 2.7 is 2.7.0
        {"2.7.4", "3.14.0", false, false},
        {"2.7.4", "3.14", false, false},
        {"2.10", "2.9", true, true},
        {"2.9", "2.10", false, false},
        {"3.0.0", "2.5.0", true, true},  // earlier components decide, not any one of them
        {"2.5.0", "3.0.0", false, false},
        {"1.9.9", "2.0.0", false, false},
        {"2.0.0", "1.9.9", true, true},
        {"2.7.4b2", "2.7.4", false, true},  // "4b2" counts as 4
        {"2.7.5b2", "2.7.4", true, true},
        {"", "0.0.0", false, true},  // empty is 0.0.0
        {"0.0.1", "", true, true},
        {"2..4", "2.0.4", false, true},
        {"-1", "0", false, false},
        {"99999999999999999999", "2147483647", false, true},  // saturates, never overflows
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(VersionComparator::isVersionGreaterThanVersion(c.a, c.b), c.greater);
        EXPECT_EQ(VersionComparator::isVersionGreaterThanOrEqualToVersion(c.a, c.b),
                  c.greaterOrEqual);
    }
}

TEST(VersionComparator, ReadsComponentsLikeAnIntegerPrefix) {
    const std::pair<const char*, int> cases[] = {{"4b2", 4},  {"", 0},     {"b4", 0},   {"+7", 7},
                                                 {"-3x", -3}, {" 12", 12}, {"0010", 10}};
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(VersionComparator::componentValue(text), value) << text;
    }
}

TEST(VersionComparator, PadsToThreeComponentsAndKeepsLongerOnes) {
    using V = std::vector<std::string>;
    EXPECT_EQ(VersionComparator::normaliseValuesFromArray({}), (V{"0", "0", "0"}));
    EXPECT_EQ(VersionComparator::normaliseValuesFromArray({"2"}), (V{"2", "0", "0"}));
    EXPECT_EQ(VersionComparator::normaliseValuesFromArray({"1", "2", "3", "4"}),
              (V{"1", "2", "3", "4"}));
}

}  // namespace

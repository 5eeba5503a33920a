#include "platform/desktop/MimeDatabase.h"

#include <gtest/gtest.h>

namespace {

TEST(MimeDatabase, ParsesGlobsAndAliasesSkippingMalformedLines) {
    const auto globs = platform::parseMimeGlobs(
        "# comment\n"
        "80:application/x-a:*.a\r\n"
        "50:application/x-a:*.A:cs\n"
        "abc:application/x-b:*.b\n"
        "1234:application/x-b:*.b\n"
        "50:application/x-b\n"
        "50::*.b\n"
        ":application/x-b:*.b\n"
        "\n"
        "50:text/x-c:*.c:cs,other");
    ASSERT_EQ(globs.size(), 3u);
    EXPECT_EQ(globs[0].weight, 80);
    EXPECT_EQ(globs[0].pattern, "*.a");
    EXPECT_FALSE(globs[0].caseSensitive);
    EXPECT_TRUE(globs[1].caseSensitive);
    EXPECT_EQ(globs[2].type, "text/x-c");
    EXPECT_TRUE(globs[2].caseSensitive);

    const auto aliases =
        platform::parseMimeAliases("application/x-old application/x-new\nbroken\na b c\n");
    EXPECT_EQ(aliases,
              (std::map<std::string, std::string>{{"application/x-old", "application/x-new"}}));
}

TEST(MimeDatabase, CaseSensitiveGlobsAndWeights) {
    platform::MimeDatabase db({platform::parseMimeGlobs("50:text/x-upper:*.C:cs\n"
                                                        "40:text/x-lower:*.c\n"
                                                        "40:text/x-lower:*.h\n"
                                                        "60:text/x-lower:*.[ch]\n")},
                              {});
    EXPECT_EQ(db.typeForExtension("C"), "text/x-upper");
    EXPECT_EQ(db.typeForExtension("c"), "text/x-lower");
    EXPECT_EQ(db.typeForExtension("H"), "text/x-lower");
    EXPECT_EQ(db.extensionsForType("text/x-lower"), (std::vector<std::string>{"c", "h"}));
}

}  // namespace

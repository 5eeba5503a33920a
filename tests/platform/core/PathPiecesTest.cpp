#include "platform/core/PathPieces.h"

#include <gtest/gtest.h>

namespace {

TEST(PathPieces, LastComponentAndParentIgnoreTrailingSlashes) {
    struct Case {
        const char* path;
        const char* last;
        const char* parent;
    };
    const Case cases[] = {
        {"/a/b/c", "c", "/a/b"},
        {"/a/b/c/", "c", "/a/b"},
        {"/a/b/c//", "c", "/a/b"},
        {"/a", "a", "/"},
        {"/a/", "a", "/"},
        {"//a", "a", "/"},
        {"/", "", "/"},
        {"///", "", "/"},
        {"a", "a", ""},
        {"a/", "a", ""},
        {"a/b", "b", "a"},
        {"a//b", "b", "a"},
        {"", "", ""},
        {"/a/.", ".", "/a"},
        {"/a/..", "..", "/a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(platform::lastComponent(c.path), c.last);
        EXPECT_EQ(platform::parentPath(c.path), c.parent);
    }
}

TEST(PathPieces, LiesWithinComparesWholeComponents) {
    struct Case {
        const char* path;
        const char* dir;
        bool within;
    };
    const Case cases[] = {
        {"/a/b", "/a/b", true},  {"/a/b/c", "/a/b", true}, {"/a/b/c", "/a/b/", true},
        {"/a/b/", "/a/b", true}, {"/a/bc", "/a/b", false}, {"/a", "/a/b", false},
        {"/a/b", "/", true},     {"/", "/", true},         {"a/b", "/", false},
        {"a/b", "a", true},      {"ab", "a", false},       {"/a", "a", false},
        {"/a", "", false},       {"", "", false},          {"", "/", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " in " + c.dir);
        EXPECT_EQ(platform::liesWithin(c.path, c.dir), c.within);
    }
}

}  // namespace

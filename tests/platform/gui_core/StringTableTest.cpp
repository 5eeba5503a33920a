#include "platform/gui/StringTable.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "platform/core/Value.h"

using platform::formatText;
using platform::localizedString;

TEST(StringTable, LooksKeysUpPerTableWithAnEmptyDefault) {
    EXPECT_EQ(localizedString("bytes"), "bytes");
    // Keys are taken exactly as written, misspellings included.
    EXPECT_FALSE(localizedString("openEncrypteFolderPanelTitle").empty());
    EXPECT_FALSE(localizedString("Get info for ecnrypted folder").empty());
    EXPECT_EQ(localizedString("Move to Applications folder?", "MoveApplication"),
              "Move to Applications folder?");
    EXPECT_EQ(localizedString("noSuchKey"), "");
    EXPECT_EQ(localizedString("bytes", "noSuchTable"), "");
    EXPECT_EQ(localizedString("noSuchKey", platform::kMainStringTable, "fallback"), "fallback");
    // The reporter's texts fall back to the service's: no table of ours.
    EXPECT_EQ(localizedString("VexmorCrashSubmissionSendTitle", "Vexmor"), "");
}

// Every placeholder of every text is one that formatText fills, and texts
// with arguments take them in the kinds their callers pass.
TEST(StringTable, EveryTextHasOnlyKnownPlaceholders) {
    std::ifstream in(TESSARO_SOURCE_DIR "/src/app/resources/strings.json");
    std::stringstream buf;
    buf << in.rdbuf();
    auto root = platform::Value::fromJSON(buf.str());
    ASSERT_TRUE(root && root->isDictionary());
    const std::regex placeholder("%(\\d+\\$)?(l{0,2}[diu]|@|s|%)|%");
    for (const auto& [table, entries] : *root->ifDictionary()) {
        for (const auto& [key, text] : *entries.ifDictionary()) {
            ASSERT_TRUE(text.isString()) << key;
            const std::string& s = *text.ifString();
            for (auto it = std::sregex_iterator(s.begin(), s.end(), placeholder);
                 it != std::sregex_iterator(); ++it) {
                EXPECT_GT(it->length(), 1) << table << " / " << key << ": a lone %";
            }
            EXPECT_EQ(localizedString(key, table), s);
        }
    }
}

TEST(StringTable, FormatTextFillsPlaceholdersInOrder) {
    struct Case {
        const char* format;
        std::initializer_list<std::string_view> args;
        const char* expected;
    };
    const Case cases[] = {
        {"%@ of %@", {"a", "b"}, "a of b"},
        {"%ld days, %ld hours", {"2", "3"}, "2 days, 3 hours"},
        {"%d%% done", {"50"}, "50% done"},
        {"%2$@ before %1$@", {"a", "b"}, "b before a"},
        {"%lld %s %u %i %lu", {"1", "two", "3", "4", "5"}, "1 two 3 4 5"},
        // Too few arguments leave the placeholder empty; unknown ones stay.
        {"%@ and %@", {"one"}, "one and "},
        {"%x %n %f", {"1"}, "%x %n %f"},
        {"trailing %", {}, "trailing %"},
        {"%l", {}, "%l"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatText(c.format, c.args), c.expected) << c.format;
}

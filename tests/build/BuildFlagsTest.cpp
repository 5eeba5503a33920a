#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/core/Files.h"
#include "platform/core/Value.h"
#include "support/TempDir.h"

namespace {

const std::string kSource = TESSARO_SOURCE_DIR;

int shell(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// A build with its own flags (a distribution's) treats warnings as warnings;
// the presets, and so CI, make them errors.
TEST(BuildFlags, WarningsAreErrorsInThePresetsOnly) {
    testsupport::TempDir dir;
    ASSERT_EQ(shell("cmake -S " + kSource + " -B " + dir.path().string() +
                    " -G Ninja -DTESSARO_GUI=OFF -DTESSARO_TESTS=OFF -DTESSARO_BENCH=OFF"),
              0);
    auto cache = platform::readRegularFile((dir / "CMakeCache.txt").string());
    ASSERT_TRUE(cache);
    EXPECT_NE(cache->find("TESSARO_WERROR:BOOL=OFF"), std::string::npos);

    auto presets = platform::readRegularFile(kSource + "/CMakePresets.json");
    ASSERT_TRUE(presets);
    auto json = platform::Value::fromJSON(*presets);
    ASSERT_TRUE(json);
    int checked = 0;
    for (const auto& preset : *(*json)["configurePresets"].ifArray()) {
        std::string name = preset["name"].stringValue();
        if (name != "release" && name != "asan") continue;
        EXPECT_EQ(preset["cacheVariables"]["TESSARO_WERROR"].stringValue(), "ON") << name;
        ++checked;
    }
    EXPECT_EQ(checked, 2);
}

// GCC 12 at -O3 saw an overlapping copy in a few string operations that have
// none; these sources must build warning-free with such flags.
TEST(BuildFlags, StrictOptimisedFlagsBuildTheKnownFalsePositives) {
    for (const char* file : {"src/FileSystem/QVFile.cpp", "src/Database/MoxConfigDatabase.cpp"}) {
        std::string command = std::string(TESSARO_CXX) +
                              " -std=c++20 -O3 -Wall -Wextra -Wno-unused-parameter -Werror -I" +
                              kSource + "/src -I" + TESSARO_BINARY_DIR +
                              "/src -isystem /usr/include/uuid -c -o /dev/null " + kSource + "/" +
                              file;
        EXPECT_EQ(shell(command), 0) << command;
    }
}

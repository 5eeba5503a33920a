#include <gtest/gtest.h>

#include "platform/gui/StringTable.h"

namespace {

TEST(StartupTexts, TheStringTableHoldsEveryKeyTheStartupControllersUse) {
    const char* mainKeys[] = {"fuseOutdatedAlertTitle",
                              "fuseOutdatedAlertMsg",
                              "fuseOutdatedAlertUpdate",
                              "fuseOutdatedAlertLater",
                              "installWaiting",
                              "installComplete",
                              "installUseFinder",
                              "installFailed",
                              "installRestart",
                              "installRetry",
                              "OK",
                              "Cancel",
                              "next",
                              "previous",
                              "skip",
                              "done",
                              "tourWindowTitle",
                              "updateMenuItemTitle",
                              "updateCheckPackageManagerTitle",
                              "updateCheckPackageManagerMsg"};
    for (const char* key : mainKeys) EXPECT_NE(platform::localizedString(key), "") << key;
    for (int step = 1; step <= 6; ++step) {
        for (const char* part : {"Title", "Text"}) {
            const auto key = "tourStep" + std::to_string(step) + part;
            EXPECT_NE(platform::localizedString(key), "") << key;
        }
    }
    const char* moveKeys[] = {"Move to Applications folder in your Home folder?",
                              "Move to Applications folder?",
                              "I can move myself to the Applications folder if you'd like.",
                              "Note that this will require an administrator password.",
                              "This will keep your Downloads folder uncluttered.",
                              "Move to Applications Folder",
                              "Do Not Move",
                              "Could not move to Applications folder"};
    for (const char* key : moveKeys)
        EXPECT_NE(platform::localizedString(key, "MoveApplication"), "") << key;
    // The outdated message names both versions.
    const auto message =
        platform::formatText(platform::localizedString("fuseOutdatedAlertMsg"), {"2.7.3", "2.7.4"});
    EXPECT_LT(message.find("2.7.3"), message.find("2.7.4")) << message;
}

}  // namespace

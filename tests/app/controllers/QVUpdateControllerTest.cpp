#include "app/startup/QVUpdateController.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QAction>
#include <cstdlib>

#include "platform/core/Process.h"

namespace {

pid_t startWith(const char* variable, const std::string& value) {
    setenv(variable, value.c_str(), 1);
    const pid_t pid = platform::spawnProcess({"sleep", "600"});
    unsetenv(variable);
    return pid;
}

bool hasEnded(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

TEST(QVUpdateController, PreInstallStepEndsTheHelperAndNothingElse) {
    const pid_t helper = startWith("GIO_LAUNCHED_DESKTOP_FILE",
                                   "/usr/share/applications/com.norVane.Tessaro-Helper.desktop");
    const pid_t flatpakHelper = startWith("FLATPAK_ID", "com.norVane.Tessaro-Helper");
    const pid_t app = startWith("GIO_LAUNCHED_DESKTOP_FILE",
                                "/usr/share/applications/com.norVane.Tessaro.desktop");
    const pid_t similar = startWith("FLATPAK_ID", "com.norVane.Tessaro-Helper2");
    ASSERT_GT(helper, 0);
    ASSERT_GT(flatpakHelper, 0);
    ASSERT_GT(app, 0);
    ASSERT_GT(similar, 0);

    int notices = 0;
    QVUpdateController controller([&](const std::string&, const std::string&) { ++notices; },
                                  [](const std::string& key) { return key; });
    controller.updater()->willInstallUpdate();

    EXPECT_EQ(platform::waitForProcess(helper), 128 + SIGTERM);
    EXPECT_EQ(platform::waitForProcess(flatpakHelper), 128 + SIGTERM);
    EXPECT_FALSE(hasEnded(app));
    EXPECT_FALSE(hasEnded(similar));
    EXPECT_EQ(notices, 0);
    for (pid_t pid : {app, similar}) {
        kill(pid, SIGKILL);
        platform::waitForProcess(pid);
    }
    EXPECT_EQ(QVUpdateController::terminateApplicationsWithIdentifier(""), 0);
}

TEST(QVUpdateController, MenuItemSaysUpdatesComeFromThePackageManager) {
    std::vector<std::pair<std::string, std::string>> notices;
    QVUpdateController controller(
        [&](const std::string& title, const std::string& message) {
            notices.emplace_back(title, message);
        },
        [](const std::string& key) { return "<" + key + ">"; });
    ASSERT_NE(controller.updateMenuItem(), nullptr);
    EXPECT_EQ(controller.updateMenuItem()->text().toStdString(), "<updateMenuItemTitle>");
    controller.updateMenuItem()->trigger();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].first, "<updateCheckPackageManagerTitle>");
    EXPECT_EQ(notices[0].second, "<updateCheckPackageManagerMsg>");
    EXPECT_EQ(controller.updater()->delegate(), &controller);
}

}  // namespace

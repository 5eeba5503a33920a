#include "app/startup/QVUpdateController.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QAction>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

#include "platform/core/Files.h"
#include "platform/core/Process.h"

namespace {

using namespace std::chrono_literals;

// The kernel lets a spawner go on before it has set up the new program's
// environment, and /proc/<pid>/environ reads empty until then: a loaded
// machine showed it. Wait for the variable to appear.
pid_t startWith(const char* variable, const std::string& value) {
    setenv(variable, value.c_str(), 1);
    const pid_t pid = platform::spawnProcess({"sleep", "600"});
    unsetenv(variable);
    const std::string entry = std::string(variable) + "=" + value;
    const std::string environPath = "/proc/" + std::to_string(pid) + "/environ";
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         pid > 0 && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(1ms)) {
        if (platform::readRegularFile(environPath).value_or("").find(entry) != std::string::npos)
            break;
    }
    return pid;
}

// The exit status, or -1 when the process is still running after `limit`.
int statusWithin(pid_t pid, std::chrono::milliseconds limit) {
    for (auto deadline = std::chrono::steady_clock::now() + limit;;
         std::this_thread::sleep_for(1ms)) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        if (std::chrono::steady_clock::now() >= deadline) return -1;
    }
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

    const std::pair<pid_t, int> expected[] = {
        {helper, 128 + SIGTERM}, {flatpakHelper, 128 + SIGTERM}, {app, -1}, {similar, -1}};
    for (const auto& [pid, status] : expected) {
        const int ended = statusWithin(pid, status == -1 ? 0ms : 10s);
        EXPECT_EQ(ended, status) << "pid " << pid;
        // Only a child not yet reaped is still ours to end.
        if (ended == -1) {
            kill(pid, SIGKILL);
            platform::waitForProcess(pid);
        }
    }
    EXPECT_EQ(notices, 0);
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

#include "app/logic/QVFuseInstaller.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "platform/core/Dispatch.h"
#include "support/TempDir.h"

namespace {

using Phase = QVFuseInstallSheetState::Phase;

struct FakeView : QVFuseInstallerView {
    int alerts = 0;
    std::string title, message, updateButton, laterButton;
    std::function<void(bool)> answer;
    std::vector<QVFuseInstallSheetState> sheets;
    bool sheetUp = false;

    void showOutdatedAlert(const std::string& t, const std::string& m, const std::string& u,
                           const std::string& l, std::function<void(bool)> a) override {
        ++alerts;
        title = t, message = m, updateButton = u, laterButton = l, answer = std::move(a);
    }
    void showInstallSheet(const QVFuseInstallSheetState& state) override {
        sheets.push_back(state);
        sheetUp = true;
    }
    void endInstallSheet() override { sheetUp = false; }
};

std::string keyText(const std::string& key) {
    if (key == "fuseOutdatedAlertMsg") return "FUSE %@ is older than %@.";
    return "<" + key + ">";
}

// A fake system: a device, a PATH folder and a library version.
struct FakeSystem {
    testsupport::TempDir dir;
    std::string version = "3.14.0";
    std::string device = "/dev/null";  // a usable character device
    bool withFusermount = true;

    FakeSystem() { std::filesystem::create_directory(dir / "bin"); }

    void installFusermount() {
        testsupport::writeFile(dir / "bin" / "fusermount3", "#!/bin/sh\n");
        chmod((dir / "bin" / "fusermount3").c_str(), 0755);
    }
    QVFuseProbe probe() {
        if (withFusermount) installFusermount();
        QVFuseProbe p;
        p.devicePath = device;
        p.searchPath = "/nonexistent:" + (dir / "bin").string();
        p.isRoot = false;
        p.libraryVersion = [v = version] { return std::optional<std::string>(v); };
        return p;
    }
};

TEST(QVFuseInstaller, FuseIsInstalledOnlyWithAUsableDeviceAndFusermount) {
    struct Case {
        const char* name;
        std::string device;
        bool fusermount;
        bool root;
        bool installed;
    };
    testsupport::TempDir scratch;
    testsupport::writeFile(scratch / "plain", "");
    const Case cases[] = {
        {"device and fusermount3", "/dev/null", true, false, true},
        {"no fusermount3", "/dev/null", false, false, false},
        {"root needs no fusermount3", "/dev/null", false, true, true},
        {"missing device", (scratch / "fuse").string(), true, false, false},
        {"a plain file is no device", (scratch / "plain").string(), true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSystem sys;
        sys.device = c.device;
        sys.withFusermount = c.fusermount;
        auto probe = sys.probe();
        probe.isRoot = c.root;
        EXPECT_EQ(QVFuseInstaller::isFuseInstalled(probe), c.installed);
    }

    // A fusermount3 that cannot be run does not count.
    FakeSystem sys;
    auto probe = sys.probe();
    chmod((sys.dir / "bin" / "fusermount3").c_str(), 0644);
    EXPECT_FALSE(QVFuseInstaller::isFuseInstalled(probe));
}

TEST(QVFuseInstaller, LaunchCheckAsksOnlyForAnOutdatedVersion) {
    struct Case {
        std::string version;
        QVFuseInstaller::LaunchCheck expected;
    };
    using LC = QVFuseInstaller::LaunchCheck;
    // Every libfuse 2 is outdated, and so is a 3 without the threaded loop (3.2).
    const Case cases[] = {{"2.7.3", LC::AskedToUpdate}, {"2.9.9", LC::AskedToUpdate},
                          {"3.1.1", LC::AskedToUpdate}, {"3.2", LC::UpToDate},
                          {"3.2.0", LC::UpToDate},      {"3.14.0", LC::UpToDate},
                          {"", LC::AskedToUpdate}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        FakeSystem sys;
        sys.version = c.version;
        auto view = std::make_shared<FakeView>();
        int helpers = 0;
        QVFuseInstaller installer(view, keyText, {[&] { ++helpers; }, nullptr}, sys.probe(),
                                  {"/bin/true"});
        EXPECT_EQ(installer.checkFuseAtLaunch(), c.expected);
        EXPECT_EQ(view->alerts, c.expected == LC::AskedToUpdate ? 1 : 0);
        EXPECT_EQ(helpers, c.expected == LC::UpToDate ? 1 : 0);
    }
    // The real library is new enough.
    EXPECT_FALSE(QVFuseInstaller::isFuseOutdated(
        QVFuseInstaller::installedFuseVersion(QVFuseProbe::system()).value_or("")));
}

TEST(QVFuseInstaller, OutdatedAlertTextsAndAnswers) {
    FakeSystem sys;
    sys.version = "2.7.3";
    auto view = std::make_shared<FakeView>();
    int helpers = 0;
    QVFuseInstaller installer(view, keyText, {[&] { ++helpers; }, nullptr}, sys.probe(),
                              {"/bin/sh", "-c", "exit 1"});
    ASSERT_EQ(installer.checkFuseAtLaunch(), QVFuseInstaller::LaunchCheck::AskedToUpdate);
    EXPECT_EQ(view->title, "<fuseOutdatedAlertTitle>");
    EXPECT_EQ(view->message, "FUSE 2.7.3 is older than 3.2.");
    EXPECT_EQ(view->updateButton, "<fuseOutdatedAlertUpdate>");
    EXPECT_EQ(view->laterButton, "<fuseOutdatedAlertLater>");

    view->answer(false);  // later: the status menu starts, no installer
    EXPECT_EQ(helpers, 1);
    EXPECT_TRUE(view->sheets.empty());

    view->answer(true);  // update: the sheet, no status menu yet
    EXPECT_EQ(helpers, 1);
    ASSERT_EQ(view->sheets.size(), 1u);
    EXPECT_EQ(view->sheets[0].status, "<installWaiting>");
}

void waitForInstaller(const QVFuseInstaller& installer) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (installer.isWaitingForInstaller() && std::chrono::steady_clock::now() < deadline) {
        platform::pumpMainQueue();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(installer.isWaitingForInstaller()) << "the installer never ended";
}

TEST(QVFuseInstaller, InstallSheetFollowsTheInstallerThroughFailureAndRetry) {
    FakeSystem sys;
    sys.withFusermount = false;
    const std::string binDir = (sys.dir / "bin").string();
    // The fake package manager installs fusermount3 only once "allow" exists.
    const std::vector<std::string> command = {
        "/bin/sh", "-c",
        "test -e \"$1/allow\" || exit 100; printf '#!/bin/sh\\n' >\"$1/bin/fusermount3\" && "
        "chmod +x \"$1/bin/fusermount3\"",
        "sh", sys.dir.path().string()};
    auto view = std::make_shared<FakeView>();
    int helpers = 0, relaunches = 0;
    QVFuseInstaller installer(view, keyText, {[&] { ++helpers; }, [&] { ++relaunches; }},
                              sys.probe(), command);

    installer.installFuse();
    const auto waiting = installer.sheetState();
    EXPECT_EQ(waiting.phase, Phase::Waiting);
    EXPECT_TRUE(waiting.progressIndeterminate && waiting.progressAnimating);
    EXPECT_EQ(waiting.status, "<installWaiting>");
    EXPECT_TRUE(waiting.cancelVisible);
    EXPECT_FALSE(waiting.okVisible || waiting.retryVisible || waiting.hintVisible);

    waitForInstaller(installer);
    const auto failed = installer.sheetState();
    EXPECT_EQ(failed.phase, Phase::Failed);
    EXPECT_FALSE(failed.progressIndeterminate || failed.progressAnimating);
    EXPECT_EQ(failed.progress, 0);
    EXPECT_EQ(failed.status, "<installFailed>");
    EXPECT_EQ(failed.hint, "<installRestart>");
    EXPECT_TRUE(failed.hintVisible && failed.cancelVisible && failed.retryVisible);
    EXPECT_FALSE(failed.okVisible);
    EXPECT_EQ(helpers, 0);

    testsupport::writeFile(sys.dir / "allow", "");
    installer.installFuse();  // retry
    EXPECT_EQ(installer.sheetState().phase, Phase::Waiting);
    waitForInstaller(installer);
    const auto complete = installer.sheetState();
    EXPECT_EQ(complete.phase, Phase::Complete);
    EXPECT_EQ(complete.progress, 100);
    EXPECT_EQ(complete.status, "<installComplete>");
    EXPECT_EQ(complete.hint, "<installUseFinder>");
    EXPECT_TRUE(complete.hintVisible && complete.okVisible);
    EXPECT_FALSE(complete.cancelVisible || complete.retryVisible);
    EXPECT_EQ(helpers, 1);
    EXPECT_EQ(view->sheets.size(), 4u);

    installer.closeInstallSheet();
    EXPECT_FALSE(view->sheetUp);
    EXPECT_EQ(relaunches, 1);
}

TEST(QVFuseInstaller, AnInstallerThatCannotStartFailsAndALateEndIsIgnored) {
    FakeSystem sys;
    sys.withFusermount = false;
    auto view = std::make_shared<FakeView>();
    QVFuseInstaller installer(view, keyText, {}, sys.probe(),
                              {(sys.dir / "no-such-installer").string()});
    installer.installFuse();
    EXPECT_FALSE(installer.isWaitingForInstaller());
    EXPECT_EQ(installer.sheetState().phase, Phase::Failed);

    // A cancelled sheet takes no news from its installer.
    QVFuseInstaller slow(view, keyText, {}, sys.probe(), {"/bin/true"});
    slow.installFuse();
    slow.cancelInstallSheet();
    EXPECT_FALSE(view->sheetUp);
    const auto before = view->sheets.size();
    slow.installerDidEnd(0);
    EXPECT_EQ(view->sheets.size(), before);
}

// Cancel hides the sheet but leaves the package manager running; the menu's
// install action then follows that run instead of starting a second one.
TEST(QVFuseInstaller, InstallAfterCancelFollowsTheRunningInstaller) {
    FakeSystem sys;
    sys.withFusermount = false;
    const std::vector<std::string> command = {
        "/bin/sh", "-c",
        "echo run >>\"$1/starts\"; while ! test -e \"$1/go\"; do sleep 0.01; done; exit 100", "sh",
        sys.dir.path().string()};
    auto view = std::make_shared<FakeView>();
    QVFuseInstaller installer(view, keyText, {}, sys.probe(), command);

    installer.installFuse();
    installer.cancelInstallSheet();
    installer.installFuse();  // the menu item, while the first run waits
    EXPECT_TRUE(view->sheetUp);
    EXPECT_EQ(installer.sheetState().phase, Phase::Waiting);

    testsupport::writeFile(sys.dir / "go", "");
    waitForInstaller(installer);
    EXPECT_EQ(installer.sheetState().phase, Phase::Failed);  // the first run's end
    EXPECT_EQ(testsupport::readFile(sys.dir / "starts"), "run\n");

    installer.installFuse();  // ended: a retry starts a new run
    waitForInstaller(installer);
    EXPECT_EQ(testsupport::readFile(sys.dir / "starts"), "run\nrun\n");
}

}  // namespace

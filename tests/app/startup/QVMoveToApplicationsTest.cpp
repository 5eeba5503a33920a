#include "app/logic/QVMoveToApplications.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/core/Process.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// A home folder with an AppImage in Downloads, started from its mount.
struct FakeAppImage {
    testsupport::TempDir tmp{"tessaro-move"};
    fs::path home = tmp / "home";
    fs::path mount = tmp / "mnt" / ".mount_Tessa b";  // a blank, escaped in mountinfo
    QVMoveEnvironment env;

    FakeAppImage() {
        fs::create_directories(home / "Downloads");
        fs::create_directories(mount / "usr" / "bin");
        placeImage(home / "Downloads" / "Tessaro.AppImage");
        env.appDir = mount.string();
        env.executablePath = (mount / "usr" / "bin" / "Tessaro").string();
        env.mountInfo =
            "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
            "61 22 0:52 / " +
            (tmp / "mnt").string() +
            "/.mount_Tessa\\040b ro,nosuid,nodev shared:2 - fuse.Tessaro.AppImage "
            "Tessaro.AppImage ro\n";
        env.homeDirectory = home.string();
        env.downloadsDirectory = (home / "Downloads").string();
        // By mode bits, so that the tests mean the same under root.
        env.isWritable = [](const std::string& path) {
            struct stat st {};
            return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR);
        };
    }
    void placeImage(const fs::path& p) {
        fs::create_directories(p.parent_path());
        writeFile(p, "#!/bin/sh\nexit 0\n");
        chmod(p.c_str(), 0755);
        env.appImagePath = p.string();
    }
};

TEST(QVMoveToApplications, OffersTheMoveOnlyFromAMountedAppImage) {
    struct Case {
        const char* name;
        std::function<void(FakeAppImage&)> change;
        bool offered;
    };
    const Case cases[] = {
        {"from Downloads", [](FakeAppImage&) {}, true},
        {"not an AppImage", [](FakeAppImage& f) { f.env.appImagePath.reset(); }, false},
        {"image file gone", [](FakeAppImage& f) { fs::remove(*f.env.appImagePath); }, false},
        {"no mount", [](FakeAppImage& f) { f.env.appDir.reset(); }, false},
        {"APPDIR is not mounted",
         [](FakeAppImage& f) { f.env.mountInfo = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"; }, false},
        {"APPDIR is the root file system",
         [](FakeAppImage& f) {
             f.env.appDir = "/";
             f.env.executablePath = "/usr/bin/Tessaro";
         },
         false},
        {"program runs from elsewhere",
         [](FakeAppImage& f) { f.env.executablePath = "/usr/bin/Tessaro"; }, false},
        {"already in ~/Applications",
         [](FakeAppImage& f) { f.placeImage(f.home / "Applications" / "Tessaro.AppImage"); },
         false},
        {"already in ~/.local/bin",
         [](FakeAppImage& f) { f.placeImage(f.home / ".local" / "bin" / "Tessaro.AppImage"); },
         false},
        {"inside some Applications folder",
         [](FakeAppImage& f) { f.placeImage(f.tmp / "Applications" / "x" / "Tessaro.AppImage"); },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeAppImage f;
        c.change(f);
        EXPECT_EQ(QVMoveToApplications::offerFor(f.env, false).has_value(), c.offered);
    }
    FakeAppImage f;
    EXPECT_FALSE(QVMoveToApplications::offerFor(f.env, true)) << "suppressed";
}

TEST(QVMoveToApplications, ChoosesTheDestination) {
    FakeAppImage f;
    auto offer = QVMoveToApplications::offerFor(f.env, false);
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->destinationPath, (f.home / ".local" / "bin" / "Tessaro.AppImage").string());
    EXPECT_FALSE(offer->inHomeApplications);
    EXPECT_FALSE(offer->needsAuthorization);  // ~/.local/bin is made on the way
    EXPECT_TRUE(offer->inDownloads);

    // An empty ~/Applications is not where AppImages live.
    fs::create_directories(f.home / "Applications");
    EXPECT_FALSE(QVMoveToApplications::offerFor(f.env, false)->inHomeApplications);

    // One that holds an AppImage is, reached through a symbolic link too.
    fs::create_directories(f.tmp / "real-apps");
    writeFile(f.tmp / "real-apps" / "Other.AppImage", "");
    fs::remove(f.home / "Applications");
    fs::create_directory_symlink(f.tmp / "real-apps", f.home / "Applications");
    offer = QVMoveToApplications::offerFor(f.env, false);
    ASSERT_TRUE(offer);
    EXPECT_TRUE(offer->inHomeApplications);
    EXPECT_EQ(offer->destinationPath,
              (fs::canonical(f.tmp / "real-apps") / "Tessaro.AppImage").string());

    // Started from the desktop: no word about Downloads.
    f.placeImage(f.home / "Desktop" / "Tessaro.AppImage");
    EXPECT_FALSE(QVMoveToApplications::offerFor(f.env, false)->inDownloads);

    chmod((f.tmp / "real-apps").c_str(), 0555);
    EXPECT_TRUE(QVMoveToApplications::offerFor(f.env, false)->needsAuthorization);
    chmod((f.tmp / "real-apps").c_str(), 0755);
}

// What /bin/sh makes of `script`, run with "$1" set to `out`, written to out.
std::string shellOutput(const std::string& script, const fs::path& out) {
    auto status = platform::runProcess({"/bin/sh", "-c", script, "sh", out.string()});
    EXPECT_EQ(status, 0) << script;
    return readFile(out);
}

TEST(QVMoveToApplications, ShellQuotingSurvivesTheShell) {
    testsupport::TempDir tmp;
    const std::string paths[] = {"/Applications/Tessaro.AppImage",
                                 "/home/o'brien/Apps/Tessaro.AppImage",
                                 "''",
                                 "it's a \"test\" $HOME `id` \\ *",
                                 "a\nb",
                                 ""};
    for (const auto& path : paths) {
        EXPECT_EQ(shellOutput("printf %s " + QVMoveToApplications::shellQuoted(path) + " >\"$1\"",
                              tmp / "out"),
                  path);
    }
}

TEST(QVMoveToApplications, RelaunchScriptStartsTheMovedCopyOnceWeHaveEnded) {
    testsupport::TempDir tmp;
    const fs::path dest = tmp / "it's here" / "Tessaro.AppImage";
    fs::create_directories(dest.parent_path());
    writeFile(dest, "#!/bin/sh\nprintf started >\"$MARKER\"\n");
    chmod(dest.c_str(), 0755);
    const pid_t gone = platform::spawnProcess({"/bin/true"});
    ASSERT_GT(gone, 0);
    platform::waitForProcess(gone);

    setenv("MARKER", (tmp / "marker").c_str(), 1);
    const std::string script = QVMoveToApplications::relaunchScript(gone, dest.string());
    // The script leaves its job in the background; wait for it here.
    EXPECT_EQ(platform::runProcess({"/bin/sh", "-c", script + "\nwait"}), 0);
    unsetenv("MARKER");
    EXPECT_EQ(readFile(tmp / "marker"), "started");
}

TEST(QVMoveToApplications, FindsARunningCopyByItsPath) {
    testsupport::TempDir tmp;
    const fs::path copy = tmp / "it's" / "Tessaro.AppImage";
    fs::create_directories(copy.parent_path());
    fs::copy_file("/bin/sleep", copy);
    const pid_t pid = platform::spawnProcess({copy.string(), "600"});
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(QVMoveToApplications::isPathRunning(copy.string()));
    EXPECT_FALSE(QVMoveToApplications::isPathRunning((tmp / "other.AppImage").string()));
    kill(pid, SIGKILL);
    platform::waitForProcess(pid);
    EXPECT_FALSE(QVMoveToApplications::isPathRunning(copy.string()));
}

struct FakeView : QVMoveToApplicationsView {
    std::string message, information, moveButton, dontMoveButton;
    std::function<void(bool, bool)> answer;
    std::vector<std::string> failures;
    void showMoveOffer(const std::string& m, const std::string& i, const std::string& mb,
                       const std::string& db, std::function<void(bool, bool)> a) override {
        message = m, information = i, moveButton = mb, dontMoveButton = db, answer = std::move(a);
    }
    void showMoveFailure(const std::string& m) override { failures.push_back(m); }
};

// A system whose processes run for real (pkexec dropped) but which never
// relaunches or exits.
struct FakeSystem {
    bool suppressed = false;
    std::vector<std::vector<std::string>> runs;
    std::vector<int> exits;
    std::vector<std::string> trashed;
    bool running = false;
    std::optional<int> authorizationStatus;  // pkexec's answer, when faked

    QVMoveToApplications::System make() {
        QVMoveToApplications::System s;
        s.localized = [](const std::string& key, const std::string& table) {
            return table + ":" + key;
        };
        s.isSuppressed = [this] { return suppressed; };
        s.suppress = [this] { suppressed = true; };
        s.run = [this](const std::vector<std::string>& argv) -> std::optional<int> {
            runs.push_back(argv);
            if (argv[0] == "pkexec") {
                if (authorizationStatus) return authorizationStatus;
                return platform::runProcess({argv.begin() + 1, argv.end()});
            }
            return 0;  // the relaunch and the switch are only recorded
        };
        s.trash = [this](const std::string& path, platform::Error*) {
            trashed.push_back(path);
            return fs::remove(path);
        };
        s.isRunning = [this](const std::string&) { return running; };
        s.exitProcess = [this](int status) { exits.push_back(status); };
        return s;
    }
};

TEST(QVMoveToApplications, OfferTextsAndDoNotMove) {
    FakeAppImage f;
    FakeSystem sys;
    auto view = std::make_shared<FakeView>();
    QVMoveToApplications mover(view, sys.make(), f.env);
    ASSERT_TRUE(mover.offerToMove());
    EXPECT_EQ(view->message, "MoveApplication:Move to Applications folder?");
    EXPECT_EQ(view->information,
              "MoveApplication:I can move myself to the Applications folder if you'd like. "
              "MoveApplication:This will keep your Downloads folder uncluttered.");
    EXPECT_EQ(view->moveButton, "MoveApplication:Move to Applications Folder");
    EXPECT_EQ(view->dontMoveButton, "MoveApplication:Do Not Move");

    view->answer(false, false);
    EXPECT_FALSE(sys.suppressed);
    view->answer(false, true);
    EXPECT_TRUE(sys.suppressed);
    EXPECT_FALSE(mover.offerToMove()) << "suppressed: asked no more";
    EXPECT_TRUE(sys.runs.empty());
}

TEST(QVMoveToApplications, MovesTrashesTheOldCopyAndRelaunches) {
    FakeAppImage f;
    f.placeImage(f.home / "Downloads" / "it's" / "Tessaro.AppImage");
    const fs::path dest = f.home / ".local" / "bin" / "Tessaro.AppImage";
    fs::create_directories(dest.parent_path());
    writeFile(dest, "old");
    FakeSystem sys;
    auto view = std::make_shared<FakeView>();
    QVMoveToApplications mover(view, sys.make(), f.env);
    ASSERT_TRUE(mover.offerToMove());
    view->answer(true, false);

    EXPECT_EQ(sys.trashed, std::vector<std::string>{dest.string()});
    EXPECT_EQ(readFile(dest), "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(access(dest.c_str(), X_OK), 0);
    EXPECT_FALSE(fs::exists(*f.env.appImagePath)) << "moved, not copied";
    ASSERT_EQ(sys.runs.size(), 1u);
    EXPECT_EQ(sys.runs[0][2], QVMoveToApplications::relaunchScript(getpid(), dest.string()));
    EXPECT_EQ(sys.exits, std::vector<int>{0});
    EXPECT_TRUE(view->failures.empty());

    // A copy already running at the destination is switched to instead.
    f.placeImage(f.home / "Downloads" / "it's" / "Tessaro.AppImage");
    FakeSystem again;
    again.running = true;
    QVMoveToApplications second(view, again.make(), f.env);
    ASSERT_TRUE(second.offerToMove());
    view->answer(true, false);
    EXPECT_TRUE(again.trashed.empty());
    ASSERT_EQ(again.runs.size(), 1u);
    EXPECT_EQ(again.runs[0][2],
              QVMoveToApplications::shellQuoted(dest.string()) + " >/dev/null 2>&1 &");
    EXPECT_EQ(again.exits, std::vector<int>{0});
}

TEST(QVMoveToApplications, AuthorizedMoveCopiesThroughTheShellAndHandlesRefusal) {
    FakeAppImage f;
    f.placeImage(f.home / "Downloads" / "it's" / "Tessaro.AppImage");
    const fs::path dest = f.home / ".local" / "bin" / "Tessaro.AppImage";
    fs::create_directories(dest.parent_path());
    writeFile(dest, "old");
    chmod(dest.c_str(), 0644);
    f.env.isWritable = [&](const std::string& path) { return path != dest.string(); };

    struct Case {
        std::optional<int> status;
        bool copied, failureShown, relaunched;
    };
    const Case cases[] = {{126, false, false, false},  // dismissed: only logged
                          {127, false, true, false},
                          {std::nullopt, true, false, true}};  // the real shell runs
    for (const auto& c : cases) {
        FakeSystem sys;
        sys.authorizationStatus = c.status;
        auto view = std::make_shared<FakeView>();
        QVMoveToApplications mover(view, sys.make(), f.env);
        ASSERT_TRUE(mover.offerToMove());
        EXPECT_NE(view->information.find("administrator password"), std::string::npos);
        view->answer(true, false);
        ASSERT_FALSE(sys.runs.empty());
        EXPECT_EQ(sys.runs[0][0], "pkexec");
        EXPECT_EQ(readFile(dest) != "old", c.copied);
        EXPECT_EQ(fs::exists(*f.env.appImagePath), !c.copied) << "a move removes the original";
        EXPECT_EQ(view->failures.size(), c.failureShown ? 1u : 0u);
        EXPECT_EQ(sys.exits.size(), c.relaunched ? 1u : 0u);
    }
}

}  // namespace

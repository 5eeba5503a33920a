// The mount controller with a scripted panel and desktop, a manual clock and
// real folders; the mounting tests mount real volumes under a temporary root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "mounting/QVFuseLoopbackController.h"
#include "platform/core/UserDefaults.h"
#include "support/FolderBuilder.h"
#include "support/FuseCheck.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"
#include "utilities/QVPasswordStore.h"

namespace {

using namespace std::chrono_literals;

std::string selfName() {
    std::string name = testsupport::readFile("/proc/self/comm");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

bool isMounted(const std::string& path) {
    return testsupport::readFile("/proc/self/mounts").find(" " + path + " ") != std::string::npos;
}

struct ScriptedPanel : QVPasswordPanelView {
    int page = -1, shows = 0, fronts = 0, hides = 0, shakes = 0;
    bool unlocking = false;
    std::string label, typed;
    std::vector<std::string> users;
    std::optional<std::string> selected;
    bool remember = false, rememberAvailable = true;
    std::string rememberReason;

    void showPage(int p) override { page = p; }
    void setLabelText(const std::string& t) override { label = t; }
    void setUserNames(const std::vector<std::string>& n) override {
        users = n;
        selected = n.empty() ? std::nullopt : std::optional(n.front());
    }
    void selectUserName(const std::string& n) override { selected = n; }
    std::optional<std::string> selectedUserName() const override { return selected; }
    std::string password() const override { return typed; }
    void setPassword(const std::string& p) override { typed = p; }
    bool rememberPassword() const override { return remember; }
    void setRememberPassword(bool on) override { remember = on; }
    void setRememberAvailable(bool on, const std::string& why) override {
        rememberAvailable = on;
        rememberReason = why;
    }
    void showPanel() override { ++shows; }
    void bringToFront() override { ++fronts; }
    void hidePanel() override { ++hides; }
    void shake() override { ++shakes; }
    void setUnlocking(bool on) override { unlocking = on; }
};

struct ScriptedDesktop : QVFuseLoopbackControllerHost {
    struct Alert {
        std::string title, text;
        std::vector<std::string> buttons;
        std::function<void(int)> done;
    };
    std::vector<Alert> alerts;
    std::vector<std::string> shown, favouritesAdded, favouritesRemoved;
    std::vector<bool> replies;
    int policy = -1;

    void askForFolder(const std::string&, const std::string&,
                      std::function<void(std::optional<std::string>)>) override {}
    void showAlert(const std::string& title, const std::string& text,
                   const std::vector<std::string>& buttons,
                   std::function<void(int)> done) override {
        alerts.push_back({title, text, buttons, std::move(done)});
    }
    void showItemInFileManager(const std::string& path) override { shown.push_back(path); }
    void setActivationPolicy(int p) override { policy = p; }
    void replyToApplicationShouldTerminate(bool t) override { replies.push_back(t); }
    void addFavouriteVolume(const std::string& p) override { favouritesAdded.push_back(p); }
    void removeFavouriteVolume(const std::string& p) override { favouritesRemoved.push_back(p); }
};

struct FakeStore : QVPasswordStore {
    std::map<std::pair<std::string, std::string>, std::string> items;
    int writes = 0;
    std::optional<std::string> lookup(const std::string& s, const std::string& a) override {
        auto it = items.find({s, a});
        return it == items.end() ? std::nullopt : std::optional(it->second);
    }
    bool store(const std::string& s, const std::string& a, const std::string& p) override {
        ++writes;
        items[{s, a}] = p;
        return true;
    }
    bool available = true;
    std::function<void(bool)> observer;
    bool isAvailable() const override { return available; }
    void observeAvailability(std::function<void(bool)> f) override { observer = std::move(f); }
};

struct Controller {
    testsupport::TempDir dir{"mountctl"};
    testsupport::ManualClock clock;
    platform::UserDefaults defaults{(dir / "defaults.json").string()};
    ScriptedPanel panel;
    ScriptedDesktop desktop;
    FakeStore store;
    std::string root = (dir / "mnt").string();
    std::vector<std::string> known;
    std::shared_ptr<QVFuseLoopbackController> ctl;

    explicit Controller(std::string mountRoot = {}) {
        if (!mountRoot.empty()) root = mountRoot;
        std::filesystem::create_directories(dir / "mnt");
        QVFuseLoopbackController::Collaborators c;
        c.host = &desktop;
        c.panel = &panel;
        c.passwords = &store;
        c.defaults = &defaults;
        c.clock = &clock;
        c.localized = [](const std::string& key) {
            return key == "decryptedFolderExtension" ? std::string("decrypted") : key;
        };
        c.mountRoot = root;
        c.addKnownFolder = [this](const std::string& uuid, const std::string&, bool) {
            known.push_back(uuid);
        };
        ctl = std::make_shared<QVFuseLoopbackController>(std::move(c));
    }
    ~Controller() {
        ctl.reset();
        platform::pumpMainQueue();
    }
    // A folder with alice/secret and bob/hunter2.
    std::string folder(const std::string& name) {
        testsupport::makeEncryptedFolder(dir / name, {{"alice", "secret"}, {"bob", "hunter2"}});
        return std::filesystem::canonical(dir / name).string();
    }
    std::string uuid(const std::string& path) {
        return QVFileSystem().uuidOfUnmountedVolume(path).value_or("");
    }
    // Until the background unlock has come back to the main thread.
    void settle() {
        for (int i = 0; i < 20000 && ctl->isUnlocking(); ++i) {
            platform::pumpMainQueue();
            usleep(1000);
        }
        ASSERT_FALSE(ctl->isUnlocking());
    }
    void advance(platform::Clock::duration d) {
        clock.advance(d);
        platform::pumpMainQueue();
    }
    void unmountAll() {
        for (const auto& p : ctl->mountPaths())
            if (auto v = ctl->fileSystemAtPath(p)) {
                v->unmount();
                v->waitUntilUnmounted();
            }
        platform::pumpMainQueue();
    }
};

TEST(MountController, MountPathNaming) {
    Controller t;
    const std::string r = t.root;
    std::filesystem::create_directories(r + "/Busy-decrypted");
    testsupport::writeFile(r + "/Busy-decrypted/x", "x");
    std::filesystem::create_directories(r + "/Empty-decrypted");
    testsupport::writeFile(r + "/File-decrypted", "x");
    std::filesystem::create_directories(r + "/Two-decrypted/a");
    std::filesystem::create_directories(r + "/Two-decrypted-1/a");
    struct Case {
        const char* folder;
        std::string expected;
    } cases[] = {
        {"/x/Docs.zel", r + "/Docs-decrypted"},
        {"/x/a.zel.b.ZEL", r + "/a.b-decrypted"},
        {"/x/Plain/", r + "/Plain-decrypted"},
        {"/x/Busy.zel", r + "/Busy-decrypted-1"},  // a directory with entries
        {"/x/Empty.zel", r + "/Empty-decrypted"},  // an empty directory is used
        {"/x/File.zel", r + "/File-decrypted-1"},  // not a directory
        {"/x/Two.zel", r + "/Two-decrypted-2"},    // always appended to the base
    };
    for (const auto& c : cases)
        EXPECT_EQ(t.ctl->mountPathForFolder(c.folder), c.expected) << c.folder;
    // Mount points are never mounted over, even empty ones.
    EXPECT_TRUE(QVFuseLoopbackController::mountPathIsOccupied("/proc"));
    EXPECT_FALSE(QVFuseLoopbackController::mountPathIsOccupied(r + "/none"));
}

TEST(MountController, KeychainServiceRules) {
    struct Case {
        const char* user;
        const char* uuid;
        std::optional<std::string> service;
    } cases[] = {
        {"alice", "0a1b2c3d-0000-4000-8000-000000000001",
         "Tessaro-Mobile-Folder-alice-0a1b2c3d-0000-4000-8000-000000000001"},
        {"", "0a1b2c3d-0000-4000-8000-000000000001", std::nullopt},
        {"alice", "", std::nullopt},
        {"alice", "00000000-0000-0000-0000-000000000000", std::nullopt},
        {"alice", "{00000000-0000-0000-0000-000000000000}", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(app::folderPasswordService(c.user, c.uuid), c.service) << c.user << c.uuid;
}

TEST(MountController, PanelListsUsersAndFillsARememberedPassword) {
    Controller t;
    const std::string f = t.folder("Docs.zel");
    t.ctl->showPasswordPanelForFolder(f);
    EXPECT_EQ(t.panel.users, (std::vector<std::string>{"alice", "bob"}));
    EXPECT_EQ(t.panel.page, 0);
    EXPECT_EQ(t.panel.label, "folderIsEncrypted");
    EXPECT_EQ(t.panel.shows, 1);
    EXPECT_FALSE(t.panel.remember);
    EXPECT_EQ(t.panel.typed, "");
    EXPECT_EQ(t.panel.fronts, 0);
    t.advance(500ms);
    EXPECT_EQ(t.panel.fronts, 1);

    // Remembered for bob: bob is selected, his password filled, the box ticked.
    const std::string uuid = t.uuid(f);
    t.defaults.setObject("UserName-" + uuid, platform::Value(std::string("bob")));
    t.store.items[{"Tessaro-Mobile-Folder-bob-" + uuid, app::loginUserName()}] = "hunter2";
    t.ctl->showPasswordPanelForFolder(f);
    EXPECT_EQ(t.panel.selected, "bob");
    EXPECT_EQ(t.panel.typed, "hunter2");
    EXPECT_TRUE(t.panel.remember);
    // Another user has nothing stored.
    t.panel.selected = "alice";
    t.ctl->changeUser();
    EXPECT_EQ(t.panel.typed, "");
    EXPECT_FALSE(t.panel.remember);

    // Not a folder: no users, no panel.
    std::filesystem::create_directories(t.dir / "plain");
    t.ctl->showPasswordPanelForFolder((t.dir / "plain").string());
    EXPECT_EQ(t.panel.shows, 2);
}

// A store that has not answered yet (a keyring that never answers) opens the
// panel at once with remembering off; its answer, from another thread, turns
// it on and fills the remembered password.
TEST(MountController, PanelFollowsTheStoresLateAnswer) {
    Controller t;
    const std::string f = t.folder("Docs.zel");
    const std::string uuid = t.uuid(f);
    t.defaults.setObject("UserName-" + uuid, platform::Value(std::string("bob")));
    t.store.items[{"Tessaro-Mobile-Folder-bob-" + uuid, app::loginUserName()}] = "hunter2";
    t.store.available = false;
    t.ctl->showPasswordPanelForFolder(f);
    EXPECT_EQ(t.panel.shows, 1);
    EXPECT_FALSE(t.panel.rememberAvailable);
    EXPECT_EQ(t.panel.rememberReason, "rememberPasswordUnavailable");
    EXPECT_EQ(t.panel.typed, "");
    ASSERT_TRUE(t.store.observer);

    t.store.available = true;
    std::thread([&] { t.store.observer(true); }).join();
    EXPECT_FALSE(t.panel.rememberAvailable);  // on the main thread, not the store's
    platform::pumpMainQueue();
    EXPECT_TRUE(t.panel.rememberAvailable);
    EXPECT_EQ(t.panel.typed, "hunter2");
    EXPECT_TRUE(t.panel.remember);
}

TEST(MountController, WrongPasswordShakesAndStoresNothing) {
    Controller t;
    const std::string f = t.folder("Docs.zel");
    t.ctl->showPasswordPanelForFolder(f);
    t.panel.typed = "wrong";
    t.panel.remember = true;
    t.ctl->closePasswordPrompt(true);
    t.settle();
    EXPECT_EQ(t.panel.shakes, 1);
    EXPECT_EQ(t.panel.hides, 0);
    EXPECT_EQ(t.panel.typed, "wrong");
    EXPECT_EQ(t.store.writes, 0);
    EXPECT_TRUE(t.defaults.objectForKey("UserName-" + t.uuid(f)).isNull());
    EXPECT_TRUE(t.ctl->mountPaths().empty());
    EXPECT_TRUE(t.known.empty());
}

// The unlock runs in the background with the panel busy; closed meanwhile,
// its result is dropped (nothing mounted, stored or tracked), and a second
// apply while one runs is ignored.
TEST(MountController, AnUnlockRunningWhenThePanelClosesIsDropped) {
    Controller t;
    const std::string f = t.folder("Docs.zel");
    t.ctl->showPasswordPanelForFolder(f);
    t.panel.selected = "bob";
    t.panel.typed = "hunter2";
    t.panel.remember = true;
    t.ctl->closePasswordPrompt(true);
    EXPECT_TRUE(t.ctl->isUnlocking());
    EXPECT_TRUE(t.panel.unlocking);
    EXPECT_EQ(t.panel.hides, 0);
    t.ctl->closePasswordPrompt(false);
    EXPECT_FALSE(t.ctl->isUnlocking());
    EXPECT_FALSE(t.panel.unlocking);
    // Long enough for the unlock to come back (it takes some 30 ms).
    for (int i = 0; i < 100; ++i) {
        platform::pumpMainQueue();
        usleep(10'000);
    }
    EXPECT_TRUE(t.ctl->mountPaths().empty());
    EXPECT_TRUE(t.known.empty());
    EXPECT_EQ(t.store.writes, 0);
    EXPECT_EQ(t.panel.shakes, 0);
    EXPECT_EQ(t.panel.hides, 1);

    t.ctl->showPasswordPanelForFolder(f);
    t.panel.typed = "wrong";
    t.ctl->closePasswordPrompt(true);
    t.panel.typed = "hunter2";
    t.ctl->closePasswordPrompt(true);  // ignored: the first is still running
    t.settle();
    EXPECT_EQ(t.panel.shakes, 1);
    EXPECT_TRUE(t.ctl->mountPaths().empty());
}

// Unlock, mount, use, quit: the whole road through real volumes.
TEST(MountController, MountsUnmountsAndForgetsTheKey) {
    REQUIRE_FUSE();
    Controller t;
    const std::string f = t.folder("Docs.zel");
    const std::string uuid = t.uuid(f);
    t.ctl->showPasswordPanelForFolder(f);
    t.panel.selected = "bob";
    t.panel.typed = "hunter2";
    t.panel.remember = true;
    t.ctl->closePasswordPrompt(true);
    t.settle();
    const std::string mnt = t.root + "/Docs-decrypted";
    ASSERT_EQ(t.ctl->mountPaths(), std::vector<std::string>{mnt});
    EXPECT_EQ(t.panel.hides, 1);
    EXPECT_EQ(t.panel.typed, "");
    EXPECT_EQ(t.desktop.policy, 2);
    EXPECT_EQ(t.known, std::vector<std::string>{uuid});
    // Typed with the box ticked: stored once, under the login name.
    EXPECT_EQ(t.store.writes, 1);
    EXPECT_EQ((t.store.items[{"Tessaro-Mobile-Folder-bob-" + uuid, app::loginUserName()}]),
              "hunter2");
    EXPECT_EQ(t.defaults.stringForKey("UserName-" + uuid), "bob");

    platform::pumpMainQueue();  // did-mount
    EXPECT_EQ(t.desktop.favouritesAdded, std::vector<std::string>{mnt});
    EXPECT_EQ(t.desktop.shown.back(), mnt);  // empty volume: the volume itself
    testsupport::writeFile(mnt + "/note.txt", "plain words");
    EXPECT_EQ(testsupport::readFile(mnt + "/note.txt"), "plain words");
    EXPECT_NE(testsupport::readFile(f + "/note.txt"), "plain words");

    // Chosen again: no panel, the file manager shows the volume after 1 s.
    const size_t shownBefore = t.desktop.shown.size();
    t.ctl->showPasswordPanelForFolder(f);
    EXPECT_EQ(t.panel.shows, 1);
    t.advance(999ms);
    EXPECT_EQ(t.desktop.shown.size(), shownBefore);  // never the encrypted folder
    t.advance(1ms);
    EXPECT_EQ(t.desktop.shown.back(), mnt + "/note.txt");

    // The prefilled password is not written again.
    auto volume = t.ctl->fileSystemAtPath(mnt);
    auto loopback = std::dynamic_pointer_cast<QVFuseLoopbackFS>(volume->delegate());
    auto handle = loopback->fileSystem();
    ASSERT_TRUE(handle->isMounted());

    EXPECT_EQ(t.ctl->applicationShouldTerminate(), QVFuseLoopbackController::QuitAnswer::Later);
    volume->waitUntilUnmounted();
    platform::pumpMainQueue();          // did-unmount
    EXPECT_FALSE(handle->isMounted());  // the key is gone at once
    EXPECT_TRUE(t.desktop.replies.empty());
    t.advance(2s);
    EXPECT_EQ(t.desktop.favouritesRemoved, std::vector<std::string>{mnt});
    EXPECT_TRUE(t.ctl->mountPaths().empty());
    EXPECT_EQ(t.desktop.replies, std::vector<bool>{true});
    t.advance(5s);
    EXPECT_TRUE(t.desktop.alerts.empty());
    EXPECT_EQ(t.desktop.replies.size(), 1u);

    // Next time the remembered password is filled and not stored again.
    t.ctl->showPasswordPanelForFolder(f);
    EXPECT_EQ(t.panel.selected, "bob");
    EXPECT_EQ(t.panel.typed, "hunter2");
    t.ctl->closePasswordPrompt(true);
    t.settle();
    EXPECT_EQ(t.store.writes, 1);
    platform::pumpMainQueue();
    t.unmountAll();
    t.advance(2s);
    EXPECT_EQ(t.desktop.replies.size(), 1u);  // no quit was waiting
}

TEST(MountController, QuitWithABusyVolumeAsks) {
    REQUIRE_FUSE();
    Controller t;
    const std::string f = t.folder("Docs");  // no extension: offered once
    t.ctl->showPasswordPanelForFolder(f);
    t.panel.typed = "secret";
    t.ctl->closePasswordPrompt(true);
    ASSERT_EQ(t.desktop.alerts.size(), 1u);
    EXPECT_EQ(t.desktop.alerts[0].title, "appendFileExtensionAlertTitle");
    t.desktop.alerts[0].done(1);  // don't add
    t.settle();
    EXPECT_TRUE(t.defaults.boolForKey("dontAskToAddExtension-" + t.uuid(f)));
    EXPECT_EQ(t.store.writes, 0);  // the box was not ticked
    const std::string mnt = t.root + "/Docs-decrypted";
    ASSERT_EQ(t.ctl->mountPaths(), std::vector<std::string>{mnt});
    platform::pumpMainQueue();

    testsupport::writeFile(mnt + "/busy", "x");
    int fd = open((mnt + "/busy").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(t.ctl->applicationShouldTerminate(), QVFuseLoopbackController::QuitAnswer::Later);
    t.advance(4999ms);
    EXPECT_EQ(t.desktop.alerts.size(), 1u);
    t.advance(1ms);
    ASSERT_EQ(t.desktop.alerts.size(), 2u);
    EXPECT_EQ(t.desktop.alerts[1].title, "Could not unmount");
    EXPECT_EQ(t.desktop.alerts[1].buttons, (std::vector<std::string>{"OK", "Quit anyway"}));
    t.desktop.alerts[1].done(0);  // OK: stay
    EXPECT_EQ(t.desktop.replies, std::vector<bool>{false});
    EXPECT_EQ(t.ctl->mountPaths(), std::vector<std::string>{mnt});

    EXPECT_EQ(t.ctl->applicationShouldTerminate(), QVFuseLoopbackController::QuitAnswer::Later);
    t.advance(5s);
    ASSERT_EQ(t.desktop.alerts.size(), 3u);
    // The alert names the volume, its folder and who holds it.
    const std::string& text = t.desktop.alerts[2].text;
    EXPECT_NE(text.find("\u201cDocs-decrypted\u201d (" + f + ")"), std::string::npos) << text;
    EXPECT_NE(text.find(selfName() + " (" + std::to_string(getpid()) + ")"), std::string::npos)
        << text;
    t.desktop.alerts[2].done(1);  // quit anyway
    EXPECT_EQ(t.desktop.replies, (std::vector<bool>{false, true}));
    // Nothing of ours is left: no mount, no mount folder, no bookmark.
    EXPECT_FALSE(isMounted(mnt));
    EXPECT_FALSE(std::filesystem::exists(mnt));
    EXPECT_EQ(t.desktop.favouritesRemoved, std::vector<std::string>{mnt});
    EXPECT_TRUE(t.ctl->mountPaths().empty());
    close(fd);
}

// Eject of one volume, of a folder's volume, Eject All, and an unmount from
// outside: each volume leaves the list, its bookmark and its mount folder.
TEST(MountController, EveryEjectCleansUpAlike) {
    REQUIRE_FUSE();
    Controller t;
    int changes = 0;
    t.ctl->setVolumesChangedHandler([&] { ++changes; });
    std::vector<std::string> folders, mnts;
    for (const char* name : {"A.zel", "B.zel", "C.zel", "D.zel"}) {
        folders.push_back(t.folder(name));
        t.ctl->showPasswordPanelForFolder(folders.back());
        t.panel.typed = "secret";
        t.ctl->closePasswordPrompt(true);
        t.settle();
        mnts.push_back(t.root + "/" + std::string(name, 1) + "-decrypted");
    }
    platform::pumpMainQueue();  // did-mount
    ASSERT_EQ(t.ctl->mountedVolumes().size(), 4u);
    EXPECT_EQ(t.ctl->mountedVolumes()[0].name, "A-decrypted");
    EXPECT_EQ(t.ctl->mountedVolumes()[0].folderPath, folders[0]);
    EXPECT_EQ(changes, 4);

    auto gone = [&](size_t i) {
        if (auto fs = t.ctl->fileSystemAtPath(mnts[i])) fs->waitUntilUnmounted();
        platform::pumpMainQueue();
    };
    auto expectCleaned = [&](size_t i) {
        SCOPED_TRACE(mnts[i]);
        EXPECT_FALSE(isMounted(mnts[i]));
        EXPECT_FALSE(std::filesystem::exists(mnts[i]));
        EXPECT_FALSE(t.ctl->mountPathOfFolder(folders[i]));
        EXPECT_NE(std::find(t.desktop.favouritesRemoved.begin(), t.desktop.favouritesRemoved.end(),
                            mnts[i]),
                  t.desktop.favouritesRemoved.end());
    };

    EXPECT_TRUE(t.ctl->ejectVolumeAtPath(mnts[0]));
    EXPECT_TRUE(t.ctl->ejectVolumeOfFolder(folders[1]));
    // From outside, as a file manager or fusermount3 does.
    ASSERT_EQ(std::system(("fusermount3 -u '" + mnts[2] + "'").c_str()), 0);
    for (size_t i = 0; i < 3; ++i) gone(i);
    EXPECT_EQ(t.ctl->mountedVolumes().size(), 1u);  // off the lists at once
    t.advance(2s);
    for (size_t i = 0; i < 3; ++i) expectCleaned(i);

    // A busy one stays, and the alert says which and why.
    testsupport::writeFile(mnts[3] + "/busy", "x");
    int fd = open((mnts[3] + "/busy").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    t.ctl->ejectAll();
    ASSERT_EQ(t.desktop.alerts.size(), 1u);
    EXPECT_EQ(t.desktop.alerts[0].title, "Could not unmount");
    EXPECT_NE(t.desktop.alerts[0].text.find("\u201cD-decrypted\u201d"), std::string::npos);
    EXPECT_NE(t.desktop.alerts[0].text.find(selfName()), std::string::npos);
    EXPECT_FALSE(t.ctl->ejectVolumeOfFolder(folders[3]));
    EXPECT_EQ(t.desktop.alerts.size(), 2u);
    EXPECT_TRUE(isMounted(mnts[3]));
    close(fd);
    t.ctl->ejectAll();
    gone(3);
    t.advance(2s);
    expectCleaned(3);
    EXPECT_TRUE(t.ctl->mountedVolumes().empty());
    EXPECT_TRUE(t.ctl->ejectVolumeOfFolder(folders[3]));  // none mounted
}

TEST(MountController, ProgramsUsingAVolumeFromProc) {
    testsupport::TempDir proc;
    auto process = [&](const std::string& pid, const std::string& comm,
                       std::vector<std::pair<std::string, std::string>> links) {
        std::filesystem::create_directories(proc / pid / "fd");
        testsupport::writeFile(proc / pid / "comm", comm + "\n");
        for (const auto& [name, target] : links)
            std::filesystem::create_symlink(target, proc / pid / name);
    };
    process("10", "vim", {{"fd/3", "/mnt/Docs-decrypted/a.txt"}, {"cwd", "/home"}});
    process("11", "bash", {{"cwd", "/mnt/Docs-decrypted"}});
    process("12", "other", {{"fd/0", "/mnt/Docs-decrypted-1/x"}, {"cwd", "/mnt"}});
    process("13", "root", {{"root", "/mnt/Docs-decrypted"}});
    std::filesystem::create_directories(proc / "self");  // not a process id
    auto programs =
        QVFuseLoopbackController::programsUsingVolume("/mnt/Docs-decrypted", proc.path());
    std::sort(programs.begin(), programs.end());
    EXPECT_EQ(programs, (std::vector<std::string>{"bash (11)", "root (13)", "vim (10)"}));
}

TEST(MountController, FailedMountDropsTheEntryAndTheKey) {
    REQUIRE_FUSE();
    testsupport::TempDir other;
    testsupport::writeFile(other / "file", "x");
    Controller t((other / "file").string());  // a root that is a file
    const std::string f = t.folder("Docs.zel");
    t.ctl->showPasswordPanelForFolder(f);
    auto fs = std::make_shared<QVFileSystem>();
    fs->setUsername(std::string("alice"));
    ASSERT_TRUE(fs->mountEncryptedFolder(f, std::string("secret")));
    t.ctl->mountFuseFSWithFileSystem(fs);
    EXPECT_EQ(t.ctl->mountPaths().size(), 1u);
    platform::pumpMainQueue();  // mount failed
    ASSERT_EQ(t.desktop.alerts.size(), 1u);
    EXPECT_EQ(t.desktop.alerts[0].title, "Mount Failed");
    EXPECT_TRUE(t.ctl->mountPaths().empty());
    EXPECT_FALSE(t.ctl->mountPathOfFolder(f));
    EXPECT_FALSE(fs->isMounted());
    EXPECT_TRUE(t.desktop.replies.empty());  // no quit was waiting
    EXPECT_TRUE(t.desktop.favouritesAdded.empty());
}

}  // namespace

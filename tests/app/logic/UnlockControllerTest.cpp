// The unlock road without widgets, its background work included (so the
// sanitizer run sees the hand-over between the queue and the main thread):
// the remembered password once the keyring answers, a typed one remembered,
// and a result for a folder no longer shown dropped with its handle locked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>

#include "FileSystem/QVFileSystem.h"
#include "app/logic/QVUnlockController.h"
#include "platform/core/Dispatch.h"
#include "platform/core/UserDefaults.h"
#include "support/FolderBuilder.h"
#include "support/TempDir.h"
#include "support/UnlockGate.h"
#include "utilities/QVPasswordStore.h"

namespace {

struct View : QVUnlockView {
    int unlocked = 0, staysLocked = 0, alerts = 0, wrongShown = 0;
    bool unlocking = false, remember = false;
    std::vector<std::string> users;
    void setUnlocking(bool running) override { unlocking = running; }
    void showPasswordPage(const std::vector<std::string>& u, const std::string&) override {
        users = u;
    }
    void setRememberAvailable(bool) override {}
    bool rememberPassword() const override { return remember; }
    std::string typedPassword() const override { return {}; }
    void showWrongPassword(bool shown) override { wrongShown += shown; }
    void folderDidUnlock() override { ++unlocked; }
    void folderStaysLocked() override { ++staysLocked; }
    void showEjectingAlert(const std::string&, const std::string&) override { ++alerts; }
};

// A keyring that answers only once told to, from another thread, as a real
// one does.
struct Store : QVPasswordStore {
    std::mutex mutex;
    std::map<std::string, std::string> items;
    std::atomic<bool> available{true};
    std::function<void(bool)> observer;
    std::atomic<int> lookups{0};
    std::optional<std::string> lookup(const std::string& service, const std::string&) override {
        ++lookups;
        std::lock_guard lock(mutex);
        auto it = items.find(service);
        return it == items.end() ? std::nullopt : std::optional(it->second);
    }
    bool store(const std::string& service, const std::string&, const std::string& pw) override {
        std::lock_guard lock(mutex);
        items[service] = pw;
        return true;
    }
    bool isAvailable() const override { return available; }
    void observeAvailability(std::function<void(bool)> o) override { observer = std::move(o); }
    void answer() {
        available = true;
        std::thread([o = observer] { o(true); }).join();
    }
};

struct Fixture {
    testsupport::TempDir dir{"tessaro-unlock-logic"};
    platform::UserDefaults defaults{(dir / "defaults.json").string()};
    View view;
    Store store;
    testsupport::UnlockGate gate{true};
    std::vector<std::string> known;
    std::unique_ptr<QVUnlockController> controller;

    Fixture() {
        QVUnlockController::Collaborators c;
        c.view = &view;
        c.passwords = &store;
        c.defaults = &defaults;
        c.addKnownFolder = [this](const std::string& uuid, const std::string&, bool) {
            known.push_back(uuid);
        };
        c.unlock = gate.hook();
        controller = std::make_unique<QVUnlockController>(std::move(c));
    }
    ~Fixture() {
        gate.release();
        controller.reset();
        pumpUntil([] { return false; }, 50);  // results still under way
    }
    std::string folder(const std::string& name) {
        testsupport::makeEncryptedFolder(dir / name, {{"alice", "secret"}});
        return (dir / name).string();
    }
    static std::string uuid(const std::string& path) {
        return QVFileSystem().uuidOfUnmountedVolume(path).value_or("");
    }
    static bool pumpUntil(const std::function<bool()>& done, int rounds = 20000) {
        for (int i = 0; i < rounds; ++i) {
            platform::pumpMainQueue();
            if (done()) return true;
            usleep(1000);
        }
        return false;
    }
    void settle() {
        ASSERT_TRUE(pumpUntil([&] { return !controller->isUnlocking(); }));
    }
};

TEST(QVUnlockControllerLogic, TheRememberedPasswordIsTriedOnceTheKeyringAnswers) {
    Fixture t;
    const std::string path = t.folder("Kept.zel");
    const std::string id = Fixture::uuid(path);
    t.store.items["Tessaro-Mobile-Folder-alice-" + id] = "secret";
    t.defaults.setObject("UserName-" + id, std::string("alice"));
    t.store.available = false;

    auto fs = std::make_shared<QVFileSystem>();
    t.controller->setFolder(fs, path);
    t.settle();
    EXPECT_EQ(t.store.lookups, 0);  // a keyring that has not answered is not asked
    EXPECT_EQ(t.view.users, std::vector<std::string>{"alice"});
    EXPECT_EQ(t.view.unlocked, 0);

    t.store.answer();
    ASSERT_TRUE(Fixture::pumpUntil([&] { return t.view.unlocked == 1; }));
    t.settle();
    EXPECT_TRUE(fs->isMounted());
    EXPECT_EQ(t.store.lookups, 1);
    EXPECT_EQ(t.known, std::vector<std::string>{id});
    EXPECT_EQ(t.view.wrongShown, 0);
    fs->unmount();
}

TEST(QVUnlockControllerLogic, AWrongPasswordIsMarkedAndARightOneRemembered) {
    Fixture t;
    const std::string path = t.folder("Typed.zel");
    auto fs = std::make_shared<QVFileSystem>();
    t.controller->setFolder(fs, path);
    t.settle();
    EXPECT_EQ(t.gate.calls, 0);  // nothing remembered: nothing tried

    t.view.remember = true;
    t.controller->submit("wrong", std::string("alice"));
    t.settle();
    EXPECT_EQ(t.view.wrongShown, 1);
    EXPECT_EQ(t.view.unlocked, 0);
    EXPECT_FALSE(fs->isMounted());
    EXPECT_TRUE(t.store.items.empty());

    t.controller->submit("secret", std::string("alice"));
    t.settle();
    EXPECT_EQ(t.view.unlocked, 1);
    EXPECT_TRUE(fs->isMounted());
    const std::string id = Fixture::uuid(path);
    EXPECT_EQ(t.store.items["Tessaro-Mobile-Folder-alice-" + id], "secret");
    EXPECT_EQ(t.defaults.stringForKey("UserName-" + id), std::optional<std::string>("alice"));
    fs->unmount();
}

// A folder with no user to unlock is refused once, not again at the
// keyring's first answer (each alert ejects a folder when answered).
TEST(QVUnlockControllerLogic, AFolderWithoutUsersIsRefusedOnce) {
    Fixture t;
    const std::string path = (t.dir / "Broken.zel").string();
    std::filesystem::create_directory(path);
    testsupport::writeFile(t.dir / "Broken.zel" / "_QXCFG.MOX", "not a database");
    t.store.available = false;
    t.controller->setFolder(std::make_shared<QVFileSystem>(), path);
    t.settle();
    EXPECT_EQ(t.view.alerts, 1);
    t.store.answer();
    Fixture::pumpUntil([] { return false; }, 50);
    t.settle();
    EXPECT_EQ(t.view.alerts, 1);
    EXPECT_EQ(t.gate.calls, 0);
}

// Another folder shown, or the controller gone, while an unlock runs.
TEST(QVUnlockControllerLogic, AResultNoLongerWantedIsDroppedAndItsHandleLocked) {
    for (bool controllerGone : {false, true}) {
        SCOPED_TRACE(controllerGone ? "controller gone" : "other folder");
        Fixture t;
        const std::string a = t.folder("A.zel"), b = t.folder("B.zel");
        auto handle = std::make_shared<QVFileSystem>();
        t.controller->setFolder(handle, a);
        t.settle();
        t.gate.close();
        t.controller->submit("secret", std::string("alice"));
        ASSERT_TRUE(Fixture::pumpUntil([&] { return t.gate.calls == 1; }));
        t.controller->submit("secret", std::string("alice"));  // ignored while one runs
        if (controllerGone)
            t.controller.reset();
        else
            t.controller->setFolder(std::make_shared<QVFileSystem>(), b);
        t.gate.release();
        // The dropped result was the last holder of the handle but ours.
        ASSERT_TRUE(Fixture::pumpUntil([&] { return handle.use_count() == 1; }));
        if (t.controller) t.settle();
        EXPECT_FALSE(handle->isMounted());
        EXPECT_EQ(t.gate.calls, 1);
        EXPECT_EQ(t.view.unlocked, 0);
        EXPECT_TRUE(t.known.empty());
    }
}

}  // namespace

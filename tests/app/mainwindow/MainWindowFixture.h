#pragma once
// A main window on its own user defaults, a manual clock and a recording
// password store, over real encrypted folders in a temporary directory.

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "FileSystem/QVFileSystem.h"
#include "app/QVPasswordStore.h"
#include "app/mainwindow/QVMainWindowController.h"
#include "app/mainwindow/QVSourceListController.h"
#include "platform/core/UserDefaults.h"
#include "platform/gui/Alert.h"
#include "platform/gui/StringTable.h"
#include "support/FolderBuilder.h"
#include "support/ManualClock.h"
#include "support/QtSpin.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

namespace testsupport {

class RecordingPasswordStore : public QVPasswordStore {
  public:
    using Key = std::pair<std::string, std::string>;  // service, account
    // Called on the unlock's background thread.
    std::optional<std::string> lookup(const std::string& service,
                                      const std::string& account) override {
        ++lookups;
        auto it = items.find({service, account});
        if (it == items.end()) return std::nullopt;
        return it->second;
    }
    bool store(const std::string& service, const std::string& account,
               const std::string& password) override {
        ++stores;
        items[{service, account}] = password;
        return true;
    }
    bool isAvailable() const override { return available; }
    void observeAvailability(std::function<void(bool)> f) override { observer = std::move(f); }
    std::map<Key, std::string> items;
    std::atomic<int> stores = 0, lookups = 0;
    bool available = true;
    std::function<void(bool)> observer;
};

class MainWindowTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (QMessageBox* box : platform::visibleAlerts()) box->close();
    }

    std::unique_ptr<QVMainWindowController> makeWindow(
        std::unique_ptr<QVBrowserInterface> browser = nullptr) {
        QVMainWindowController::Collaborators c;
        c.browser = std::move(browser);
        c.defaults = &defaults;
        c.clock = &clock;
        c.passwordStore = &store;
        c.unlock = unlockHook;
        return std::make_unique<QVMainWindowController>(std::move(c));
    }

    // A real folder with the user "alice" (password "secret").
    std::string folder(const std::string& name, uint32_t cipher = 1) {
        makeEncryptedFolder(dir / name, {{"alice", "secret"}}, cipher);
        return (dir / name).string();
    }

    static std::string uuidOf(const std::string& path) {
        QVFileSystem fs;
        return fs.uuidOfUnmountedVolume(path).value_or("");
    }

    static std::vector<QMessageBox*> alerts() { return platform::visibleAlerts(); }

    // Until the unlock running in the background has come back.
    static void settle(const QVMainWindowController& w) {
        ASSERT_TRUE(spinUntil([&] { return !w.unlockController().isUnlocking(); }));
    }

    // Selects the folder at `path` in the sidebar and unlocks it as "alice".
    static void selectAndUnlock(QVMainWindowController& w, const std::string& path) {
        w.sourceListController()->setSelectedItemPath(path);
        settle(w);
        w.passwordTextField()->setText("secret");
        w.unlockVolume();
        settle(w);
    }

    TempDir dir{"tessaro-mainwindow"};
    platform::UserDefaults defaults{(dir / "defaults.json").string()};
    ManualClock clock;
    RecordingPasswordStore store;
    QVUnlockController::UnlockFunction unlockHook;  // the handle's own when empty
};

}  // namespace testsupport

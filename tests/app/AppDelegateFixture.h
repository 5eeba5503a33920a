#pragma once
// A delegate on its own user defaults and a manual clock, with a recording
// main window, status menu and tour.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/QVAppDelegate.h"
#include "app/mainwindow/QVMainWindowInterface.h"
#include "app/statusmenu/QVStatusMenuInterface.h"
#include "platform/core/UserDefaults.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

class FakeMainWindow : public QVMainWindowInterface {
  public:
    QWidget* window() override { return nullptr; }
    void showWindow() override { shown = true; }
    void hideWindow() override { shown = false; }
    std::string currentVolumePath() const override { return current; }
    void sourceListDidChangeSelectedItemPath(const std::string& path) override {
        reselected.push_back(path);
    }
    void addVolumes(const std::vector<std::string>& paths) override {
        added.insert(added.end(), paths.begin(), paths.end());
    }
    void showInfoPanel() override { ++infoPanels; }
    void showNewCryptFolderSheet() override { ++newFolderSheets; }
    void lockCurrentFolder() override { ++locks; }
    void setStatusMenuController(QVStatusMenuInterface* c) override { statusMenu = c; }

    bool shown = false;
    std::string current = "/current.zel";
    std::vector<std::string> reselected, added;
    int infoPanels = 0, newFolderSheets = 0, locks = 0;
    QVStatusMenuInterface* statusMenu = nullptr;
};

class FakeStatusMenu : public QVStatusMenuInterface {
  public:
    void mountFolderAtUrl(const std::string& path) override { mounted.push_back(path); }
    bool isRunningInTray() const override { return inTray; }
    std::vector<std::string> mounted;
    bool inTray = true;
};

class FakeTour : public QVTourInterface {
  public:
    void show() override { ++shows; }
    int shows = 0;
};

class AppDelegateTest : public ::testing::Test {
  protected:
    // A delegate as the application makes it; `withStatusMenu` makes the
    // FUSE check pass so that the status menu starts.
    std::shared_ptr<QVAppDelegate> makeDelegate(bool withStatusMenu = false) {
        QVAppDelegate::Collaborators c;
        c.defaults = &defaults;
        c.clock = &clock;
        c.startCrashReporter = [this] { ++reporterStarts; };
        c.fuseCheck = [withStatusMenu](QVAppDelegate&) { return withStatusMenu; };
        c.installFuse = [this](QVAppDelegate&) { ++fuseInstalls; };
        c.makeStatusMenu = [this](QVAppDelegate&) {
            statusMenu = std::make_shared<FakeStatusMenu>();
            return statusMenu;
        };
        c.moveToApplicationsOffer = [this](std::function<void()> answered) {
            if (!offerMove) return false;
            moveAnswered = std::move(answered);
            return true;
        };
        c.makeTour = [this] {
            tour = std::make_shared<FakeTour>();
            return tour;
        };
        auto d = std::make_shared<QVAppDelegate>(c);
        d->setMainWindowController(&window);
        return d;
    }

    // An encrypted folder: a directory holding the configuration database.
    std::string makeEncryptedFolder(const std::string& name,
                                    const std::string& database = "_QXCFG.MOX") {
        auto p = dir / name;
        std::filesystem::create_directories(p);
        testsupport::writeFile(p / database, "x");
        return p.string();
    }

    testsupport::TempDir dir;
    platform::UserDefaults defaults{(dir / "defaults.json").string()};
    testsupport::ManualClock clock;
    FakeMainWindow window;
    std::shared_ptr<FakeStatusMenu> statusMenu;
    std::shared_ptr<FakeTour> tour;
    int reporterStarts = 0;
    int fuseInstalls = 0;
    bool offerMove = false;  // the move offer shows and waits
    std::function<void()> moveAnswered;
};

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <algorithm>
#include <thread>

#include "AppDelegateFixture.h"
#include "app/mainwindow/QVMainWindowController.h"
#include "app/startup/QVTourWindow.h"
#include "app/startup/ReporterStart.h"
#include "platform/gui/Alert.h"
#include "platform/gui/Bookmarks.h"
#include "platform/gui/StringTable.h"
#include "support/QtTestApp.h"

TESSARO_QT_TEST_APP();

using platform::ActivationPolicy;
using platform::formatText;
using platform::localizedString;
using testsupport::spinUntil;

namespace {

void drainMainQueue() {
    bool done = false;
    platform::mainQueue()->async([&] { done = true; });
    spinUntil([&] { return done; });
}

void setPolicy(ActivationPolicy p) {
    platform::Application::shared()->setActivationPolicy(p);
}

}  // namespace

TEST(AppDelegateTexts, SizeTextsUseDecimalUnitsAndAPoint) {
    // The process locale must not turn the point into a comma.
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    const std::string bytes = localizedString("bytes");
    const std::pair<int64_t, std::string> cases[] = {
        {0, "0 " + bytes},
        {1, "1 byte"},
        {999, "999 " + bytes},
        {1000, "1.00 KB"},
        {1500000, "1.50 MB"},
        {999999999, "1000.00 MB"},
        {1000000000, "1.00 GB"},
        {1000000000000, "1.00 TB"},
        {2500000000000000, "2500.00 TB"},
    };
    for (const auto& [count, text] : cases) {
        EXPECT_EQ(QVAppDelegate::siUnitStringForBytes(count), text) << count;
    }
    std::setlocale(LC_NUMERIC, "C");
}

TEST(AppDelegateTexts, TimeTextsNameTheTwoLeadingUnits) {
    auto f = [](const char* key, std::initializer_list<std::string_view> args) {
        return formatText(localizedString(key), args);
    };
    const std::pair<int64_t, std::string> cases[] = {
        {0, f("timeSecondsFormat", {"0"})},
        {59, f("timeSecondsFormat", {"59"})},
        {60, f("timeMinuteSecondsFormat", {"1", "0"})},
        {125, f("timeMinutesSecondsFormat", {"2", "5"})},
        {3600, f("timeHourMinutesFormat", {"1", "0"})},
        {7322, f("timeHoursMinutesFormat", {"2", "2"})},
        {86400 + 3600 + 61, f("timeDayHourFormat", {"1", "1"})},
        {3 * 86400 + 5, f("timeDaysHoursFormat", {"3", "0"})},
        {2592000, f("timeMonthDaysFormat", {"1", "0"})},
        {2 * 2592000 + 86400 * 4, f("timeMonthsDaysFormat", {"2", "4"})},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(QVAppDelegate::progressTimeStringForSeconds(seconds), text) << seconds;
    }
    EXPECT_EQ(QVAppDelegate::progressTimeStringForSeconds(60), "1 minute, 0 seconds");
}

TEST_F(AppDelegateTest, EncryptedFolderTestAndSizes) {
    const auto upper = makeEncryptedFolder("a.zel");
    const auto lower = makeEncryptedFolder("b", "_qxcfg.mox");
    testsupport::writeFile(dir / "plain", "12345");
    std::filesystem::create_directory(dir / "empty");
    EXPECT_TRUE(QVAppDelegate::fileIsEncryptedFolder(upper));
    EXPECT_TRUE(QVAppDelegate::fileIsEncryptedFolder(lower));
    EXPECT_FALSE(QVAppDelegate::fileIsEncryptedFolder((dir / "plain").string()));
    EXPECT_FALSE(QVAppDelegate::fileIsEncryptedFolder((dir / "empty").string()));
    EXPECT_FALSE(QVAppDelegate::fileIsEncryptedFolder((dir / "missing").string()));
    EXPECT_FALSE(QVAppDelegate::fileIsEncryptedFolder(upper + "/_QXCFG.MOX"));

    // Sizes: hidden items are skipped, a file counts alone.
    std::filesystem::create_directories(dir / "a.zel/sub");
    testsupport::writeFile(dir / "a.zel/sub/f", std::string(1000, 'x'));
    testsupport::writeFile(dir / "a.zel/.hidden", std::string(500, 'x'));
    std::filesystem::create_directories(dir / "a.zel/.hiddendir");
    testsupport::writeFile(dir / "a.zel/.hiddendir/f", std::string(700, 'x'));
    EXPECT_EQ(QVAppDelegate::totalBytesOfFinderItem(upper), 1001);
    EXPECT_EQ(QVAppDelegate::totalBytesOfFinderItem((dir / "plain").string()), 5);
    EXPECT_EQ(QVAppDelegate::totalBytesOfFinderItem((dir / "missing").string()), 0);
}

// Known and tracked folders survive a restart in the user defaults; an
// unresolvable one stays stored but is not listed.
TEST_F(AppDelegateTest, KnownFoldersPersistAndKeepUnresolvableOnes) {
    const auto a = makeEncryptedFolder("a.zel");
    const auto b = makeEncryptedFolder("b.zel");
    testsupport::writeFile(std::filesystem::path(a) / "data", std::string(2000, 'x'));
    {
        auto d = makeDelegate();
        d->addKnownFolderWithId("uuid-a", a, false);
        d->addKnownFolderWithId("uuid-b", b, true);
        d->addKnownFolderWithId("", b, true);  // refused: logged only
        EXPECT_EQ(d->knownFolderUrlsForIDs().size(), 2u);
        EXPECT_EQ(d->trackedFolderUrlsForIDs().size(), 1u);
        ASSERT_EQ(d->knownFoldersMenu()->actions().size(), 2);
        EXPECT_EQ(d->knownFoldersMenu()->actions()[0]->text().toStdString(), a);
    }
    std::filesystem::remove_all(b);
    platform::UserDefaults reread(defaults.path());
    QVAppDelegate::Collaborators c;
    c.defaults = &reread;
    auto d = std::make_shared<QVAppDelegate>(c);
    EXPECT_EQ(d->knownFolderUrlsForIDs(), (std::map<std::string, std::string>{{a, a}}));
    EXPECT_TRUE(d->trackedFolderUrlsForIDs().empty());
    EXPECT_EQ(d->knownFolderBookmarksForIDs().size(), 2u);
    EXPECT_EQ(d->trackedFolderBookmarksForIDs().size(), 1u);
    // Summed at start away from the main thread.
    EXPECT_TRUE(spinUntil([&] { return d->bufferedAllKnownFolderSize() == 2001; }))
        << d->bufferedAllKnownFolderSize();
    EXPECT_EQ(d->knownFoldersMenu()->actions().size(), 1);
    // The stored value forms: UUID -> bookmark data of the folder.
    const auto stored = reread.objectForKey("knownFolders");
    ASSERT_TRUE(stored.isDictionary());
    auto data = platform::bookmarkDataFromValue(*stored.ifDictionary()->find("uuid-a"));
    ASSERT_TRUE(data);
    EXPECT_EQ(platform::resolveBookmarkData(*data), a);
    // Adding another folder keeps the unresolvable one stored.
    d->addKnownFolderWithId("uuid-c", makeEncryptedFolder("c.zel"), false);
    EXPECT_TRUE(reread.objectForKey("knownFolders").ifDictionary()->contains("uuid-b"));
}

// The tracked folders' total is summed away from the main thread: the call
// returns at once, the sum lands through the main queue, and of two requests
// in a row the later one's stays.
TEST_F(AppDelegateTest, TrackedFoldersTotalIsSummedInTheBackground) {
    const auto a = makeEncryptedFolder("a.zel");
    testsupport::writeFile(std::filesystem::path(a) / "data", std::string(2000, 'x'));
    auto d = makeDelegate();
    d->addKnownFolderWithId("uuid-a", a, true);
    d->recomputeTotalBytesOfAllTrackedFolders();
    EXPECT_EQ(d->bufferedAllTrackedFolderSize(), 0);
    ASSERT_TRUE(spinUntil([&] { return d->bufferedAllTrackedFolderSize() == 2001; }))
        << d->bufferedAllTrackedFolderSize();

    d->recomputeTotalBytesOfAllTrackedFolders();
    testsupport::writeFile(std::filesystem::path(a) / "more", std::string(500, 'x'));
    d->recomputeTotalBytesOfAllTrackedFolders();
    ASSERT_TRUE(spinUntil([&] { return d->bufferedAllTrackedFolderSize() == 2501; }))
        << d->bufferedAllTrackedFolderSize();
    drainMainQueue();
    EXPECT_EQ(d->bufferedAllTrackedFolderSize(), 2501);
    EXPECT_EQ(d->totalBytesOfAllTrackedFolders(), 2501);
}

// The volume's thread refreshes the menu through the main queue, without
// waiting for the main thread.
TEST_F(AppDelegateTest, KnownFoldersMenuFromAnotherThreadIsPosted) {
    auto d = makeDelegate();
    const auto a = makeEncryptedFolder("a.zel");
    d->addKnownFolderWithId("uuid-a", a, false);
    d->knownFoldersMenu()->clear();
    std::thread volume([&] { d->updateKnownFoldersMenu(); });
    volume.join();
    EXPECT_TRUE(d->knownFoldersMenu()->actions().empty());
    drainMainQueue();
    ASSERT_EQ(d->knownFoldersMenu()->actions().size(), 1);
    d->knownFoldersMenu()->actions()[0]->trigger();
    EXPECT_EQ(window.added, (std::vector<std::string>{a}));
}

// An alert of the start (a folder that cannot be opened) stays in sight:
// the first tour waits until it is answered.
TEST_F(AppDelegateTest, TheFirstTourWaitsForAnOpenAlert) {
    auto d = makeDelegate();
    platform::Alert alert;
    alert.messageText = "Not supported";
    QMessageBox* box = alert.open(nullptr);
    d->applicationDidFinishLaunching();
    for (int i = 0; i < 3; ++i) {
        clock.advance(std::chrono::milliseconds(500));
        drainMainQueue();
    }
    EXPECT_FALSE(tour);
    platform::pressAlertButton(box, 0);
    ASSERT_TRUE(spinUntil([] { return platform::visibleAlerts().empty(); }));
    clock.advance(std::chrono::milliseconds(500));
    drainMainQueue();
    ASSERT_TRUE(tour);
    EXPECT_EQ(tour->shows, 1);
}

// The tour comes 0.5 s after the first launch only; the crash reporter starts
// on every launch.
TEST_F(AppDelegateTest, TourOnlyOnFirstLaunch) {
    {
        auto d = makeDelegate();
        d->applicationDidFinishLaunching();
        EXPECT_TRUE(window.shown);
        clock.advance(std::chrono::milliseconds(499));
        drainMainQueue();
        EXPECT_FALSE(tour);
        clock.advance(std::chrono::milliseconds(1));
        drainMainQueue();
        ASSERT_TRUE(tour);
        EXPECT_EQ(tour->shows, 1);
        EXPECT_TRUE(defaults.boolForKey("hasStartedBefore"));
        d->showTour();  // the menu command reuses the controller
        EXPECT_EQ(tour->shows, 2);
    }
    tour.reset();
    auto d = makeDelegate();
    d->applicationDidFinishLaunching();
    clock.advance(std::chrono::seconds(5));
    drainMainQueue();
    EXPECT_FALSE(tour);
    EXPECT_EQ(reporterStarts, 2);
}

TEST_F(AppDelegateTest, StatusMenuStartsOnlyAfterAPassedFuseCheck) {
    {
        auto d = makeDelegate(false);
        d->applicationDidFinishLaunching();
        EXPECT_FALSE(d->isHelperRunning());
    }
    auto d = makeDelegate(true);
    d->applicationDidFinishLaunching();
    EXPECT_TRUE(d->isHelperRunning());
    EXPECT_EQ(window.statusMenu, statusMenu.get());
    d->startHelper();  // a second start keeps the first controller
    EXPECT_EQ(d->statusMenuController(), statusMenu.get());
}

// The three roads of an open request.
TEST_F(AppDelegateTest, OpenRequests) {
    auto d = makeDelegate(true);
    d->startHelper();
    const auto a = makeEncryptedFolder("a.zel");
    const auto b = makeEncryptedFolder("b.zel");
    testsupport::writeFile(dir / "plain.txt", "x");
    setPolicy(ActivationPolicy::Regular);

    // Nothing encrypted: the alert, answered failure.
    EXPECT_EQ(d->openFiles({(dir / "plain.txt").string()}), platform::kOpenRequestFailure);
    auto alerts = platform::visibleAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0]->text().toStdString(), localizedString("alertFolderNotEncryptedTitle"));
    EXPECT_EQ(alerts[0]->informativeText().toStdString(),
              localizedString("alertFolderNotEncryptedMsg"));
    platform::pressAlertButton(alerts[0], 0);
    EXPECT_TRUE(window.added.empty());

    // With the main window: every encrypted folder joins it, success.
    EXPECT_EQ(d->openFiles({a, (dir / "plain.txt").string(), b}), platform::kOpenRequestSuccess);
    EXPECT_EQ(window.added, (std::vector<std::string>{a, b}));

    // As a tray accessory: the first folder goes to the mount road 1 s later.
    window.added.clear();
    setPolicy(ActivationPolicy::Prohibited);
    EXPECT_EQ(d->openFiles({b, a}), platform::kOpenRequestNoReply);
    clock.advance(std::chrono::milliseconds(999));
    drainMainQueue();
    EXPECT_TRUE(statusMenu->mounted.empty());
    clock.advance(std::chrono::milliseconds(1));
    drainMainQueue();
    EXPECT_EQ(statusMenu->mounted, (std::vector<std::string>{b}));
    EXPECT_TRUE(window.added.empty());
    setPolicy(ActivationPolicy::Regular);
}

TEST_F(AppDelegateTest, LastWindowClosedAndReopen) {
    {
        // Without the status menu the application quits.
        auto d = makeDelegate(false);
        window.shown = true;
        EXPECT_TRUE(d->applicationShouldTerminateAfterLastWindowClosed());
        EXPECT_EQ(window.locks, 1);
    }
    auto d = makeDelegate(true);
    d->startHelper();
    setPolicy(ActivationPolicy::Regular);
    window.shown = true;
    EXPECT_FALSE(d->applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_EQ(window.locks, 2);
    EXPECT_FALSE(window.shown);
    EXPECT_EQ(platform::Application::shared()->activationPolicy(), ActivationPolicy::Prohibited);

    // Reopening brings the window back with its folder selected again.
    EXPECT_TRUE(d->applicationShouldHandleReopen(false));
    EXPECT_TRUE(window.shown);
    EXPECT_EQ(window.reselected, (std::vector<std::string>{window.current}));
    EXPECT_EQ(platform::Application::shared()->activationPolicy(), ActivationPolicy::Regular);
    // Regular already: shown without selecting again.
    EXPECT_TRUE(d->applicationShouldHandleReopen(true));
    EXPECT_EQ(window.reselected.size(), 1u);
}

// Without a tray the status menu cannot be reached: it counts as not
// running, so closing the last window quits (after locking) instead of
// leaving a process with no window and no icon.
TEST_F(AppDelegateTest, WithoutATrayTheLastWindowQuits) {
    auto d = makeDelegate(true);
    d->startHelper();
    statusMenu->inTray = false;
    EXPECT_FALSE(d->isHelperRunning());
    ASSERT_TRUE(d->statusMenuController());  // folders still mount from the window
    window.shown = true;
    EXPECT_TRUE(d->applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_EQ(window.locks, 1);
}

// The move offer holds the start: no window, tour, status menu or open
// request until it is answered, and the first-start flag waits too.
TEST_F(AppDelegateTest, MoveOfferHoldsTheStart) {
    offerMove = true;
    auto d = makeDelegate(true);
    const auto a = makeEncryptedFolder("a.zel");
    d->applicationWillFinishLaunching();
    d->applicationDidFinishLaunching();
    EXPECT_TRUE(d->isWaitingForMoveOffer());
    EXPECT_EQ(d->openFiles({a}), platform::kOpenRequestNoReply);
    clock.advance(std::chrono::seconds(5));
    drainMainQueue();
    EXPECT_FALSE(window.shown);
    EXPECT_FALSE(tour);
    EXPECT_FALSE(statusMenu);
    EXPECT_EQ(reporterStarts, 0);
    EXPECT_FALSE(defaults.boolForKey("hasStartedBefore"));
    EXPECT_TRUE(window.added.empty());

    ASSERT_TRUE(moveAnswered);
    moveAnswered();  // not moved: the start goes on
    EXPECT_FALSE(d->isWaitingForMoveOffer());
    EXPECT_TRUE(window.shown);
    EXPECT_TRUE(d->isHelperRunning());
    EXPECT_TRUE(defaults.boolForKey("hasStartedBefore"));
    EXPECT_EQ(window.added, std::vector<std::string>{a});
    clock.advance(std::chrono::milliseconds(500));
    drainMainQueue();
    ASSERT_TRUE(tour);
    EXPECT_EQ(tour->shows, 1);
    moveAnswered();  // a second answer changes nothing
    EXPECT_EQ(reporterStarts, 1);
}

TEST_F(AppDelegateTest, ShowCommands) {
    auto d = makeDelegate();
    const auto a = makeEncryptedFolder("a.zel");
    setPolicy(ActivationPolicy::Accessory);
    d->showEncryptedFolder(a);
    EXPECT_TRUE(window.shown);
    EXPECT_EQ(platform::Application::shared()->activationPolicy(), ActivationPolicy::Regular);
    EXPECT_EQ(window.added, (std::vector<std::string>{a}));
    d->showInfoForFolder((dir / "not-a-folder").string());
    EXPECT_EQ(window.added.size(), 1u);
    EXPECT_EQ(window.infoPanels, 1);
    d->showNewEncryptedFolder();
    EXPECT_EQ(window.newFolderSheets, 1);

    d->showAboutBox();
    ASSERT_TRUE(d->aboutWindow());
    EXPECT_TRUE(d->aboutWindow()->isVisible());
    auto* label = d->aboutWindow()->findChild<QLabel*>("aboutVersionLabel");
    ASSERT_TRUE(label);
    EXPECT_EQ(label->text().toStdString(), QVAppDelegate::versionText());
    EXPECT_EQ(QVAppDelegate::versionText().rfind("Version 0.", 0), 0u);
    d->aboutWindow()->hide();
}

// Quitting asks whoever holds volumes first; without one it quits at once.
TEST_F(AppDelegateTest, QuitAsksTheVolumesFirst) {
    auto d = makeDelegate();
    EXPECT_EQ(d->applicationShouldTerminate(), platform::TerminateReply::Now);
    int asked = 0;
    d->setTerminationHandler([&] {
        ++asked;
        return platform::TerminateReply::Later;
    });
    EXPECT_EQ(d->applicationShouldTerminate(), platform::TerminateReply::Later);
    EXPECT_EQ(asked, 1);
}

TEST(ReporterStart, TheStandardCollaboratorsStartTheReporterWithTheKey) {
    const int before = app::crashReporterStartCount();
    QVAppDelegate::standardCollaborators().startCrashReporter();
    EXPECT_EQ(app::crashReporterStartCount(), before + 1);
    EXPECT_EQ(app::crashReporterStartKey(), "3f9c1e7a0b5d2486c1e9f0a7d3b6524e8c1a9f07");
}

// The real collaborators: the tour window shows from its first page, and the
// main window carries the updater's menu item third in its application menu
// and the FUSE install action fourth.
TEST_F(AppDelegateTest, StandardToursAndTheUpdateMenuItem) {
    auto tourWindow = QVAppDelegate::standardCollaborators().makeTour();
    ASSERT_TRUE(tourWindow);
    tourWindow->show();
    const auto windows = QApplication::topLevelWidgets();
    EXPECT_TRUE(std::any_of(windows.begin(), windows.end(), [](QWidget* w) {
        return dynamic_cast<QVTourWindow*>(w) && w->isVisible();
    }));

    auto d = makeDelegate();
    QVMainWindowController::Collaborators parts;
    parts.appDelegate = d.get();
    parts.defaults = &defaults;
    QVMainWindowController mainWindow(std::move(parts));
    const auto items = mainWindow.tessaroMenu()->actions();
    ASSERT_GE(items.size(), 3);
    EXPECT_EQ(items[2]->text().toStdString(), localizedString("updateMenuItemTitle"));
    items[2]->trigger();
    ASSERT_EQ(platform::visibleAlerts().size(), 1u);
    EXPECT_EQ(platform::visibleAlerts()[0]->text().toStdString(),
              localizedString("updateCheckPackageManagerTitle"));
    platform::pressAlertButton(platform::visibleAlerts()[0], 0);

    // The FUSE install action follows the updater's item, reachable at any time.
    ASSERT_GE(items.size(), 4);
    EXPECT_EQ(items[3], d->installFuseMenuItem());
    EXPECT_TRUE(items[3]->isEnabled());
    items[3]->trigger();
    EXPECT_EQ(fuseInstalls, 1);
}

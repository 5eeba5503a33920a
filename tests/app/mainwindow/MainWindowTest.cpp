#include <QAction>
#include <QCheckBox>
#include <QColumnView>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <chrono>
#include <set>

#include "MainWindowFixture.h"
#include "app/QVAppDelegate.h"
#include "app/browser/QVBrowserPage.h"
#include "app/browser/QVInfoPanelController.h"
#include "app/mainwindow/QVSourceListController.h"
#include "app/statusmenu/QVStatusMenuInterface.h"
#include "platform/gui/StringTable.h"

TESSARO_QT_TEST_APP();

using namespace std::chrono_literals;
using platform::localizedString;
using testsupport::MainWindowTest;
using testsupport::spinUntil;

namespace {

struct FakeStatusMenu : QVStatusMenuInterface {
    void mountFolderAtUrl(const std::string&) override {}
};

std::string serviceFor(const std::string& user, const std::string& uuid) {
    return "Tessaro-Mobile-Folder-" + user + "-" + uuid;
}

TEST_F(MainWindowTest, RememberedPasswordOpensStraightIntoTheBrowserAndIsNotStoredAgain) {
    const std::string path = folder("Remembered.zel");
    const std::string uuid = uuidOf(path);
    defaults.setObject("UserName-" + uuid, "alice");
    store.items[{serviceFor("alice", uuid), app::loginUserName()}] = "secret";

    auto w = makeWindow();
    w->rememberPasswordCheckBox()->setChecked(true);
    w->addVolumes({path});
    settle(*w);

    ASSERT_TRUE(w->currentFileSystem());
    EXPECT_TRUE(w->currentFileSystem()->isMounted());
    EXPECT_EQ(w->mainTabView()->currentIndex(), 0);
    EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 0);
    EXPECT_FALSE(w->wrongPasswordTextField()->isVisibleTo(w.get()));
    EXPECT_EQ(store.stores, 0);
}

TEST_F(MainWindowTest, WithoutAKeyringTheRememberBoxIsOffAndUnlockingStillWorks) {
    store.available = false;
    const std::string path = folder("NoKeyring.zel");
    auto w = makeWindow();
    w->rememberPasswordCheckBox()->setChecked(true);
    w->addVolumes({path});
    settle(*w);

    EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 1);
    EXPECT_FALSE(w->rememberPasswordCheckBox()->isEnabled());
    EXPECT_FALSE(w->rememberPasswordCheckBox()->isChecked());
    EXPECT_EQ(w->rememberPasswordCheckBox()->toolTip().toStdString(),
              localizedString("rememberPasswordUnavailable"));
    ASSERT_FALSE(w->rememberPasswordCheckBox()->toolTip().isEmpty());

    w->passwordTextField()->setText("secret");
    w->unlockVolume();
    settle(*w);
    EXPECT_TRUE(w->currentFileSystem()->isMounted());
    EXPECT_EQ(store.stores, 0);

    // The service comes back: the next lock offers the box again.
    store.available = true;
    w->lockCurrentFolder();
    settle(*w);
    EXPECT_TRUE(w->rememberPasswordCheckBox()->isEnabled());
    EXPECT_TRUE(w->rememberPasswordCheckBox()->toolTip().isEmpty());
}

TEST_F(MainWindowTest, PasswordPageWrongPasswordMarksAndStoresNothingTypedOneIsRemembered) {
    const std::string path = folder("Typed.zel");
    const std::string uuid = uuidOf(path);
    auto w = makeWindow();
    w->show();
    w->addVolumes({path});
    settle(*w);

    // Nothing remembered: the password page without the mark.
    EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 1);
    EXPECT_FALSE(w->wrongPasswordTextField()->isVisibleTo(w.get()));
    ASSERT_EQ(w->usernamePopUp()->count(), 1);
    EXPECT_EQ(w->usernamePopUp()->itemText(0).toStdString(), "alice");

    w->rememberPasswordCheckBox()->setChecked(true);
    w->passwordTextField()->setText("wrong");
    w->unlockVolume();
    settle(*w);
    EXPECT_FALSE(w->currentFileSystem()->isMounted());
    EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 1);
    EXPECT_TRUE(w->wrongPasswordTextField()->isVisibleTo(w.get()));
    EXPECT_TRUE(w->passwordTextField()->text().isEmpty());
    EXPECT_EQ(store.stores, 0);
    EXPECT_FALSE(defaults.stringForKey("UserName-" + uuid));

    w->passwordTextField()->setText("secret");
    w->unlockVolume();
    settle(*w);
    EXPECT_TRUE(w->currentFileSystem()->isMounted());
    EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 0);
    EXPECT_FALSE(w->wrongPasswordTextField()->isVisibleTo(w.get()));
    ASSERT_EQ(store.items.size(), 1u);
    EXPECT_EQ(store.items.begin()->first,
              (std::pair{serviceFor("alice", uuid), app::loginUserName()}));
    EXPECT_EQ(store.items.begin()->second, "secret");
    EXPECT_EQ(defaults.stringForKey("UserName-" + uuid).value_or(""), "alice");
}

TEST(FolderPasswordService, NamesOneFolderAndUserOrNothing) {
    const std::string id = "1C6E2B4A-7D3F-4E15-9A0B-2C8D6F1E3A57";
    struct Case {
        std::string user, uuid;
        std::optional<std::string> service;
    } cases[] = {
        {"alice", id, "Tessaro-Mobile-Folder-alice-" + id},
        {"", id, std::nullopt},
        {"alice", "", std::nullopt},
        {"alice", "00000000-0000-0000-0000-000000000000", std::nullopt},
        {"alice", QVFileSystem::kUnknownFolderId, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(app::folderPasswordService(c.user, c.uuid), c.service) << c.user << " " << c.uuid;
}

TEST_F(MainWindowTest, ThreeFoldersWithoutTheExtensionAskOnceAndAreAllRenamed) {
    std::vector<std::string> paths = {folder("One"), folder("Two"), folder("Three")};
    auto w = makeWindow();
    w->show();
    w->addVolumes(paths);
    settle(*w);
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts()[0]->text().toStdString(), localizedString("appendFileExtensionAlertTitle"));
    platform::pressAlertButton(alerts()[0], 0);
    ASSERT_TRUE(spinUntil([&] { return w->sourceListController()->itemsPaths().size() == 3; }));
    EXPECT_TRUE(alerts().empty());
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(w->sourceListController()->itemsPaths()[i], paths[i] + ".zel");
        EXPECT_TRUE(std::filesystem::is_directory(paths[i] + ".zel"));
    }
}

TEST_F(MainWindowTest, DecliningTheExtensionIsRememberedPerFolder) {
    const std::string path = folder("Plain");
    auto w = makeWindow();
    w->show();
    w->addVolumes({path});
    settle(*w);
    ASSERT_EQ(alerts().size(), 1u);
    platform::pressAlertButton(alerts()[0], 1);
    ASSERT_TRUE(spinUntil([&] { return w->sourceListController()->itemsPaths().size() == 1; }));
    EXPECT_EQ(w->sourceListController()->itemsPaths()[0], path);
    EXPECT_TRUE(defaults.boolForKey("dontAskToAddExtension-" + uuidOf(path)));
    w->sourceListController()->ejectSelected();
    w->addVolumes({path});
    settle(*w);
    EXPECT_TRUE(alerts().empty());
    EXPECT_EQ(w->sourceListController()->itemsPaths().size(), 1u);
}

TEST_F(MainWindowTest, FolderDeletedBehindTheWindowsBackIsReportedAndEjected) {
    const std::string kept = folder("Kept.zel");
    const std::string gone = folder("Gone.zel");
    auto w = makeWindow();
    w->show();
    w->addVolumes({kept, gone});
    settle(*w);
    std::filesystem::remove_all(gone);
    w->sourceListController()->setSelectedItemPath(gone);
    settle(*w);

    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts()[0]->text().toStdString(), localizedString("folderNotFound"));
    EXPECT_NE(alerts()[0]->informativeText().toStdString().find("Gone.zel"), std::string::npos);
    EXPECT_EQ(w->sourceListController()->itemsPaths().size(), 2u);
    // The eject waits for the answer: no alert is left over the next page.
    clock.advance(5s);
    QCoreApplication::processEvents();
    EXPECT_EQ(w->sourceListController()->itemsPaths().size(), 2u);
    platform::pressAlertButton(alerts()[0], 0);
    clock.advance(199ms);
    QCoreApplication::processEvents();
    EXPECT_EQ(w->sourceListController()->itemsPaths().size(), 2u);
    clock.advance(1ms);
    ASSERT_TRUE(spinUntil([&] { return w->sourceListController()->itemsPaths().size() == 1; }));
    EXPECT_EQ(w->sourceListController()->itemsPaths()[0], kept);
    EXPECT_TRUE(alerts().empty());
}

TEST_F(MainWindowTest, FolderWithoutUsersIsNotSupportedAndEjected) {
    const std::string path = (dir / "Broken.zel").string();
    std::filesystem::create_directory(path);
    testsupport::writeFile(dir / "Broken.zel" / "_QXCFG.MOX", "not a database");
    auto w = makeWindow();
    w->show();
    w->addVolumes({path});
    settle(*w);
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts()[0]->text().toStdString(), localizedString("Not supported"));
    clock.advance(5s);
    QCoreApplication::processEvents();
    EXPECT_EQ(w->sourceListController()->itemsPaths().size(), 1u);
    platform::pressAlertButton(alerts()[0], 0);
    clock.advance(200ms);
    ASSERT_TRUE(spinUntil([&] { return w->sourceListController()->itemsPaths().empty(); }));
    EXPECT_EQ(w->mainTabView()->currentIndex(), 1);
}

// The same reason to eject told twice (a keychain answer, then the password
// page; or the folder selected again) opens one alert: a second answer
// would eject the next folder too.
TEST_F(MainWindowTest, AReasonToEjectIsAskedOnce) {
    const std::string kept = folder("Kept.zel");
    const std::string path = (dir / "Broken.zel").string();
    std::filesystem::create_directory(path);
    testsupport::writeFile(dir / "Broken.zel" / "_QXCFG.MOX", "not a database");
    auto w = makeWindow();
    w->show();
    w->addVolumes({kept, path});
    w->sourceListController()->setSelectedItemPath(path);
    settle(*w);
    ASSERT_EQ(alerts().size(), 1u);
    w->sourceListController()->setSelectedItemPath(kept);
    settle(*w);
    w->sourceListController()->setSelectedItemPath(path);
    settle(*w);
    ASSERT_EQ(alerts().size(), 1u);
    platform::pressAlertButton(alerts()[0], 0);
    clock.advance(200ms);
    ASSERT_TRUE(spinUntil([&] { return w->sourceListController()->itemsPaths().size() == 1u; }));
    clock.advance(5s);
    settle(*w);
    EXPECT_EQ(w->sourceListController()->itemsPaths(), std::vector<std::string>{kept});
}

TEST(MainWindowValidation, ToolbarAndMenuFollowTheirOwnRules) {
    // W handle, M unlocked, S selection, P sheet not key, F sidebar selection.
    struct Case {
        QVValidationState s;
        bool tbDelete, tbNewFolder, tbEjectInfo, mDelete, mNewFolder, mEjectInfo;
    } cases[] = {
        {{false, false, false, true, false}, false, false, false, false, false, false},
        {{true, false, false, true, true}, false, false, true, false, false, false},
        {{true, true, false, true, true}, false, true, true, false, true, true},
        {{true, true, true, true, true}, true, true, true, true, true, true},
        // The new-folder sheet is key: the toolbar waits, the menu does not.
        {{true, true, true, false, true}, false, false, false, true, true, true},
        // Unlocked but nothing selected in the sidebar (cannot last, but the
        // rules tell the two apart).
        {{true, true, true, true, false}, true, true, false, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.s.W << c.s.M << c.s.S << c.s.P << c.s.F);
        EXPECT_EQ(toolbarItemEnabled(QVWindowAction::Delete, c.s), c.tbDelete);
        EXPECT_EQ(toolbarItemEnabled(QVWindowAction::NewFolder, c.s), c.tbNewFolder);
        EXPECT_EQ(toolbarItemEnabled(QVWindowAction::Eject, c.s), c.tbEjectInfo);
        EXPECT_EQ(toolbarItemEnabled(QVWindowAction::Info, c.s), c.tbEjectInfo);
        EXPECT_EQ(menuItemEnabled(QVWindowAction::Delete, c.s), c.mDelete);
        EXPECT_EQ(menuItemEnabled(QVWindowAction::NewFolder, c.s), c.mNewFolder);
        EXPECT_EQ(menuItemEnabled(QVWindowAction::Eject, c.s), c.mEjectInfo);
        EXPECT_EQ(menuItemEnabled(QVWindowAction::Info, c.s), c.mEjectInfo);
        for (auto a : {QVWindowAction::Open, QVWindowAction::CreateEncryptedFolder}) {
            EXPECT_TRUE(toolbarItemEnabled(a, c.s));
            EXPECT_TRUE(menuItemEnabled(a, c.s));
        }
    }
}

TEST_F(MainWindowTest, ActionsFollowTheFolderStateAndCarryTheirToolTips) {
    auto w = makeWindow();
    const auto& tb = w->toolbarActions();
    const auto& menu = w->menuActions();
    const std::pair<QAction*, const char*> tips[] = {
        {tb.addFolder, "Add new folder"},           {tb.deleteItems, "Delete selected item"},
        {tb.info, "Get info for ecnrypted folder"}, {tb.eject, "Close encrypted folder"},
        {tb.open, "Open encrypted folder"},         {tb.create, "Create new encrypted folder"}};
    for (const auto& [action, key] : tips)
        EXPECT_EQ(action->toolTip().toStdString(), localizedString(key)) << key;
    EXPECT_EQ(w->mainTabView()->currentIndex(), 1);  // an empty sidebar: the empty page

    w->addVolumes({folder("State.zel")});

    settle(*w);
    w->validateToolbarItems();
    w->validateMenuItems();
    // Locked: the toolbar may eject; the menu's eject needs an unlocked folder.
    EXPECT_TRUE(tb.eject->isEnabled());
    EXPECT_FALSE(menu.eject->isEnabled());
    EXPECT_FALSE(tb.addFolder->isEnabled());
    EXPECT_FALSE(menu.addFolder->isEnabled());

    w->usernamePopUp()->setCurrentIndex(0);
    w->passwordTextField()->setText("secret");
    w->unlockVolume();
    settle(*w);
    w->validateToolbarItems();
    w->validateMenuItems();
    EXPECT_TRUE(menu.eject->isEnabled());
    EXPECT_TRUE(menu.addFolder->isEnabled());
    EXPECT_TRUE(tb.addFolder->isEnabled());
    EXPECT_FALSE(tb.deleteItems->isEnabled());  // nothing selected in the browser
    EXPECT_FALSE(menu.deleteItems->isEnabled());
}

TEST(NewFolderNames, NumbersFromOneAndTheFortyNinthUntested) {
    struct Case {
        int taken;  // the plain name and its numbered forms below this many
        std::string expected;
    } cases[] = {
        {0, "/d/New"}, {1, "/d/New 1"}, {3, "/d/New 3"}, {49, "/d/New 49"}, {60, "/d/New 49"}};
    for (const Case& c : cases) {
        std::set<std::string> asked;
        auto exists = [&](const std::string& p) {
            asked.insert(p);
            if (c.taken == 0) return false;
            if (p == "/d/New") return true;
            return std::stoi(p.substr(7)) < c.taken;
        };
        EXPECT_EQ(newFolderPath("/d", "New", exists), c.expected) << c.taken;
        EXPECT_EQ(asked.count("/d/New 49"), 0u);
    }
}

TEST_F(MainWindowTest, NewFoldersInTheUnlockedFolderGetTheNextFreeName) {
    const std::string path = folder("Names.zel");
    auto w = makeWindow();
    w->addVolumes({path});
    settle(*w);
    w->passwordTextField()->setText("secret");
    w->unlockVolume();
    settle(*w);
    ASSERT_TRUE(w->currentFileSystem()->isMounted());
    w->createNewFolder();
    w->createNewFolder();
    const std::string base = localizedString("newFolderName");
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(path) / base));
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(path) / (base + " 1")));
}

// The column view scrolls to a new folder's column with an animation and
// swaps its columns' selection models when it ends; the name editor must
// still be open then, and take the name typed.
TEST_F(MainWindowTest, NewFolderKeepsItsNameEditorOpenUntilTheUserAnswers) {
    for (const char* inside : {"", "Plans"}) {
        SCOPED_TRACE(inside);
        const std::string path = folder(std::string("Edit") + inside + ".zel");
        auto page = std::make_unique<QVBrowserPage>();
        QVBrowserController* browser = page->browser();
        auto w = makeWindow(std::move(page));
        w->resize(1100, 560);
        w->show();
        w->addVolumes({path});
        settle(*w);
        selectAndUnlock(*w, path);
        ASSERT_TRUE(w->currentFileSystem()->isMounted());
        const std::string parent = inside;
        if (!parent.empty()) {
            ASSERT_TRUE(w->currentFileSystem()->createDirectoryAtPath(parent));
            browser->reload();
            browser->columnView()->setCurrentIndex(browser->model().indexForPath(parent));
        }
        w->validateToolbarItems();
        w->toolbarActions().addFolder->trigger();
        QColumnView* view = browser->columnView();
        const int animation =
            view->style()->styleHint(QStyle::SH_Widget_Animation_Duration, nullptr, view);
        QElapsedTimer waited;
        waited.start();
        spinUntil([&] { return waited.elapsed() > animation + 300; });
        auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        ASSERT_TRUE(editor);
        EXPECT_EQ(editor->text().toStdString(), localizedString("newFolderName"));
        editor->setText("Drafts");
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(editor, &enter);
        spinUntil([&] {
            return std::filesystem::is_directory(std::filesystem::path(path) / parent / "Drafts");
        });
        EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(path) / parent / "Drafts"));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(path) / parent /
                                             localizedString("newFolderName")));
        // The renamed folder stays selected where it was made.
        const std::string renamed = parent.empty() ? "Drafts" : parent + "/Drafts";
        EXPECT_TRUE(spinUntil([&] {
            auto files = browser->selectedFiles();
            return files.size() == 1 && files.front()->filePath() == renamed;
        }));
    }
}

TEST_F(MainWindowTest, StatusLineOfALockedFolderNamesItAndItsSize) {
    const std::string path = folder("Sized.zel");
    testsupport::writeFile(std::filesystem::path(path) / "blob", std::string(3000, 'x'));
    testsupport::writeFile(std::filesystem::path(path) / ".hidden", std::string(5000, 'x'));
    auto w = makeWindow();
    w->addVolumes({path});
    settle(*w);
    const std::string expected =
        platform::formatText(localizedString("statusLockedFolderFormat"),
                             {"Sized", QVAppDelegate::siUnitStringForBytes(3000)});
    ASSERT_TRUE(spinUntil([&] { return w->statusTextField()->text().toStdString() == expected; }))
        << w->statusTextField()->text().toStdString() << " vs " << expected;
}

}  // namespace

namespace {

// The window as a user sees it: two folders, the selected one unlocked in
// the real browser, three levels deep with the preview. The picture is kept
// in the build folder for a look.
TEST_F(MainWindowTest, ScreenshotWithTwoFoldersOneUnlocked) {
    const std::string open = folder("Projects.zel");
    const std::string locked = folder("Taxes 2026.zel");
    auto page = std::make_unique<QVBrowserPage>();
    QVBrowserController* browser = page->browser();
    auto w = makeWindow(std::move(page));
    FakeStatusMenu menu;  // running: the note offers the file manager
    w->setStatusMenuController(&menu);
    w->resize(1100, 560);
    w->show();
    w->addVolumes({locked, open});
    settle(*w);
    selectAndUnlock(*w, open);
    ASSERT_TRUE(w->currentFileSystem()->isMounted());
    QVFileSystem& fs = *w->currentFileSystem();
    ASSERT_TRUE(fs.createDirectoryAtPath("Plans"));
    ASSERT_TRUE(fs.createDirectoryAtPath("Plans/2026"));
    for (const char* file : {"Plans/2026/budget.ods", "Plans/2026/plan.pdf", "notes.txt"}) {
        auto f = fs.openFileAtPath(file, false, true);
        ASSERT_TRUE(f && fs.writeData({'x'}, f) && fs.closeFile(f)) << file;
    }
    browser->reload();
    const QModelIndex plan = browser->model().indexForPath("Plans/2026/plan.pdf");
    ASSERT_TRUE(plan.isValid());
    browser->columnView()->setCurrentIndex(plan);
    browser->browserClicked(plan);
    w->validateToolbarItems();
    clock.advance(QVBrowserController::kStatusDelay);
    spinUntil([&] { return !browser->statusLabel()->text().isEmpty(); });
    // The column view scrolls to the new column with an animation.
    QElapsedTimer settle;
    settle.start();
    spinUntil([&] { return settle.elapsed() > 500; });
    const QImage shot = w->grab().toImage();
    const std::string png = std::string(TESSARO_BINARY_DIR) + "/main-window-screenshot.png";
    ASSERT_TRUE(shot.save(QString::fromStdString(png), "PNG"));
    EXPECT_GT(std::filesystem::file_size(png), 1000u);
    w->setStatusMenuController(nullptr);
}

}  // namespace

namespace {

TEST_F(MainWindowTest, TheInfoPanelShowsTheSelectedFolderAndFollowsTheLock) {
    const std::string path = folder("Info.zel");
    defaults.setObject("UserName-" + uuidOf(path), "alice");
    store.items[{serviceFor("alice", uuidOf(path)), app::loginUserName()}] = "secret";
    auto w = makeWindow();
    w->rememberPasswordCheckBox()->setChecked(true);
    w->addVolumes({path});
    settle(*w);
    ASSERT_TRUE(w->currentFileSystem() && w->currentFileSystem()->isMounted());
    w->showInfoPanel();
    auto* panel = w->findChild<QVInfoPanelController*>();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->folderNameLabel->text(), "Info.zel");
    EXPECT_TRUE(panel->userIsAdmin());
    w->lockCurrentFolder();
    settle(*w);
    EXPECT_EQ(panel->folderEncryptionLabel->text(), "N/A - Folder is locked");
    EXPECT_FALSE(panel->addUserButton->isEnabled());
    w->passwordTextField()->setText("secret");
    w->unlockVolume();
    settle(*w);
    ASSERT_TRUE(w->currentFileSystem()->isMounted());
    EXPECT_EQ(panel->folderEncryptionLabel->text(), "AES 256");
    EXPECT_TRUE(panel->addUserButton->isEnabled());
}

}  // namespace

namespace {

// A browser that keeps what the window hands it.
class RecordingBrowser : public QVBrowserInterface {
  public:
    QWidget* view() override { return view_; }
    void setFileSystem(std::shared_ptr<QVFileSystem> fs) override { fileSystem = std::move(fs); }
    void reload() override {}
    std::vector<std::string> selectedFiles() const override { return {}; }
    std::string currentDirectory() const override { return "/"; }
    bool selectItemWithPath(const std::string&) override { return false; }
    void editSelectedItem() override {}
    void setStatusMenu(QVStatusMenuInterface* menu) override { statusMenus.push_back(menu); }

    std::vector<QVStatusMenuInterface*> statusMenus;
    std::shared_ptr<QVFileSystem> fileSystem;

  private:
    QWidget* view_ = new QWidget;  // the window's once hosted
};

TEST_F(MainWindowTest, TheWindowHandsTheBrowserTheStatusMenuAndWhetherItCameOrWent) {
    auto browser = std::make_unique<RecordingBrowser>();
    RecordingBrowser* seen = browser.get();
    auto w = makeWindow(std::move(browser));
    FakeStatusMenu menu;
    w->setStatusMenuController(&menu);
    w->setStatusMenuController(nullptr);
    EXPECT_EQ(seen->statusMenus, (std::vector<QVStatusMenuInterface*>{&menu, nullptr}));
}

// One status line: the browser writes the window's while the folder is
// unlocked, the window its locked text again after the lock.
TEST_F(MainWindowTest, WhileUnlockedTheBrowserWritesTheWindowsStatusLine) {
    auto page = std::make_unique<QVBrowserPage>();
    QVBrowserController* browser = page->browser();
    auto w = makeWindow(std::move(page));
    const std::string path = folder("Status.zel");
    w->addVolumes({path});
    settle(*w);
    w->passwordTextField()->setText("secret");
    w->unlockVolume();
    settle(*w);
    ASSERT_TRUE(w->currentFileSystem()->isMounted());
    EXPECT_EQ(browser->statusLabel(), w->statusTextField());
    ASSERT_TRUE(spinUntil([&] { return w->statusTextField()->text().startsWith("0 items, "); }))
        << w->statusTextField()->text().toStdString();

    w->lockCurrentFolder();

    settle(*w);
    const QString locked = QString::fromStdString(
        platform::formatText(localizedString("statusLockedFolderFormat"),
                             {"Status", QVAppDelegate::siUnitStringForBytes(0)}));
    ASSERT_TRUE(spinUntil([&] { return w->statusTextField()->text() == locked; }))
        << w->statusTextField()->text().toStdString();
}

// The real page in the window: with the status menu running an unlocked
// folder shows the file-manager note; without a usable FUSE the FUSE note.
TEST_F(MainWindowTest, TheBrowserPageShowsTheFileManagerOrTheFuseNote) {
    QVFuseProbe noFuse = QVFuseProbe::system();
    noFuse.devicePath = (dir / "no-such-device").string();
    struct Case {
        const char* name;
        QVFuseProbe probe;
        bool statusMenu;
        bool visible;
        int note;
    };
    const bool fuse = QVFuseInstaller::isFuseInstalled();
    const Case cases[] = {
        {"Menu.zel", QVFuseProbe::system(), true, true,
         fuse ? QVBrowserController::OpenInFinderNote : QVBrowserController::FuseNote},
        {"NoMenu.zel", QVFuseProbe::system(), false, !fuse, QVBrowserController::FuseNote},
        {"NoFuse.zel", noFuse, true, true, QVBrowserController::FuseNote},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto page = std::make_unique<QVBrowserPage>(c.probe);
        QVBrowserController* browser = page->browser();
        auto w = makeWindow(std::move(page));
        FakeStatusMenu menu;
        if (c.statusMenu) w->setStatusMenuController(&menu);
        w->addVolumes({folder(c.name)});
        settle(*w);
        w->passwordTextField()->setText("secret");
        w->unlockVolume();
        settle(*w);
        ASSERT_TRUE(w->currentFileSystem() && w->currentFileSystem()->isMounted());
        EXPECT_EQ(browser->isNotificationAreaVisible(), c.visible);
        if (c.visible) {
            EXPECT_EQ(browser->currentNote(), c.note);
        }
        w->setStatusMenuController(nullptr);
    }
}

}  // namespace

namespace {

// Without a password store the window makes its own, which remembers
// nothing; unlocking with a typed password works.
TEST_F(MainWindowTest, WithoutAPasswordStoreTheWindowRemembersNothingAndUnlocks) {
    const std::string path = folder("Plain.zel");
    QVMainWindowController::Collaborators c;
    c.defaults = &defaults;
    c.clock = &clock;
    QVMainWindowController w(std::move(c));
    w.show();
    w.addVolumes({path});
    settle(w);
    ASSERT_TRUE(spinUntil([&] { return w.currentFileSystem() != nullptr; }));
    EXPECT_FALSE(w.rememberPasswordCheckBox()->isEnabled());
    w.passwordTextField()->setText("secret");
    w.unlockVolume();
    settle(w);
    EXPECT_TRUE(w.currentFileSystem()->isMounted());
}

// The browser's context menu holds every command of the selection, in the
// states the window's rules give them.
TEST_F(MainWindowTest, TheBrowsersContextMenuOffersTheWindowsCommands) {
    const std::string path = folder("Menu.zel");
    auto page = std::make_unique<QVBrowserPage>();
    QVBrowserController* browser = page->browser();
    auto w = makeWindow(std::move(page));
    w->show();
    w->addVolumes({path});
    settle(*w);
    w->passwordTextField()->setText("secret");
    w->unlockVolume();
    settle(*w);
    ASSERT_TRUE(w->currentFileSystem()->isMounted());
    w->currentFileSystem()->createDirectoryAtPath("d");
    browser->reload();
    QStringList texts;
    for (QAction* a : browser->columnView()->actions())
        if (!a->isSeparator()) texts << a->text();
    EXPECT_EQ(texts, (QStringList{"Export", "Rename", "Delete", "New Folder", "Get Info"}));

    w->validateContextActions();
    EXPECT_FALSE(w->contextActions().rename->isEnabled());  // nothing selected
    EXPECT_FALSE(w->contextActions().deleteItems->isEnabled());
    EXPECT_TRUE(w->contextActions().addFolder->isEnabled());
    EXPECT_TRUE(w->contextActions().info->isEnabled());
    ASSERT_TRUE(browser->selectItemWithPath("d"));
    w->validateContextActions();
    EXPECT_TRUE(w->contextActions().rename->isEnabled());
    EXPECT_TRUE(w->contextActions().deleteItems->isEnabled());
    // Delete asks first, as the toolbar's Delete does.
    w->contextActions().deleteItems->trigger();
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts()[0]->text().toStdString(), localizedString("reallyDelete"));
    platform::pressAlertButton(alerts()[0], 1);
    EXPECT_FALSE(w->currentFileSystem()->fileExistsAtPath("d"));
}

}  // namespace

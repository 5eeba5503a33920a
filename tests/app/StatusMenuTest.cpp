#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

#include "app/AppDelegateFixture.h"
#include "app/statusmenu/QVStatusMenuController.h"
#include "support/FolderBuilder.h"
#include "support/QtSpin.h"

namespace {

using testsupport::spinUntil;

class StatusMenuTest : public AppDelegateTest {
  protected:
    std::unique_ptr<QVStatusMenuController> makeMenu(std::shared_ptr<QVAppDelegate>& d,
                                                     bool tray = false) {
        QVStatusMenuController::Collaborators c;
        c.defaults = &defaults;
        c.loginItems.isLoginItem = [this] { return loginItem; };
        c.loginItems.add = [this] { return loginItem = true; };
        c.loginItems.remove = [this] {
            loginItem = false;
            return true;
        };
        c.trayAvailable = tray;  // no tray offscreen: the menu works all the same
        return std::make_unique<QVStatusMenuController>(*d, c);
    }
    bool loginItem = false;
};

TEST_F(StatusMenuTest, MenuHoldsTheKnownFoldersAndTheCommands) {
    defaults.setObject("hasStartedBefore", platform::Value(true));
    auto d = makeDelegate();
    const std::string known = makeEncryptedFolder("Known.zel");
    d->addKnownFolderWithId("0a1b2c3d-0000-4000-8000-000000000001", known, false);
    auto menu = makeMenu(d);
    std::vector<std::string> titles;
    for (QAction* a : menu->statusMenu()->actions())
        titles.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    EXPECT_EQ(titles, (std::vector<std::string>{"Eject All", "-", "Known Folders", "-",
                                                "Open Encrypted Folder…", "New Encrypted Folder…",
                                                "Show Tessaro", "-", "Start at Login", "-",
                                                "Quit Tessaro"}));
    ASSERT_EQ(menu->knownFoldersMenu()->actions().size(), 1);
    EXPECT_EQ(menu->knownFoldersMenu()->actions()[0]->text().toStdString(), known);
    EXPECT_EQ(menu->statusItem(), nullptr);
    // No volume mounted: nothing listed, nothing to eject.
    EXPECT_TRUE(menu->volumeMenus().empty());
    EXPECT_FALSE(menu->ejectAllMenuItem()->isEnabled());
    // Without a tray it cannot be reached, so it counts as not running.
    EXPECT_FALSE(menu->isRunningInTray());
}

TEST_F(StatusMenuTest, StartAtLoginToggledTwiceRestoresTheState) {
    defaults.setObject("hasStartedBefore", platform::Value(true));
    auto d = makeDelegate();
    auto menu = makeMenu(d);
    EXPECT_FALSE(loginItem);  // neither a first start nor wished for
    QAction* item = menu->startAtLoginMenuItem();
    item->trigger();
    EXPECT_TRUE(loginItem);
    EXPECT_TRUE(item->isChecked());
    EXPECT_TRUE(defaults.boolForKey("startAtLogin"));
    item->trigger();
    EXPECT_FALSE(loginItem);
    EXPECT_FALSE(item->isChecked());
    EXPECT_FALSE(defaults.boolForKey("startAtLogin"));

    // A recorded wish whose entry is gone is carried out at the next start.
    defaults.setObject("startAtLogin", platform::Value(true));
    menu = makeMenu(d);
    EXPECT_TRUE(loginItem);
    EXPECT_TRUE(menu->startAtLoginMenuItem()->isChecked());
}

TEST_F(StatusMenuTest, FirstStartPopupUntilClosedOnce) {
    defaults.setObject("hasStartedBefore", platform::Value(true));
    auto d = makeDelegate();
    // It points at the tray icon: without a tray there is none.
    auto menu = makeMenu(d, false);
    EXPECT_EQ(menu->firstStartPopup(), nullptr);
    menu = makeMenu(d, true);
    ASSERT_NE(menu->statusItem(), nullptr);
    EXPECT_TRUE(menu->isRunningInTray());
    ASSERT_NE(menu->firstStartPopup(), nullptr);
    EXPECT_TRUE(menu->firstStartPopup()->isVisible());
    menu.reset();
    menu = makeMenu(d, true);  // not closed: shown again
    ASSERT_NE(menu->firstStartPopup(), nullptr);
    menu->closeFirstStartPopup();
    EXPECT_FALSE(menu->firstStartPopup()->isVisible());
    EXPECT_TRUE(defaults.boolForKey("hasShownFirstStartPopup"));
    menu = makeMenu(d, true);
    EXPECT_EQ(menu->firstStartPopup(), nullptr);

    // A left click opens the menu, as a right click does.
    emit menu->statusItem()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(spinUntil([&] { return menu->statusMenu()->isVisible(); }));
    menu->statusMenu()->hide();
}

TEST_F(StatusMenuTest, MountRoadShowsThePasswordPanelForDirectoriesOnly) {
    defaults.setObject("hasStartedBefore", platform::Value(true));
    auto d = makeDelegate();
    auto menu = makeMenu(d);
    QVPasswordPanel& panel = *menu->mountParts().panel;
    testsupport::writeFile(dir / "file.zel", "x");
    menu->mountFolderAtUrl((dir / "file.zel").string());
    EXPECT_FALSE(panel.isVisible());
    testsupport::makeEncryptedFolder(dir / "Docs.zel", {{"alice", "pw"}});
    menu->mountFolderAtUrl((dir / "Docs.zel").string());
    EXPECT_TRUE(panel.isVisible());
    ASSERT_EQ(panel.userPopup()->count(), 1);
    EXPECT_EQ(panel.userPopup()->itemText(0).toStdString(), "alice");
    EXPECT_FALSE(panel.rememberBox()->isEnabled());  // no password store
    menu->loopController().closePasswordPrompt(false);
    EXPECT_FALSE(panel.isVisible());
}

}  // namespace

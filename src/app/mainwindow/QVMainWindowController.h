#pragma once
// The main window: the sidebar of added encrypted folders beside the page of
// the selected one (its password page, or once unlocked its browser), the
// toolbar and the menu bar. Owns the QVFileSystem of the folder shown and
// unlocks it (QVUnlockController: off the main thread) with a typed or
// remembered password. Main thread only.
//
// Toolbar items and menu items are separate actions: their rules differ.
// Both are revalidated every 0.5 s while the window is visible, the menu
// items also when their menu is about to show.

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/logic/QVMainWindowRules.h"
#include "app/logic/QVUnlockController.h"
#include "app/mainwindow/QVMainWindowInterface.h"
#include "app/mainwindow/QVSourceListController.h"

class QAction;
class QPushButton;
class QVInfoPanelController;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QSplitter;
class QStackedWidget;
class QTimer;
class QVAppDelegate;
class QVDropView;
class QVFileSystem;
class QVPasswordStore;
class QVSidebarDropView;
class QVUpdateController;
class QVNewFolderSheet;
namespace platform {
struct Alert;
class Clock;
class UserDefaults;
}  // namespace platform

// What the main window asks of the browser of the unlocked folder.
class QVBrowserInterface {
  public:
    virtual ~QVBrowserInterface() = default;
    virtual QWidget* view() = 0;
    virtual void setFileSystem(std::shared_ptr<QVFileSystem> fileSystem) = 0;
    virtual void reload() = 0;
    // Paths inside the folder ("/a/b").
    virtual std::vector<std::string> selectedFiles() const = 0;
    virtual std::string currentDirectory() const = 0;
    virtual bool selectItemWithPath(const std::string& path) = 0;
    virtual void editSelectedItem() = 0;
    // The status menu mounts the folder for the open-in-file-manager note.
    virtual void setStatusMenu(QVStatusMenuInterface* statusMenu) {}
    // The window's status line, which the browser writes while the folder
    // is unlocked (the window writes it otherwise).
    virtual void setStatusTextField(QLabel* field) {}
    // The window's commands for the browser's context menu, after the
    // browser's own; `validate` sets their enabled states as the menu opens.
    virtual void addContextActions(const std::vector<QAction*>& actions,
                                   std::function<void()> validate) {}
    // Called when the folders' sizes may have changed: an import ended,
    // another handle is shown.
    virtual void setContentsChangedHandler(std::function<void()> handler) {}
};

class QVMainWindowController : public QMainWindow,
                               public QVMainWindowInterface,
                               public QVSourceListDelegate,
                               private QVUnlockView {
  public:
    struct Collaborators {
        QVAppDelegate* appDelegate = nullptr;        // menus and known folders; none in tests
        platform::UserDefaults* defaults = nullptr;  // the standard defaults when null
        platform::Clock* clock = nullptr;            // the system clock when null
        QVPasswordStore* passwordStore = nullptr;    // remembers nothing when null
        // The browser page; a page that shows the folder unlocked when null.
        std::unique_ptr<QVBrowserInterface> browser;
        // The unlock on its background thread; the handle's when empty.
        QVUnlockController::UnlockFunction unlock;
    };

    explicit QVMainWindowController(Collaborators c);
    ~QVMainWindowController() override;

    // ---- QVMainWindowInterface ----------------------------------------------
    QWidget* window() override { return this; }
    void showWindow() override;
    void hideWindow() override;
    std::string currentVolumePath() const override { return currentVolumePath_.value_or(""); }
    void sourceListDidChangeSelectedItemPath(const std::string& path) override;
    void addVolumes(const std::vector<std::string>& paths) override;
    void showInfoPanel() override;
    void showNewCryptFolderSheet() override;
    void lockCurrentFolder() override;
    void stopCopying() override;
    void setStatusMenuController(QVStatusMenuInterface* controller) override {
        statusMenu_ = controller;
        browser_->setStatusMenu(controller);
    }

    // ---- QVSourceListDelegate -----------------------------------------------
    void sourceListDidAddNewItemWithPath(const std::string& path) override;
    void sourceListDidChangeSelectedItemPath(const std::optional<std::string>& path) override;
    bool sourceListShallEjectItemWithPath(const std::string& path) override;
    bool sourceListDidReceiveFolders(const std::vector<std::string>& paths) override;

    // ---- actions ------------------------------------------------------------
    // The password page's Unlock; ignored while an unlock runs.
    void unlockVolume();
    void openVolume();
    void deleteSelectedItems();
    void createNewFolder();
    void ejectSelectedVolume();
    void dropViewReceivedFiles(const std::vector<std::string>& paths);
    void validateToolbarItems();
    void validateMenuItems();
    void updateStatusBar();
    QVValidationState validationState() const;

    // ---- parts (tests look at them) -----------------------------------------
    struct Actions {
        QAction* addFolder = nullptr;  // a new folder in the browser
        QAction* deleteItems = nullptr;
        QAction* info = nullptr;
        QAction* eject = nullptr;
        QAction* open = nullptr;
        QAction* create = nullptr;  // a new encrypted folder
    };
    // The browser's context menu: Rename, Delete (also the Delete key),
    // New Folder, Info, after the browser's Export.
    struct ContextActions {
        QAction* rename = nullptr;
        QAction* deleteItems = nullptr;
        QAction* addFolder = nullptr;
        QAction* info = nullptr;
    };
    const ContextActions& contextActions() const { return context_; }
    void validateContextActions();
    const Actions& toolbarActions() const { return toolbar_; }
    const Actions& menuActions() const { return menu_; }
    QMenu* tessaroMenu() const { return tessaroMenu_; }
    QStackedWidget* mainTabView() const { return mainTabView_; }
    QStackedWidget* folderOrPasswordTabView() const { return folderOrPasswordTabView_; }
    QLineEdit* passwordTextField() const { return passwordTextField_; }
    QLabel* wrongPasswordTextField() const { return wrongPasswordTextField_; }
    QComboBox* usernamePopUp() const { return usernamePopUp_; }
    QCheckBox* rememberPasswordCheckBox() const { return rememberPasswordCheckBox_; }
    QLabel* statusTextField() const { return statusTextField_; }
    QSplitter* splitView() const { return splitView_; }
    QVSourceListController* sourceListController() const { return sourceList_; }
    QVDropView* dropView() const { return dropView_; }
    QVSidebarDropView* sidebarDropView() const { return sidebarDropView_; }
    QVBrowserInterface* browserController() const { return browser_.get(); }
    const std::shared_ptr<QVFileSystem>& currentFileSystem() const { return currentFileSystem_; }
    QVNewFolderSheet* newFolderSheet() const { return newFolderSheet_; }
    QPushButton* unlockButton() const { return unlockButton_; }
    const QVUnlockController& unlockController() const { return *unlock_; }

    // After the new-folder sheet made a folder: add, select and unlock it.
    void openCreatedFolder(const std::string& path, const std::string& userName,
                           const std::string& password);

  protected:
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;

  private:
    void buildWindow();
    void buildMenus();
    void buildToolbar();
    void buildContextActions();
    void setCurrentVolumePath(const std::optional<std::string>& path);
    void setCurrentFileSystem(std::shared_ptr<QVFileSystem> fileSystem);
    // Tells the browser before the handle is locked.
    void releaseBrowserHandle();
    // ---- QVUnlockView
    void setUnlocking(bool running) override;
    void showPasswordPage(const std::vector<std::string>& users,
                          const std::string& currentUser) override;
    void setRememberAvailable(bool available) override;
    bool rememberPassword() const override;
    std::string typedPassword() const override;
    void showWrongPassword(bool shown) override;
    void folderDidUnlock() override;
    void folderStaysLocked() override;
    void showEjectingAlert(const std::string& title, const std::string& text) override;
    // The info panel follows the selected folder while it shows.
    void refreshInfoPanel(bool evenHidden);
    void ejectLater();
    // An alert whose only answer is Eject: the eject follows the answer.
    void openEjectingAlert(const platform::Alert& alert);
    QPointer<QMessageBox> ejectingAlert_;
    void shakeWindow();
    void showSelectedPage();

    Collaborators c_;
    platform::UserDefaults& defaults_;
    platform::Clock& clock_;
    QVPasswordStore& passwords_;
    std::unique_ptr<QVBrowserInterface> browser_;
    std::unique_ptr<QVUpdateController> updateController_;
    QVStatusMenuInterface* statusMenu_ = nullptr;

    std::optional<std::string> currentVolumePath_;
    std::shared_ptr<QVFileSystem> currentFileSystem_;

    QVSourceListController* sourceList_ = nullptr;
    QSplitter* splitView_ = nullptr;
    QStackedWidget* mainTabView_ = nullptr;
    QStackedWidget* folderOrPasswordTabView_ = nullptr;
    QLineEdit* passwordTextField_ = nullptr;
    QLabel* wrongPasswordTextField_ = nullptr;
    QLabel* passwordTitle_ = nullptr;
    QComboBox* usernamePopUp_ = nullptr;
    QCheckBox* rememberPasswordCheckBox_ = nullptr;
    QPushButton* unlockButton_ = nullptr;
    bool rememberAvailable_ = false;
    QLabel* statusTextField_ = nullptr;
    QVDropView* dropView_ = nullptr;
    QVSidebarDropView* sidebarDropView_ = nullptr;
    QMenu* tessaroMenu_ = nullptr;
    QMenu* fileMenu_ = nullptr;
    QTimer* validationTimer_ = nullptr;
    QVNewFolderSheet* newFolderSheet_ = nullptr;
    QVInfoPanelController* infoPanel_ = nullptr;  // made on first use
    Actions toolbar_;
    Actions menu_;
    ContextActions context_;
    // Status-line results from before a selection change are dropped.
    uint64_t statusGeneration_ = 0;
    std::unique_ptr<QVUnlockController> unlock_;
    std::shared_ptr<QVMainWindowController*> alive_;
};

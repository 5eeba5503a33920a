#pragma once
// The tray icon and its menu: the mounted volumes with Eject and Eject All,
// the known folders, open an encrypted folder as a volume, a new folder, the
// main window, start at login. Owns the mount controller. Where the desktop
// has no tray the controller still exists, so that folders reach the mount
// controller from the main window and the command line, but it counts as not
// running (isRunningInTray) and shows no first-start popup. Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/statusmenu/QVMountDesktop.h"
#include "app/statusmenu/QVStatusMenuInterface.h"

class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;
class QVAppDelegate;
namespace platform {
class UserDefaults;
}

// The session's login items, as far as this program's own entry goes.
struct QVLoginItemHooks {
    std::function<bool()> isLoginItem;
    std::function<bool()> add;
    std::function<bool()> remove;
};

class QVStatusMenuController : public QVStatusMenuInterface {
  public:
    struct Collaborators {
        platform::UserDefaults* defaults = nullptr;  // the standard defaults when null
        QVLoginItemHooks loginItems;                 // no login items when empty
        QVPasswordStore* passwords = nullptr;
        bool trayAvailable = true;  // QSystemTrayIcon::isSystemTrayAvailable() in the application
    };

    QVStatusMenuController(QVAppDelegate& delegate, Collaborators c);
    ~QVStatusMenuController() override;

    // ---- QVStatusMenuInterface
    void mountFolderAtUrl(const std::string& path) override;
    bool ejectVolumeOfFolder(const std::string& folderPath) override;
    bool isRunningInTray() const override { return statusItem_ != nullptr; }

    // ---- menu actions
    void openEncryptedFolder();
    void toggleStartAtLogin();
    void showGUIapp();
    void createNewEncryptedFolder();
    void closeFirstStartPopup();
    void updateKnownFoldersMenu();
    // The mounted volumes' entries; follows the mount controller by itself.
    void updateVolumesMenu();
    void ejectVolume(const std::string& mountPath);
    void ejectAll();

    QMenu* statusMenu() const { return statusMenu_.get(); }
    QMenu* knownFoldersMenu() const { return knownFoldersMenu_; }
    QAction* startAtLoginMenuItem() const { return startAtLogin_; }
    QAction* ejectAllMenuItem() const { return ejectAll_; }
    // One submenu per mounted volume ("name — folder": Open, Eject).
    std::vector<QMenu*> volumeMenus() const { return volumeMenus_; }
    QSystemTrayIcon* statusItem() const { return statusItem_.get(); }
    QWidget* firstStartPopup() const { return popup_.get(); }
    QVFuseLoopbackController& loopController() const { return *mount_->controller; }
    QVMountControllerParts& mountParts() const { return *mount_; }

  private:
    void activateStatusMenu();
    void showFirstStartPopup();

    std::weak_ptr<QVAppDelegate> appDelegate_;
    Collaborators c_;
    platform::UserDefaults& defaults_;
    std::shared_ptr<QVMountControllerParts> mount_;
    std::unique_ptr<QMenu> statusMenu_;
    QMenu* knownFoldersMenu_ = nullptr;
    QAction* volumesEnd_ = nullptr;  // the separator after the volumes
    QAction* ejectAll_ = nullptr;
    std::vector<QMenu*> volumeMenus_;
    QAction* startAtLogin_ = nullptr;
    std::unique_ptr<QSystemTrayIcon> statusItem_;
    std::unique_ptr<QWidget> popup_;
    bool loginTicked_ = false;
};

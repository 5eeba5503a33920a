#pragma once
// The application's delegate: start-up and shut-down, the known and tracked
// folders (user defaults "knownFolders" and "trackedFolders", folder UUID ->
// bookmark data), open requests from the command line and the desktop, the
// status menu's life, and the size and time texts of the other controllers.
// Main thread only, except updateKnownFoldersMenu. Always owned by a
// shared_ptr: the volumes hold it as their QVKnownFoldersMenu, and delayed
// actions reach it through a weak pointer.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/statusmenu/QVStatusMenuInterface.h"
#include "mounting/QVFuseLoopbackFS.h"
#include "platform/core/Dispatch.h"
#include "platform/core/Value.h"
#include "platform/gui/Application.h"

class QAction;
class QDialog;
class QMenu;
class QVMainWindowInterface;

namespace platform {
class UserDefaults;
}

// The tour window (its controller shows it from the first page).
class QVTourInterface {
  public:
    virtual ~QVTourInterface() = default;
    virtual void show() = 0;
};

class QVAppDelegate : public platform::ApplicationDelegate,
                      public QVKnownFoldersMenu,
                      public std::enable_shared_from_this<QVAppDelegate> {
  public:
    // The pieces of start-up that other controllers provide. Each may stay
    // empty: that step is then skipped.
    struct Collaborators {
        platform::UserDefaults* defaults = nullptr;  // the standard defaults when null
        platform::Clock* clock = nullptr;            // the system clock when null
        std::function<void()> startCrashReporter;
        // Before launching finishes: the offer to move the program. True when
        // it was shown: the start then waits until `answered` runs.
        std::function<bool(std::function<void()> answered)> moveToApplicationsOffer;
        // After launching: checks FUSE, offers an update; true when the
        // status menu may start now.
        std::function<bool(QVAppDelegate&)> fuseCheck;
        // The install action (its menu item): installs FUSE with the sheet.
        std::function<void(QVAppDelegate&)> installFuse;
        std::function<std::shared_ptr<QVStatusMenuInterface>(QVAppDelegate&)> makeStatusMenu;
        std::function<std::shared_ptr<QVTourInterface>()> makeTour;
        // Once per start, after the delegate's own start-up: the rating prompt.
        std::function<void(QVAppDelegate&)> startRatePrompt;
    };

    // Loads the known and tracked folders and sums their sizes.
    explicit QVAppDelegate(Collaborators collaborators);
    ~QVAppDelegate() override;

    // The collaborators of the real application (ReporterStart, the FUSE
    // check, the status menu, the tour).
    static Collaborators standardCollaborators();

    // Adds the system-log and terminal sinks with the application's colours;
    // once per process (the first delegate does it).
    static void initializeLogging();

    // ---- class operations ---------------------------------------------------
    static bool fileIsEncryptedFolder(const std::string& path);
    static int64_t totalBytesOfFinderItem(const std::string& path);
    static std::string siUnitStringForBytes(int64_t bytes);
    static std::string progressTimeStringForSeconds(int64_t seconds);

    // ---- wiring -------------------------------------------------------------
    void setMainWindowController(QVMainWindowInterface* controller);  // non-owning
    QVMainWindowInterface* mainWindowController() const { return mainWindow_; }
    // The menu of known folders (the main window puts it in its menu bar).
    QMenu* knownFoldersMenu() const { return knownFoldersMenu_.get(); }
    // The install action's menu item (the main window's application menu).
    QAction* installFuseMenuItem() const { return installFuseMenuItem_.get(); }
    void installFuse();
    // Quitting first asks this handler (the mount controller: unmount every
    // decrypted volume, then reply through
    // platform::Application::replyToApplicationShouldTerminate).
    void setTerminationHandler(std::function<platform::TerminateReply()> handler);

    // ---- known and tracked folders ------------------------------------------
    void addKnownFolderWithId(const std::string& uuid, const std::string& path, bool track);
    // Path -> path of every resolved folder (keyed by path, as the name says not).
    const std::map<std::string, std::string>& knownFolderUrlsForIDs() const { return knownUrls_; }
    const std::map<std::string, std::string>& trackedFolderUrlsForIDs() const {
        return trackedUrls_;
    }
    const platform::Value::Dictionary& knownFolderBookmarksForIDs() const {
        return knownBookmarks_;
    }
    const platform::Value::Dictionary& trackedFolderBookmarksForIDs() const {
        return trackedBookmarks_;
    }
    int64_t totalBytesOfAllKnownFolders();
    int64_t totalBytesOfAllTrackedFolders();
    // The same sums on a queue of their own, so that a big folder never holds
    // the main thread; each lands in its buffered size on the main thread,
    // and only the latest request's does.
    void recomputeTotalBytesOfAllKnownFolders();
    void recomputeTotalBytesOfAllTrackedFolders();
    int64_t bufferedAllKnownFolderSize() const { return knownTotal_->bytes; }
    int64_t bufferedAllTrackedFolderSize() const { return trackedTotal_->bytes; }
    // Any thread: from elsewhere than the main thread the refresh is posted.
    void updateKnownFoldersMenu() override;
    void openKnownFolder(const std::string& path);

    // ---- showing ------------------------------------------------------------
    void show();
    void showEncryptedFolder(const std::string& path);
    void showInfoForFolder(const std::string& path);
    void showNewEncryptedFolder();
    void showTour();
    void showAboutBox();
    QDialog* aboutWindow() const { return aboutWindow_; }
    // "Version %@ (%@)": the project's version and build number.
    static std::string versionText();

    // ---- status menu --------------------------------------------------------
    void startHelper();
    // Only a status menu the user can reach counts: without a tray it still
    // mounts folders, but nothing may keep the process running for it.
    bool isHelperRunning() const { return statusMenu_ && statusMenu_->isRunningInTray(); }
    QVStatusMenuInterface* statusMenuController() const { return statusMenu_.get(); }
    void quitIfNoHelper();

    // ---- platform::ApplicationDelegate --------------------------------------
    void applicationWillFinishLaunching() override;
    void applicationDidFinishLaunching() override;
    // 0 when the main window took the folders, 2 when none was an encrypted
    // folder (after the alert), no reply when the status menu takes it.
    int openFiles(const std::vector<std::string>& paths) override;
    bool applicationShouldHandleReopen(bool hasVisibleWindows) override;
    bool applicationShouldTerminateAfterLastWindowClosed() override;
    platform::TerminateReply applicationShouldTerminate() override;
    void applicationWillTerminate() override;

    // True while the move offer holds the start.
    bool isWaitingForMoveOffer() const { return waitingForMoveOffer_; }

  private:
    void finishLaunching();
    void showFirstTourLater();
    void loadFolders(const char* key, platform::Value::Dictionary& bookmarks,
                     std::map<std::string, std::string>& urls);
    void refreshKnownFoldersMenu();
    platform::ActivationPolicy activationPolicy() const;
    void setActivationPolicy(platform::ActivationPolicy policy);

    Collaborators c_;
    platform::UserDefaults& defaults_;
    platform::Clock& clock_;
    QVMainWindowInterface* mainWindow_ = nullptr;
    std::unique_ptr<QMenu> knownFoldersMenu_;
    std::unique_ptr<QAction> installFuseMenuItem_;
    platform::Value::Dictionary knownBookmarks_;
    platform::Value::Dictionary trackedBookmarks_;
    std::map<std::string, std::string> knownUrls_;
    std::map<std::string, std::string> trackedUrls_;
    struct FolderTotal {
        std::atomic<uint64_t> latest{0};  // the newest request
        int64_t bytes = 0;                // main thread only
    };
    void recomputeTotal(const std::shared_ptr<FolderTotal>& total,
                        const std::map<std::string, std::string>& urls);
    // Shared with the summing queue, which may outlive the delegate.
    std::shared_ptr<FolderTotal> knownTotal_ = std::make_shared<FolderTotal>();
    std::shared_ptr<FolderTotal> trackedTotal_ = std::make_shared<FolderTotal>();
    platform::DispatchQueuePtr sizeQueue_;
    std::shared_ptr<QVStatusMenuInterface> statusMenu_;
    std::shared_ptr<QVTourInterface> tour_;
    QDialog* aboutWindow_ = nullptr;
    std::function<platform::TerminateReply()> terminationHandler_;
    // Without an application object (tests of the logic) the policy lives here.
    platform::ActivationPolicy localPolicy_ = platform::ActivationPolicy::Regular;
    bool waitingForMoveOffer_ = false;
    bool launchReported_ = false;  // didFinishLaunching came while the offer waited
    std::vector<std::vector<std::string>> heldOpenRequests_;
};

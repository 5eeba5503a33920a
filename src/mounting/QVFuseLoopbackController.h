#pragma once
// Turns an encrypted folder into a decrypted volume: asks for the folder and
// its password, unlocks it with a fresh handle, mounts it under the mount root
// and cleans up when the volume goes away. Main thread only; the panel, the
// alerts and the desktop are reached through the two interfaces below, so the
// logic runs without widgets. Every delay goes through the injected clock.
//
// Always owned by a shared_ptr (the volumes and delayed actions hold it
// weakly).

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileSystem/QVFileSystem.h"
#include "mounting/QVFuseLoopbackFS.h"
#include "platform/core/Dispatch.h"
#include "platform/fuse/UserFileSystem.h"

class QVPasswordStore;
namespace platform {
class UserDefaults;
}

// The floating password panel: page 0 asks for user and password, page 1
// says the folder is mounted already.
class QVPasswordPanelView {
  public:
    virtual ~QVPasswordPanelView() = default;
    virtual void showPage(int page) = 0;
    virtual void setLabelText(const std::string& text) = 0;
    virtual void setUserNames(const std::vector<std::string>& names) = 0;
    virtual void selectUserName(const std::string& name) = 0;
    virtual std::optional<std::string> selectedUserName() const = 0;
    virtual std::string password() const = 0;
    virtual void setPassword(const std::string& password) = 0;
    virtual bool rememberPassword() const = 0;
    virtual void setRememberPassword(bool on) = 0;
    // Off (with the reason as a tooltip) where no password store answers.
    virtual void setRememberAvailable(bool available, const std::string& reason) = 0;
    // Shown above other windows, in front, the password field focused.
    virtual void showPanel() = 0;
    virtual void bringToFront() = 0;
    virtual void hidePanel() = 0;
    virtual void shake() = 0;
    // While an unlock runs: the fields and the unlock button are off.
    virtual void setUnlocking(bool /*running*/) {}
};

// What the controller asks of the desktop and the application.
class QVFuseLoopbackControllerHost {
  public:
    virtual ~QVFuseLoopbackControllerHost() = default;
    // An open panel for one encrypted folder; nullopt when cancelled.
    virtual void askForFolder(const std::string& title, const std::string& startDirectory,
                              std::function<void(std::optional<std::string>)> done) = 0;
    // A window-modal alert; `done` gets the index of the button pressed.
    virtual void showAlert(const std::string& title, const std::string& text,
                           const std::vector<std::string>& buttons,
                           std::function<void(int)> done) = 0;
    // The file manager shows `path` selected in its folder.
    virtual void showItemInFileManager(const std::string& path) = 0;
    // The values of platform::ActivationPolicy (2: no taskbar presence).
    virtual void setActivationPolicy(int policy) = 0;
    // The answer to a quit that was answered "later".
    virtual void replyToApplicationShouldTerminate(bool terminate) = 0;
    // The desktop's favourite volumes.
    virtual void addFavouriteVolume(const std::string& /*mountPath*/) {}
    virtual void removeFavouriteVolume(const std::string& /*mountPath*/) {}
};

class QVFuseLoopbackController : public QVFuseLoopbackFSDelegate,
                                 public std::enable_shared_from_this<QVFuseLoopbackController> {
  public:
    struct Collaborators {
        QVFuseLoopbackControllerHost* host = nullptr;  // non-owning, required
        QVPasswordPanelView* panel = nullptr;          // non-owning, required
        QVPasswordStore* passwords = nullptr;          // remembers nothing when null
        platform::UserDefaults* defaults = nullptr;    // the standard defaults when null
        platform::Clock* clock = nullptr;              // the system clock when null
        // Localised texts by key; the key itself when empty.
        std::function<std::string(const std::string&)> localized;
        std::string mountRoot;  // platform::mountRoot() when empty
        std::shared_ptr<QVKnownFoldersMenu> knownFoldersMenu;
        std::function<void(const std::string& uuid, const std::string& path, bool track)>
            addKnownFolder;
        std::function<void(const std::string& path)> showInfoForFolder;
        std::string volumeIconPath;
    };

    enum class QuitAnswer { Now, Later };

    static constexpr std::chrono::milliseconds kPanelRefocusDelay{500};
    static constexpr std::chrono::milliseconds kAlreadyMountedDelay{1000};
    static constexpr std::chrono::milliseconds kUnmountCleanupDelay{2000};
    static constexpr std::chrono::milliseconds kQuitAlertDelay{5000};

    explicit QVFuseLoopbackController(Collaborators c);
    ~QVFuseLoopbackController() override;

    // ---- the panel's road
    void askForFolderToMount(const std::optional<std::string>& directory);
    void showPasswordPanelForFolder(const std::string& folderPath);
    // The apply button (`fromApplyButton`); any other caller only hides the panel.
    void closePasswordPrompt(bool fromApplyButton);
    void changeUser();
    void manageSelectedFolderInGUI();
    void navigateToSelectedMountedVolume();
    void navigateFinderToMountedVolumeAtPath(const std::string& mountPath);

    // ---- unlocking and mounting
    // Unlocks on a background queue and mounts once that succeeded (on the
    // main thread); a wrong password shakes the panel. A result that comes
    // after the panel was closed or turned to another folder is dropped,
    // its handle locked again. The panel's apply is ignored meanwhile.
    void mountFileSystem(const std::shared_ptr<QVFileSystem>& fs,
                         const std::optional<std::string>& password);
    bool isUnlocking() const { return unlocking_; }
    void mountFuseFSWithFileSystem(const std::shared_ptr<QVFileSystem>& fs);
    // The first free mount path for a folder: not in the table, and either
    // absent or an empty directory that is not a mount point.
    std::string mountPathForFolder(const std::string& folderPath) const;

    // ---- quitting: unmounts every volume; the reply comes later through the
    // host when one was left. "Quit anyway" detaches what is still in use and
    // leaves no mount folder or bookmark behind.
    QuitAnswer applicationShouldTerminate();

    // ---- ejecting: the volume goes as if unmounted from outside (its
    // entries, its bookmark, its mount folder). One still in use stays, and
    // an alert names it and the programs holding files on it. False then.
    bool ejectVolumeAtPath(const std::string& mountPath);
    // Ejects the volume of a folder; true when none is mounted for it.
    bool ejectVolumeOfFolder(const std::string& folderPath);
    // One alert for every volume that stays.
    void ejectAll();

    struct MountedVolume {
        std::string mountPath;
        std::string folderPath;
        std::string name;  // the mount folder's name, as the file manager shows it
    };
    // The volumes mounted now, by mount path.
    std::vector<MountedVolume> mountedVolumes() const;
    // Called on the main thread whenever a volume mounts or goes.
    void setVolumesChangedHandler(std::function<void()> handler) {
        volumesChanged_ = std::move(handler);
    }
    // "name (pid)" of every process with a file, working or root directory on
    // the volume at `mountPath`, as `procRoot` (normally /proc) tells.
    static std::vector<std::string> programsUsingVolume(const std::string& mountPath,
                                                        const std::string& procRoot = "/proc");

    // ---- state
    const std::string& selectedFolderPathToMount() const { return selectedFolderPath_; }
    std::optional<std::string> mountPathOfFolder(const std::string& folderPath) const;
    std::vector<std::string> mountPaths() const;
    std::shared_ptr<platform::UserFileSystem> fileSystemAtPath(const std::string& mountPath) const;
    bool isQuitPending() const { return quitPending_; }

    // The has-bundle bit has no meaning on Linux: nothing to set.
    static void setBundleBit(bool, const std::string&) {}
    // A candidate mount path that must not be used: not an empty directory,
    // or a mount point.
    static bool mountPathIsOccupied(const std::string& path);

  private:
    struct Volume {
        std::shared_ptr<platform::UserFileSystem> fileSystem;  // null once failed
        std::shared_ptr<QVFuseLoopbackFS> loopback;
        std::string folderPath;
    };

    std::string text(const std::string& key) const;
    void after(platform::Clock::duration delay, std::function<void(QVFuseLoopbackController&)> f);
    std::string folderUuid(const std::string& folderPath) const;
    void fillPasswordFor(const std::string& user);
    void observeRememberAvailability();
    void continueApply(const std::string& password);
    void unlockDidEnd(const std::shared_ptr<QVFileSystem>& fs, const std::string& folderPath,
                      const std::string& uuid, const std::string& password, bool unlocked);
    void handleEvent(const platform::UserFileSystemEvent& event,
                     const platform::UserFileSystem* source);
    void didMount(const std::string& mountPath);
    void mountFailed(const std::string& mountPath, const platform::Error& error);
    void didUnmount(const std::string& mountPath);
    // Drops the volume's entries and its key; ends a waiting quit when none is left.
    void forget(const std::string& mountPath);
    void replyToQuit(bool terminate);
    // The "Could not unmount" text for the volumes at these paths.
    std::string busyVolumesText(const std::vector<std::string>& mountPaths) const;
    void showBusyAlert(const std::vector<std::string>& mountPaths);
    void notifyVolumesChanged();
    // A forced quit: what is still in use is detached, its bookmark and
    // mount folder removed; its server is left to end with the process.
    void abandonVolumes();

    Collaborators c_;
    platform::UserDefaults& defaults_;
    platform::Clock& clock_;
    std::map<std::string, Volume> volumes_;                    // by mount path
    std::map<std::string, std::string> mountPathsForFolders_;  // folder path -> mount path
    std::string selectedFolderPath_;
    std::string selectedUuid_;
    // What the store filled in, so that only a typed password is written.
    std::optional<std::string> prefilledPassword_;
    bool quitPending_ = false;
    bool applyRunning_ = false;
    bool unlocking_ = false;
    // Unlocks started before the panel was closed or turned are stale.
    uint64_t unlockGeneration_ = 0;
    std::function<void()> volumesChanged_;
    bool observingAvailability_ = false;
};

#pragma once
// The FUSE check at start-up and the install sheet.
//
// On Linux FUSE is "installed" when /dev/fuse can be opened for reading and
// writing and fusermount3 is on the PATH (root mounts without it); its
// version is the linked libfuse's. There is no installer package of ours: the
// install action runs the distribution's package manager (an injectable
// command) and the sheet follows that process until it ends, then looks
// again. No widget code here; the delegate shows the alert and the sheet
// through QVFuseInstallerView.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What the FUSE check looks at; tests fake every piece.
struct QVFuseProbe {
    std::string devicePath = "/dev/fuse";
    std::string searchPath;  // in the form of $PATH
    bool isRoot = false;
    std::function<std::optional<std::string>()> libraryVersion;

    // This process: /dev/fuse, $PATH, the effective user, fuse_pkgversion().
    static QVFuseProbe system();
};

// What the install sheet shows.
struct QVFuseInstallSheetState {
    enum class Phase { Waiting, Complete, Failed };
    Phase phase = Phase::Waiting;
    bool progressIndeterminate = true;
    bool progressAnimating = true;
    double progress = 0;  // 0 to 100, when determinate
    std::string status;
    std::string hint;
    bool hintVisible = false;
    bool cancelVisible = true;
    bool okVisible = false;
    bool retryVisible = false;
};

class QVFuseInstallerView {
  public:
    virtual ~QVFuseInstallerView() = default;
    // A warning alert with two buttons; `answer(true)` for the first.
    virtual void showOutdatedAlert(const std::string& title, const std::string& message,
                                   const std::string& updateButton, const std::string& laterButton,
                                   std::function<void(bool update)> answer) = 0;
    // Shows the window-modal install sheet (once while it is up) in `state`.
    virtual void showInstallSheet(const QVFuseInstallSheetState& state) = 0;
    virtual void endInstallSheet() = 0;
};

class QVFuseInstaller {
  public:
    // The oldest libfuse 3 the volume runs on: the newest FUSE symbol
    // version the program links (a test reads the binary's needs).
    static constexpr const char* kRequiredFuseVersion = "3.2";
    // Fedora/Arch spell their package alike; the command is Debian's. It
    // installs without a terminal, so it must not go on where removals
    // would be needed: nobody would have seen them.
    static std::vector<std::string> defaultInstallCommand();

    // Each argument is looked up in the string table.
    using Localizer = std::function<std::string(const std::string& key)>;

    struct Hooks {
        std::function<void()> startHelper;  // creates the status menu
        std::function<void()> relaunchApp;  // after the sheet's OK
    };

    QVFuseInstaller(std::shared_ptr<QVFuseInstallerView> view, Localizer localized, Hooks hooks,
                    QVFuseProbe probe = QVFuseProbe::system(),
                    std::vector<std::string> installCommand = defaultInstallCommand());
    ~QVFuseInstaller();
    QVFuseInstaller(const QVFuseInstaller&) = delete;
    QVFuseInstaller& operator=(const QVFuseInstaller&) = delete;

    static bool isFuseInstalled(const QVFuseProbe& probe = QVFuseProbe::system());
    // None when the library gives no version.
    static std::optional<std::string> installedFuseVersion(
        const QVFuseProbe& probe = QVFuseProbe::system());
    // True when the required version is greater than `installedVersion`.
    static bool isFuseOutdated(const std::string& installedVersion);

    enum class LaunchCheck {
        NotInstalled,   // nothing done; no status menu this run
        UpToDate,       // startHelper called
        AskedToUpdate,  // alert shown: the update starts the installer, later starts the helper
    };
    // The check of applicationDidFinishLaunching.
    LaunchCheck checkFuseAtLaunch();

    // Actions of the install sheet; installFuse is also its retry.
    void installFuse();
    void closeInstallSheet();  // OK: ends the sheet and relaunches
    void cancelInstallSheet();

    // The installer process ended with `status`; only one runs at a time.
    void installerDidEnd(int status);

    const QVFuseInstallSheetState& sheetState() const { return sheet_; }
    bool isWaitingForInstaller() const { return waiting_; }

  private:
    std::shared_ptr<QVFuseInstallerView> view_;
    Localizer localized_;
    Hooks hooks_;
    QVFuseProbe probe_;
    std::vector<std::string> installCommand_;
    QVFuseInstallSheetState sheet_;
    bool waiting_ = false;           // the sheet follows the package manager
    bool installerRunning_ = false;  // the last one started has not ended
    // Shared with the watcher of the installer process, which may outlive us.
    std::shared_ptr<QVFuseInstaller*> self_;
};

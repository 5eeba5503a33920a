#pragma once
// Software updates. On Linux the distribution's package manager updates the
// program, so the updater of ours only tells the user so when asked to
// check; the pre-install step (ending the helper) is kept for an updater
// that does install.

#include <functional>
#include <memory>
#include <string>

class QAction;

// The updater behind the "check for updates" menu item.
class QVUpdater {
  public:
    class Delegate {
      public:
        virtual ~Delegate() = default;
        // Just before an update is installed.
        virtual void updaterWillInstallUpdate(QVUpdater& updater) {}
    };
    // Shows an informational alert.
    using Notice = std::function<void(const std::string& title, const std::string& message)>;
    using Localizer = std::function<std::string(const std::string& key)>;

    QVUpdater(Notice notice, Localizer localized);

    void setDelegate(Delegate* delegate) { delegate_ = delegate; }  // not owned
    Delegate* delegate() const { return delegate_; }

    // Says that updates come from the system's package manager.
    void checkForUpdates();
    // Runs the delegate's pre-install step; our updater installs nothing itself.
    void willInstallUpdate();

  private:
    Notice notice_;
    Localizer localized_;
    Delegate* delegate_ = nullptr;
};

class QVUpdateController : public QVUpdater::Delegate {
  public:
    static constexpr const char* kHelperIdentifier = "com.norVane.Tessaro-Helper";

    QVUpdateController(QVUpdater::Notice notice, QVUpdater::Localizer localized);
    ~QVUpdateController() override;

    const std::shared_ptr<QVUpdater>& updater() const { return updater_; }
    // The application menu's item; it asks the updater to check.
    QAction* updateMenuItem() const { return updateMenuItem_.get(); }

    // Ends the helper before the update is installed.
    void updaterWillInstallUpdate(QVUpdater& updater) override;

    // The application identifier of a running process on Linux: its desktop
    // entry's id (the file name of $GIO_LAUNCHED_DESKTOP_FILE without
    // ".desktop") or its $FLATPAK_ID. Sends SIGTERM to every process of this
    // user (by real user id), other than this one, that carries `identifier`, looked up in
    // `procRoot`; returns how many were asked to end.
    static int terminateApplicationsWithIdentifier(const std::string& identifier,
                                                   const std::string& procRoot = "/proc");

  private:
    std::shared_ptr<QVUpdater> updater_;
    std::unique_ptr<QAction> updateMenuItem_;
};

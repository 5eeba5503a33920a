#pragma once
// The widgets of the start-up controllers: the FUSE alert and install sheet,
// the move offer's alerts and the relaunch.

#include <functional>
#include <string>

#include "app/logic/QVFuseInstaller.h"
#include "app/logic/QVMoveToApplications.h"

class QDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;
class QVMainWindowInterface;

class QVFuseInstallSheet : public QVFuseInstallerView {
  public:
    // `window` gives the window that carries the alert and the sheet (none:
    // application-modal).
    explicit QVFuseInstallSheet(std::function<QWidget*()> window);
    ~QVFuseInstallSheet() override;

    // Whose actions the sheet's buttons run (not owned).
    void setInstaller(QVFuseInstaller* installer) { installer_ = installer; }

    void showOutdatedAlert(const std::string& title, const std::string& message,
                           const std::string& updateButton, const std::string& laterButton,
                           std::function<void(bool update)> answer) override;
    void showInstallSheet(const QVFuseInstallSheetState& state) override;
    void endInstallSheet() override;

    QDialog* sheet() const { return sheet_; }
    QProgressBar* installProgressBar() const { return progress_; }
    QLabel* installStatusLabel() const { return status_; }
    QLabel* installShowFinderLabel() const { return hint_; }
    QPushButton* installCancelButton() const { return cancel_; }
    QPushButton* installOKButton() const { return ok_; }
    QPushButton* installRetryButton() const { return retry_; }

  private:
    void makeSheet();

    std::function<QWidget*()> window_;
    QVFuseInstaller* installer_ = nullptr;
    QDialog* sheet_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* hint_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* retry_ = nullptr;
};

class QVMoveToApplicationsAlerts : public QVMoveToApplicationsView {
  public:
    void showMoveOffer(const std::string& message, const std::string& information,
                       const std::string& moveButton, const std::string& dontMoveButton,
                       std::function<void(bool move, bool suppress)> answer) override;
    void showMoveFailure(const std::string& message) override;
};

// Starts this program again once this process has ended (the AppImage when
// it runs from one), locks the main window's folder and quits.
void relaunchApplication(QVMainWindowInterface* mainWindow);

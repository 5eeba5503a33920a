#include "app/startup/QVStartupAlerts.h"

#include <unistd.h>

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/mainwindow/QVMainWindowInterface.h"
#include "platform/core/Process.h"
#include "platform/gui/Alert.h"
#include "platform/gui/Application.h"
#include "platform/gui/StringTable.h"

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

std::function<void()> guarded(const char* what, std::function<void()> f) {
    return [what, f = std::move(f)] { platform::runGuarded(what, f); };
}

}  // namespace

QVFuseInstallSheet::QVFuseInstallSheet(std::function<QWidget*()> window)
    : window_(std::move(window)) {}

QVFuseInstallSheet::~QVFuseInstallSheet() {
    delete sheet_;
}

void QVFuseInstallSheet::showOutdatedAlert(const std::string& title, const std::string& message,
                                           const std::string& updateButton,
                                           const std::string& laterButton,
                                           std::function<void(bool update)> answer) {
    platform::Alert alert;
    alert.messageText = title;
    alert.informativeText = message;
    alert.buttons = {updateButton, laterButton};
    alert.escapeButton = 1;
    alert.style = platform::Alert::Style::Warning;
    alert.open(window_ ? window_() : nullptr, [answer = std::move(answer)](int response, bool) {
        if (answer) answer(response == platform::Alert::kFirstButton);
    });
}

void QVFuseInstallSheet::makeSheet() {
    sheet_ = new QDialog(window_ ? window_() : nullptr);
    sheet_->setObjectName("waitingForInstallPanel");
    sheet_->setWindowModality(sheet_->parentWidget() ? Qt::WindowModal : Qt::ApplicationModal);
    auto* layout = new QVBoxLayout(sheet_);
    status_ = new QLabel(sheet_);
    progress_ = new QProgressBar(sheet_);
    hint_ = new QLabel(sheet_);
    hint_->setWordWrap(true);
    layout->addWidget(status_);
    layout->addWidget(progress_);
    layout->addWidget(hint_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cancel_ = new QPushButton(qs(platform::localizedString("Cancel")), sheet_);
    retry_ = new QPushButton(qs(platform::localizedString("installRetry")), sheet_);
    ok_ = new QPushButton(qs(platform::localizedString("OK")), sheet_);
    for (auto* b : {cancel_, retry_, ok_}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    layout->addLayout(buttons);
    auto act = [this](void (QVFuseInstaller::*action)()) {
        return guarded("QVFuseInstallSheet > button", [this, action] {
            if (installer_) (installer_->*action)();
        });
    };
    QObject::connect(cancel_, &QPushButton::clicked, sheet_,
                     act(&QVFuseInstaller::cancelInstallSheet));
    QObject::connect(retry_, &QPushButton::clicked, sheet_, act(&QVFuseInstaller::installFuse));
    QObject::connect(ok_, &QPushButton::clicked, sheet_, act(&QVFuseInstaller::closeInstallSheet));
    // Escape or the window's close button: as Cancel.
    QObject::connect(sheet_, &QDialog::rejected, sheet_, act(&QVFuseInstaller::cancelInstallSheet));
}

void QVFuseInstallSheet::showInstallSheet(const QVFuseInstallSheetState& state) {
    if (!sheet_) makeSheet();
    if (state.progressIndeterminate) {
        progress_->setRange(0, 0);  // Qt animates a busy bar by itself
    } else {
        progress_->setRange(0, 100);
        progress_->setValue(static_cast<int>(state.progress));
    }
    status_->setText(qs(state.status));
    hint_->setText(qs(state.hint));
    hint_->setHidden(!state.hintVisible);
    cancel_->setHidden(!state.cancelVisible);
    ok_->setHidden(!state.okVisible);
    retry_->setHidden(!state.retryVisible);
    if (!sheet_->isVisible()) sheet_->open();
}

void QVFuseInstallSheet::endInstallSheet() {
    if (sheet_ && sheet_->isVisible()) sheet_->hide();
}

void QVMoveToApplicationsAlerts::showMoveOffer(
    const std::string& message, const std::string& information, const std::string& moveButton,
    const std::string& dontMoveButton, std::function<void(bool move, bool suppress)> answer) {
    platform::Alert alert;
    alert.messageText = message;
    alert.informativeText = information;
    alert.buttons = {moveButton, dontMoveButton};
    alert.escapeButton = 1;
    alert.showsSuppressionButton = true;
    alert.open(nullptr, [answer = std::move(answer)](int response, bool suppressed) {
        if (answer) answer(response == platform::Alert::kFirstButton, suppressed);
    });
}

void QVMoveToApplicationsAlerts::showMoveFailure(const std::string& message) {
    platform::Alert alert;
    alert.messageText = message;
    alert.style = platform::Alert::Style::Critical;
    alert.open(nullptr);
}

void relaunchApplication(QVMainWindowInterface* mainWindow) {
    const std::string program = platform::applicationPath();
    // The new instance must not find this one still running: it would hand
    // its start over to us and end.
    if (!program.empty())
        platform::runProcess(
            {"/bin/sh", "-c", QVMoveToApplications::relaunchScript(getpid(), program)});
    if (mainWindow) mainWindow->lockCurrentFolder();
    if (auto* app = platform::Application::shared()) app->terminate();
}

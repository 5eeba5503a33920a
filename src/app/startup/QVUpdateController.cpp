#include "app/startup/QVUpdateController.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <iterator>

#include "platform/core/Files.h"
#include "platform/core/PathPieces.h"
#include "platform/core/Process.h"
#include "platform/gui/Application.h"

namespace {

// The identifier that /proc/<pid>/environ names, or "".
std::string applicationIdentifier(const std::string& environPath) {
    const std::string environ = platform::readRegularFile(environPath).value_or(std::string());
    std::string desktopId, flatpakId;
    std::size_t start = 0;
    while (start < environ.size()) {
        auto end = environ.find('\0', start);
        if (end == std::string::npos) end = environ.size();
        const std::string entry = environ.substr(start, end - start);
        start = end + 1;
        static const std::string gio = "GIO_LAUNCHED_DESKTOP_FILE=";
        static const std::string flatpak = "FLATPAK_ID=";
        if (entry.rfind(gio, 0) == 0) {
            std::string file(platform::lastComponent(std::string_view(entry).substr(gio.size())));
            static const std::string suffix = ".desktop";
            if (file.size() > suffix.size() &&
                file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0)
                file.resize(file.size() - suffix.size());
            desktopId = file;
        } else if (entry.rfind(flatpak, 0) == 0) {
            flatpakId = entry.substr(flatpak.size());
        }
    }
    return desktopId.empty() ? flatpakId : desktopId;
}

}  // namespace

QVUpdater::QVUpdater(Notice notice, Localizer localized)
    : notice_(std::move(notice)), localized_(std::move(localized)) {}

void QVUpdater::checkForUpdates() {
    if (notice_)
        notice_(localized_("updateCheckPackageManagerTitle"),
                localized_("updateCheckPackageManagerMsg"));
}

void QVUpdater::willInstallUpdate() {
    if (delegate_) delegate_->updaterWillInstallUpdate(*this);
}

QVUpdateController::QVUpdateController(QVUpdater::Notice notice, QVUpdater::Localizer localized)
    : updater_(std::make_shared<QVUpdater>(std::move(notice), localized)),
      updateMenuItem_(
          std::make_unique<QAction>(QString::fromStdString(localized("updateMenuItemTitle")))) {
    updater_->setDelegate(this);
    updateMenuItem_->setMenuRole(QAction::ApplicationSpecificRole);
    QObject::connect(updateMenuItem_.get(), &QAction::triggered,
                     [updater = std::weak_ptr<QVUpdater>(updater_)] {
                         platform::runGuarded("QVUpdateController > check", [&] {
                             if (auto u = updater.lock()) u->checkForUpdates();
                         });
                     });
}

QVUpdateController::~QVUpdateController() {
    if (updater_->delegate() == this) updater_->setDelegate(nullptr);
}

void QVUpdateController::updaterWillInstallUpdate(QVUpdater&) {
    terminateApplicationsWithIdentifier(kHelperIdentifier);
}

int QVUpdateController::terminateApplicationsWithIdentifier(const std::string& identifier,
                                                            const std::string& procRoot) {
    if (identifier.empty()) return 0;
    const pid_t self = getpid();
    int count = 0;
    for (pid_t pid : platform::runningProcessIds(procRoot)) {
        const std::string dir = procRoot + "/" + std::to_string(pid);
        struct stat st {};
        if (pid == self || stat(dir.c_str(), &st) != 0 || st.st_uid != getuid()) continue;
        if (applicationIdentifier(dir + "/environ") != identifier) continue;
        if (kill(pid, SIGTERM) == 0) ++count;
    }
    return count;
}

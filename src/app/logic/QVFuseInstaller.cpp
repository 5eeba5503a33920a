#include "app/logic/QVFuseInstaller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "Logging/LGLogMacros.h"
#include "platform/core/Console.h"
#include "platform/core/Dispatch.h"
#include "platform/core/Process.h"
#include "platform/fuse/FuseLibrary.h"
#include "platform/gui/StringTable.h"
#include "utilities/VersionComparator.h"

namespace {

bool isUsableDevice(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool isOnPath(const std::string& program, const std::string& searchPath) {
    std::string::size_type start = 0;
    for (;;) {
        const auto colon = searchPath.find(':', start);
        std::string dir = searchPath.substr(start, colon - start);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + program;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return true;
        if (colon == std::string::npos) return false;
        start = colon + 1;
    }
}

}  // namespace

QVFuseProbe QVFuseProbe::system() {
    QVFuseProbe probe;
    const char* path = std::getenv("PATH");
    probe.searchPath = path ? path : "/usr/local/bin:/usr/bin:/bin";
    probe.isRoot = geteuid() == 0;
    probe.libraryVersion = [] {
        return std::optional<std::string>(platform::fuseLibraryVersion());
    };
    return probe;
}

std::vector<std::string> QVFuseInstaller::defaultInstallCommand() {
    return {"pkexec", "/usr/bin/apt-get", "install", "--yes", "--no-remove", "fuse3"};
}

QVFuseInstaller::QVFuseInstaller(std::shared_ptr<QVFuseInstallerView> view, Localizer localized,
                                 Hooks hooks, QVFuseProbe probe,
                                 std::vector<std::string> installCommand)
    : view_(std::move(view)),
      localized_(std::move(localized)),
      hooks_(std::move(hooks)),
      probe_(std::move(probe)),
      installCommand_(std::move(installCommand)),
      self_(std::make_shared<QVFuseInstaller*>(this)) {}

QVFuseInstaller::~QVFuseInstaller() = default;

bool QVFuseInstaller::isFuseInstalled(const QVFuseProbe& probe) {
    return isUsableDevice(probe.devicePath) &&
           (probe.isRoot || isOnPath("fusermount3", probe.searchPath));
}

std::optional<std::string> QVFuseInstaller::installedFuseVersion(const QVFuseProbe& probe) {
    if (!probe.libraryVersion) return std::nullopt;
    auto version = probe.libraryVersion();
    if (version && version->empty()) return std::nullopt;
    return version;
}

bool QVFuseInstaller::isFuseOutdated(const std::string& installedVersion) {
    return VersionComparator::isVersionGreaterThanVersion(kRequiredFuseVersion, installedVersion);
}

QVFuseInstaller::LaunchCheck QVFuseInstaller::checkFuseAtLaunch() {
    if (!isFuseInstalled(probe_)) return LaunchCheck::NotInstalled;
    // A library without a version reads as 0.0.0, which is outdated.
    const std::string version = installedFuseVersion(probe_).value_or("");
    if (!isFuseOutdated(version)) {
        if (hooks_.startHelper) hooks_.startHelper();
        return LaunchCheck::UpToDate;
    }
    std::weak_ptr<QVFuseInstaller*> weak = self_;
    view_->showOutdatedAlert(
        localized_("fuseOutdatedAlertTitle"),
        platform::formatText(localized_("fuseOutdatedAlertMsg"), {version, kRequiredFuseVersion}),
        localized_("fuseOutdatedAlertUpdate"), localized_("fuseOutdatedAlertLater"),
        [weak](bool update) {
            auto self = weak.lock();
            if (!self) return;
            QVFuseInstaller* installer = *self;
            if (update)
                installer->installFuse();
            else if (installer->hooks_.startHelper)
                installer->hooks_.startHelper();
        });
    return LaunchCheck::AskedToUpdate;
}

void QVFuseInstaller::installFuse() {
    sheet_ = QVFuseInstallSheetState{};
    sheet_.status = localized_("installWaiting");
    waiting_ = true;
    // A cancelled sheet leaves its package manager running: asked again, the
    // sheet follows that run instead of starting a second one beside it.
    if (installerRunning_) {
        view_->showInstallSheet(sheet_);
        return;
    }
    installerRunning_ = true;
    view_->showInstallSheet(sheet_);

    platform::Error error;
    const pid_t pid = platform::spawnProcess(installCommand_, &error);
    if (pid < 0) {
        LGLogError("QVFuseInstaller > installFuse > could not start the installer: %s",
                   error.description.c_str());
        installerDidEnd(127);
        return;
    }
    std::weak_ptr<QVFuseInstaller*> weak = self_;
    platform::watchProcess(pid, [weak](int status) {
        platform::mainQueue()->async([weak, status] {
            if (auto self = weak.lock()) (*self)->installerDidEnd(status);
        });
    });
}

void QVFuseInstaller::installerDidEnd(int status) {
    platform::consoleLog("installer did end: %d", status);
    installerRunning_ = false;
    if (!waiting_) return;
    waiting_ = false;
    sheet_.progressIndeterminate = false;
    sheet_.progressAnimating = false;
    sheet_.hintVisible = true;
    if (isFuseInstalled(probe_)) {
        if (hooks_.startHelper) hooks_.startHelper();
        sheet_.phase = QVFuseInstallSheetState::Phase::Complete;
        sheet_.progress = 100;
        sheet_.status = localized_("installComplete");
        sheet_.hint = localized_("installUseFinder");
        sheet_.cancelVisible = false;
        sheet_.okVisible = true;
        sheet_.retryVisible = false;
    } else {
        sheet_.phase = QVFuseInstallSheetState::Phase::Failed;
        sheet_.progress = 0;
        sheet_.status = localized_("installFailed");
        sheet_.hint = localized_("installRestart");
        sheet_.cancelVisible = true;
        sheet_.okVisible = false;
        sheet_.retryVisible = true;
    }
    view_->showInstallSheet(sheet_);
}

void QVFuseInstaller::closeInstallSheet() {
    waiting_ = false;
    view_->endInstallSheet();
    if (hooks_.relaunchApp) hooks_.relaunchApp();
}

void QVFuseInstaller::cancelInstallSheet() {
    waiting_ = false;
    view_->endInstallSheet();
}

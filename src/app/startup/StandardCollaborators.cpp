// The collaborators of the real application. Other controllers join here as
// they are built.
#include <QSystemTrayIcon>
#include <memory>

#include "app/AppResources.h"
#include "app/QVAppDelegate.h"
#include "app/logic/QVFuseInstaller.h"
#include "app/logic/QVMoveToApplications.h"
#include "app/mainwindow/QVMainWindowInterface.h"
#include "app/startup/QVRatePromptPresenter.h"
#include "app/startup/QVStartupAlerts.h"
#include "app/startup/QVTourWindow.h"
#include "app/startup/ReporterStart.h"
#include "app/statusmenu/QVStatusMenuController.h"
#include "platform/core/Process.h"
#include "platform/desktop/FileURL.h"
#include "platform/gui/StringTable.h"
#include "utilities/KCKeychainItem.h"
#include "utilities/LWLaunchServices.h"
#include "utilities/RatePrompt.h"

namespace {

std::string localized(const std::string& key) {
    return platform::localizedString(key);
}

class Tour : public QVTourInterface {
  public:
    Tour() : controller_(makeTourController(localized)) {}
    void show() override { controller_->show(); }

  private:
    std::unique_ptr<QVTourController> controller_;
};

}  // namespace

QVAppDelegate::Collaborators QVAppDelegate::standardCollaborators() {
    Collaborators c;
    c.startCrashReporter = [] { app::startCrashReporter(app::kCrashReporterAPIKey); };

    // The controllers live as long as the delegate that holds these functions.
    auto mover = std::make_shared<std::unique_ptr<QVMoveToApplications>>();
    c.moveToApplicationsOffer = [mover](std::function<void()> answered) {
        *mover =
            std::make_unique<QVMoveToApplications>(std::make_shared<QVMoveToApplicationsAlerts>());
        return (*mover)->offerToMove(std::move(answered));
    };

    // One installer for the launch check and the menu's install action.
    auto installer = std::make_shared<std::unique_ptr<QVFuseInstaller>>();
    auto installerFor = [installer](QVAppDelegate& delegate) -> QVFuseInstaller& {
        if (*installer) return **installer;
        auto sheet = std::make_shared<QVFuseInstallSheet>([&delegate]() -> QWidget* {
            auto* main = delegate.mainWindowController();
            return main ? main->window() : nullptr;
        });
        QVFuseInstaller::Hooks hooks;
        hooks.startHelper = [&delegate] { delegate.startHelper(); };
        hooks.relaunchApp = [&delegate] { relaunchApplication(delegate.mainWindowController()); };
        *installer = std::make_unique<QVFuseInstaller>(sheet, localized, std::move(hooks));
        sheet->setInstaller(installer->get());
        return **installer;
    };
    c.fuseCheck = [installerFor](QVAppDelegate& delegate) {
        // Up to date: the installer has started the status menu already.
        return installerFor(delegate).checkFuseAtLaunch() == QVFuseInstaller::LaunchCheck::UpToDate;
    };
    c.installFuse = [installerFor](QVAppDelegate& delegate) {
        // One package manager run at a time; its sheet is up meanwhile.
        QVFuseInstaller& fuseInstaller = installerFor(delegate);
        if (!fuseInstaller.isWaitingForInstaller()) fuseInstaller.installFuse();
    };

    c.startRatePrompt = [](QVAppDelegate& delegate) {
        RatePrompt::setApplicationInfo({"Tessaro", app::kVersion, "com.norVane.Tessaro"});
        std::weak_ptr<QVAppDelegate> weak = delegate.weak_from_this();
        static QVRatePromptPresenter presenter([weak]() -> QWidget* {
            auto self = weak.lock();
            auto* main = self ? self->mainWindowController() : nullptr;
            return main ? main->window() : nullptr;
        });
        RatePrompt& prompt = RatePrompt::sharedInstance();
        prompt.setPresenter(&presenter);
        prompt.applicationLaunched();
    };
    c.makeStatusMenu = [](QVAppDelegate& delegate) -> std::shared_ptr<QVStatusMenuInterface> {
        QVStatusMenuController::Collaborators sc;
        sc.trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
        sc.passwords = &KCPasswordStore::shared();
        // The program's own URL as a session login item.
        const std::string self = platform::fileURLForPath(platform::applicationPath());
        constexpr auto kLogin = LWSharedFileList::SessionLoginItems;
        sc.loginItems = {[self] {
                             return LWLaunchServices::indexOfItemWithURL(self, kLogin) !=
                                    LWLaunchServices::kNotFound;
                         },
                         [self] { return LWLaunchServices::addItemWithURL(self, kLogin); },
                         [self] { return LWLaunchServices::removeItemWithURL(self, kLogin); }};
        return std::make_shared<QVStatusMenuController>(delegate, std::move(sc));
    };
    c.makeTour = [] { return std::make_shared<Tour>(); };
    return c;
}

#include "app/statusmenu/QVMountDesktop.h"

#include <algorithm>

#include "app/QVAppDelegate.h"
#include "platform/desktop/FileURL.h"
#include "platform/gui/Alert.h"
#include "platform/gui/Application.h"
#include "platform/gui/FileManager.h"
#include "platform/gui/FilePanel.h"
#include "platform/gui/StringTable.h"
#include "utilities/LWLaunchServices.h"

void QVMountDesktop::askForFolder(const std::string& title, const std::string& startDirectory,
                                  std::function<void(std::optional<std::string>)> done) {
    platform::FilePanel p;
    p.canChooseFiles = true;
    p.canChooseDirectories = true;
    p.allowedFileTypes = {"zel"};
    p.title = title;
    p.directory = startDirectory;
    p.open(nullptr, [done](int result, std::vector<std::string> paths) {
        if (result == platform::FilePanel::kOK && !paths.empty())
            done(paths.front());
        else
            done(std::nullopt);
    });
}

void QVMountDesktop::showAlert(const std::string& title, const std::string& text,
                               const std::vector<std::string>& buttons,
                               std::function<void(int)> done) {
    platform::Alert a;
    a.messageText = title;
    a.informativeText = text;
    a.buttons = buttons;
    // The mount controller's alerts put the answer that changes nothing
    // first ("OK" before "Quit anyway"), except the extension offer.
    const auto cancel = std::find(buttons.begin(), buttons.end(),
                                  platform::localizedString("appendFileExtensionAlertCancel"));
    a.escapeButton = cancel != buttons.end() ? static_cast<int>(cancel - buttons.begin()) : 0;
    QWidget* window = panel_ && panel_->isVisible() ? panel_ : nullptr;
    a.open(window, [done](int response, bool) {
        if (done) done(response - platform::Alert::kFirstButton);
    });
}

void QVMountDesktop::showItemInFileManager(const std::string& path) {
    platform::showItemInFileManager(path);
}

void QVMountDesktop::setActivationPolicy(int policy) {
    if (auto* app = platform::Application::shared())
        app->setActivationPolicy(static_cast<platform::ActivationPolicy>(policy));
}

void QVMountDesktop::replyToApplicationShouldTerminate(bool terminate) {
    if (auto* app = platform::Application::shared())
        app->replyToApplicationShouldTerminate(terminate);
}

void QVMountDesktop::addFavouriteVolume(const std::string& mountPath) {
    LWLaunchServices::addItemWithURL(platform::fileURLForPath(mountPath),
                                     LWSharedFileList::FavoriteVolumes);
}

void QVMountDesktop::removeFavouriteVolume(const std::string& mountPath) {
    // Matched by the stored URL: the mount point is gone by now.
    LWLaunchServices::removeItemWithURL(platform::fileURLForPath(mountPath),
                                        LWSharedFileList::FavoriteVolumes);
}

std::shared_ptr<QVMountControllerParts> makeMountController(QVAppDelegate& delegate,
                                                            QVPasswordStore* store) {
    auto parts = std::make_shared<QVMountControllerParts>();
    auto localized = [](const std::string& key) { return platform::localizedString(key); };
    parts->panel = std::make_unique<QVPasswordPanel>(localized);
    parts->desktop = std::make_unique<QVMountDesktop>(parts->panel.get());
    QVFuseLoopbackController::Collaborators c;
    c.host = parts->desktop.get();
    c.panel = parts->panel.get();
    c.passwords = store;
    c.localized = localized;
    c.knownFoldersMenu = delegate.shared_from_this();
    std::weak_ptr<QVAppDelegate> weak = delegate.weak_from_this();
    c.addKnownFolder = [weak](const std::string& uuid, const std::string& path, bool track) {
        if (auto d = weak.lock()) d->addKnownFolderWithId(uuid, path, track);
    };
    c.showInfoForFolder = [weak](const std::string& path) {
        if (auto d = weak.lock()) d->showInfoForFolder(path);
    };
    parts->controller = std::make_shared<QVFuseLoopbackController>(std::move(c));
    QVFuseLoopbackController* ctl = parts->controller.get();
    parts->panel->setActions({
        [ctl] { ctl->closePasswordPrompt(true); },
        [ctl] { ctl->closePasswordPrompt(false); },
        [ctl] { ctl->changeUser(); },
        [ctl] { ctl->manageSelectedFolderInGUI(); },
        [ctl] { ctl->navigateToSelectedMountedVolume(); },
    });
    std::weak_ptr<QVFuseLoopbackController> weakCtl = parts->controller;
    delegate.setTerminationHandler([weakCtl] {
        auto self = weakCtl.lock();
        if (!self) return platform::TerminateReply::Now;
        return self->applicationShouldTerminate() == QVFuseLoopbackController::QuitAnswer::Now
                   ? platform::TerminateReply::Now
                   : platform::TerminateReply::Later;
    });
    return parts;
}

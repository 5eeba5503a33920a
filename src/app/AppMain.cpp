#include "app/AppMain.h"

#include <fontconfig/fontconfig.h>

#include <QApplication>
#include <QIcon>
#include <QImageReader>
#include <memory>
#include <thread>

#include "app/AppIcon.h"
#include "app/QVAppDelegate.h"
#include "app/browser/QVBrowserPage.h"
#include "app/mainwindow/QVMainWindowController.h"
#include "platform/core/ThreadHooks.h"
#include "platform/gui/Application.h"
#include "utilities/KCKeychainItem.h"

namespace app {

int runApplication(int argc, char** argv) {
    // The window's first text waits for the font configuration, a few
    // milliseconds of reading and parsing files; load it meanwhile. Qt's own
    // FcInit() then finds it loaded.
    std::jthread fontConfiguration([] {
        platform::threadDidStart();
        FcInit();
    });
    platform::Application application(argc, argv);
    QApplication::setApplicationName("Tessaro");
    QApplication::setDesktopFileName("tessaro");
    QApplication::setWindowIcon(applicationIcon());

    // A second start hands its folders (or a reopen) to the running one.
    int reply = platform::kOpenRequestSuccess;
    if (!application.becomeFirstInstance(platform::Application::pathsFromArguments(argc, argv),
                                         &reply)) {
        return reply;
    }

    // Meanwhile, what the toolbar will wait for: the style, the icon loader
    // and the image-format plugins it reads the style's pictures with.
    QApplication::style();
    QIcon::themeName();
    QImageReader::supportedImageFormats();
    // Joined before any widget exists, so that Qt never loads a second copy.
    fontConfiguration.join();
    auto delegate = std::make_shared<QVAppDelegate>(QVAppDelegate::standardCollaborators());
    QVMainWindowController::Collaborators windowParts;
    windowParts.appDelegate = delegate.get();
    windowParts.browser = std::make_unique<QVBrowserPage>();
    windowParts.passwordStore = &KCPasswordStore::shared();
    QVMainWindowController mainWindow(std::move(windowParts));
    delegate->setMainWindowController(&mainWindow);
    application.setDelegate(delegate.get());
    const int status = application.run();
    application.setDelegate(nullptr);
    delegate->setMainWindowController(nullptr);
    return status;
}

}  // namespace app

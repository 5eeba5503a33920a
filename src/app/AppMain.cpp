#include "app/AppMain.h"

#include <QApplication>
#include <memory>

#include "app/AppIcon.h"
#include "app/QVAppDelegate.h"
#include "app/QVBrowserPage.h"
#include "app/QVMainWindowController.h"
#include "platform/gui/Application.h"
#include "utilities/KCKeychainItem.h"

namespace app {

int runApplication(int argc, char** argv) {
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

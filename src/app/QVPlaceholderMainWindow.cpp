#include "app/QVPlaceholderMainWindow.h"

#include <QAction>
#include <QListWidget>
#include <QMenuBar>
#include <algorithm>

#include "app/AppIcon.h"
#include "app/QVAppDelegate.h"
#include "app/QVUpdateController.h"
#include "platform/gui/Alert.h"
#include "platform/gui/Application.h"
#include "platform/gui/StringTable.h"

QVPlaceholderMainWindow::QVPlaceholderMainWindow(QVAppDelegate& delegate) {
    setObjectName("mainWindow");
    setWindowTitle("Tessaro");
    setWindowIcon(app::applicationIcon());
    resize(900, 560);

    auto guarded = [](const char* what, std::function<void()> f) {
        return [what, f = std::move(f)] { platform::runGuarded(what, f); };
    };
    tessaroMenu_ = menuBar()->addMenu("&Tessaro");
    tessaroMenu_->addAction("About Tessaro",
                            guarded("Menu > about", [&delegate] { delegate.showAboutBox(); }));
    tessaroMenu_->addAction("Show Tour",
                            guarded("Menu > tour", [&delegate] { delegate.showTour(); }));
    tessaroMenu_->addSeparator();
    QAction* quit = tessaroMenu_->addAction(
        "Quit Tessaro", guarded("Menu > quit", [&delegate] { delegate.quitIfNoHelper(); }));
    quit->setShortcut(QKeySequence::Quit);

    // The updater's menu item goes third into the application menu.
    updateController_ = std::make_unique<QVUpdateController>(
        [this](const std::string& title, const std::string& message) {
            platform::Alert alert;
            alert.messageText = title;
            alert.informativeText = message;
            alert.style = platform::Alert::Style::Informational;
            alert.buttons = {platform::localizedString("OK")};
            alert.open(isVisible() ? this : nullptr);
        },
        [](const std::string& key) { return platform::localizedString(key); });
    tessaroMenu_->insertAction(tessaroMenu_->actions().value(2),
                               updateController_->updateMenuItem());

    QMenu* file = menuBar()->addMenu("&File");
    file->addAction("New Encrypted Folder…", guarded("Menu > new folder", [&delegate] {
                        delegate.showNewEncryptedFolder();
                    }));
    file->addMenu(delegate.knownFoldersMenu());

    list_ = new QListWidget(this);
    list_->setObjectName("sourceList");
    setCentralWidget(list_);
}

QVPlaceholderMainWindow::~QVPlaceholderMainWindow() = default;

void QVPlaceholderMainWindow::showWindow() {
    show();
    raise();
    activateWindow();
}

void QVPlaceholderMainWindow::sourceListDidChangeSelectedItemPath(const std::string& path) {
    current_ = path;
}

void QVPlaceholderMainWindow::addVolumes(const std::vector<std::string>& paths) {
    for (const auto& p : paths) {
        if (std::find(volumes_.begin(), volumes_.end(), p) != volumes_.end()) continue;
        volumes_.push_back(p);
        list_->addItem(QString::fromStdString(p));
        current_ = p;
    }
}

#include "app/statusmenu/QVStatusMenuController.h"

#include <sys/stat.h>

#include <QAction>
#include <QCursor>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include "Logging/LGLogMacros.h"
#include "app/AppIcon.h"
#include "app/QVAppDelegate.h"
#include "platform/core/UserDefaults.h"
#include "platform/gui/Application.h"
#include "platform/gui/FileManager.h"
#include "platform/gui/StringTable.h"

namespace {

constexpr char kStartAtLoginKey[] = "startAtLogin";
constexpr char kHasShownFirstStartPopupKey[] = "hasShownFirstStartPopup";
constexpr char kHasStartedBeforeKey[] = "hasStartedBefore";

QString text(const char* key) {
    return QString::fromStdString(platform::localizedString(key));
}

void guarded(const char* what, const std::function<void()>& f) {
    platform::runGuarded(what, f);
}

}  // namespace

QVStatusMenuController::QVStatusMenuController(QVAppDelegate& delegate, Collaborators c)
    : appDelegate_(delegate.weak_from_this()),
      c_(std::move(c)),
      defaults_(c_.defaults ? *c_.defaults : platform::UserDefaults::standard()) {
    // The log sinks are the application delegate's; adding them again here
    // would bring every line twice.
    mount_ = makeMountController(delegate, c_.passwords);
    mount_->controller->closePasswordPrompt(false);

    statusMenu_ = std::make_unique<QMenu>();
    // The mounted volumes come first: this menu is where they are ejected.
    ejectAll_ = statusMenu_->addAction(QStringLiteral("Eject All"));
    ejectAll_->setObjectName("ejectAll");
    QObject::connect(ejectAll_, &QAction::triggered,
                     [this] { guarded("StatusMenu > eject all", [this] { ejectAll(); }); });
    volumesEnd_ = statusMenu_->addSeparator();
    knownFoldersMenu_ = statusMenu_->addMenu(text("statusMenuKnownFolders"));
    statusMenu_->addSeparator();
    QObject::connect(statusMenu_->addAction(text("statusMenuOpenFolder")), &QAction::triggered,
                     [this] { guarded("StatusMenu > open", [this] { openEncryptedFolder(); }); });
    QObject::connect(
        statusMenu_->addAction(text("statusMenuNewFolder")), &QAction::triggered,
        [this] { guarded("StatusMenu > new", [this] { createNewEncryptedFolder(); }); });
    QObject::connect(statusMenu_->addAction(text("statusMenuShowWindow")), &QAction::triggered,
                     [this] { guarded("StatusMenu > show", [this] { showGUIapp(); }); });
    statusMenu_->addSeparator();
    startAtLogin_ = statusMenu_->addAction(text("statusMenuStartAtLogin"));
    startAtLogin_->setCheckable(true);
    QObject::connect(startAtLogin_, &QAction::triggered,
                     [this] { guarded("StatusMenu > login", [this] { toggleStartAtLogin(); }); });
    statusMenu_->addSeparator();
    QObject::connect(statusMenu_->addAction(text("statusMenuQuit")), &QAction::triggered, [] {
        if (auto* app = platform::Application::shared()) app->terminate();
    });

    // Login item: the entry on disk decides the tick; a wish recorded
    // earlier is carried out.
    loginTicked_ = c_.loginItems.isLoginItem && c_.loginItems.isLoginItem();
    startAtLogin_->setChecked(loginTicked_);
    if (!loginTicked_ &&
        (!defaults_.boolForKey(kHasStartedBeforeKey) || defaults_.boolForKey(kStartAtLoginKey)))
        toggleStartAtLogin();

    mount_->controller->setVolumesChangedHandler([this] { updateVolumesMenu(); });
    updateVolumesMenu();

    activateStatusMenu();
    updateKnownFoldersMenu();
    // The popup points at the tray icon: none without a tray.
    if (statusItem_ && !defaults_.boolForKey(kHasShownFirstStartPopupKey)) showFirstStartPopup();
}

QVStatusMenuController::~QVStatusMenuController() {
    mount_->controller->setVolumesChangedHandler(nullptr);
}

void QVStatusMenuController::activateStatusMenu() {
    if (!c_.trayAvailable) {
        LGLogInfo(
            "StatusMenu > activateStatusMenu > the desktop has no system tray; folders open "
            "from the main window and the command line");
        return;
    }
    statusItem_ = std::make_unique<QSystemTrayIcon>(app::applicationIcon());
    statusItem_->setToolTip("Tessaro");
    statusItem_->setContextMenu(statusMenu_.get());
    // A left click opens the menu too, as on other Linux tray icons.
    QObject::connect(statusItem_.get(), &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason != QSystemTrayIcon::Trigger) return;
                         const QRect icon = statusItem_->geometry();
                         statusMenu_->popup(icon.isValid() ? icon.bottomLeft() : QCursor::pos());
                     });
    statusItem_->show();
}

void QVStatusMenuController::updateVolumesMenu() {
    for (QMenu* menu : volumeMenus_) {
        statusMenu_->removeAction(menu->menuAction());
        menu->deleteLater();
    }
    volumeMenus_.clear();
    const auto volumes = mount_->controller->mountedVolumes();
    for (const auto& volume : volumes) {
        auto* menu = new QMenu(QString::fromStdString(volume.name + " \u2014 " + volume.folderPath),
                               statusMenu_.get());
        menu->setObjectName(QString::fromStdString(volume.mountPath));
        const std::string path = volume.mountPath;
        QObject::connect(
            menu->addAction(QStringLiteral("Open")), &QAction::triggered, [this, path] {
                guarded("StatusMenu > open volume",
                        [&] { mount_->controller->navigateFinderToMountedVolumeAtPath(path); });
            });
        QObject::connect(
            menu->addAction(QStringLiteral("Eject")), &QAction::triggered,
            [this, path] { guarded("StatusMenu > eject", [&] { ejectVolume(path); }); });
        statusMenu_->insertMenu(ejectAll_, menu);
        volumeMenus_.push_back(menu);
    }
    ejectAll_->setEnabled(!volumes.empty());
}

void QVStatusMenuController::ejectVolume(const std::string& mountPath) {
    mount_->controller->ejectVolumeAtPath(mountPath);
}

void QVStatusMenuController::ejectAll() {
    mount_->controller->ejectAll();
}

bool QVStatusMenuController::ejectVolumeOfFolder(const std::string& folderPath) {
    return mount_->controller->ejectVolumeOfFolder(folderPath);
}

void QVStatusMenuController::updateKnownFoldersMenu() {
    knownFoldersMenu_->clear();
    auto delegate = appDelegate_.lock();
    if (!delegate) return;
    for (const auto& [key, path] : delegate->knownFolderUrlsForIDs()) {
        QAction* item = knownFoldersMenu_->addAction(QString::fromStdString(path));
        const std::string folder = path;
        QObject::connect(item, &QAction::triggered, [folder] {
            guarded("StatusMenu > openKnownFolder",
                    [&] { platform::showItemInFileManager(folder); });
        });
    }
}

void QVStatusMenuController::mountFolderAtUrl(const std::string& path) {
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    if (auto* app = platform::Application::shared())
        app->setActivationPolicy(platform::ActivationPolicy::Accessory);
    mount_->controller->showPasswordPanelForFolder(path);
}

void QVStatusMenuController::openEncryptedFolder() {
    // No file manager here tells its front window or selection: the open
    // panel always asks.
    mount_->controller->askForFolderToMount(std::nullopt);
}

void QVStatusMenuController::toggleStartAtLogin() {
    // The tick as it was before the click: Qt has flipped the action already.
    if (loginTicked_) {
        if (c_.loginItems.remove) c_.loginItems.remove();
        loginTicked_ = false;
        defaults_.setObject(kStartAtLoginKey, platform::Value(false));
    } else {
        loginTicked_ = c_.loginItems.add && c_.loginItems.add();
        defaults_.setObject(kStartAtLoginKey, platform::Value(true));
    }
    startAtLogin_->setChecked(loginTicked_);
}

void QVStatusMenuController::showGUIapp() {
    auto delegate = appDelegate_.lock();
    if (!delegate) return;
    const std::string& selected = mount_->controller->selectedFolderPathToMount();
    if (!selected.empty())
        delegate->showEncryptedFolder(selected);
    else
        delegate->show();
}

void QVStatusMenuController::createNewEncryptedFolder() {
    if (auto delegate = appDelegate_.lock()) delegate->showNewEncryptedFolder();
}

void QVStatusMenuController::showFirstStartPopup() {
    popup_ = std::make_unique<QWidget>(
        nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    auto* layout = new QVBoxLayout(popup_.get());
    auto* label = new QLabel(text("firstStartPopupText"));
    label->setWordWrap(true);
    auto* close = new QPushButton(text("firstStartPopupClose"));
    layout->addWidget(label);
    layout->addWidget(close, 0, Qt::AlignRight);
    QObject::connect(close, &QPushButton::clicked,
                     [this] { guarded("StatusMenu > popup", [this] { closeFirstStartPopup(); }); });
    popup_->adjustSize();
    // Under the tray icon where the desktop tells where it is, else at the
    // top right of the screen.
    QRect icon = statusItem_ ? statusItem_->geometry() : QRect();
    if (icon.isValid()) {
        popup_->move(icon.left(), icon.bottom());
    } else if (QScreen* screen = popup_->screen()) {
        const QRect area = screen->availableGeometry();
        popup_->move(area.right() - popup_->width(), area.top());
    }
    popup_->show();
}

void QVStatusMenuController::closeFirstStartPopup() {
    if (popup_) popup_->hide();
    defaults_.setObject(kHasShownFirstStartPopupKey, platform::Value(true));
}

#include "app/mainwindow/QVMainWindowController.h"

#include "app/statusmenu/QVStatusMenuInterface.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <filesystem>

#include "FileSystem/QVFileSystem.h"
#include "Logging/LGLog.h"
#include "Logging/LGLogMacros.h"
#include "app/AppIcon.h"
#include "app/QVAppDelegate.h"
#include "app/QVPasswordStore.h"
#include "app/browser/QVInfoPanelController.h"
#include "app/mainwindow/QVDropView.h"
#include "app/mainwindow/QVFolderExtensionAlert.h"
#include "app/mainwindow/QVGradientView.h"
#include "app/mainwindow/QVNewFolderSheet.h"
#include "app/startup/QVUpdateController.h"
#include "folder/FolderPaths.h"
#include "platform/core/Dispatch.h"
#include "platform/core/PathPieces.h"
#include "platform/core/TreeBytes.h"
#include "platform/core/UserDefaults.h"
#include "platform/gui/Alert.h"
#include "platform/gui/Application.h"
#include "platform/gui/FilePanel.h"
#include "platform/gui/StringTable.h"

using platform::localizedString;
using namespace std::chrono_literals;

namespace {

// Clears the immutable flag of the folder's own directory, so that it can be
// renamed or removed while locked; nothing inside is touched.
void clearImmutable(const std::optional<std::string>& path) {
    if (!path) return;
    int fd = ::open(path->c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL)) {
        flags &= ~FS_IMMUTABLE_FL;
        if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0 && errno != ENOTTY && errno != EPERM)
            LGLogError("MWC > could not clear the immutable flag of %s: %d", path->c_str(), errno);
    }
    ::close(fd);
}

// Bytes of the files below a folder, hidden ones (and the database) left out.
int64_t visibleBytesBelow(const std::string& folder) {
    platform::TreeRules rules;
    rules.skip = [](std::string_view name) {
        return name.starts_with('.') || FolderPaths::isHiddenName(name);
    };
    rules.followRootLink = true;
    return platform::tallyTree(folder, rules).bytes;
}

// The browser page until the browser is built: it says the folder is open.
class UnlockedFolderPage : public QVBrowserInterface {
  public:
    UnlockedFolderPage() : page_(new QWidget) {
        page_->setObjectName("browserView");
        auto* layout = new QVBoxLayout(page_);
        icon_ = new QLabel;
        icon_->setAlignment(Qt::AlignCenter);
        title_ = new QLabel;
        title_->setObjectName("unlockedFolderTitle");
        title_->setAlignment(Qt::AlignCenter);
        QFont f = title_->font();
        f.setPointSizeF(f.pointSizeF() * 1.4);
        f.setBold(true);
        title_->setFont(f);
        detail_ = new QLabel;
        detail_->setAlignment(Qt::AlignCenter);
        layout->addStretch(1);
        layout->addWidget(icon_);
        layout->addWidget(title_);
        layout->addWidget(detail_);
        layout->addStretch(2);
    }
    QWidget* view() override { return page_; }
    void setFileSystem(std::shared_ptr<QVFileSystem> fs) override {
        fs_ = std::move(fs);
        reload();
    }
    void reload() override {
        icon_->setPixmap(app::applicationIcon().pixmap(96, 96));
        if (!fs_ || !fs_->isMounted()) {
            title_->clear();
            detail_->clear();
            return;
        }
        title_->setText(QString::fromStdString(
            QVSourceListController::displayName(fs_->volumePath().value_or(""))));
        detail_->setText(QString::fromStdString("Unlocked as " + fs_->username().value_or("") +
                                                " · " + fs_->encryptionName()));
    }
    std::vector<std::string> selectedFiles() const override { return {}; }
    std::string currentDirectory() const override { return "/"; }
    bool selectItemWithPath(const std::string&) override { return false; }
    void editSelectedItem() override {}

  private:
    QWidget* page_;
    QLabel* icon_;
    QLabel* title_;
    QLabel* detail_;
    std::shared_ptr<QVFileSystem> fs_;
};

// Stateless and never destroyed: unlocks still running may use it.
QVPasswordStore& noPasswordStore() {
    static QVNoPasswordStore store;
    return store;
}

template <class F>
auto guarded(const char* what, F f) {
    return [what, f = std::move(f)] { platform::runGuarded(what, f); };
}

}  // namespace

// ---- start -------------------------------------------------------------------

QVMainWindowController::QVMainWindowController(Collaborators c)
    : c_(std::move(c)),
      defaults_(c_.defaults ? *c_.defaults : platform::UserDefaults::standard()),
      clock_(c_.clock ? *c_.clock : platform::systemClock()),
      passwords_(c_.passwordStore ? *c_.passwordStore : noPasswordStore()),
      browser_(c_.browser ? std::move(c_.browser) : std::make_unique<UnlockedFolderPage>()),
      alive_(std::make_shared<QVMainWindowController*>(this)) {
    setObjectName("mainWindow");
    setWindowTitle("Tessaro");
    setWindowIcon(app::applicationIcon());
    resize(900, 560);
    updateController_ = std::make_unique<QVUpdateController>(
        [this](const std::string& title, const std::string& message) {
            platform::Alert alert;
            alert.messageText = title;
            alert.informativeText = message;
            alert.style = platform::Alert::Style::Informational;
            alert.buttons = {localizedString("OK")};
            alert.open(isVisible() ? this : nullptr);
        },
        [](const std::string& key) { return localizedString(key); });
    buildWindow();
    QVUnlockController::Collaborators u;
    u.view = this;
    u.passwords = &passwords_;
    u.defaults = &defaults_;
    u.unlock = std::move(c_.unlock);
    if (QVAppDelegate* d = c_.appDelegate)
        u.addKnownFolder = [d](const std::string& uuid, const std::string& path, bool onMac) {
            d->addKnownFolderWithId(uuid, path, onMac);
        };
    unlock_ = std::make_unique<QVUnlockController>(std::move(u));
    buildToolbar();
    buildMenus();
    buildContextActions();

    // awakeFromNib
    statusTextField_->clear();
    wrongPasswordTextField_->hide();
    validationTimer_ = new QTimer(this);
    validationTimer_->setInterval(500);
    connect(validationTimer_, &QTimer::timeout, this, guarded("MWC > validate", [this] {
                validateToolbarItems();
                validateMenuItems();
            }));
    sourceList_->setDelegate(this);
    sourceList_->awakeFromNib();
    if (sourceList_->itemsPaths().empty()) mainTabView_->setCurrentIndex(1);
    updateStatusBar();
    validateToolbarItems();
    validateMenuItems();
}

QVMainWindowController::~QVMainWindowController() {
    *alive_ = nullptr;
    sourceList_->setDelegate(nullptr);
    setCurrentFileSystem(nullptr);
}

void QVMainWindowController::buildWindow() {
    splitView_ = new QSplitter(Qt::Horizontal);
    splitView_->setObjectName("splitView");
    splitView_->setChildrenCollapsible(false);
    splitView_->setHandleWidth(1);

    // Sidebar: the folders, and the drop area under them while there are few.
    auto* sidebar = new QWidget;
    sidebar->setObjectName("sourceSplitView");
    sidebar->setMinimumWidth(100);
    sidebar->setMaximumWidth(400);
    auto* sideLayout = new QVBoxLayout(sidebar);
    sideLayout->setContentsMargins(0, 0, 0, 0);
    sideLayout->setSpacing(0);
    sourceList_ = new QVSourceListController(defaults_, sidebar);
    sideLayout->addWidget(sourceList_->sourceTableView(), 1);
    sidebarDropView_ = new QVSidebarDropView(sidebar);
    sidebarDropView_->setObjectName("sidebarDropView");
    sidebarDropView_->setDelegate(
        [this](const std::vector<std::string>& p) { dropViewReceivedFiles(p); });
    sideLayout->addWidget(sidebarDropView_);
    splitView_->addWidget(sidebar);

    // The page: 0 the selected folder, 1 the empty page.
    mainTabView_ = new QStackedWidget;
    mainTabView_->setObjectName("mainTabView");
    folderOrPasswordTabView_ = new QStackedWidget;
    folderOrPasswordTabView_->setObjectName("folderOrPasswordTabView");
    folderOrPasswordTabView_->addWidget(browser_->view());

    auto* passwordPage = new QWidget;
    passwordPage->setObjectName("passwordPage");
    auto* outer = new QVBoxLayout(passwordPage);
    auto* form = new QWidget;
    form->setMaximumWidth(380);
    auto* formLayout = new QVBoxLayout(form);
    auto* lockIcon = new QLabel;
    lockIcon->setPixmap(app::applicationIcon().pixmap(72, 72));
    lockIcon->setAlignment(Qt::AlignCenter);
    passwordTitle_ = new QLabel;
    passwordTitle_->setObjectName("passwordTitle");
    passwordTitle_->setAlignment(Qt::AlignCenter);
    QFont tf = passwordTitle_->font();
    tf.setBold(true);
    tf.setPointSizeF(tf.pointSizeF() * 1.3);
    passwordTitle_->setFont(tf);
    auto* fields = new QFormLayout;
    usernamePopUp_ = new QComboBox;
    usernamePopUp_->setObjectName("usernamePopUp");
    passwordTextField_ = new QLineEdit;
    passwordTextField_->setObjectName("passwordTextField");
    passwordTextField_->setEchoMode(QLineEdit::Password);
    fields->addRow("User:", usernamePopUp_);
    fields->addRow("Password:", passwordTextField_);
    rememberPasswordCheckBox_ = new QCheckBox("Remember password");
    rememberPasswordCheckBox_->setObjectName("rememberPasswordCheckBox");
    wrongPasswordTextField_ = new QLabel("Wrong user name or password");
    wrongPasswordTextField_->setObjectName("wrongPasswordTextField");
    wrongPasswordTextField_->setStyleSheet("color: #c0392b;");
    wrongPasswordTextField_->setAlignment(Qt::AlignCenter);
    auto* unlock = unlockButton_ = new QPushButton("Unlock");
    unlock->setObjectName("unlockButton");
    unlock->setDefault(true);
    connect(unlock, &QPushButton::clicked, this,
            guarded("MWC > unlock", [this] { unlockVolume(); }));
    connect(passwordTextField_, &QLineEdit::returnPressed, this,
            guarded("MWC > unlock", [this] { unlockVolume(); }));
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(rememberPasswordCheckBox_);
    buttonRow->addStretch(1);
    buttonRow->addWidget(unlock);
    formLayout->addWidget(lockIcon);
    formLayout->addWidget(passwordTitle_);
    formLayout->addSpacing(8);
    formLayout->addLayout(fields);
    formLayout->addLayout(buttonRow);
    formLayout->addWidget(wrongPasswordTextField_);
    outer->addStretch(1);
    outer->addWidget(form, 0, Qt::AlignHCenter);
    outer->addStretch(2);
    folderOrPasswordTabView_->addWidget(passwordPage);
    mainTabView_->addWidget(folderOrPasswordTabView_);

    dropView_ = new QVDropView;
    dropView_->setObjectName("dropView");
    dropView_->setDelegate([this](const std::vector<std::string>& p) { dropViewReceivedFiles(p); });
    mainTabView_->addWidget(dropView_);
    splitView_->addWidget(mainTabView_);
    // The sidebar keeps its width when the window is resized.
    splitView_->setStretchFactor(0, 0);
    splitView_->setStretchFactor(1, 1);
    splitView_->setSizes({200, 700});

    auto* central = new QWidget;
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);
    centralLayout->addWidget(splitView_, 1);
    auto* bottomBar = new QVGradientView;
    bottomBar->setObjectName("bottomBar");
    bottomBar->setFixedHeight(24);
    auto* barLayout = new QHBoxLayout(bottomBar);
    barLayout->setContentsMargins(8, 0, 8, 0);
    statusTextField_ = new QLabel;
    statusTextField_->setObjectName("statusTextField");
    statusTextField_->setAlignment(Qt::AlignCenter);
    statusTextField_->setStyleSheet("color: #202020;");
    barLayout->addWidget(statusTextField_);
    centralLayout->addWidget(bottomBar);
    browser_->setStatusTextField(statusTextField_);
    setCentralWidget(central);
}

void QVMainWindowController::buildToolbar() {
    QToolBar* bar = addToolBar("Toolbar");
    bar->setObjectName("toolbar");
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    bar->setIconSize(QSize(24, 24));
    auto make = [&](QStyle::StandardPixmap icon, const char* text, const char* tip,
                    std::function<void()> f, const char* what) {
        QAction* a = bar->addAction(app::deferredStandardIcon(icon), text);
        a->setToolTip(QString::fromStdString(localizedString(tip)));
        connect(a, &QAction::triggered, this, guarded(what, std::move(f)));
        return a;
    };
    toolbar_.open = make(
        QStyle::SP_DialogOpenButton, "Open", "Open encrypted folder", [this] { openVolume(); },
        "MWC > open");
    toolbar_.create = make(
        QStyle::SP_FileDialogNewFolder, "Create", "Create new encrypted folder",
        [this] { showNewCryptFolderSheet(); }, "MWC > create");
    bar->addSeparator();
    toolbar_.addFolder = make(
        QStyle::SP_FileDialogNewFolder, "New Folder", "Add new folder",
        [this] { createNewFolder(); }, "MWC > new folder");
    toolbar_.deleteItems = make(
        QStyle::SP_TrashIcon, "Delete", "Delete selected item", [this] { deleteSelectedItems(); },
        "MWC > delete");
    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);
    toolbar_.info = make(
        QStyle::SP_MessageBoxInformation, "Info", "Get info for ecnrypted folder",
        [this] { showInfoPanel(); }, "MWC > info");
    toolbar_.eject = make(
        QStyle::SP_ArrowUp, "Eject", "Close encrypted folder", [this] { ejectSelectedVolume(); },
        "MWC > eject");
}

void QVMainWindowController::buildMenus() {
    QVAppDelegate* d = c_.appDelegate;
    tessaroMenu_ = menuBar()->addMenu("&Tessaro");
    tessaroMenu_->setObjectName("tessaroMenu");
    tessaroMenu_->addAction("About Tessaro", guarded("Menu > about", [d] {
                                if (d) d->showAboutBox();
                            }));
    tessaroMenu_->addAction("Show Tour", guarded("Menu > tour", [d] {
                                if (d) d->showTour();
                            }));
    tessaroMenu_->addSeparator();
    QAction* quit = tessaroMenu_->addAction("Quit Tessaro", guarded("Menu > quit", [d] {
                                                if (d) d->quitIfNoHelper();
                                            }));
    quit->setShortcut(QKeySequence::Quit);
    // The updater's item goes third into the application menu.
    tessaroMenu_->insertAction(tessaroMenu_->actions().value(2),
                               updateController_->updateMenuItem());
    if (d && d->installFuseMenuItem())
        tessaroMenu_->insertAction(tessaroMenu_->actions().value(3), d->installFuseMenuItem());

    fileMenu_ = menuBar()->addMenu("&File");
    fileMenu_->setObjectName("fileMenu");
    menu_.create = fileMenu_->addAction(
        "New Encrypted Folder…", guarded("Menu > create", [this] { showNewCryptFolderSheet(); }));
    menu_.create->setShortcut(QKeySequence("Ctrl+Shift+N"));
    menu_.open = fileMenu_->addAction("Open Encrypted Folder…",
                                      guarded("Menu > open", [this] { openVolume(); }));
    menu_.open->setShortcut(QKeySequence::Open);
    fileMenu_->addSeparator();
    menu_.addFolder = fileMenu_->addAction(
        "New Folder", guarded("Menu > new folder", [this] { createNewFolder(); }));
    menu_.addFolder->setShortcut(QKeySequence::New);
    menu_.deleteItems =
        fileMenu_->addAction("Delete", guarded("Menu > delete", [this] { deleteSelectedItems(); }));
    fileMenu_->addSeparator();
    menu_.info =
        fileMenu_->addAction("Get Info", guarded("Menu > info", [this] { showInfoPanel(); }));
    menu_.info->setShortcut(QKeySequence("Ctrl+I"));
    menu_.eject = fileMenu_->addAction("Close Encrypted Folder",
                                       guarded("Menu > eject", [this] { ejectSelectedVolume(); }));
    menu_.eject->setShortcut(QKeySequence("Ctrl+E"));
    if (d && d->knownFoldersMenu()) {
        fileMenu_->addSeparator();
        fileMenu_->addMenu(d->knownFoldersMenu());
    }
    connect(fileMenu_, &QMenu::aboutToShow, this,
            guarded("MWC > menu", [this] { validateMenuItems(); }));
}

void QVMainWindowController::buildContextActions() {
    auto make = [&](const char* text, std::function<void()> f, const char* what) {
        auto* a = new QAction(QString::fromUtf8(text), this);
        connect(a, &QAction::triggered, this, guarded(what, std::move(f)));
        return a;
    };
    context_.rename = make(
        "Rename", [this] { browser_->editSelectedItem(); }, "Context > rename");
    context_.deleteItems = make(
        "Delete", [this] { deleteSelectedItems(); }, "Context > delete");
    // The Delete key in the browser asks as the Delete command does; the
    // rule is asked at the key, not at the last revalidation.
    auto* deleteKey = new QShortcut(QKeySequence::Delete, browser_->view(), nullptr, nullptr,
                                    Qt::WidgetWithChildrenShortcut);
    connect(deleteKey, &QShortcut::activated, this, guarded("Browser > Delete key", [this] {
                if (menuItemEnabled(QVWindowAction::Delete, validationState()))
                    deleteSelectedItems();
            }));
    context_.addFolder = make(
        "New Folder", [this] { createNewFolder(); }, "Context > new folder");
    context_.info = make(
        "Get Info", [this] { showInfoPanel(); }, "Context > info");
    browser_->addContextActions(
        {context_.rename, context_.deleteItems, context_.addFolder, context_.info},
        [this] { validateContextActions(); });
    browser_->setContentsChangedHandler([this] {
        if (c_.appDelegate) c_.appDelegate->recomputeTotalBytesOfAllTrackedFolders();
    });
}

void QVMainWindowController::validateContextActions() {
    const QVValidationState s = validationState();
    context_.rename->setEnabled(s.W && s.M && browser_->selectedFiles().size() == 1);
    context_.deleteItems->setEnabled(menuItemEnabled(QVWindowAction::Delete, s));
    context_.addFolder->setEnabled(menuItemEnabled(QVWindowAction::NewFolder, s));
    context_.info->setEnabled(menuItemEnabled(QVWindowAction::Info, s));
}

// ---- showing -----------------------------------------------------------------

void QVMainWindowController::showWindow() {
    show();
    raise();
    activateWindow();
}

void QVMainWindowController::hideWindow() {
    hide();
}

void QVMainWindowController::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    platform::runGuarded("MWC > show", [this] {
        validateToolbarItems();
        validationTimer_->start();
    });
}

void QVMainWindowController::hideEvent(QHideEvent* e) {
    QMainWindow::hideEvent(e);
    platform::runGuarded("MWC > hide", [this] { validationTimer_->stop(); });
}

void QVMainWindowController::showInfoPanel() {
    if (!infoPanel_) infoPanel_ = new QVInfoPanelController(this);
    refreshInfoPanel(true);
    infoPanel_->showInfoPanel();
}

void QVMainWindowController::refreshInfoPanel(bool evenHidden) {
    if (!infoPanel_ || (!evenHidden && !infoPanel_->isVisible())) return;
    infoPanel_->setFileSystem(currentFileSystem_, currentVolumePath_.value_or(""));
}

void QVMainWindowController::showNewCryptFolderSheet() {
    if (!newFolderSheet_) {
        newFolderSheet_ = new QVNewFolderSheet(
            defaults_, clock_,
            [this](const std::string& path, const std::string& user, const std::string& password) {
                openCreatedFolder(path, user, password);
            },
            this);
    }
    if (newFolderSheet_->isVisible()) return;
    showWindow();
    newFolderSheet_->showSheet(this);
}

// ---- selection ---------------------------------------------------------------

void QVMainWindowController::sourceListDidChangeSelectedItemPath(const std::string& path) {
    sourceListDidChangeSelectedItemPath(path.empty() ? std::nullopt
                                                     : std::optional<std::string>(path));
}

void QVMainWindowController::sourceListDidChangeSelectedItemPath(
    const std::optional<std::string>& path) {
    LGLogDebug("MWC > sourceListDidChangeSelected");
    setCurrentVolumePath(path);
    if (path) {
        mainTabView_->setCurrentIndex(0);
    } else {
        statusTextField_->clear();
        mainTabView_->setCurrentIndex(1);
    }
}

void QVMainWindowController::setCurrentVolumePath(const std::optional<std::string>& path) {
    currentVolumePath_ = path;
    setCurrentFileSystem(path ? std::make_shared<QVFileSystem>() : nullptr);
}

void QVMainWindowController::setCurrentFileSystem(std::shared_ptr<QVFileSystem> fileSystem) {
    if (currentFileSystem_) {
        releaseBrowserHandle();
        if (currentFileSystem_->isMounted()) currentFileSystem_->unmount();
        clearImmutable(currentFileSystem_->volumePath());
        LGLogInfo("MWC > setCurrentFileSystem > did lock folder");
    }
    currentFileSystem_ = std::move(fileSystem);
    if (!alive_ || !*alive_) return;  // being destroyed
    passwordTextField_->clear();
    if (currentFileSystem_) {
        // Busy until the folder's remembered password was tried or its
        // users read.
        usernamePopUp_->clear();
        passwordTitle_->setText(QString::fromStdString(
            QVSourceListController::displayName(currentVolumePath_.value_or(""))));
        folderOrPasswordTabView_->setCurrentIndex(1);
    }
    unlock_->setFolder(currentFileSystem_, currentFileSystem_ ? currentVolumePath_ : std::nullopt);
    LGLogDebug("MWC > setCurrentFile system > done > now setting browser");
    browser_->setFileSystem(currentFileSystem_);
    refreshInfoPanel(false);
    updateStatusBar();
}

// ---- unlocking ---------------------------------------------------------------

void QVMainWindowController::ejectLater() {
    std::weak_ptr<QVMainWindowController*> alive = alive_;
    platform::dispatchAfter(
        200ms, platform::mainQueue(),
        [alive] {
            if (auto self = alive.lock(); self && *self)
                platform::runGuarded("MWC > eject later",
                                     [&] { (*self)->sourceList_->ejectSelected(); });
        },
        clock_);
}

void QVMainWindowController::openEjectingAlert(const platform::Alert& alert) {
    // The folder goes once the user has read why, so that the alert never
    // stands over the next folder's page.
    // One at a time: the unlock road may tell the same reason twice (a
    // keychain answer, then the password page), and a second answer would
    // eject the folder selected after the first.
    if (ejectingAlert_ && ejectingAlert_->isVisible()) return;
    std::weak_ptr<QVMainWindowController*> alive = alive_;
    ejectingAlert_ = alert.open(this, [alive](int, bool) {
        if (auto self = alive.lock(); self && *self) (*self)->ejectLater();
    });
}

// ---- QVUnlockView --------------------------------------------------------------

void QVMainWindowController::setUnlocking(bool running) {
    for (QWidget* w :
         std::initializer_list<QWidget*>{passwordTextField_, usernamePopUp_, unlockButton_})
        w->setEnabled(!running);
    rememberPasswordCheckBox_->setEnabled(!running && rememberAvailable_);
}

void QVMainWindowController::showPasswordPage(const std::vector<std::string>& users,
                                              const std::string& currentUser) {
    const std::string path = currentVolumePath_.value_or("");
    usernamePopUp_->clear();
    for (const std::string& u : users) usernamePopUp_->addItem(QString::fromStdString(u));
    if (int i = usernamePopUp_->findText(QString::fromStdString(currentUser)); i >= 0)
        usernamePopUp_->setCurrentIndex(i);
    passwordTitle_->setText(QString::fromStdString(QVSourceListController::displayName(path)));
    folderOrPasswordTabView_->setCurrentIndex(1);
    std::weak_ptr<QVMainWindowController*> alive = alive_;
    platform::dispatchAfter(
        500ms, platform::mainQueue(),
        [alive] {
            if (auto self = alive.lock(); self && *self) (*self)->passwordTextField_->setFocus();
        },
        clock_);
}

void QVMainWindowController::setRememberAvailable(bool available) {
    // Unlocking works either way.
    rememberAvailable_ = available;
    rememberPasswordCheckBox_->setEnabled(available && !unlock_->isUnlocking());
    rememberPasswordCheckBox_->setToolTip(
        available ? QString()
                  : QString::fromStdString(localizedString("rememberPasswordUnavailable")));
    if (!available) rememberPasswordCheckBox_->setChecked(false);
}

bool QVMainWindowController::rememberPassword() const {
    return rememberPasswordCheckBox_->isChecked();
}

std::string QVMainWindowController::typedPassword() const {
    return passwordTextField_->text().toStdString();
}

void QVMainWindowController::showWrongPassword(bool shown) {
    wrongPasswordTextField_->setVisible(shown);
    if (shown) shakeWindow();
}

void QVMainWindowController::folderDidUnlock() {
    clearImmutable(currentVolumePath_);
    folderOrPasswordTabView_->setCurrentIndex(0);
    splitView_->setFocus();
    // A size still being summed for the locked folder is stale now.
    ++statusGeneration_;
    statusTextField_->clear();
    browser_->reload();
    refreshInfoPanel(false);
}

void QVMainWindowController::folderStaysLocked() {
    browser_->reload();
}

void QVMainWindowController::showEjectingAlert(const std::string& title, const std::string& text) {
    if (currentVolumePath_) sourceList_->setSelectedItemPath(*currentVolumePath_);
    platform::Alert alert;
    alert.messageText = title;
    alert.informativeText = text;
    alert.buttons = {localizedString("Eject")};
    openEjectingAlert(alert);
}

void QVMainWindowController::unlockVolume() {
    if (!currentFileSystem_ || unlock_->isUnlocking()) return;
    const std::string typed = passwordTextField_->text().toStdString();
    std::optional<std::string> user;
    if (usernamePopUp_->currentIndex() >= 0) user = usernamePopUp_->currentText().toStdString();
    unlock_->submit(typed, user);
    passwordTextField_->clear();
}

void QVMainWindowController::shakeWindow() {
    if (!isVisible()) return;
    const QPoint origin = pos();
    const int dx = std::max(1, static_cast<int>(width() * 0.02));
    auto* a = new QPropertyAnimation(this, "pos", this);
    a->setDuration(500);
    a->setKeyValueAt(0, origin);
    for (int i = 0; i < 4; ++i) {
        a->setKeyValueAt((2 * i + 1) / 9.0, origin - QPoint(dx, 0));
        a->setKeyValueAt((2 * i + 2) / 9.0, origin + QPoint(dx, 0));
    }
    a->setKeyValueAt(1, origin);
    a->start(QAbstractAnimation::DeleteWhenStopped);
}

// A copy that runs on the handle ends, its partial file removed, while the
// folder can still be written: after the unmount it could not.
void QVMainWindowController::releaseBrowserHandle() {
    if (browser_ && currentFileSystem_ && currentFileSystem_->isMounted())
        browser_->setFileSystem(nullptr);
}

void QVMainWindowController::stopCopying() {
    if (!currentFileSystem_ || !currentFileSystem_->isMounted()) return;
    releaseBrowserHandle();
    browser_->setFileSystem(currentFileSystem_);
}

void QVMainWindowController::lockCurrentFolder() {
    if (!currentFileSystem_ || !currentFileSystem_->isMounted()) return;
    releaseBrowserHandle();
    currentFileSystem_->unmount();
    clearImmutable(currentVolumePath_);
    LGLogInfo("MWC > lockCurrentFolder > did lock folder");
    browser_->setFileSystem(currentFileSystem_);
    refreshInfoPanel(false);
    unlock_->folderWasLocked();
    updateStatusBar();
}

// ---- sidebar -----------------------------------------------------------------

void QVMainWindowController::sourceListDidAddNewItemWithPath(const std::string&) {
    if (sourceList_->itemsPaths().size() >= 2 && !sidebarDropView_->isHidden()) {
        LGLogDebug("MWC > sourceListDidChange > hide drop image");
        sidebarDropView_->hide();
    }
    clearImmutable(currentVolumePath_);
    // The Finder's folder icon and the database's hidden flag have no meaning
    // here: the database name is hidden by every layer already.
}

bool QVMainWindowController::sourceListShallEjectItemWithPath(const std::string& path) {
    if (currentFileSystem_ && currentFileSystem_->volumePath() == path &&
        currentFileSystem_->isMounted()) {
        releaseBrowserHandle();
        currentFileSystem_->unmount();
    }
    clearImmutable(path);
    LGLogInfo("MWC > shourceListShallEjectItem > did lock folder");
    // Its decrypted volume goes too; one in use stays, and the mount
    // controller says so.
    if (statusMenu_) statusMenu_->ejectVolumeOfFolder(path);
    return true;
}

bool QVMainWindowController::sourceListDidReceiveFolders(const std::vector<std::string>& paths) {
    addVolumes(paths);
    return true;
}

void QVMainWindowController::ejectSelectedVolume() {
    sourceList_->ejectSelected();
}

void QVMainWindowController::showSelectedPage() {
    mainTabView_->setCurrentIndex(sourceList_->selectedItemPath() ? 0 : 1);
}

void QVMainWindowController::addVolumes(const std::vector<std::string>& paths) {
    std::weak_ptr<QVMainWindowController*> alive = alive_;
    app::offerFolderExtension(paths, defaults_, this, [alive](std::vector<std::string> chosen) {
        auto self = alive.lock();
        if (!self || !*self) return;
        QVMainWindowController* w = *self;
        for (const std::string& p : chosen) w->sourceList_->addItemWithPath(p);
        w->showSelectedPage();
    });
}

void QVMainWindowController::dropViewReceivedFiles(const std::vector<std::string>& paths) {
    addVolumes(paths);
    LGLogDebug("MWC > dropViewReceivedFiles > end");
}

void QVMainWindowController::openVolume() {
    platform::FilePanel panel;
    panel.allowsMultipleSelection = true;
    panel.canChooseFiles = true;
    panel.canChooseDirectories = true;
    panel.allowedFileTypes = {"zel"};
    std::weak_ptr<QVMainWindowController*> alive = alive_;
    panel.open(this, [alive](int result, std::vector<std::string> chosen) {
        auto self = alive.lock();
        if (!self || !*self || result != platform::FilePanel::kOK) return;
        std::vector<std::string> folders;
        bool others = false;
        for (const std::string& p : chosen) {
            if (QVAppDelegate::fileIsEncryptedFolder(p))
                folders.push_back(p);
            else
                others = true;
        }
        if (!folders.empty()) (*self)->addVolumes(folders);
        if (others) {
            platform::Alert alert;
            alert.messageText = localizedString("alertOpenFolderNotMOXTitle");
            alert.informativeText = localizedString("alertOpenFolderNotMOXMessage");
            alert.buttons = {localizedString("OK")};
            alert.open(*self);
        }
    });
}

// ---- items in the folder -----------------------------------------------------

void QVMainWindowController::deleteSelectedItems() {
    platform::Alert alert;
    alert.messageText = localizedString("reallyDelete");
    alert.informativeText = localizedString("reallyDeleteMsg");
    alert.buttons = {localizedString("Cancel"), localizedString("Delete")};
    alert.escapeButton = 0;
    std::weak_ptr<QVMainWindowController*> alive = alive_;
    std::weak_ptr<QVFileSystem> handle = currentFileSystem_;
    const std::vector<std::string> selected = browser_->selectedFiles();
    alert.open(this, [alive, handle, selected](int response, bool) {
        auto self = alive.lock();
        auto fs = handle.lock();
        if (!self || !*self || response == platform::Alert::kFirstButton) return;
        // The folder may have been locked or changed while the alert was up.
        if (!fs || fs != (*self)->currentFileSystem_ || !fs->isMounted()) return;
        for (const std::string& p : selected) fs->removeItemAtPath(p);
        if ((*self)->c_.appDelegate)
            (*self)->c_.appDelegate->recomputeTotalBytesOfAllTrackedFolders();
        (*self)->browser_->reload();
    });
}

void QVMainWindowController::createNewFolder() {
    if (!currentFileSystem_ || !currentFileSystem_->isMounted()) return;
    QVFileSystem& fs = *currentFileSystem_;
    const std::string path =
        newFolderPath(browser_->currentDirectory(), localizedString("newFolderName"),
                      [&fs](const std::string& p) { return fs.fileExistsAtPath(p); });
    fs.createDirectoryAtPath(path);
    browser_->reload();
    if (browser_->selectItemWithPath(path)) browser_->editSelectedItem();
}

// ---- validation and status ---------------------------------------------------

QVValidationState QVMainWindowController::validationState() const {
    QVValidationState s;
    s.W = currentFileSystem_ && !currentFileSystem_->isNTFSVolume();
    s.M = currentFileSystem_ && currentFileSystem_->isMounted();
    s.S = !browser_->selectedFiles().empty();
    s.P = !(newFolderSheet_ && newFolderSheet_->isVisible());
    s.F = sourceList_->selectedItemPath().has_value();
    return s;
}

void QVMainWindowController::validateToolbarItems() {
    const QVValidationState s = validationState();
    toolbar_.deleteItems->setEnabled(toolbarItemEnabled(QVWindowAction::Delete, s));
    toolbar_.addFolder->setEnabled(toolbarItemEnabled(QVWindowAction::NewFolder, s));
    toolbar_.eject->setEnabled(toolbarItemEnabled(QVWindowAction::Eject, s));
    toolbar_.info->setEnabled(toolbarItemEnabled(QVWindowAction::Info, s));
}

void QVMainWindowController::validateMenuItems() {
    const QVValidationState s = validationState();
    menu_.deleteItems->setEnabled(menuItemEnabled(QVWindowAction::Delete, s));
    menu_.addFolder->setEnabled(menuItemEnabled(QVWindowAction::NewFolder, s));
    menu_.eject->setEnabled(menuItemEnabled(QVWindowAction::Eject, s));
    menu_.info->setEnabled(menuItemEnabled(QVWindowAction::Info, s));
}

void QVMainWindowController::updateStatusBar() {
    if (currentFileSystem_ && currentFileSystem_->isMounted()) return;
    const uint64_t generation = ++statusGeneration_;
    if (!currentVolumePath_) {
        statusTextField_->clear();
        return;
    }
    const std::string path = *currentVolumePath_;
    std::weak_ptr<QVMainWindowController*> alive = alive_;
    platform::globalQueue(platform::QueuePriority::Background)->async([alive, path, generation] {
        std::string name = std::filesystem::path(platform::lastComponent(path)).stem().string();
        const std::string text = platform::formatText(
            localizedString("statusLockedFolderFormat"),
            {name, QVAppDelegate::siUnitStringForBytes(visibleBytesBelow(path))});
        platform::mainQueue()->async([alive, generation, text] {
            auto self = alive.lock();
            // A result for an earlier selection is stale.
            if (!self || !*self || (*self)->statusGeneration_ != generation) return;
            (*self)->statusTextField_->setText(QString::fromStdString(text));
        });
    });
}

void QVMainWindowController::openCreatedFolder(const std::string& path, const std::string& userName,
                                               const std::string& password) {
    sourceList_->addItemWithPath(path);
    sourceList_->setSelectedItemPath(path);
    mainTabView_->setCurrentIndex(0);
    unlock_->unlockWithPassword(password, userName);
}

#include "app/QVAppDelegate.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QTextBrowser>
#include <QThread>
#include <QVBoxLayout>
#include <mutex>

#include "Logging/LGLog.h"
#include "Logging/LGLogMacros.h"
#include "Logging/LGLogSetup.h"
#include "Logging/LGTTYLogger.h"
#include "app/AppResources.h"
#include "app/logic/QVUnitStrings.h"
#include "app/mainwindow/QVMainWindowInterface.h"
#include "app/statusmenu/QVStatusMenuInterface.h"
#include "platform/core/Console.h"
#include "platform/core/TreeBytes.h"
#include "platform/core/UserDefaults.h"
#include "platform/gui/Alert.h"
#include "platform/gui/Bookmarks.h"
#include "platform/gui/StringTable.h"

using platform::localizedString;

namespace {

constexpr char kKnownFoldersKey[] = "knownFolders";
constexpr char kTrackedFoldersKey[] = "trackedFolders";
constexpr char kHasStartedBeforeKey[] = "hasStartedBefore";
constexpr auto kTourDelay = std::chrono::milliseconds(500);
constexpr auto kOpenRequestDelay = std::chrono::seconds(1);

bool onMainThread() {
    return QCoreApplication::instance() &&
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

}  // namespace

void QVAppDelegate::initializeLogging() {
    static std::once_flag once;
    std::call_once(once, [] {
        lg::addStandardLoggers();
        const auto& tty = LGTTYLogger::sharedInstance();
        tty->setForegroundColor(LGColor{1.0, 58 / 255.0, 159 / 255.0}, std::nullopt,
                                LG_LOG_FLAG_INFO);
        tty->setForegroundColor(LGColor{1.0, 100 / 255.0, 0.0}, std::nullopt, LG_LOG_FLAG_WARN);
        tty->setForegroundColor(LGColor{1.0, 38 / 255.0, 0.0}, std::nullopt, LG_LOG_FLAG_ERROR);
        tty->setColorsEnabled(true);
    });
}

QVAppDelegate::QVAppDelegate(Collaborators collaborators)
    : c_(std::move(collaborators)),
      defaults_(c_.defaults ? *c_.defaults : platform::UserDefaults::standard()),
      clock_(c_.clock ? *c_.clock : platform::systemClock()) {
    initializeLogging();
    knownFoldersMenu_ = std::make_unique<QMenu>("Known Folders");
    installFuseMenuItem_ = std::make_unique<QAction>("Install FUSE…");
    installFuseMenuItem_->setObjectName("installFuseMenuItem");
    QObject::connect(installFuseMenuItem_.get(), &QAction::triggered, [this] {
        platform::runGuarded("Menu > install FUSE", [this] { installFuse(); });
    });
    loadFolders(kKnownFoldersKey, knownBookmarks_, knownUrls_);
    refreshKnownFoldersMenu();
    recomputeTotalBytesOfAllKnownFolders();
    loadFolders(kTrackedFoldersKey, trackedBookmarks_, trackedUrls_);
    recomputeTotalBytesOfAllTrackedFolders();
}

QVAppDelegate::~QVAppDelegate() {
    if (mainWindow_) mainWindow_->setStatusMenuController(nullptr);
    delete aboutWindow_;
}

// ---- class operations -------------------------------------------------------

bool QVAppDelegate::fileIsEncryptedFolder(const std::string& path) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return false;
    bool found = false;
    while (const dirent* e = ::readdir(dir)) {
        if (::strcasecmp(e->d_name, "_QXCFG.MOX") == 0) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

int64_t QVAppDelegate::totalBytesOfFinderItem(const std::string& path) {
    return platform::tallyTree(path, {[](std::string_view name) { return name.starts_with('.'); }})
        .bytes;
}

std::string QVAppDelegate::siUnitStringForBytes(int64_t bytes) {
    return app::siUnitStringForBytes(bytes);
}

std::string QVAppDelegate::progressTimeStringForSeconds(int64_t seconds) {
    return app::progressTimeStringForSeconds(seconds);
}

// ---- wiring -------------------------------------------------------------------

void QVAppDelegate::setMainWindowController(QVMainWindowInterface* controller) {
    mainWindow_ = controller;
}

void QVAppDelegate::setTerminationHandler(std::function<platform::TerminateReply()> handler) {
    terminationHandler_ = std::move(handler);
}

platform::ActivationPolicy QVAppDelegate::activationPolicy() const {
    auto* app = platform::Application::shared();
    return app ? app->activationPolicy() : localPolicy_;
}

void QVAppDelegate::setActivationPolicy(platform::ActivationPolicy policy) {
    localPolicy_ = policy;
    if (auto* app = platform::Application::shared()) app->setActivationPolicy(policy);
}

// ---- known and tracked folders ----------------------------------------------

void QVAppDelegate::loadFolders(const char* key, platform::Value::Dictionary& bookmarks,
                                std::map<std::string, std::string>& urls) {
    urls.clear();
    const platform::Value stored = defaults_.objectForKey(key);
    const auto* dict = stored.ifDictionary();
    if (!dict) {
        bookmarks = {};
        return;
    }
    bookmarks = *dict;
    for (const auto& [uuid, value] : bookmarks) {
        auto data = platform::bookmarkDataFromValue(value);
        if (!data) continue;
        // An unresolvable bookmark stays stored: its folder may come back.
        if (auto path = platform::resolveBookmarkData(*data)) urls[*path] = *path;
    }
}

void QVAppDelegate::addKnownFolderWithId(const std::string& uuid, const std::string& path,
                                         bool track) {
    if (uuid.empty() || path.empty()) {
        LGLogWarn("AppDelegate > addKnownFolder > tried to add nil");
        return;
    }
    knownUrls_[path] = path;
    platform::Error error;
    auto bookmark = platform::bookmarkDataForPath(path, &error);
    if (bookmark) {
        knownBookmarks_.set(uuid, platform::Value(*bookmark));
    } else {
        LGLogError("appDelegate > addKnownFolder > could not add %s %s", path.c_str(),
                   error.description.c_str());
    }
    defaults_.setObject(kKnownFoldersKey, platform::Value(knownBookmarks_));
    updateKnownFoldersMenu();
    if (track) {
        trackedUrls_[path] = path;
        if (bookmark) trackedBookmarks_.set(uuid, platform::Value(*bookmark));
        defaults_.setObject(kTrackedFoldersKey, platform::Value(trackedBookmarks_));
    }
}

int64_t QVAppDelegate::totalBytesOfAllKnownFolders() {
    int64_t sum = 0;
    for (const auto& [path, url] : knownUrls_) sum += totalBytesOfFinderItem(url);
    ++knownTotal_->latest;  // a sum still on its way is older
    if (sum != knownTotal_->bytes) {
        knownTotal_->bytes = sum;
        updateKnownFoldersMenu();
    }
    return sum;
}

int64_t QVAppDelegate::totalBytesOfAllTrackedFolders() {
    int64_t sum = 0;
    for (const auto& [path, url] : trackedUrls_) sum += totalBytesOfFinderItem(url);
    ++trackedTotal_->latest;  // a sum still on its way is older
    trackedTotal_->bytes = sum;
    return sum;
}

void QVAppDelegate::recomputeTotalBytesOfAllKnownFolders() {
    recomputeTotal(knownTotal_, knownUrls_);
}

void QVAppDelegate::recomputeTotalBytesOfAllTrackedFolders() {
    recomputeTotal(trackedTotal_, trackedUrls_);
}

void QVAppDelegate::recomputeTotal(const std::shared_ptr<FolderTotal>& total,
                                   const std::map<std::string, std::string>& urls) {
    std::vector<std::string> paths;
    for (const auto& [path, url] : urls) paths.push_back(url);
    const uint64_t request = ++total->latest;
    if (!sizeQueue_) sizeQueue_ = platform::DispatchQueue::serial("tessaro.sizes");
    sizeQueue_->async([total, request, paths = std::move(paths)] {
        if (total->latest != request) return;  // a newer request follows: walk once
        int64_t sum = 0;
        for (const auto& p : paths) sum += totalBytesOfFinderItem(p);
        platform::mainQueue()->async([total, request, sum] {
            if (total->latest == request) total->bytes = sum;
        });
    });
}

void QVAppDelegate::updateKnownFoldersMenu() {
    if (onMainThread()) {
        refreshKnownFoldersMenu();
        return;
    }
    // The volume's thread calls this: post, never wait for the main thread.
    std::weak_ptr<QVAppDelegate> weak = weak_from_this();
    platform::mainQueue()->async([weak] {
        if (auto self = weak.lock()) self->refreshKnownFoldersMenu();
    });
}

void QVAppDelegate::refreshKnownFoldersMenu() {
    knownFoldersMenu_->clear();
    for (const auto& [path, url] : knownUrls_) {
        QAction* item = knownFoldersMenu_->addAction(QString::fromStdString(path));
        item->setData(QString::fromStdString(url));
        QObject::connect(item, &QAction::triggered, [this, url = url] {
            platform::runGuarded("AppDelegate > openKnownFolder", [&] { openKnownFolder(url); });
        });
    }
}

void QVAppDelegate::openKnownFolder(const std::string& path) {
    if (mainWindow_ && fileIsEncryptedFolder(path)) mainWindow_->addVolumes({path});
}

// ---- showing ----------------------------------------------------------------

void QVAppDelegate::show() {
    if (!mainWindow_) return;
    mainWindow_->sourceListDidChangeSelectedItemPath(mainWindow_->currentVolumePath());
    setActivationPolicy(platform::ActivationPolicy::Regular);
    mainWindow_->showWindow();
}

void QVAppDelegate::showEncryptedFolder(const std::string& path) {
    show();
    if (mainWindow_) mainWindow_->addVolumes({path});
}

void QVAppDelegate::showInfoForFolder(const std::string& path) {
    show();
    if (!mainWindow_) return;
    if (fileIsEncryptedFolder(path)) {
        mainWindow_->addVolumes({path});
    } else {
        LGLogWarn("Open tessaro URL > open path > path is not encrypted folder");
    }
    mainWindow_->showInfoPanel();
}

void QVAppDelegate::showNewEncryptedFolder() {
    show();
    if (mainWindow_) mainWindow_->showNewCryptFolderSheet();
}

void QVAppDelegate::showTour() {
    if (!tour_ && c_.makeTour) tour_ = c_.makeTour();
    if (tour_) tour_->show();
}

std::string QVAppDelegate::versionText() {
    return platform::formatText("Version %@ (%@)", {app::kVersion, app::kBuildNumber});
}

void QVAppDelegate::showAboutBox() {
    if (!aboutWindow_) {
        aboutWindow_ = new QDialog;
        aboutWindow_->setWindowTitle("About Tessaro");
        auto* layout = new QVBoxLayout(aboutWindow_);
        auto* name = new QLabel("<b>Tessaro</b>", aboutWindow_);
        name->setAlignment(Qt::AlignHCenter);
        auto* version = new QLabel(aboutWindow_);
        version->setObjectName("aboutVersionLabel");
        version->setAlignment(Qt::AlignHCenter);
        auto* text = new QTextBrowser(aboutWindow_);
        text->setObjectName("aboutBoxTextView");
        text->setOpenExternalLinks(true);
        layout->addWidget(name);
        layout->addWidget(version);
        layout->addWidget(text);
        aboutWindow_->resize(420, 320);
    }
    aboutWindow_->findChild<QLabel*>("aboutVersionLabel")
        ->setText(QString::fromStdString(versionText()));
    aboutWindow_->findChild<QTextBrowser*>("aboutBoxTextView")
        ->setHtml(QString::fromUtf8(app::kCreditsHTML));
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect r = aboutWindow_->frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        aboutWindow_->move(r.topLeft());
    }
    aboutWindow_->show();
    aboutWindow_->raise();
}

// ---- status menu -------------------------------------------------------------

void QVAppDelegate::startHelper() {
    if (statusMenu_ || !c_.makeStatusMenu) return;
    statusMenu_ = c_.makeStatusMenu(*this);
    if (mainWindow_) mainWindow_->setStatusMenuController(statusMenu_.get());
}

void QVAppDelegate::installFuse() {
    if (c_.installFuse) c_.installFuse(*this);
}

void QVAppDelegate::quitIfNoHelper() {
    if (auto* app = platform::Application::shared()) app->terminate();
}

// ---- lifecycle ----------------------------------------------------------------

void QVAppDelegate::applicationWillFinishLaunching() {
    if (!c_.moveToApplicationsOffer) return;
    // The offer comes first: nothing else shows until it is answered, and a
    // copy that moves starts afresh (its first start shows the tour).
    std::weak_ptr<QVAppDelegate> weak = weak_from_this();
    waitingForMoveOffer_ = c_.moveToApplicationsOffer([weak] {
        auto self = weak.lock();
        if (!self || !self->waitingForMoveOffer_) return;
        self->waitingForMoveOffer_ = false;
        if (!self->launchReported_) return;
        self->finishLaunching();
        auto held = std::move(self->heldOpenRequests_);
        for (const auto& paths : held) self->openFiles(paths);
    });
}

void QVAppDelegate::applicationDidFinishLaunching() {
    launchReported_ = true;
    if (!waitingForMoveOffer_) finishLaunching();
}

// The first start's tour, 0.5 s on. Shown over an alert of the start (a
// folder that cannot be opened), it would hide what the user has to answer
// first: it waits until no alert is open.
void QVAppDelegate::showFirstTourLater() {
    std::weak_ptr<QVAppDelegate> weak = weak_from_this();
    platform::dispatchAfter(
        kTourDelay, platform::mainQueue(),
        [weak] {
            auto self = weak.lock();
            if (!self) return;
            if (platform::visibleAlerts().empty())
                self->showTour();
            else
                self->showFirstTourLater();
        },
        clock_);
}

void QVAppDelegate::finishLaunching() {
    // The main window is up before launching is reported done.
    if (mainWindow_) mainWindow_->showWindow();
    platform::consoleLog("Application did Finish Launching");
    if (c_.startCrashReporter) c_.startCrashReporter();
    if (!defaults_.boolForKey(kHasStartedBeforeKey)) {
        showFirstTourLater();
        defaults_.setObject(kHasStartedBeforeKey, true);
    }
    // Without a usable FUSE no status menu starts for the whole run.
    if (c_.fuseCheck && c_.fuseCheck(*this) && !statusMenu_) startHelper();
    updateKnownFoldersMenu();
    if (c_.startRatePrompt) c_.startRatePrompt(*this);
}

int QVAppDelegate::openFiles(const std::vector<std::string>& paths) {
    if (waitingForMoveOffer_) {
        heldOpenRequests_.push_back(paths);
        return platform::kOpenRequestNoReply;
    }
    std::string list;
    for (const auto& p : paths) list += (list.empty() ? "" : ", ") + p;
    LGLogInfo("Application open files: %s", list.c_str());
    std::vector<std::string> folders;
    for (const auto& p : paths) {
        if (fileIsEncryptedFolder(p)) folders.push_back(p);
    }
    if (folders.empty()) {
        platform::Alert alert;
        alert.messageText = localizedString("alertFolderNotEncryptedTitle");
        alert.informativeText =
            platform::formatText("%@", {localizedString("alertFolderNotEncryptedMsg")});
        alert.buttons = {localizedString("OK")};
        alert.open(nullptr);
        return platform::kOpenRequestFailure;
    }
    if (activationPolicy() != platform::ActivationPolicy::Regular) {
        // Running as a tray accessory: the status menu's mount road, first folder only.
        std::weak_ptr<QVAppDelegate> weak = weak_from_this();
        const std::string first = folders.front();
        platform::dispatchAfter(
            kOpenRequestDelay, platform::mainQueue(),
            [weak, first] {
                auto self = weak.lock();
                if (self && self->statusMenu_) self->statusMenu_->mountFolderAtUrl(first);
            },
            clock_);
        return platform::kOpenRequestNoReply;
    }
    if (mainWindow_) mainWindow_->addVolumes(folders);
    return platform::kOpenRequestSuccess;
}

bool QVAppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
    if (!mainWindow_) return true;
    if (activationPolicy() != platform::ActivationPolicy::Regular) {
        mainWindow_->sourceListDidChangeSelectedItemPath(mainWindow_->currentVolumePath());
        setActivationPolicy(platform::ActivationPolicy::Regular);
    }
    mainWindow_->showWindow();
    return true;
}

bool QVAppDelegate::applicationShouldTerminateAfterLastWindowClosed() {
    if (mainWindow_) mainWindow_->lockCurrentFolder();
    if (isHelperRunning()) {
        if (mainWindow_) mainWindow_->hideWindow();
        setActivationPolicy(platform::ActivationPolicy::Prohibited);
        return false;
    }
    return true;
}

platform::TerminateReply QVAppDelegate::applicationShouldTerminate() {
    // A copy in the window ends first, while both of its sides are there.
    if (mainWindow_) mainWindow_->stopCopying();
    // Every decrypted volume is unmounted before the process goes, so that
    // none stays behind without its server.
    return terminationHandler_ ? terminationHandler_() : platform::TerminateReply::Now;
}

void QVAppDelegate::applicationWillTerminate() {
    LGLog::applicationWillTerminate();
}

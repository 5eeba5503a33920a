#include "mounting/QVFuseLoopbackController.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Logging/LGLogMacros.h"
#include "folder/FolderPaths.h"
#include "platform/core/MountTable.h"
#include "platform/core/PathPieces.h"
#include "platform/core/Process.h"
#include "platform/core/UniqueFd.h"
#include "platform/core/UserDefaults.h"
#include "platform/fuse/MountRoot.h"
#include "platform/gui/StringTable.h"
#include "utilities/QVPasswordStore.h"

namespace {

constexpr const char* kUserNameKey = "UserName-%@";
constexpr const char* kDontAskExtensionKey = "dontAskToAddExtension-%@";

std::string keyFor(const char* format, const std::string& uuid) {
    return platform::formatText(format, {uuid});
}

bool hasZelExtension(const std::string& path) {
    std::string name(platform::lastComponent(path));
    auto dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    return ext == "zel";
}

// The immutable attribute would refuse every write through the volume.
void clearImmutableFlag(const std::string& path) {
    platform::UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int flags = 0;
    if (!fd.ok() || ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0 || !(flags & FS_IMMUTABLE_FL))
        return;
    flags &= ~FS_IMMUTABLE_FL;
    (void)ioctl(fd.get(), FS_IOC_SETFLAGS, &flags);
}

}  // namespace

QVFuseLoopbackController::QVFuseLoopbackController(Collaborators c)
    : c_(std::move(c)),
      defaults_(c_.defaults ? *c_.defaults : platform::UserDefaults::standard()),
      clock_(c_.clock ? *c_.clock : platform::systemClock()) {
    if (c_.mountRoot.empty()) c_.mountRoot = platform::mountRoot(defaults_);
}

QVFuseLoopbackController::~QVFuseLoopbackController() {
    // Volumes still mounted go with their servers; their keys go too.
    for (auto& [path, volume] : volumes_) {
        volume.fileSystem.reset();
        if (volume.loopback) volume.loopback->volumeDidUnmount();
    }
}

std::string QVFuseLoopbackController::text(const std::string& key) const {
    return c_.localized ? c_.localized(key) : key;
}

void QVFuseLoopbackController::after(platform::Clock::duration delay,
                                     std::function<void(QVFuseLoopbackController&)> f) {
    std::weak_ptr<QVFuseLoopbackController> weak = weak_from_this();
    platform::dispatchAfter(
        delay, platform::mainQueue(),
        [weak, f = std::move(f)] {
            if (auto self = weak.lock()) f(*self);
        },
        clock_);
}

std::string QVFuseLoopbackController::folderUuid(const std::string& folderPath) const {
    QVFileSystem fs;
    return fs.uuidOfUnmountedVolume(folderPath).value_or("");
}

// ---- the panel's road -------------------------------------------------------

void QVFuseLoopbackController::askForFolderToMount(const std::optional<std::string>& directory) {
    const char* home = std::getenv("HOME");
    std::weak_ptr<QVFuseLoopbackController> weak = weak_from_this();
    c_.host->askForFolder(text("openEncrypteFolderPanelTitle"),
                          directory.value_or(home ? home : "/"),
                          [weak](std::optional<std::string> chosen) {
                              auto self = weak.lock();
                              if (self && chosen) self->showPasswordPanelForFolder(*chosen);
                          });
}

void QVFuseLoopbackController::showPasswordPanelForFolder(const std::string& folderPath) {
    if (folderPath.empty()) {
        LGLogError("LoopbackController > showPasswordPanelForFolder > folder is nil");
        return;
    }
    c_.panel->setPassword("");
    prefilledPassword_.reset();
    ++unlockGeneration_;
    if (unlocking_) {
        unlocking_ = false;
        c_.panel->setUnlocking(false);
    }
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(folderPath, ec);
    // The file manager shows the volume once it is mounted, and only that:
    // the encrypted folder's own files are of no use there.
    selectedFolderPath_ = ec ? folderPath : canonical.string();

    if (auto mounted = mountPathsForFolders_.find(selectedFolderPath_);
        mounted != mountPathsForFolders_.end() && volumes_.count(mounted->second)) {
        after(kAlreadyMountedDelay, [](auto& self) { self.navigateToSelectedMountedVolume(); });
        return;
    }

    c_.panel->showPage(0);
    c_.panel->setLabelText(platform::formatText(
        text("folderIsEncrypted"), {std::string(platform::lastComponent(selectedFolderPath_))}));
    QVFileSystem fs;
    selectedUuid_ = fs.uuidOfUnmountedVolume(selectedFolderPath_).value_or("");
    std::vector<std::string> names;
    for (const auto& user : fs.usersForFolderAtPath(selectedFolderPath_))
        names.push_back(user.shortUserName());
    c_.panel->setUserNames(names);
    if (names.empty()) return;

    observeRememberAvailability();
    const bool canRemember = c_.passwords && c_.passwords->isAvailable();
    c_.panel->setRememberAvailable(canRemember,
                                   canRemember ? "" : text("rememberPasswordUnavailable"));
    auto lastUser = defaults_.stringForKey(keyFor(kUserNameKey, selectedUuid_));
    if (lastUser && std::find(names.begin(), names.end(), *lastUser) != names.end()) {
        c_.panel->selectUserName(*lastUser);
        fillPasswordFor(*lastUser);
    } else {
        c_.panel->setRememberPassword(false);
    }

    c_.panel->showPanel();
    after(kPanelRefocusDelay, [](auto& self) { self.c_.panel->bringToFront(); });
}

void QVFuseLoopbackController::observeRememberAvailability() {
    if (observingAvailability_ || !c_.passwords) return;
    observingAvailability_ = true;
    // The store answers in the background: a panel opened before it did
    // learns it here, on the main thread.
    std::weak_ptr<QVFuseLoopbackController> weak = weak_from_this();
    c_.passwords->observeAvailability([weak](bool available) {
        platform::mainQueue()->async([weak, available] {
            auto self = weak.lock();
            if (!self) return;
            self->c_.panel->setRememberAvailable(
                available, available ? "" : self->text("rememberPasswordUnavailable"));
            auto user = self->c_.panel->selectedUserName();
            if (available && user && !user->empty() && self->c_.panel->password().empty())
                self->fillPasswordFor(*user);
        });
    });
}

void QVFuseLoopbackController::fillPasswordFor(const std::string& user) {
    prefilledPassword_.reset();
    std::optional<std::string> found;
    auto service = app::folderPasswordService(user, selectedUuid_);
    // Only a store that has answered is asked: a lookup waits for it.
    if (service && c_.passwords && c_.passwords->isAvailable())
        found = c_.passwords->lookup(*service, app::loginUserName());
    if (found) {
        c_.panel->setPassword(*found);
        prefilledPassword_ = found;
    }
    c_.panel->setRememberPassword(found.has_value());
}

void QVFuseLoopbackController::changeUser() {
    auto user = c_.panel->selectedUserName();
    if (!user || user->empty()) {
        c_.panel->setPassword("");
        c_.panel->setRememberPassword(false);
        prefilledPassword_.reset();
        return;
    }
    fillPasswordFor(*user);
    if (!prefilledPassword_) c_.panel->setPassword("");
}

void QVFuseLoopbackController::closePasswordPrompt(bool fromApplyButton) {
    if (!fromApplyButton) {
        c_.panel->hidePanel();
        c_.panel->setPassword("");
        prefilledPassword_.reset();
        ++unlockGeneration_;
        if (unlocking_) {
            unlocking_ = false;
            c_.panel->setUnlocking(false);
        }
        return;
    }
    if (applyRunning_ || unlocking_) return;
    const std::string password = c_.panel->password();
    const std::string uuid = folderUuid(selectedFolderPath_);
    const std::string dontAsk = keyFor(kDontAskExtensionKey, uuid);
    if (defaults_.boolForKey(dontAsk) || hasZelExtension(selectedFolderPath_)) {
        continueApply(password);
        return;
    }
    applyRunning_ = true;
    std::weak_ptr<QVFuseLoopbackController> weak = weak_from_this();
    c_.host->showAlert(
        text("appendFileExtensionAlertTitle"), text("appendFileExtensionAlertMsg"),
        {text("appendFileExtensionAlertAppend"), text("appendFileExtensionAlertCancel")},
        [weak, dontAsk, password](int button) {
            auto self = weak.lock();
            if (!self) return;
            self->applyRunning_ = false;
            if (button == 0) {
                // Never over an existing item: that would lose it.
                const std::string renamed = self->selectedFolderPath_ + ".zel";
                if (renameat2(AT_FDCWD, self->selectedFolderPath_.c_str(), AT_FDCWD,
                              renamed.c_str(), RENAME_NOREPLACE) == 0)
                    self->selectedFolderPath_ = renamed;
                else
                    LGLogError("LoopbackController > append extension > rename %s failed: %s",
                               self->selectedFolderPath_.c_str(), std::strerror(errno));
            } else {
                self->defaults_.setObject(dontAsk, platform::Value(true));
            }
            self->continueApply(password);
        });
}

void QVFuseLoopbackController::continueApply(const std::string& password) {
    auto fs = std::make_shared<QVFileSystem>();
    fs->setUsername(c_.panel->selectedUserName());
    mountFileSystem(fs, password);
}

void QVFuseLoopbackController::manageSelectedFolderInGUI() {
    if (c_.showInfoForFolder) c_.showInfoForFolder(selectedFolderPath_);
    c_.panel->hidePanel();
}

void QVFuseLoopbackController::navigateToSelectedMountedVolume() {
    if (auto mountPath = mountPathOfFolder(selectedFolderPath_))
        navigateFinderToMountedVolumeAtPath(*mountPath);
    c_.panel->hidePanel();
    c_.host->setActivationPolicy(2);
}

void QVFuseLoopbackController::navigateFinderToMountedVolumeAtPath(const std::string& mountPath) {
    std::vector<std::string> entries;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(mountPath, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        entries.push_back(it->path().string());
    std::sort(entries.begin(), entries.end());
    c_.host->showItemInFileManager(entries.empty() ? mountPath : entries.front());
}

// ---- unlocking and mounting ---------------------------------------------------

void QVFuseLoopbackController::mountFileSystem(const std::shared_ptr<QVFileSystem>& fs,
                                               const std::optional<std::string>& password) {
    if (!fs) {
        LGLogError("%s > mountFileSystemWithPW > fs is nil", "QVFuseLoopbackController.cpp");
        return;
    }
    if (!password || unlocking_) return;
    unlocking_ = true;
    c_.panel->setUnlocking(true);
    const uint64_t generation = ++unlockGeneration_;
    const std::string folder = selectedFolderPath_;
    std::weak_ptr<QVFuseLoopbackController> weak = weak_from_this();
    // The defaults are the process's (or a test's, which waits for the end).
    platform::UserDefaults* defaults = &defaults_;
    platform::globalQueue(platform::QueuePriority::High)->async([=] {
        // The database reads and the key derivation: a folder may demand
        // many records, and a slow disk makes each longer.
        QVFileSystem probe;
        const std::string uuid = probe.uuidOfUnmountedVolume(folder).value_or("");
        if (!fs->username() || fs->username()->empty())
            fs->setUsername(defaults->stringForKey(keyFor(kUserNameKey, uuid)));
        platform::Error error;
        const bool unlocked = fs->mountEncryptedFolder(folder, password, &error);
        if (!unlocked)
            LGLogInfo("LoopbackController > mountFileSystemWithPW > %s", error.description.c_str());
        platform::mainQueue()->async([=] {
            auto self = weak.lock();
            if (!self || self->unlockGeneration_ != generation) {
                if (unlocked) fs->unmount();
                return;
            }
            self->unlockDidEnd(fs, folder, uuid, *password, unlocked);
        });
    });
}

void QVFuseLoopbackController::unlockDidEnd(const std::shared_ptr<QVFileSystem>& fs,
                                            const std::string& folderPath, const std::string& uuid,
                                            const std::string& password, bool unlocked) {
    unlocking_ = false;
    c_.panel->setUnlocking(false);
    if (!unlocked) {
        c_.panel->shake();
        return;
    }
    clearImmutableFlag(folderPath);
    const std::string user = fs->username().value_or("");
    if (auto service = app::folderPasswordService(user, uuid);
        service && c_.panel->rememberPassword()) {
        // A password the store filled in is there already.
        if (c_.passwords && password != prefilledPassword_ &&
            !c_.passwords->store(*service, app::loginUserName(), password))
            LGLogWarn("LoopbackController > remember password > not stored");
        defaults_.setObject(keyFor(kUserNameKey, uuid), platform::Value(user));
    }
    if (c_.addKnownFolder) c_.addKnownFolder(uuid, folderPath, fs->isCreatedOnMac());
    mountFuseFSWithFileSystem(fs);
    c_.host->setActivationPolicy(2);
    c_.panel->hidePanel();
    c_.panel->setPassword("");
    prefilledPassword_.reset();
}

bool QVFuseLoopbackController::mountPathIsOccupied(const std::string& path) {
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx) != 0)
        return errno == ENOTCONN;  // a volume whose server is gone; other
                                   // failures are the mount's to report
    if (!S_ISDIR(sx.stx_mode)) return true;
    if (platform::isMountRoot(sx)) return true;
    DIR* dir = opendir(path.c_str());
    if (!dir) return true;
    bool empty = true;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            empty = false;
            break;
        }
    }
    closedir(dir);
    return !empty;
}

std::string QVFuseLoopbackController::mountPathForFolder(const std::string& folderPath) const {
    return platform::mountPathForFolder(c_.mountRoot, folderPath, text("decryptedFolderExtension"),
                                        [this](const std::string& candidate) {
                                            return volumes_.count(candidate) > 0 ||
                                                   mountPathIsOccupied(candidate);
                                        });
}

void QVFuseLoopbackController::mountFuseFSWithFileSystem(const std::shared_ptr<QVFileSystem>& fs) {
    if (!fs) {
        LGLogError("%s > mountFolderAtPath > fs is nil", "QVFuseLoopbackController.cpp");
        return;
    }
    const std::string folder = fs->volumePath().value_or(selectedFolderPath_);
    const std::string name(FolderPaths::kConfigDatabaseName);
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    struct stat st;
    if (stat((folder + "/" + name).c_str(), &st) != 0 &&
        stat((folder + "/" + lower).c_str(), &st) != 0) {
        c_.host->showAlert("Could not mount",
                           platform::formatText("The folder '%@' is not encrypted with Tessaro "
                                                "and cannot be mounted.",
                                                {folder}),
                           {"OK"}, [](int) {});
        fs->unmount();
        return;
    }

    const std::string mountPath = mountPathForFolder(folder);
    std::vector<std::string> options;
    options.push_back("volicon=" + c_.volumeIconPath);
    std::string volname(platform::lastComponent(mountPath));
    if (auto dot = volname.rfind('.'); dot != std::string::npos && dot > 0) volname.resize(dot);
    options.push_back("volname=" + volname);

    auto loopback = std::make_shared<QVFuseLoopbackFS>(fs, c_.knownFoldersMenu);
    loopback->setDelegate(weak_from_this());
    loopback->setMountPath(mountPath);
    auto volume = std::make_shared<platform::UserFileSystem>(loopback);
    // One handler per volume: each of its events is handled once.
    std::weak_ptr<QVFuseLoopbackController> weak = weak_from_this();
    const platform::UserFileSystem* source = volume.get();
    volume->setEventHandler([weak, source](const platform::UserFileSystemEvent& event) {
        if (auto self = weak.lock()) self->handleEvent(event, source);
    });
    volumes_[mountPath] = Volume{volume, loopback, folder};
    mountPathsForFolders_[folder] = mountPath;
    // A failure arrives as the MountFailed event too.
    volume->mountAtPath(mountPath, options);
}

// ---- the volume's events -----------------------------------------------------

void QVFuseLoopbackController::handleEvent(const platform::UserFileSystemEvent& event,
                                           const platform::UserFileSystem* source) {
    auto it = volumes_.find(event.mountPath);
    if (it == volumes_.end() || it->second.fileSystem.get() != source) return;
    switch (event.kind) {
        case platform::UserFileSystemEvent::Kind::DidMount:
            didMount(event.mountPath);
            break;
        case platform::UserFileSystemEvent::Kind::MountFailed:
            mountFailed(event.mountPath, event.error);
            break;
        case platform::UserFileSystemEvent::Kind::DidUnmount:
            didUnmount(event.mountPath);
            break;
    }
}

void QVFuseLoopbackController::didMount(const std::string& mountPath) {
    navigateFinderToMountedVolumeAtPath(mountPath);
    c_.host->addFavouriteVolume(mountPath);
    notifyVolumesChanged();
    // The has-bundle bit of the real folder has no counterpart here.
}

void QVFuseLoopbackController::mountFailed(const std::string& mountPath,
                                           const platform::Error& error) {
    LGLogError("kGMUserFileSystem Error: %s, userInfo=%s", error.description.c_str(),
               mountPath.c_str());
    c_.host->showAlert("Mount Failed", error.description, {"OK"}, [](int) {});
    forget(mountPath);
}

void QVFuseLoopbackController::didUnmount(const std::string& mountPath) {
    // The key goes at once; the entries stay until the desktop has let go.
    if (auto it = volumes_.find(mountPath); it != volumes_.end() && it->second.loopback)
        it->second.loopback->volumeDidUnmount();
    notifyVolumesChanged();
    after(kUnmountCleanupDelay, [mountPath](auto& self) {
        self.c_.host->removeFavouriteVolume(mountPath);
        self.forget(mountPath);
    });
}

void QVFuseLoopbackController::forget(const std::string& mountPath) {
    auto it = volumes_.find(mountPath);
    if (it == volumes_.end()) return;
    Volume volume = std::move(it->second);
    volumes_.erase(it);
    if (auto f = mountPathsForFolders_.find(volume.folderPath);
        f != mountPathsForFolders_.end() && f->second == mountPath)
        mountPathsForFolders_.erase(f);
    if (volume.loopback) volume.loopback->volumeDidUnmount();
    notifyVolumesChanged();
    if (volumes_.empty()) replyToQuit(true);
}

void QVFuseLoopbackController::notifyVolumesChanged() {
    if (volumesChanged_) volumesChanged_();
}

// ---- quitting -------------------------------------------------------------------

QVFuseLoopbackController::QuitAnswer QVFuseLoopbackController::applicationShouldTerminate() {
    if (volumes_.empty()) return QuitAnswer::Now;
    quitPending_ = true;
    for (auto& [path, volume] : volumes_) {
        platform::Error error;
        if (volume.fileSystem && volume.fileSystem->isMounted() &&
            !volume.fileSystem->unmount(&error))
            LGLogWarn("LoopbackController > unmount %s > %s", path.c_str(),
                      error.description.c_str());
    }
    after(kQuitAlertDelay, [](auto& self) {
        if (!self.quitPending_) return;
        std::weak_ptr<QVFuseLoopbackController> weak = self.weak_from_this();
        std::vector<std::string> busy;
        for (const auto& v : self.mountedVolumes()) busy.push_back(v.mountPath);
        self.c_.host->showAlert(
            "Could not unmount",
            "Not all decrypted folders could be unmounted. Probably some encrypted files are "
            "currently in use. Please close all encrypted files and try again." +
                self.busyVolumesText(busy),
            {"OK", "Quit anyway"}, [weak](int button) {
                auto me = weak.lock();
                if (!me) return;
                if (button == 1 && me->quitPending_) me->abandonVolumes();
                me->replyToQuit(button == 1);
            });
    });
    return QuitAnswer::Later;
}

void QVFuseLoopbackController::abandonVolumes() {
    // Servers that are detached but still serve open files; never destroyed,
    // since destroying one waits for its last file to close. They end with
    // the process.
    static auto* abandoned = new std::vector<std::shared_ptr<platform::UserFileSystem>>;
    for (auto& [path, volume] : volumes_) {
        c_.host->removeFavouriteVolume(path);
        if (!volume.fileSystem || !volume.fileSystem->isMounted()) continue;
        if (geteuid() == 0) {
            if (umount2(path.c_str(), MNT_DETACH) != 0)
                LGLogWarn("LoopbackController > detach %s > %s", path.c_str(),
                          std::strerror(errno));
        } else {
            platform::runProcess({"fusermount3", "-u", "-z", "-q", path});
        }
        // Empty once detached; a folder that holds anything else is not ours.
        ::rmdir(path.c_str());
        abandoned->push_back(volume.fileSystem);
    }
    volumes_.clear();
    mountPathsForFolders_.clear();
    notifyVolumesChanged();
}

// ---- ejecting --------------------------------------------------------------------

bool QVFuseLoopbackController::ejectVolumeAtPath(const std::string& mountPath) {
    auto it = volumes_.find(mountPath);
    if (it == volumes_.end() || !it->second.fileSystem || !it->second.fileSystem->isMounted())
        return true;
    platform::Error error;
    if (it->second.fileSystem->unmount(&error)) return true;  // did-unmount cleans up
    LGLogWarn("LoopbackController > eject %s > %s", mountPath.c_str(), error.description.c_str());
    showBusyAlert({mountPath});
    return false;
}

bool QVFuseLoopbackController::ejectVolumeOfFolder(const std::string& folderPath) {
    auto mountPath = mountPathOfFolder(folderPath);
    return !mountPath || ejectVolumeAtPath(*mountPath);
}

void QVFuseLoopbackController::ejectAll() {
    std::vector<std::string> busy;
    for (const auto& v : mountedVolumes()) {
        platform::Error error;
        auto fs = fileSystemAtPath(v.mountPath);
        if (fs && !fs->unmount(&error)) busy.push_back(v.mountPath);
    }
    if (!busy.empty()) showBusyAlert(busy);
}

void QVFuseLoopbackController::showBusyAlert(const std::vector<std::string>& mountPaths) {
    c_.host->showAlert("Could not unmount",
                       "These decrypted folders stay mounted: some encrypted files on them are "
                       "in use. Please close them and eject again." +
                           busyVolumesText(mountPaths),
                       {"OK"}, [](int) {});
}

std::string QVFuseLoopbackController::busyVolumesText(
    const std::vector<std::string>& mountPaths) const {
    std::string text;
    for (const auto& path : mountPaths) {
        auto it = volumes_.find(path);
        const std::string folder = it == volumes_.end() ? std::string() : it->second.folderPath;
        text += "\n\n\u201c" + std::string(platform::lastComponent(path)) + "\u201d";
        if (!folder.empty()) text += " (" + folder + ")";
        const auto programs = programsUsingVolume(path);
        if (programs.empty()) {
            text += ".";
            continue;
        }
        text += ", in use by ";
        for (size_t i = 0; i < programs.size(); ++i) text += (i ? ", " : "") + programs[i];
        text += ".";
    }
    return text;
}

std::vector<QVFuseLoopbackController::MountedVolume> QVFuseLoopbackController::mountedVolumes()
    const {
    std::vector<MountedVolume> list;
    for (const auto& [path, volume] : volumes_) {
        if (volume.fileSystem && volume.fileSystem->isMounted())
            list.push_back({path, volume.folderPath, std::string(platform::lastComponent(path))});
    }
    return list;
}

std::vector<std::string> QVFuseLoopbackController::programsUsingVolume(
    const std::string& mountPath, const std::string& procRoot) {
    // Only the links are read, never the files: a busy volume is not asked.
    auto onVolume = [&](const std::string& link) {
        char target[4096];
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return false;
        return platform::liesWithin(std::string_view(target, static_cast<size_t>(n)), mountPath);
    };
    std::vector<std::string> programs;
    for (pid_t pid : platform::runningProcessIds(procRoot)) {
        const std::string dir = procRoot + "/" + std::to_string(pid);
        bool holds = onVolume(dir + "/cwd") || onVolume(dir + "/root");
        if (!holds) {
            if (DIR* fds = ::opendir((dir + "/fd").c_str())) {
                while (const dirent* e = ::readdir(fds)) {
                    if (e->d_name[0] == '.') continue;
                    if (onVolume(dir + "/fd/" + e->d_name)) {
                        holds = true;
                        break;
                    }
                }
                ::closedir(fds);
            }
        }
        if (!holds) continue;
        std::string name;
        if (FILE* comm = std::fopen((dir + "/comm").c_str(), "re")) {
            char buf[64] = {};
            if (std::fgets(buf, sizeof buf, comm)) name = buf;
            std::fclose(comm);
        }
        while (!name.empty() && name.back() == '\n') name.pop_back();
        programs.push_back((name.empty() ? std::string("?") : name) + " (" + std::to_string(pid) +
                           ")");
    }
    return programs;
}

void QVFuseLoopbackController::replyToQuit(bool terminate) {
    if (!quitPending_) return;
    quitPending_ = false;
    c_.host->replyToApplicationShouldTerminate(terminate);
}

std::optional<std::string> QVFuseLoopbackController::mountPathOfFolder(
    const std::string& folderPath) const {
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(folderPath, ec);
    auto it = mountPathsForFolders_.find(ec ? folderPath : canonical.string());
    if (it == mountPathsForFolders_.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> QVFuseLoopbackController::mountPaths() const {
    std::vector<std::string> paths;
    for (const auto& [path, volume] : volumes_) paths.push_back(path);
    return paths;
}

std::shared_ptr<platform::UserFileSystem> QVFuseLoopbackController::fileSystemAtPath(
    const std::string& mountPath) const {
    auto it = volumes_.find(mountPath);
    return it == volumes_.end() ? nullptr : it->second.fileSystem;
}

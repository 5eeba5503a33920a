#include "app/logic/QVUnlockController.h"

#include <sys/stat.h>

#include "FileSystem/QVFileSystem.h"
#include "Logging/LGLogMacros.h"
#include "platform/core/Dispatch.h"
#include "platform/core/PathPieces.h"
#include "platform/core/UserDefaults.h"
#include "platform/gui/StringTable.h"
#include "utilities/QVPasswordStore.h"

using platform::localizedString;

struct QVUnlockController::Outcome {
    uint64_t generation = 0;
    std::shared_ptr<QVFileSystem> fs;
    std::string path;
    bool exists = true;
    std::string uuid;
    bool attempted = false;
    bool unlocked = false;
    bool remembered = false;  // a typed password went into the store
    std::vector<std::string> users;
};

QVUnlockController::QVUnlockController(Collaborators c)
    : c_(std::move(c)), alive_(std::make_shared<QVUnlockController*>(this)) {
    if (!c_.unlock) {
        c_.unlock = [](QVFileSystem& fs, const std::string& path, const std::string& password,
                       platform::Error* error) {
            return fs.mountEncryptedFolder(path, password, error);
        };
    }
}

QVUnlockController::~QVUnlockController() {
    *alive_ = nullptr;
}

void QVUnlockController::setFolder(std::shared_ptr<QVFileSystem> fs,
                                   std::optional<std::string> path) {
    ++generation_;
    running_ = false;
    pending_.reset();
    rememberedTried_ = false;
    fs_ = std::move(fs);
    path_ = std::move(path);
    if (!fs_ || !path_) return;
    start(Request{});
}

void QVUnlockController::submit(const std::string& password,
                                const std::optional<std::string>& user) {
    if (running_ || !fs_ || !path_) return;
    start(Request{password, user, c_.view->rememberPassword() && c_.passwords->isAvailable()});
}

void QVUnlockController::unlockWithPassword(const std::string& password,
                                            const std::optional<std::string>& user) {
    if (!fs_ || !path_) return;
    Request r{password, user, false};
    if (running_)
        pending_ = std::move(r);
    else
        start(std::move(r));
}

void QVUnlockController::folderWasLocked() {
    if (!fs_ || !path_ || running_) return;
    Request r;
    r.lookOnly = true;
    start(std::move(r));
}

void QVUnlockController::start(Request request) {
    running_ = true;
    if (!request.lookOnly) c_.view->showWrongPassword(false);
    c_.view->setUnlocking(true);
    // Only a store that has answered is asked: before that a lookup waits
    // on the service.
    const bool askStore = !request.password && !request.lookOnly && c_.passwords->isAvailable();
    if (!request.password && !request.lookOnly) {
        if (askStore)
            rememberedTried_ = true;
        else
            observeAvailability();
    }
    Outcome base;
    base.generation = generation_;
    base.fs = fs_;
    base.path = *path_;
    std::weak_ptr<QVUnlockController*> alive = alive_;
    // The store and the defaults are the process's (or a test's, which
    // waits for the work to end).
    QVPasswordStore* passwords = c_.passwords;
    platform::UserDefaults* defaults = c_.defaults;
    UnlockFunction unlock = c_.unlock;
    platform::globalQueue(platform::QueuePriority::High)->async([=, o = std::move(base)]() mutable {
        QVFileSystem& fs = *o.fs;
        struct stat st;
        if (::stat(o.path.c_str(), &st) != 0) {
            o.exists = false;
        } else {
            o.uuid = fs.uuidOfUnmountedVolume(o.path).value_or("");
            if (request.user) fs.setUsername(request.user);
            if (!fs.username()) {
                if (auto stored = defaults->stringForKey("UserName-" + o.uuid))
                    fs.setUsername(*stored);
            }
            const std::optional<std::string> service =
                app::folderPasswordService(fs.username().value_or(""), o.uuid);
            std::optional<std::string> password = request.password;
            if (askStore && service) password = passwords->lookup(*service, app::loginUserName());
            if (password && !request.lookOnly) {
                o.attempted = true;
                platform::Error error;
                o.unlocked = unlock(fs, o.path, *password, &error);
                if (!o.unlocked) LGLogInfo("Unlock > %s", error.description.c_str());
                // Only a typed password is remembered, and only where its
                // item names this folder and user alone.
                if (o.unlocked && request.remember && service)
                    o.remembered = passwords->store(*service, app::loginUserName(), *password);
            }
            if (!o.unlocked)
                for (const QVFpUser& u : fs.usersForFolderAtPath(o.path))
                    o.users.push_back(u.shortUserName());
        }
        platform::mainQueue()->async([alive, o = std::move(o)]() mutable {
            auto self = alive.lock();
            if (self && *self && (*self)->generation_ == o.generation) {
                (*self)->finish(std::move(o));
                return;
            }
            // Nobody shows this folder any more: it stays locked.
            if (o.unlocked) o.fs->unmount();
        });
    });
}

void QVUnlockController::finish(Outcome o) {
    running_ = false;
    c_.view->setUnlocking(false);
    if (!o.exists) {
        c_.view->showEjectingAlert(
            localizedString("folderNotFound"),
            platform::formatText(localizedString("folderNotFoundMsg"),
                                 {std::string(platform::lastComponent(o.path))}));
        return;
    }
    if (o.unlocked) {
        pending_.reset();
        if (o.remembered)
            c_.defaults->setObject("UserName-" + o.uuid, o.fs->username().value_or(""));
        if (c_.addKnownFolder)
            c_.addKnownFolder(o.uuid, o.fs->volumePath().value_or(o.path), o.fs->isCreatedOnMac());
        c_.view->folderDidUnlock();
        return;
    }
    if (pending_) {
        Request next = std::move(*pending_);
        pending_.reset();
        start(std::move(next));
        return;
    }
    if (o.attempted) c_.view->showWrongPassword(true);
    c_.view->showPasswordPage(o.users, o.fs->username().value_or(""));
    c_.view->setRememberAvailable(c_.passwords->isAvailable());
    c_.view->folderStaysLocked();
    if (o.users.empty()) {
        // Nothing a remembered password could open: a later keyring answer
        // must not tell the same reason again.
        rememberedTried_ = true;
        c_.view->showEjectingAlert(
            localizedString("Not supported"),
            platform::formatText(localizedString("certNotSupportedMsg"),
                                 {std::string(platform::lastComponent(o.path))}));
        return;
    }
    // The store answered while this ran.
    if (!o.attempted) availabilityChanged(c_.passwords->isAvailable());
}

void QVUnlockController::observeAvailability() {
    if (observing_) return;
    observing_ = true;
    std::weak_ptr<QVUnlockController*> alive = alive_;
    c_.passwords->observeAvailability([alive](bool available) {
        platform::mainQueue()->async([alive, available] {
            if (auto self = alive.lock(); self && *self) (*self)->availabilityChanged(available);
        });
    });
}

void QVUnlockController::availabilityChanged(bool available) {
    if (!fs_ || !path_ || running_) return;
    c_.view->setRememberAvailable(available);
    // The first answer: the remembered password of a folder still locked,
    // unless the user has begun typing one.
    if (available && !rememberedTried_ && !fs_->isMounted() && c_.view->typedPassword().empty())
        start(Request{});
}

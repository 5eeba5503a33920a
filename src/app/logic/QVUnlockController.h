#pragma once
// The main window's unlock road: a folder shown locked tries its remembered
// password, else asks for one on the password page; a typed password unlocks
// it or marks the page wrong. No Qt: the page is reached through QVUnlockView.
//
// Key derivation, the database reads and the keychain run on a background
// queue (a folder may demand many records, and a hung keyring or a slow disk
// takes longer); results come back on the main queue. While one runs the page
// is busy and a second submit is ignored. A result for a folder no longer
// shown, or for a controller gone, is dropped and its handle locked again.
//
// Main thread only. The keychain is asked only once it has answered:
// before that the page opens with remembering off, and the remembered
// password is tried when the first answer says it is available.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"

class QVFileSystem;
class QVPasswordStore;
namespace platform {
class UserDefaults;
}

class QVUnlockView {
  public:
    virtual ~QVUnlockView() = default;
    // While an unlock runs: the page's fields and button are off.
    virtual void setUnlocking(bool running) = 0;
    // The password page of the shown folder: its user names, the handle's
    // user selected where it is one of them.
    virtual void showPasswordPage(const std::vector<std::string>& users,
                                  const std::string& currentUser) = 0;
    // The remember box, off (with "rememberPasswordUnavailable") where no
    // store answers.
    virtual void setRememberAvailable(bool available) = 0;
    virtual bool rememberPassword() const = 0;
    // What is typed now: a remembered password never replaces it.
    virtual std::string typedPassword() const = 0;
    // The wrong-password mark; shown with a shake.
    virtual void showWrongPassword(bool shown) = 0;
    // The handle is unlocked: the browser page.
    virtual void folderDidUnlock() = 0;
    // The folder stays locked after an attempt or none.
    virtual void folderStaysLocked() {}
    // An alert whose only answer ejects the folder.
    virtual void showEjectingAlert(const std::string& title, const std::string& text) = 0;
};

class QVUnlockController {
  public:
    // The unlock itself, on a background thread. Tests slow it down.
    using UnlockFunction = std::function<bool(QVFileSystem& fs, const std::string& path,
                                              const std::string& password, platform::Error* error)>;

    struct Collaborators {
        QVUnlockView* view = nullptr;                // non-owning, required
        QVPasswordStore* passwords = nullptr;        // non-owning, required
        platform::UserDefaults* defaults = nullptr;  // non-owning, required
        // A folder unlocked: uuid, path, created on the original platform.
        std::function<void(const std::string&, const std::string&, bool)> addKnownFolder;
        UnlockFunction unlock;  // QVFileSystem::mountEncryptedFolder when empty
    };

    explicit QVUnlockController(Collaborators c);
    ~QVUnlockController();
    QVUnlockController(const QVUnlockController&) = delete;
    QVUnlockController& operator=(const QVUnlockController&) = delete;

    // The folder shown (none: nothing); what ran for the one before is
    // dropped. Tries the remembered password.
    void setFolder(std::shared_ptr<QVFileSystem> fs, std::optional<std::string> path);
    // The page's submit: ignored while an unlock runs.
    void submit(const std::string& password, const std::optional<std::string>& user);
    // A password the program has (a folder just made): runs after the
    // unlock running now, unless that one unlocked the folder.
    void unlockWithPassword(const std::string& password, const std::optional<std::string>& user);
    // The shown folder was locked: its password page again.
    void folderWasLocked();

    bool isUnlocking() const { return running_; }

  private:
    struct Request {
        std::optional<std::string> password;  // none: the remembered one
        std::optional<std::string> user;
        bool remember = false;  // store a typed password that unlocks
        bool lookOnly = false;  // the users for the page, no attempt
    };
    struct Outcome;

    void start(Request request);
    void finish(Outcome outcome);
    void observeAvailability();
    void availabilityChanged(bool available);

    Collaborators c_;
    std::shared_ptr<QVFileSystem> fs_;
    std::optional<std::string> path_;
    uint64_t generation_ = 0;
    bool running_ = false;
    // The remembered password was tried for the shown folder.
    bool rememberedTried_ = false;
    bool observing_ = false;
    std::optional<Request> pending_;
    std::shared_ptr<QVUnlockController*> alive_;
};

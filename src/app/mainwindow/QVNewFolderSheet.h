#pragma once
// The new-folder sheet: first user, display name and password (twice), the
// cipher and hash choices behind a disclosure button, checked while typed and
// on OK; then a save panel and the folder's creation. Window-modal.

#include <QDialog>
#include <functional>
#include <memory>
#include <string>

#include "app/logic/QVEncryptedFolderCreator.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
namespace platform {
class Clock;
class UserDefaults;
}  // namespace platform

class QVNewFolderSheet : public QDialog {
  public:
    static constexpr int kCollapsedHeight = 190;
    static constexpr int kExpandedHeight = 242;
    static constexpr int kExpandedThreshold = 240;

    // `created` gets a new folder's path, user name and password.
    using Created = std::function<void(const std::string& path, const std::string& user,
                                       const std::string& password)>;
    QVNewFolderSheet(platform::UserDefaults& defaults, platform::Clock& clock, Created created,
                     QWidget* parent);

    // Opens on `window` with empty password fields.
    void showSheet(QWidget* window);
    // The disclosure button; `fromButton` when the button itself was pressed.
    void toggleEncryptionSettings(bool fromButton);
    bool validateCryptFolderSheet();
    // OK (true) or Cancel.
    void closeSheet(bool ok);
    // After a confirmed sheet: the save panel's answer.
    void createAt(const std::string& path);

    QVEncryptedFolderCreator& creator() { return creator_; }
    QLineEdit* userNameField() const { return user_; }
    QLineEdit* displayNameField() const { return display_; }
    QLineEdit* passwordField() const { return password_; }
    QLineEdit* passwordConfirmField() const { return confirm_; }
    QComboBox* encryptionPopup() const { return cipher_; }
    QComboBox* hashPopup() const { return hash_; }
    QLabel* mismatchImage() const { return mismatch_; }
    QLabel* missingPasswordImage() const { return missingPassword_; }
    QLabel* missingUserNameImage() const { return missingUser_; }
    QWidget* cryptSettingsView() const { return settings_; }
    QLabel* currentEncryptionField() const { return summary_; }
    QPushButton* okButton() const { return ok_; }

  private:
    std::string summaryText() const;
    void didEndSheet(int code);

    platform::UserDefaults& defaults_;
    platform::Clock& clock_;
    Created created_;
    QVEncryptedFolderCreator creator_;
    bool filled_ = false;
    QWidget* window_ = nullptr;
    QLineEdit* user_;
    QLineEdit* display_;
    QLineEdit* password_;
    QLineEdit* confirm_;
    QComboBox* cipher_;
    QComboBox* hash_;
    QLabel* mismatch_;
    QLabel* missingPassword_;
    QLabel* missingUser_;
    QWidget* settings_;
    QLabel* summary_;
    QToolButton* triangle_;
    QPushButton* ok_;
    std::shared_ptr<QVNewFolderSheet*> alive_;
};

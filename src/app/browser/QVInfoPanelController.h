#pragma once
// The folder information panel: name, size, item count, modification date
// and cipher of the selected folder, and its users, which an administrator
// of the unlocked folder adds, removes and makes administrators. A folder
// always keeps one administrator: without one it could never get a new user.
//
//   auto* info = new QVInfoPanelController(mainWindow);
//   info->setFileSystem(handle, folderPath);   // on every selection
//   info->showInfoPanel();
//
// Main thread only; the size and count are computed on a low-priority queue,
// a new user is added on a background one, and a result for an earlier
// folder is dropped.

#include <QDialog>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileSystem/QVFileSystem.h"

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

class QVInfoPanelController : public QDialog {
  public:
    explicit QVInfoPanelController(QWidget* parent = nullptr);
    ~QVInfoPanelController() override;

    void setFileSystem(std::shared_ptr<QVFileSystem> fileSystem, const std::string& folderPath);
    void showInfoPanel();
    // The add-user sheet; only for an administrator.
    void showNewUserSheet();
    // ok: the sheet's OK button (the sheet stays while its checks fail).
    // The user is added in the background; the sheet closes when that ends,
    // and both buttons are ignored meanwhile.
    void closeAddUserSheet(bool ok);
    bool isAddingUser() const { return addingUser_; }
    // Asks first; "Delete" removes the selected user.
    void removeUser();
    void selectUser(int row);
    // The "isAdmin" check box of a row.
    bool setUserIsAdmin(int row, bool isAdmin);

    // The one rule for removing: an administrator asks, a user is selected,
    // the folder keeps another user, and the last administrator stays.
    static bool canRemoveUser(bool currentIsAdmin, const std::vector<QVFpUser>& users, int row);
    // Taking the administrator right away from the last administrator is refused.
    static bool canSetAdmin(bool currentIsAdmin, const std::vector<QVFpUser>& users, int row,
                            bool isAdmin);

    struct SheetCheck {
        bool mismatch = false, missingPassword = false, missingName = false;
        bool ok() const { return !mismatch && !missingPassword && !missingName; }
    };
    static SheetCheck validateAddUserSheet(const std::string& name, const std::string& password,
                                           const std::string& confirmation);
    // Whether the folder has a user that unlocking would take for `name`.
    static bool isUserNameTaken(const std::vector<QVFpUser>& users, const std::string& name);
    // While the confirmation is typed: a beginning of the password is no mismatch.
    static bool confirmationMismatch(const std::string& password, const std::string& confirmation);

    bool userIsAdmin() const { return userIsAdmin_; }
    const std::vector<QVFpUser>& users() const { return users_; }

    QLabel* folderNameLabel = nullptr;
    QLabel* folderSizeLabel = nullptr;
    QLabel* folderItemsLabel = nullptr;
    QLabel* folderModDateLabel = nullptr;
    QLabel* folderEncryptionLabel = nullptr;
    QLabel* folderHashLabel = nullptr;
    QTableWidget* usersTableView = nullptr;
    QPushButton* addUserButton = nullptr;
    QPushButton* removeUserButton = nullptr;
    QDialog* addUserPanel = nullptr;
    QLineEdit* addUserNameField = nullptr;
    QLineEdit* addUserDisplayNameField = nullptr;
    QLineEdit* addUserPasswordField = nullptr;
    QLineEdit* addUserPasswordConfirmField = nullptr;
    QCheckBox* addUserIsAdminCheck = nullptr;
    QLabel* addUserPasswordMismatchImage = nullptr;
    QLabel* addUserMissingPasswordImage = nullptr;
    QLabel* addUserMissingUserNameImage = nullptr;
    QLabel* addUserNameTakenLabel = nullptr;  // a name the folder has already

  private:
    void reloadUsers();
    void updateButtons();
    void addUserInBackground(const QVFpUser& user, const std::string& password);

    std::shared_ptr<QVFileSystem> fs_;
    std::string folderPath_;
    std::vector<QVFpUser> users_;
    bool userIsAdmin_ = false;
    int selectedRow_ = -1;
    bool filling_ = false;
    bool addingUser_ = false;
    QDialogButtonBox* addUserButtons_ = nullptr;
    std::shared_ptr<uint64_t> generation_ = std::make_shared<uint64_t>(0);
};

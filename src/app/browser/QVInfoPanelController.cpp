#include "app/browser/QVInfoPanelController.h"

#include <sys/stat.h>

#include <QCheckBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/QVAppDelegate.h"
#include "folder/FolderPaths.h"
#include "platform/core/Dispatch.h"
#include "platform/core/PathPieces.h"
#include "platform/core/TreeBytes.h"
#include "platform/gui/Alert.h"
#include "platform/gui/Application.h"
#include "platform/gui/StringTable.h"

namespace {

size_t adminCount(const std::vector<QVFpUser>& users) {
    return static_cast<size_t>(
        std::count_if(users.begin(), users.end(), [](const QVFpUser& u) { return u.isAdmin(); }));
}

// Every visible item beneath the folder and the sum of their sizes.
std::pair<int64_t, int64_t> sizeAndCount(const std::string& folder) {
    platform::TreeRules rules;
    rules.skip = [](std::string_view name) {
        return name.starts_with('.') || FolderPaths::isHiddenName(name);
    };
    rules.followRootLink = true;
    const platform::TreeTally tally = platform::tallyTree(folder, rules);
    return {tally.bytes, tally.items};
}

}  // namespace

QVInfoPanelController::QVInfoPanelController(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Info"));
    auto* layout = new QVBoxLayout(this);
    auto* facts = new QFormLayout;
    auto add = [&](const char* title, QLabel*& label) {
        label = new QLabel(this);
        facts->addRow(QString::fromUtf8(title), label);
    };
    add("Name:", folderNameLabel);
    add("Size:", folderSizeLabel);
    add("Items:", folderItemsLabel);
    add("Modified:", folderModDateLabel);
    add("Encryption:", folderEncryptionLabel);
    add("Hash:", folderHashLabel);
    layout->addLayout(facts);

    usersTableView = new QTableWidget(0, 2, this);
    usersTableView->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Admin")});
    usersTableView->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    usersTableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    usersTableView->setSelectionMode(QAbstractItemView::SingleSelection);
    usersTableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(usersTableView);
    connect(usersTableView, &QTableWidget::itemSelectionChanged, this, [this] {
        platform::runGuarded("info panel selection", [&] {
            auto rows = usersTableView->selectionModel()->selectedRows();
            selectUser(rows.isEmpty() ? -1 : rows.front().row());
        });
    });
    connect(usersTableView, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        platform::runGuarded("info panel admin", [&] {
            if (filling_ || item->column() != 1) return;
            setUserIsAdmin(item->row(), item->checkState() == Qt::Checked);
        });
    });

    auto* buttons = new QHBoxLayout;
    addUserButton = new QPushButton(QStringLiteral("+"), this);
    removeUserButton = new QPushButton(QStringLiteral("−"), this);
    buttons->addWidget(addUserButton);
    buttons->addWidget(removeUserButton);
    buttons->addStretch();
    layout->addLayout(buttons);
    connect(addUserButton, &QPushButton::clicked, this,
            [this] { platform::runGuarded("info panel add", [&] { showNewUserSheet(); }); });
    connect(removeUserButton, &QPushButton::clicked, this,
            [this] { platform::runGuarded("info panel remove", [&] { removeUser(); }); });

    addUserPanel = new QDialog(this);
    addUserPanel->setWindowModality(Qt::WindowModal);
    auto* form = new QFormLayout(addUserPanel);
    auto field = [&](const char* title, QLineEdit*& edit, QLabel** warning, bool secret) {
        edit = new QLineEdit(addUserPanel);
        if (secret) edit->setEchoMode(QLineEdit::Password);
        auto* row = new QHBoxLayout;
        row->addWidget(edit);
        if (warning) {
            *warning = new QLabel(QStringLiteral("⚠"), addUserPanel);
            (*warning)->hide();
            row->addWidget(*warning);
        }
        form->addRow(QString::fromUtf8(title), row);
    };
    field("User name:", addUserNameField, &addUserMissingUserNameImage, false);
    field("Display name:", addUserDisplayNameField, nullptr, false);
    field("Password:", addUserPasswordField, &addUserMissingPasswordImage, true);
    field("Confirm:", addUserPasswordConfirmField, &addUserPasswordMismatchImage, true);
    addUserMissingUserNameImage->setToolTip(QStringLiteral("Enter a user name."));
    addUserMissingPasswordImage->setToolTip(QStringLiteral("Enter a password."));
    addUserPasswordMismatchImage->setToolTip(
        QStringLiteral("The password and its confirmation differ."));
    addUserIsAdminCheck = new QCheckBox(QStringLiteral("Administrator"), addUserPanel);
    form->addRow(addUserIsAdminCheck);
    addUserNameTakenLabel = new QLabel(addUserPanel);
    addUserNameTakenLabel->setWordWrap(true);
    addUserNameTakenLabel->hide();
    form->addRow(addUserNameTakenLabel);
    auto* box = addUserButtons_ =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, addUserPanel);
    form->addRow(box);
    connect(box, &QDialogButtonBox::accepted, this,
            [this] { platform::runGuarded("add user ok", [&] { closeAddUserSheet(true); }); });
    connect(box, &QDialogButtonBox::rejected, this,
            [this] { platform::runGuarded("add user cancel", [&] { closeAddUserSheet(false); }); });
    connect(addUserPasswordField, &QLineEdit::textEdited, this,
            [this] { addUserMissingPasswordImage->hide(); });
    connect(addUserNameField, &QLineEdit::textEdited, this, [this] {
        addUserMissingUserNameImage->hide();
        addUserNameTakenLabel->hide();
    });
    connect(addUserPasswordConfirmField, &QLineEdit::textEdited, this, [this] {
        bool mismatch = confirmationMismatch(addUserPasswordField->text().toStdString(),
                                             addUserPasswordConfirmField->text().toStdString());
        if (!mismatch)
            addUserPasswordMismatchImage->hide();
        else if (addUserMissingPasswordImage->isHidden())
            addUserPasswordMismatchImage->show();
    });

    setFileSystem(nullptr, {});
}

QVInfoPanelController::~QVInfoPanelController() {
    ++*generation_;
}

bool QVInfoPanelController::canRemoveUser(bool currentIsAdmin, const std::vector<QVFpUser>& users,
                                          int row) {
    if (!currentIsAdmin || row < 0 || static_cast<size_t>(row) >= users.size() || users.size() < 2)
        return false;
    return !users[static_cast<size_t>(row)].isAdmin() || adminCount(users) > 1;
}

bool QVInfoPanelController::canSetAdmin(bool currentIsAdmin, const std::vector<QVFpUser>& users,
                                        int row, bool isAdmin) {
    if (!currentIsAdmin || row < 0 || static_cast<size_t>(row) >= users.size()) return false;
    const QVFpUser& user = users[static_cast<size_t>(row)];
    if (isAdmin || !user.isAdmin()) return true;
    return adminCount(users) > 1;
}

QVInfoPanelController::SheetCheck QVInfoPanelController::validateAddUserSheet(
    const std::string& name, const std::string& password, const std::string& confirmation) {
    SheetCheck c;
    c.mismatch = password != confirmation;
    c.missingPassword = password.empty();
    if (c.missingPassword) c.mismatch = false;
    c.missingName = name.empty();
    return c;
}

bool QVInfoPanelController::confirmationMismatch(const std::string& password,
                                                 const std::string& confirmation) {
    return !password.starts_with(confirmation);
}

void QVInfoPanelController::setFileSystem(std::shared_ptr<QVFileSystem> fileSystem,
                                          const std::string& folderPath) {
    fs_ = std::move(fileSystem);
    folderPath_ = folderPath;
    ++*generation_;
    userIsAdmin_ = false;
    selectedRow_ = -1;
    if (!fs_) {
        folderPath_.clear();
        users_.clear();
        folderNameLabel->setText(QStringLiteral("No folder selected"));
        for (QLabel* l :
             {folderSizeLabel, folderItemsLabel, folderEncryptionLabel, folderHashLabel})
            l->setText(QStringLiteral("--"));
        folderModDateLabel->clear();
        reloadUsers();
        return;
    }
    if (fs_->isMounted()) {
        folderEncryptionLabel->setText(QString::fromStdString(fs_->encryptionName()));
        auto me = fs_->authenticatedUser();
        userIsAdmin_ = me && me->isAdmin();
    } else {
        folderEncryptionLabel->setText(QStringLiteral("N/A - Folder is locked"));
    }
    folderHashLabel->setText(QStringLiteral("--"));
    users_ = fs_->usersForFolderAtPath(folderPath_);
    folderNameLabel->setText(
        QString::fromStdString(std::string(platform::lastComponent(folderPath_))));
    struct stat st {};
    std::string db = folderPath_ + "/" + std::string(FolderPaths::kConfigDatabaseName);
    if (::stat(db.c_str(), &st) == 0)
        folderModDateLabel->setText(QLocale().toString(
            QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec), QLocale::ShortFormat));
    else
        folderModDateLabel->clear();
    folderSizeLabel->setText(QStringLiteral("--"));
    folderItemsLabel->setText(QStringLiteral("--"));

    uint64_t generation = *generation_;
    std::weak_ptr<uint64_t> alive = generation_;
    std::string path = folderPath_;
    platform::globalQueue(platform::QueuePriority::Low)->async([=, this] {
        auto [size, count] = sizeAndCount(path);
        platform::mainQueue()->async([=, this, size = size, count = count] {
            auto still = alive.lock();
            if (!still || *still != generation) return;  // another folder by now
            folderSizeLabel->setText(
                QString::fromStdString(QVAppDelegate::siUnitStringForBytes(size)));
            folderItemsLabel->setText(QString::number(count));
        });
    });
    reloadUsers();
}

void QVInfoPanelController::showInfoPanel() {
    reloadUsers();
    show();
    raise();
}

void QVInfoPanelController::reloadUsers() {
    filling_ = true;
    usersTableView->clearContents();
    usersTableView->setRowCount(static_cast<int>(users_.size()));
    for (size_t i = 0; i < users_.size(); ++i) {
        int row = static_cast<int>(i);
        auto* name = new QTableWidgetItem(QString::fromStdString(users_[i].shortUserName()));
        usersTableView->setItem(row, 0, name);
        auto* admin = new QTableWidgetItem;
        admin->setCheckState(users_[i].isAdmin() ? Qt::Checked : Qt::Unchecked);
        Qt::ItemFlags f = Qt::ItemIsSelectable;
        if (canSetAdmin(userIsAdmin_, users_, row, !users_[i].isAdmin()))
            f |= Qt::ItemIsEnabled | Qt::ItemIsUserCheckable;
        admin->setFlags(f);
        usersTableView->setItem(row, 1, admin);
    }
    filling_ = false;
    if (selectedRow_ >= static_cast<int>(users_.size())) selectedRow_ = -1;
    updateButtons();
}

void QVInfoPanelController::updateButtons() {
    addUserButton->setEnabled(userIsAdmin_);
    removeUserButton->setEnabled(canRemoveUser(userIsAdmin_, users_, selectedRow_));
}

void QVInfoPanelController::selectUser(int row) {
    selectedRow_ = row >= 0 && static_cast<size_t>(row) < users_.size() ? row : -1;
    updateButtons();
}

bool QVInfoPanelController::setUserIsAdmin(int row, bool isAdmin) {
    bool allowed = canSetAdmin(userIsAdmin_, users_, row, isAdmin);
    if (allowed) {
        QVFpUser user = users_[static_cast<size_t>(row)];
        user.setIsAdmin(isAdmin);
        allowed = fs_->updateUserPermission(user);
        users_ = fs_->usersForFolderAtPath(folderPath_);
    }
    reloadUsers();
    return allowed;
}

bool QVInfoPanelController::isUserNameTaken(const std::vector<QVFpUser>& users,
                                            const std::string& name) {
    return std::any_of(users.begin(), users.end(), [&](const QVFpUser& u) {
        return QVFileSystem::sameUserName(u.shortUserName(), name);
    });
}

void QVInfoPanelController::showNewUserSheet() {
    if (!userIsAdmin_) return;
    for (QLineEdit* f : {addUserNameField, addUserDisplayNameField, addUserPasswordField,
                         addUserPasswordConfirmField})
        f->clear();
    addUserIsAdminCheck->setChecked(false);
    for (QLabel* l : {addUserPasswordMismatchImage, addUserMissingPasswordImage,
                      addUserMissingUserNameImage, addUserNameTakenLabel})
        l->hide();
    addUserPanel->open();
}

void QVInfoPanelController::closeAddUserSheet(bool ok) {
    if (addingUser_) return;
    if (ok) {
        std::string name = addUserNameField->text().toStdString();
        SheetCheck c = validateAddUserSheet(name, addUserPasswordField->text().toStdString(),
                                            addUserPasswordConfirmField->text().toStdString());
        addUserPasswordMismatchImage->setVisible(c.mismatch);
        addUserMissingPasswordImage->setVisible(c.missingPassword);
        addUserMissingUserNameImage->setVisible(c.missingName);
        if (!c.ok()) return;
        // A second user of the same name would open the folder with either
        // password and could never be told apart again.
        if (isUserNameTaken(users_, name)) {
            addUserNameTakenLabel->setText(QString::fromStdString(
                platform::formatText(platform::localizedString("alertUserNameTakenMsg"), {name})));
            addUserNameTakenLabel->show();
            addUserMissingUserNameImage->show();
            return;
        }
        if (addUserDisplayNameField->text().isEmpty())
            addUserDisplayNameField->setText(addUserNameField->text());
        if (fs_ && userIsAdmin_) {
            addUserInBackground(
                QVFpUser(std::nullopt, name, addUserDisplayNameField->text().toStdString(),
                         addUserIsAdminCheck->isChecked()),
                addUserPasswordField->text().toStdString());
            return;
        }
    }
    addUserPasswordField->clear();
    addUserPasswordConfirmField->clear();
    addUserPanel->hide();
}

void QVInfoPanelController::addUserInBackground(const QVFpUser& user, const std::string& password) {
    // The new record's key derivation (and the database work) off the main
    // thread; the sheet stays, its buttons off, until it is done.
    addingUser_ = true;
    addUserButtons_->setEnabled(false);
    std::weak_ptr<uint64_t> alive = generation_;
    const uint64_t generation = *generation_;
    auto fs = fs_;
    const std::string path = folderPath_;
    platform::globalQueue(platform::QueuePriority::High)->async([=, this] {
        fs->addUser(user, password);
        std::vector<QVFpUser> users = fs->usersForFolderAtPath(path);
        platform::mainQueue()->async([=, this, users = std::move(users)]() mutable {
            auto still = alive.lock();
            if (!still) return;  // the panel is gone
            addingUser_ = false;
            addUserButtons_->setEnabled(true);
            addUserPasswordField->clear();
            addUserPasswordConfirmField->clear();
            addUserPanel->hide();
            if (*still != generation) return;  // another folder by now
            users_ = std::move(users);
            reloadUsers();
        });
    });
}

void QVInfoPanelController::removeUser() {
    if (!canRemoveUser(userIsAdmin_, users_, selectedRow_)) return;
    QVFpUser user = users_[static_cast<size_t>(selectedRow_)];
    platform::Alert alert;
    alert.messageText = platform::localizedString("reallyDelete");
    alert.informativeText = platform::formatText(
        platform::localizedString("alertReallyDeleteUserMsg"), {user.shortUserName()});
    alert.buttons = {platform::localizedString("Cancel"), platform::localizedString("Delete")};
    alert.escapeButton = 0;
    std::weak_ptr<uint64_t> alive = generation_;
    uint64_t generation = *generation_;
    alert.open(this, [this, alive, generation, user](int response, bool) {
        auto still = alive.lock();
        if (!still || *still != generation || response != platform::Alert::kSecondButton) return;
        // Checked again: the list may have changed while the alert was up.
        // The key id names the one record; names need not be unique in
        // folders made elsewhere.
        auto it = std::find_if(users_.begin(), users_.end(),
                               [&](const QVFpUser& u) { return u.keyID() == user.keyID(); });
        if (it == users_.end() ||
            !canRemoveUser(userIsAdmin_, users_, static_cast<int>(it - users_.begin())))
            return;
        fs_->deleteUser(user);
        users_ = fs_->usersForFolderAtPath(folderPath_);
        selectedRow_ = -1;
        reloadUsers();
    });
}

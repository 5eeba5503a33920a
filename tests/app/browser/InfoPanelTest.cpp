#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "app/browser/BrowserFixture.h"
#include "app/browser/QVInfoPanelController.h"
#include "platform/gui/Alert.h"
#include "support/QtSpin.h"

namespace {

using Panel = QVInfoPanelController;

QVFpUser user(const char* name, bool admin) {
    return QVFpUser(std::nullopt, name, name, admin);
}

TEST(InfoPanelRules, RemoveAndAdministratorRightsKeepOneAdministrator) {
    const std::vector<QVFpUser> oneAdmin{user("ann", true), user("bob", false)};
    const std::vector<QVFpUser> twoAdmins{user("ann", true), user("cy", true)};
    const std::vector<QVFpUser> alone{user("ann", true)};
    struct Case {
        const char* what;
        bool asAdmin;
        const std::vector<QVFpUser>& users;
        int row;
        bool remove, revoke;
    };
    const Case cases[] = {
        {"an ordinary user", true, oneAdmin, 1, true, true},
        {"the last administrator", true, oneAdmin, 0, false, false},
        {"one of two administrators", true, twoAdmins, 1, true, true},
        {"the only user", true, alone, 0, false, false},
        {"asked by a non-administrator", false, oneAdmin, 1, false, false},
        {"no selection", true, oneAdmin, -1, false, false},
        {"a row past the list", true, oneAdmin, 2, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Panel::canRemoveUser(c.asAdmin, c.users, c.row), c.remove);
        bool revokable = c.row >= 0 && c.row < static_cast<int>(c.users.size()) &&
                         c.users[static_cast<size_t>(c.row)].isAdmin();
        if (revokable) {
            EXPECT_EQ(Panel::canSetAdmin(c.asAdmin, c.users, c.row, false), c.revoke);
        }
    }
    EXPECT_TRUE(Panel::canSetAdmin(true, oneAdmin, 1, true));
    EXPECT_FALSE(Panel::canSetAdmin(false, oneAdmin, 1, true));
}

TEST(InfoPanelRules, AddUserSheetChecks) {
    struct Case {
        const char *name, *password, *confirmation;
        bool mismatch, missingPassword, missingName;
    };
    const Case cases[] = {
        {"bob", "pw", "pw", false, false, false}, {"bob", "pw", "px", true, false, false},
        {"bob", "", "", false, true, false},      {"", "pw", "pw", false, false, true},
        {"", "", "x", false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + "/" + c.password + "/" + c.confirmation);
        auto r = Panel::validateAddUserSheet(c.name, c.password, c.confirmation);
        EXPECT_EQ(r.mismatch, c.mismatch);
        EXPECT_EQ(r.missingPassword, c.missingPassword);
        EXPECT_EQ(r.missingName, c.missingName);
    }
    EXPECT_FALSE(Panel::confirmationMismatch("secret", "sec"));
    EXPECT_FALSE(Panel::confirmationMismatch("secret", ""));
    EXPECT_TRUE(Panel::confirmationMismatch("secret", "sex"));
}

using InfoPanelTest = BrowserFixture;

TEST_F(InfoPanelTest, AUserAddedInThePanelUnlocksAndTheLastAdministratorStays) {
    Panel panel;
    panel.setFileSystem(fs_, folder_.string());
    EXPECT_TRUE(panel.userIsAdmin());
    EXPECT_EQ(panel.folderNameLabel->text(), "box.zel");
    EXPECT_EQ(panel.folderEncryptionLabel->text(), "AES 256");
    ASSERT_TRUE(testsupport::spinUntil([&] { return panel.folderItemsLabel->text() != "--"; }));
    EXPECT_EQ(panel.folderItemsLabel->text(), "0");

    panel.showNewUserSheet();
    panel.addUserNameField->setText("bob");
    panel.addUserPasswordField->setText("hunter2");
    panel.addUserPasswordConfirmField->setText("hunter3");
    panel.closeAddUserSheet(true);  // mismatch: the sheet stays
    ASSERT_TRUE(testsupport::spinUntil([&] { return !panel.isAddingUser(); }));
    EXPECT_FALSE(panel.addUserPasswordMismatchImage->isHidden());
    EXPECT_EQ(panel.users().size(), 1u);
    panel.addUserPasswordConfirmField->setText("hunter2");
    panel.closeAddUserSheet(true);
    // The new record's key derivation runs in the background: the sheet
    // waits, and its Cancel is ignored meanwhile.
    EXPECT_TRUE(panel.isAddingUser());
    panel.closeAddUserSheet(false);
    EXPECT_TRUE(panel.isAddingUser());
    ASSERT_TRUE(testsupport::spinUntil([&] { return !panel.isAddingUser(); }));
    EXPECT_FALSE(panel.addUserPanel->isVisible());
    ASSERT_EQ(panel.users().size(), 2u);

    QVFileSystem bob;
    EXPECT_TRUE(bob.mountEncryptedFolder(folder_.string(), "bob", "hunter2"));
    ASSERT_TRUE(bob.authenticatedUser());
    EXPECT_EQ(bob.authenticatedUser()->longUserName(), "bob");  // display name from the user name
    bob.unmount();

    int annRow = panel.users()[0].shortUserName() == "ann" ? 0 : 1;
    panel.selectUser(annRow);
    EXPECT_FALSE(panel.removeUserButton->isEnabled());
    EXPECT_FALSE(panel.setUserIsAdmin(annRow, false));
    EXPECT_TRUE(panel.users()[static_cast<size_t>(annRow)].isAdmin());

    panel.selectUser(1 - annRow);
    EXPECT_TRUE(panel.removeUserButton->isEnabled());
    panel.removeUser();
    auto alerts = platform::visibleAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    platform::pressAlertButton(alerts[0], 1);  // Delete
    ASSERT_TRUE(testsupport::spinUntil([&] { return panel.users().size() == 1; }));
    EXPECT_FALSE(bob.mountEncryptedFolder(folder_.string(), "bob", "hunter2"));

    // Locked: no cipher, no adding.
    fs_->unmount();
    panel.setFileSystem(fs_, folder_.string());
    EXPECT_EQ(panel.folderEncryptionLabel->text(), "N/A - Folder is locked");
    EXPECT_FALSE(panel.addUserButton->isEnabled());
    panel.setFileSystem(nullptr, {});
    EXPECT_EQ(panel.folderNameLabel->text(), "No folder selected");
}

// Two users of one name would both open the folder, share one remembered
// password, and could not be told apart by removal.
TEST_F(InfoPanelTest, ANameTheFolderHasIsRefusedAndRemovalGoesByKeyId) {
    Panel panel;
    panel.setFileSystem(fs_, folder_.string());
    struct Case {
        const char* name;
        bool taken;
    };
    for (const Case& c : {Case{"ann", true}, Case{"ANN", true}, Case{"Ann", true},
                          Case{"anna", false}, Case{"bob", false}}) {
        SCOPED_TRACE(c.name);
        const size_t before = panel.users().size();
        panel.showNewUserSheet();
        panel.addUserNameField->setText(c.name);
        panel.addUserPasswordField->setText("other");
        panel.addUserPasswordConfirmField->setText("other");
        panel.closeAddUserSheet(true);
        ASSERT_TRUE(testsupport::spinUntil([&] { return !panel.isAddingUser(); }));
        EXPECT_EQ(panel.users().size(), before + (c.taken ? 0 : 1));
        EXPECT_EQ(panel.addUserNameTakenLabel->isHidden(), !c.taken);
        EXPECT_EQ(panel.addUserPanel->isVisible(), c.taken);  // the sheet stays to correct it
        if (c.taken) {
            EXPECT_NE(panel.addUserNameTakenLabel->text().toStdString().find(c.name),
                      std::string::npos);
        }
        panel.closeAddUserSheet(false);
    }
    // The handle refuses too, whoever calls it.
    platform::Error error;
    EXPECT_FALSE(fs_->addUser(QVFpUser(std::nullopt, "BOB", "", false), "x", &error));
    EXPECT_EQ(error.code, EEXIST);
    QVFileSystem other;
    EXPECT_FALSE(other.mountEncryptedFolder(folder_.string(), "ann", "other"));

    // Removal takes the record of the selected row, by its key id.
    ASSERT_EQ(panel.users().size(), 3u);
    int bobRow = -1;
    for (size_t i = 0; i < panel.users().size(); ++i)
        if (panel.users()[i].shortUserName() == "bob") bobRow = static_cast<int>(i);
    ASSERT_GE(bobRow, 0);
    panel.selectUser(bobRow);
    panel.removeUser();
    auto alerts = platform::visibleAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    platform::pressAlertButton(alerts[0], 1);  // Delete
    ASSERT_TRUE(testsupport::spinUntil([&] { return panel.users().size() == 2; }));
    for (const QVFpUser& u : panel.users()) EXPECT_NE(u.shortUserName(), "bob");
    EXPECT_TRUE(other.mountEncryptedFolder(folder_.string(), "anna", "other"));
    other.unmount();
}

}  // namespace

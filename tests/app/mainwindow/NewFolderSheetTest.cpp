#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QStackedWidget>

#include "MainWindowFixture.h"
#include "app/mainwindow/QVNewFolderSheet.h"
#include "app/mainwindow/QVSourceListController.h"

using testsupport::MainWindowTest;

namespace {

TEST_F(MainWindowTest, NewFolderSheetChecksItsEntriesAndOpensTheFolderItMade) {
    defaults.setObject("createNewEncryptedFolderEncryptionName", "IDEA");
    auto w = makeWindow();
    w->show();
    w->showNewCryptFolderSheet();
    QVNewFolderSheet* sheet = w->newFolderSheet();
    ASSERT_TRUE(sheet && sheet->isVisible());
    EXPECT_FALSE(w->validationState().P);
    EXPECT_EQ(sheet->encryptionPopup()->currentText().toStdString(), "IDEA");
    EXPECT_EQ(sheet->hashPopup()->currentText().toStdString(), "SHA-2 256");
    EXPECT_EQ(sheet->currentEncryptionField()->text().toStdString(), "(IDEA / SHA-2 256)");
    EXPECT_EQ(sheet->height(), QVNewFolderSheet::kCollapsedHeight);
    sheet->toggleEncryptionSettings(false);
    EXPECT_EQ(sheet->height(), QVNewFolderSheet::kExpandedHeight);
    EXPECT_TRUE(sheet->currentEncryptionField()->isHidden());
    clock.advance(std::chrono::microseconds(62500));
    ASSERT_TRUE(testsupport::spinUntil([&] { return !sheet->cryptSettingsView()->isHidden(); }));
    sheet->grab().save(QString(TESSARO_BINARY_DIR) + "/new-folder-sheet.png", "PNG");

    // A confirmation that begins the password shows no mismatch yet.
    sheet->passwordField()->setText("secret");
    sheet->passwordConfirmField()->setText("sec");
    EXPECT_TRUE(sheet->mismatchImage()->isHidden());
    sheet->passwordConfirmField()->setText("sex");
    EXPECT_FALSE(sheet->mismatchImage()->isHidden());

    // Empty password: the missing mark, not the mismatch; the sheet stays.
    sheet->passwordField()->clear();
    sheet->passwordConfirmField()->clear();
    sheet->userNameField()->setText("alice");
    sheet->displayNameField()->clear();
    sheet->closeSheet(true);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_FALSE(sheet->missingPasswordImage()->isHidden());
    EXPECT_TRUE(sheet->mismatchImage()->isHidden());
    EXPECT_EQ(sheet->displayNameField()->text().toStdString(), "alice");

    sheet->passwordField()->setText("secret");
    sheet->passwordConfirmField()->setText("secret");
    sheet->closeSheet(true);
    EXPECT_EQ(sheet->creator().selectedEncryptionID(), 512u);
    ASSERT_TRUE(testsupport::spinUntil([&] { return !sheet->isVisible(); }));
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* panel = dynamic_cast<QFileDialog*>(top)) panel->reject();

    const std::string path = (dir / "Made").string();
    sheet->createAt(path);
    settle(*w);
    EXPECT_EQ(w->sourceListController()->itemsPaths(), (std::vector<std::string>{path + ".zel"}));
    EXPECT_EQ(w->currentVolumePath(), path + ".zel");
    ASSERT_TRUE(w->currentFileSystem());
    EXPECT_TRUE(w->currentFileSystem()->isMounted());
    EXPECT_EQ(w->currentFileSystem()->encryptionName(), "IDEA");
    EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 0);
}

TEST_F(MainWindowTest, NewFolderSheetReportsAFolderItCouldNotMake) {
    auto w = makeWindow();
    w->show();
    w->showNewCryptFolderSheet();
    QVNewFolderSheet* sheet = w->newFolderSheet();
    sheet->passwordField()->setText("pw");
    sheet->passwordConfirmField()->setText("pw");
    sheet->closeSheet(true);
    ASSERT_TRUE(testsupport::spinUntil([&] { return !sheet->isVisible(); }));
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* panel = dynamic_cast<QFileDialog*>(top)) panel->reject();
    sheet->createAt((dir / "missing" / "parent.zel").string());
    settle(*w);
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts()[0]->text().toStdString(),
              platform::localizedString("alertCreateCryptFolderFailedTitle"));
    EXPECT_TRUE(w->sourceListController()->itemsPaths().empty());
}

}  // namespace

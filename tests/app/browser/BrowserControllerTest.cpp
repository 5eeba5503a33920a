#include <QColumnView>
#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QLabel>

#include "app/QVBrowserController.h"
#include "app/QVPreviewController.h"
#include "app/QVStatusMenuInterface.h"
#include "app/browser/BrowserFixture.h"
#include "support/QtSpin.h"

namespace {

struct StatusMenu : QVStatusMenuInterface {
    std::vector<std::string> mounted;
    void mountFolderAtUrl(const std::string& path) override { mounted.push_back(path); }
};

class BrowserControllerTest : public BrowserFixture {
  protected:
    void SetUp() override {
        BrowserFixture::SetUp();
        mkdir("a");
        mkdir("a/b");
        put("a/b/report.pdf", "twelve bytes");
        put("a/notes.txt", "n");
        put("top.txt", "t");
    }

    void click(QVBrowserController& b, const std::string& path) {
        QModelIndex i = b.model().indexForPath(path);
        ASSERT_TRUE(i.isValid()) << path;
        b.columnView()->setCurrentIndex(i);
        b.browserClicked(i);
        QCoreApplication::processEvents();
    }
};

TEST_F(BrowserControllerTest, SelectionPreviewColumnWidthsAndStatusLine) {
    QVBrowserController browser(fs_, folder_.string(), nullptr, clock_);
    browser.resize(1400, 500);
    browser.show();

    click(browser, "a/b/report.pdf");
    ASSERT_EQ(browser.selectedFiles().size(), 1u);
    EXPECT_EQ(browser.selectedFiles()[0]->filePath(), "a/b/report.pdf");
    EXPECT_EQ(browser.currentDirectory()->filePath(), "a/b");
    QList<int> widths = browser.columnView()->columnWidths();
    ASSERT_GE(widths.size(), 4);
    EXPECT_EQ(widths[3], QVBrowserController::kPreviewWidth);

    // The preview column moves to column 2: column 3 gets its width back.
    click(browser, "a/notes.txt");
    widths = browser.columnView()->columnWidths();
    EXPECT_EQ(widths[2], QVBrowserController::kPreviewWidth);
    if (widths.size() > 3) {
        EXPECT_GE(widths[3], QVBrowserController::kDefaultColumnWidth);
    }

    // The preview of a file.
    click(browser, "a/b/report.pdf");
    QVPreviewController* p = browser.preview();
    p->setFileSystemVolumePath(fs_->volumePath());
    p->setCurrentItem(fs_->fileAtPath("a/b/report.pdf"));
    EXPECT_EQ(p->nameLabel->text(), "report.pdf");
    EXPECT_EQ(p->sizeLabel->text().toStdString(), QVAppDelegateBytes(12));
    EXPECT_EQ(p->kindLabel->text(), "PDF document");
    EXPECT_EQ(p->lastOpenedLabel->text(), p->modifiedLabel->text());
    EXPECT_NE(p->modifiedLabel->text(), "--");
    p->setCurrentItem(fs_->fileAtPath("a"));
    EXPECT_EQ(p->nameLabel->text(), "a");
    EXPECT_EQ(p->kindLabel->text(), "folder");
    p->setCurrentItem(nullptr);
    EXPECT_TRUE(p->nameLabel->text().isEmpty());

    // The status line: computed in the background, set 0.1 s after a reload.
    browser.statusLabel()->clear();
    browser.reload();
    EXPECT_EQ(browser.selectedFiles().size(), 1u);  // selected again by path
    clock_.advance(QVBrowserController::kStatusDelay);
    ASSERT_TRUE(testsupport::spinUntil([&] { return !browser.statusLabel()->text().isEmpty(); }));
    EXPECT_TRUE(browser.statusLabel()->text().startsWith("1 of 1 items selected, "))
        << browser.statusLabel()->text().toStdString();

    EXPECT_EQ(QVBrowserController::statusText(2, 5, 1000, 2'000'000),
              "2 of 5 items selected, " + QVAppDelegateBytes(1000) + " used, " +
                  QVAppDelegateBytes(2'000'000) + " available");
    EXPECT_EQ(QVBrowserController::statusText(0, 5, 1000, 2'000'000),
              "5 items, " + QVAppDelegateBytes(1000) + " used, " + QVAppDelegateBytes(2'000'000) +
                  " available");
}

TEST_F(BrowserControllerTest, SelectByPathNotesAndOpenInFileManager) {
    QVBrowserController browser(fs_, folder_.string(), nullptr, clock_);
    browser.show();
    click(browser, "a");
    EXPECT_TRUE(browser.selectItemWithPath("a/notes.txt"));
    EXPECT_EQ(browser.selectedFiles().at(0)->filePath(), "a/notes.txt");
    EXPECT_FALSE(browser.selectItemWithPath("a/b/report.pdf"));  // not in the current column
    EXPECT_FALSE(browser.selectItemWithPath("a/none"));

    // Without the status menu nothing is mounted and no note shows.
    browser.openInFinder();
    EXPECT_FALSE(browser.isNotificationAreaVisible());
    StatusMenu menu;
    browser.setStatusMenu(&menu);
    browser.setFileSystem(fs_);
    EXPECT_TRUE(browser.isNotificationAreaVisible());
    EXPECT_EQ(browser.currentNote(), QVBrowserController::OpenInFinderNote);
    browser.openInFinder();
    EXPECT_EQ(menu.mounted, std::vector<std::string>{folder_.string()});

    // The FUSE note, closed by the user, stays closed.
    browser.setFuseInstalled(false);
    browser.closeNote(false);
    browser.setFileSystem(fs_);
    EXPECT_EQ(browser.currentNote(), QVBrowserController::FuseNote);
    EXPECT_TRUE(browser.isNotificationAreaVisible());
    browser.closeNote(true);
    browser.setFileSystem(fs_);
    EXPECT_FALSE(browser.isNotificationAreaVisible());
}

}  // namespace

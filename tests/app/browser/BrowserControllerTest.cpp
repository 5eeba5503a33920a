#include <QColumnView>
#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>

#include "app/browser/BrowserFixture.h"
#include "app/browser/QVBrowserController.h"
#include "app/browser/QVPreviewController.h"
#include "app/statusmenu/QVStatusMenuInterface.h"
#include "support/DragEvents.h"
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
    EXPECT_TRUE(browser.statusLabel()->text().startsWith("1 of 1 item selected, "))
        << browser.statusLabel()->text().toStdString();

    EXPECT_EQ(QVBrowserController::statusText(2, 5, 1000, 2'000'000),
              "2 of 5 items selected, " + QVAppDelegateBytes(1000) + " used, " +
                  QVAppDelegateBytes(2'000'000) + " available");
    EXPECT_EQ(QVBrowserController::statusText(0, 5, 1000, 2'000'000),
              "5 items, " + QVAppDelegateBytes(1000) + " used, " + QVAppDelegateBytes(2'000'000) +
                  " available");
}

// The user drags the grip in the corner of the column that lists `dir`
// ("" the root; null: the preview column, the rightmost) by `dx` pixels.
void dragGrip(QVBrowserController& browser, const char* dir, int dx) {
    QColumnView* view = browser.columnView();
    QAbstractItemView* column = nullptr;
    for (QObject* child : view->viewport()->children()) {
        auto* c = qobject_cast<QAbstractItemView*>(child);
        if (!c || !c->isVisible()) continue;
        if (dir ? c->model() == view->model() && c->rootIndex() == browser.model().indexForPath(dir)
                : !column || c->x() > column->x())
            column = c;
    }
    ASSERT_TRUE(column) << (dir ? dir : "preview");
    QWidget* grip = column->cornerWidget();
    ASSERT_TRUE(grip);
    const QPointF at(grip->width() / 2.0, grip->height() / 2.0);
    const QPointF global = grip->mapToGlobal(at);
    const QPointF to = at + QPointF(dx, 0), globalTo = global + QPointF(dx, 0);
    // Each event is made just before it is sent: Qt keeps one state per
    // pointer, which a later event's construction would overwrite.
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(grip, &press);
    QMouseEvent move(QEvent::MouseMove, to, globalTo, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(grip, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, to, globalTo, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(grip, &release);
}

// Widths the user gives the columns are remembered (the preview column's
// not) and come back on the next click, never narrower than the default.
TEST_F(BrowserControllerTest, ColumnWidthsFollowTheUsersGripsExceptThePreviewColumn) {
    QVBrowserController browser(fs_, folder_.string(), nullptr, clock_);
    browser.resize(1600, 500);
    browser.show();
    QColumnView* view = browser.columnView();

    click(browser, "a/b/report.pdf");
    ASSERT_EQ(browser.previewColumn(), 3);
    QList<int> before = view->columnWidths();
    ASSERT_GE(before.size(), 4);
    const int previewWasRemembered = browser.rememberedColumnWidths().at(3);

    dragGrip(browser, "", 100 - before[0]);  // narrower than the default
    dragGrip(browser, "a", 260 - before[1]);
    dragGrip(browser, nullptr, 40);  // the preview column: not remembered
    ASSERT_TRUE(testsupport::spinUntil([&] {
        auto it = browser.rememberedColumnWidths().find(1);
        return it != browser.rememberedColumnWidths().end() && it->second == 260;
    })) << view->columnWidths()[1];
    const auto& remembered = browser.rememberedColumnWidths();
    EXPECT_EQ(remembered.at(0), 100);
    EXPECT_EQ(remembered.at(2), before[2]);
    EXPECT_EQ(remembered.at(3), previewWasRemembered);

    // A click: column 0 at least the default, column 1 as the user left it,
    // the old preview column back to its own width, column 2 the preview.
    click(browser, "a/notes.txt");
    QList<int> after = view->columnWidths();
    EXPECT_EQ(after[0], QVBrowserController::kDefaultColumnWidth);
    EXPECT_EQ(after[1], 260);
    EXPECT_EQ(after[2], QVBrowserController::kPreviewWidth);
    EXPECT_EQ(browser.previewColumn(), 2);
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(browser.rememberedColumnWidths().at(1), 260);
    EXPECT_EQ(browser.rememberedColumnWidths().at(2), before[2]);  // before it became the preview
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
    // The note's button hands the folder to the status menu.
    auto* open = browser.notePage(QVBrowserController::OpenInFinderNote)
                     ->findChild<QPushButton*>("noteAction");
    ASSERT_TRUE(open);
    EXPECT_TRUE(open->isVisible());
    open->click();
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

// The host's status field may go before the browser: a line computed for it
// then lands in the browser's own line instead of freed memory.
TEST_F(BrowserControllerTest, AStatusLineOutlivingTheHostsFieldLandsInTheBrowsersOwn) {
    QVBrowserController browser(fs_, folder_.string(), nullptr, clock_);
    QLabel* own = browser.statusLabel();
    own->clear();
    auto* field = new QLabel;
    browser.setStatusTextField(field);
    EXPECT_EQ(browser.statusLabel(), field);
    browser.updateStatusBar();  // computed in the background meanwhile
    delete field;
    EXPECT_EQ(browser.statusLabel(), own);
    ASSERT_TRUE(testsupport::spinUntil([&] { return !own->text().isEmpty(); }));
    EXPECT_TRUE(own->text().startsWith("2 items, ")) << own->text().toStdString();
}

// The visible column that lists `dir` ("" the root).
QListView* columnListing(QVBrowserController& browser, const std::string& dir) {
    QModelIndex root = dir.empty() ? QModelIndex() : browser.model().indexForPath(dir);
    for (auto* column : browser.columnView()->findChildren<QListView*>())
        if (!column->isHidden() && column->rootIndex() == root) return column;
    return nullptr;
}

// Files dragged in from another program are copied whatever keys are held:
// a source that honours Move deletes its originals.
TEST_F(BrowserControllerTest, DropsFromOtherProgramsAreCopiesNeverMoves) {
    QVBrowserController browser(fs_, folder_.string(), nullptr, clock_);
    std::vector<std::string> imported;
    browser.model().importFiles = [&](const std::vector<std::string>& paths, const std::string&) {
        imported = paths;
    };
    browser.resize(800, 400);
    browser.show();
    QCoreApplication::processEvents();
    QListView* root = columnListing(browser, "");
    ASSERT_TRUE(root);
    const std::string outside = (tmp_ / "outside.txt").string();
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(outside))});
    const QPoint below(10, root->viewport()->height() - 5);  // under the rows
    struct Case {
        const char* keys;
        Qt::KeyboardModifiers modifiers;
    };
    for (const Case& c : {Case{"none", Qt::NoModifier}, Case{"Shift", Qt::ShiftModifier},
                          Case{"Ctrl+Shift", Qt::ControlModifier | Qt::ShiftModifier}}) {
        SCOPED_TRACE(c.keys);
        imported.clear();
        auto r = testsupport::dropFromOutside(root->viewport(), &mime, below, c.modifiers);
        if (c.modifiers == Qt::ShiftModifier) {
            EXPECT_EQ(r.proposed, Qt::MoveAction);  // what Qt would have answered
        }
        EXPECT_TRUE(r.moveAccepted);
        EXPECT_EQ(r.moveAction, Qt::CopyAction);
        EXPECT_TRUE(r.dropAccepted);
        EXPECT_EQ(r.dropAction, Qt::CopyAction);
        EXPECT_EQ(imported, std::vector<std::string>{outside});
    }
}

// New Folder edits the new row's name in the column that shows it, also
// while a file's preview column stands beside it.
TEST_F(BrowserControllerTest, EditingTheSelectedNameOpensTheEditorInTheVisibleColumn) {
    QVBrowserController browser(fs_, folder_.string(), nullptr, clock_);
    browser.resize(900, 400);
    browser.show();
    click(browser, "a");
    click(browser, "a/notes.txt");  // the preview column opens
    mkdir("a/New Folder");
    browser.reload();
    ASSERT_TRUE(browser.selectItemWithPath("a/New Folder"));
    browser.editSelectedItem();
    QCoreApplication::processEvents();
    QLineEdit* editor = nullptr;
    for (auto* e : browser.findChildren<QLineEdit*>())
        if (e->isVisible()) editor = e;
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->text(), "New Folder");
    QListView* column = columnListing(browser, "a");
    ASSERT_TRUE(column);
    EXPECT_TRUE(column->isAncestorOf(editor));
}

// Counts read as English does.
TEST(BrowserStatusText, OneItemIsSingular) {
    const std::string used = " " + QVAppDelegateBytes(1000) + " used, ";
    EXPECT_EQ(QVBrowserController::statusText(0, 1, 1000, 2000),
              "1 item," + used + QVAppDelegateBytes(2000) + " available");
    EXPECT_EQ(QVBrowserController::statusText(1, 1, 1000, 2000),
              "1 of 1 item selected," + used + QVAppDelegateBytes(2000) + " available");
    EXPECT_EQ(QVBrowserController::statusText(0, 0, 1000, 2000),
              "0 items," + used + QVAppDelegateBytes(2000) + " available");
    struct Case {
        int64_t seconds;
        const char* text;
    };
    for (const Case& c : {Case{1, "1 second"}, Case{2, "2 seconds"}, Case{61, "1 minute, 1 second"},
                          Case{62, "1 minute, 2 seconds"}, Case{121, "2 minutes, 1 second"},
                          Case{3660, "1 hour, 1 minute"}, Case{90000, "1 day, 1 hour"}})
        EXPECT_EQ(QVAppDelegate::progressTimeStringForSeconds(c.seconds), c.text) << c.seconds;
}

}  // namespace

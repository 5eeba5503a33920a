#include <QColumnView>
#include <QCoreApplication>
#include <QMainWindow>
#include <QPixmap>

#include "app/browser/BrowserFixture.h"
#include "app/browser/QVBrowserPage.h"

namespace {

using BrowserPageTest = BrowserFixture;

// The page as the main window hosts it, browsing three levels with the
// preview shown; the picture is kept in the build folder.
TEST_F(BrowserPageTest, HostedInAWindowWithPathsAsTheWindowAsksAndAScreenshot) {
    mkdir("Projects");
    mkdir("Projects/2026");
    put("Projects/2026/plan.pdf", "plan");
    put("Projects/2026/budget.ods", "budget");
    put("Projects/notes.txt", "notes");
    put("photo.jpg", "jpg");

    QMainWindow window;
    auto page = std::make_unique<QVBrowserPage>();
    window.setCentralWidget(page->view());
    window.resize(1200, 520);
    window.show();
    page->setFileSystem(fs_);

    QVBrowserController* browser = page->browser();
    QModelIndex plan = browser->model().indexForPath("Projects/2026/plan.pdf");
    ASSERT_TRUE(plan.isValid());
    browser->columnView()->setCurrentIndex(plan);
    browser->browserClicked(plan);
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();

    EXPECT_EQ(page->selectedFiles(), std::vector<std::string>{"/Projects/2026/plan.pdf"});
    EXPECT_EQ(page->currentDirectory(), "/Projects/2026");
    page->reload();
    EXPECT_TRUE(page->selectItemWithPath("/Projects/2026/budget.ods"));
    EXPECT_EQ(page->selectedFiles(), std::vector<std::string>{"/Projects/2026/budget.ods"});
    browser->browserClicked(browser->columnView()->currentIndex());
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();

    QPixmap shot = window.grab();
    std::string path = std::string(TESSARO_BINARY_DIR) + "/browser-screenshot.png";
    ASSERT_TRUE(shot.save(QString::fromStdString(path)));
    EXPECT_GT(std::filesystem::file_size(path), 0u);
}

}  // namespace

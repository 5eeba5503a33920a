#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include "app/ImportExport/ImportExportFixture.h"
#include "app/browser/QVCopyProgressSheet.h"
#include "app/logic/QVCopyProgressPresenter.h"
#include "support/QtTestApp.h"

namespace {

using iesupport::randomText;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

constexpr int64_t kChunk = QVImportExportController::kDataChunkSize;

struct FakeView : QVCopyProgressView {
    int shown = 0, hidden = 0;
    double percent = -1;
    std::string description, time;
    std::vector<platform::Alert> alerts;
    std::vector<platform::Alert::Completion> answers;  // answered by the test
    void showProgressSheet() override { ++shown; }
    void hideProgressSheet() override { ++hidden; }
    void setProgress(double p) override { percent = p; }
    void setDescriptionText(const std::string& t) override { description = t; }
    void setTimeText(const std::string& t) override { time = t; }
    void openAlert(const platform::Alert& a, platform::Alert::Completion done) override {
        alerts.push_back(a);
        answers.push_back(std::move(done));
    }
};

// A folder with a presenter on a manual clock; steps() moves time 1 ms at a
// time, running what comes due on the main queue.
class CopyProgressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = tmp_ / "box.zel";
        ASSERT_TRUE(testsupport::makeEncryptedFolder(folder_, {{"ann", "secret"}}));
        fs_ = std::make_shared<QVFileSystem>();
        ASSERT_TRUE(fs_->mountEncryptedFolder(folder_.string(), "ann", "secret"));
        fs::create_directories(src_);
    }

    bool steps(QVCopyProgressPresenter& p, const std::function<bool()>& until, int limit = 5000) {
        for (int i = 0; i < limit; ++i) {
            if (until()) return true;
            clock_.advance(std::chrono::milliseconds(1));
            QCoreApplication::processEvents();
        }
        return until();
    }

    testsupport::TempDir tmp_{"tessaro-progress"};
    fs::path folder_, src_ = tmp_ / "src";
    std::shared_ptr<QVFileSystem> fs_;
    testsupport::ManualClock clock_;
};

TEST_F(CopyProgressTest, SheetOnlyAfterASecondTextsAndEndOfAnImport) {
    writeFile(src_ / "quick", "q");
    writeFile(src_ / "big", randomText(3 * kChunk, 1));
    ASSERT_TRUE(fs_->createDirectoryAtPath("docs"));
    FakeView view;
    QVCopyProgressPresenter p(view, clock_);
    p.setFileSystem(fs_);
    std::vector<std::string> finished;
    p.onImportFinished = [&](const std::string& path) { finished.push_back(path); };

    // Ends within the second: the sheet never shows.
    ASSERT_TRUE(p.importFiles({(src_ / "quick").string()}, "docs"));
    EXPECT_EQ(view.description, "Copying 1 item to \"docs\"");
    ASSERT_TRUE(steps(p, [&] { return !finished.empty(); }));
    EXPECT_EQ(finished, std::vector<std::string>{"docs"});
    EXPECT_TRUE(p.lastImportTargetPath().empty());
    clock_.advance(std::chrono::seconds(2));
    QCoreApplication::processEvents();
    EXPECT_EQ(view.shown, 0);

    // A question held open past the second: the sheet shows meanwhile.
    finished.clear();
    ASSERT_TRUE(p.importFiles({(src_ / "quick").string(), (src_ / "big").string()}, "docs"));
    EXPECT_EQ(view.description, "Copying 2 items to \"docs\"");
    ASSERT_EQ(view.alerts.size(), 1u);
    EXPECT_EQ(view.alerts[0].informativeText,
              "An item named \"quick\" already exists at the destination. Do you want to "
              "replace it?");
    EXPECT_EQ(view.alerts[0].buttons, (std::vector<std::string>{"Stop", "Skip", "Replace"}));
    EXPECT_EQ(view.alerts[0].suppressionTitle, "Apply to all");
    clock_.advance(std::chrono::milliseconds(999));
    QCoreApplication::processEvents();
    EXPECT_EQ(view.shown, 0);
    clock_.advance(std::chrono::milliseconds(1));
    QCoreApplication::processEvents();
    EXPECT_EQ(view.shown, 1);
    view.answers[0](platform::Alert::kFirstButton + 1, false);  // Skip
    ASSERT_TRUE(steps(p, [&] { return !finished.empty(); }));
    EXPECT_EQ(view.hidden, 2);
    EXPECT_EQ(view.percent, 0);
    EXPECT_EQ(readFile(folder_ / "docs/big").size(), static_cast<size_t>(3 * kChunk));

    // An export names the local folder and ends with its own notice.
    int exported = 0;
    p.onExportFinished = [&] { ++exported; };
    fs::create_directories(tmp_ / "out");
    ASSERT_TRUE(p.exportFiles({fs_->fileAtPath("docs/big")}, (tmp_ / "out").string()));
    EXPECT_EQ(view.description, "Copying 1 item to \"out\"");
    ASSERT_TRUE(steps(p, [&] { return exported == 1; }));
    EXPECT_TRUE(iesupport::sameBytes(src_ / "big", tmp_ / "out/big"));
    EXPECT_EQ(view.hidden, 3);
    EXPECT_EQ(finished.size(), 1u);
}

TEST_F(CopyProgressTest, ProgressTextAtMostOncePerSecondAndStop) {
    FakeView view;
    QVCopyProgressPresenter p(view, clock_);
    p.setFileSystem(fs_);
    writeFile(src_ / "f", "f");
    ASSERT_TRUE(p.importFiles({(src_ / "f").string()}, ""));  // starts the clock of the copy
    struct Call {
        int atMs;
        int64_t done, total;
        bool updates;
        double percent;
        const char* time;
    };
    const Call calls[] = {
        {2000, 5'000'000, 20'000'000, true, 25, "5.00 MB of 20.00 MB – about 6 seconds remaining"},
        {2500, 6'000'000, 20'000'000, false, 25, nullptr},  // within the second
        {3001, 0, 0, true, 0, "0 bytes of 0 bytes – about 0 seconds remaining"},
        {4500, 9, 3, true, 100, "9 bytes of 3 bytes – about 0 seconds remaining"},
    };
    const auto start = clock_.now();
    for (const Call& c : calls) {
        SCOPED_TRACE(c.atMs);
        clock_.set(start + std::chrono::milliseconds(c.atMs));
        view.time = "unchanged";
        p.importExporterProcessed(c.done, c.total);
        EXPECT_EQ(view.percent, c.percent);
        EXPECT_EQ(view.time, c.updates ? c.time : "unchanged");
    }
    p.stopCopying();
    EXPECT_EQ(view.time, "Stopping…");
}

// The real sheet, offscreen: window-modal, its texts, its Stop button, and
// the copy's question as an alert on it.
TEST_F(CopyProgressTest, SheetOnTheWindow) {
    writeFile(src_ / "big", randomText(3 * kChunk + 7, 2));
    QWidget window;
    window.resize(600, 400);
    window.show();
    auto* sheet = new QVCopyProgressSheet(&window);
    QVCopyProgressPresenter p(*sheet, clock_);
    sheet->onStop = [&] { p.stopCopying(); };
    p.setFileSystem(fs_);
    bool finished = false;
    p.onImportFinished = [&](const std::string&) { finished = true; };

    ASSERT_TRUE(fs_->createDirectoryAtPath("big"));  // in the way: the question comes
    ASSERT_TRUE(p.importFiles({(src_ / "big").string()}, ""));
    ASSERT_EQ(platform::visibleAlerts().size(), 1u);
    QMessageBox* box = platform::visibleAlerts()[0];
    EXPECT_EQ(box->text().toStdString(), "The item already exists");
    ASSERT_TRUE(box->checkBox());
    // Two seconds with the question open: the sheet's timer fires, but the
    // sheet waits, so the question stays the one on top and answerable.
    clock_.advance(std::chrono::seconds(2));
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
    EXPECT_FALSE(sheet->isVisible());
    ASSERT_TRUE(box->windowHandle());
    EXPECT_EQ(QGuiApplication::modalWindow(), box->windowHandle());
    ASSERT_EQ(platform::visibleAlerts().size(), 1u);
    EXPECT_EQ(sheet->descriptionLabel()->text().toStdString(), "Copying 1 item to \"box.zel\"");
    EXPECT_EQ(sheet->progressBar()->maximum(), 100);

    box->checkBox()->setChecked(true);
    platform::pressAlertButton(box, 2);  // Replace
    ASSERT_TRUE(testsupport::spinUntil([&] { return sheet->isVisible(); }));
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(QGuiApplication::modalWindow(), sheet->windowHandle());
    ASSERT_TRUE(steps(p, [&] { return sheet->progressBar()->value() > 0; }));
    EXPECT_NE(sheet->timeLabel()->text().toStdString().find(" of "), std::string::npos);
    sheet->stopButton()->click();
    EXPECT_EQ(sheet->timeLabel()->text().toStdString(), "Stopping…");
    ASSERT_TRUE(steps(p, [&] { return finished; }));
    EXPECT_FALSE(sheet->isVisible());
    // Stopped while replacing: the directory that was there stays, and an
    // alert on the window names the file that was not copied.
    bool isDir = false;
    EXPECT_TRUE(fs_->fileExistsAtPath("big", &isDir));
    EXPECT_TRUE(isDir);
    ASSERT_EQ(platform::visibleAlerts().size(), 1u);
    QMessageBox* stopped = platform::visibleAlerts()[0];
    EXPECT_NE(stopped->informativeText().toStdString().find("\"big\""), std::string::npos)
        << stopped->informativeText().toStdString();
    platform::pressAlertButton(stopped, 0);
}

}  // namespace

// A copy running in the window when the user ejects the folder, closes
// the last window (the folder locks) or quits: the file being copied never
// appears under its name, an item it was replacing stays as it was, and no
// temporary file is left in the folder.

#include <QCoreApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QThread>
#include <chrono>

#include "MainWindowFixture.h"
#include "app/QVAppDelegate.h"
#include "app/browser/QVBrowserPage.h"
#include "app/logic/QVUnlockController.h"
#include "support/FolderBuilder.h"

using testsupport::MainWindowTest;
using testsupport::spinUntil;

namespace {

namespace fs = std::filesystem;

// The copy's hidden files in the folder's own directory, with their sizes.
std::vector<std::pair<std::string, uintmax_t>> temporaries(const fs::path& dir) {
    std::vector<std::pair<std::string, uintmax_t>> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.path().filename().string().rfind(".tessaro-", 0) == 0)
            out.emplace_back(e.path().filename().string(), fs::file_size(e.path()));
    return out;
}

std::string plainText(const std::string& folder, const std::string& path) {
    QVFileSystem fs;
    if (!fs.mountEncryptedFolder(folder, "alice", "secret")) return "(locked)";
    std::string text;
    if (auto f = fs.openFileAtPath(path, true, false)) {
        while (auto d = fs.readDataFromFile(f, 1 << 20)) {
            if (d->empty()) break;
            text.append(d->begin(), d->end());
        }
        fs.closeFile(f);
    } else {
        text = "(none)";
    }
    fs.unmount();
    return text;
}

TEST_F(MainWindowTest, EjectLockOrQuitDuringACopyLeaveNoPartialFile) {
    enum class End { Eject, Lock, Quit };
    const std::pair<End, const char*> ends[] = {
        {End::Eject, "eject"}, {End::Lock, "last window closed"}, {End::Quit, "quit"}};
    const std::string big(6 * QVImportExportController::kDataChunkSize + 11, 'b');
    const fs::path source = dir / "big.bin";
    testsupport::writeFile(source, big);
    int round = 0;
    for (bool import : {true, false}) {
        for (bool replacing : {false, true}) {
            for (const auto& [end, endName] : ends) {
                SCOPED_TRACE(std::string(import ? "import, " : "export, ") +
                             (replacing ? "replacing, " : "new, ") + endName);
                const std::string path = folder("Copy" + std::to_string(++round) + ".zel");
                const fs::path out = dir / ("out" + std::to_string(round));
                fs::create_directories(out);
                auto page = std::make_unique<QVBrowserPage>();
                QVBrowserController* browser = page->browser();
                auto w = makeWindow(std::move(page));
                QVAppDelegate::Collaborators c;
                c.defaults = &defaults;
                auto app = std::make_shared<QVAppDelegate>(c);
                app->setMainWindowController(w.get());
                app->setTerminationHandler([&w] {
                    // The mount controller's part: every volume goes.
                    if (auto fs = w->currentFileSystem()) fs->unmount();
                    return platform::TerminateReply::Now;
                });
                w->show();
                w->addVolumes({path});
                // The sidebar of the round before comes back from the defaults.
                w->sourceListController()->setSelectedItemPath(path);
                settle(*w);
                w->passwordTextField()->setText("secret");
                w->unlockVolume();
                settle(*w);
                auto handle = w->currentFileSystem();
                ASSERT_TRUE(handle && handle->isMounted());
                auto put = [&](const std::string& text) {
                    auto f = handle->openFileAtPath("big.bin", false, true);
                    ASSERT_TRUE(f && handle->writeData({text.begin(), text.end()}, f) &&
                                handle->closeFile(f));
                };
                if (import && replacing) put("old");
                if (!import) put(big);
                if (!import && replacing) testsupport::writeFile(out / "big.bin", "old");

                if (import) {
                    browser->model().importFiles({source.string()}, "");
                } else {
                    browser->reload();
                    ASSERT_TRUE(browser->selectItemWithPath("big.bin"));
                    browser->exportSelection();
                    QFileDialog* panel = nullptr;
                    ASSERT_TRUE(spinUntil([&] { return (panel = w->findChild<QFileDialog*>()); }));
                    panel->setDirectory(QString::fromStdString(out.string()));
                    panel->selectFile(QString::fromStdString(out.string()));
                    QMetaObject::invokeMethod(panel, "accept");
                }
                if (replacing) {
                    ASSERT_TRUE(spinUntil([&] { return alerts().size() == 1; }));
                    platform::pressAlertButton(alerts()[0], 2);  // Replace
                }
                const fs::path target = import ? fs::path(path) : out;
                // One event pass at a time, so that the copy stops well inside the file.
                for (int i = 0; i < 20000 && temporaries(target).empty(); ++i) {
                    QCoreApplication::processEvents();
                    QThread::usleep(100);
                }
                auto temps = temporaries(target);
                ASSERT_EQ(temps.size(), 1u);
                ASSERT_LT(temps[0].second, big.size()) << "the copy ended before the test";

                switch (end) {
                    case End::Eject:
                        w->sourceListController()->ejectSelected();
                        break;
                    case End::Lock:
                        app->applicationShouldTerminateAfterLastWindowClosed();
                        break;
                    case End::Quit:
                        EXPECT_EQ(app->applicationShouldTerminate(), platform::TerminateReply::Now);
                        break;
                }
                for (int i = 0; i < 50; ++i) QCoreApplication::processEvents();
                EXPECT_FALSE(handle->isMounted());
                EXPECT_TRUE(temporaries(path).empty());
                EXPECT_TRUE(temporaries(out).empty());
                if (import) {
                    EXPECT_EQ(plainText(path, "big.bin"), replacing ? "old" : "(none)");
                } else {
                    EXPECT_EQ(fs::exists(out / "big.bin"), replacing);
                    if (replacing) {
                        EXPECT_EQ(testsupport::readFile(out / "big.bin"), "old");
                    }
                }
                for (QMessageBox* box : alerts()) box->close();
                app->setMainWindowController(nullptr);
            }
        }
    }
}

}  // namespace

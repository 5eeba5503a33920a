// Time until every row of a 10,000-file directory is available: the
// browser's model over an unlocked folder against QFileSystemModel over a
// plain directory of the same names. Best of five each, interleaved, a fresh
// model every round.

#include <stdlib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileSystemModel>
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "app/browser/QVBrowserModel.h"
#include "support/FolderBuilder.h"
#include "support/TempDir.h"

namespace {

constexpr int kFiles = 10'000;

double ours(const std::shared_ptr<QVFileSystem>& fs) {
    QElapsedTimer t;
    t.start();
    QVBrowserModel model;
    model.setFileSystem(fs);
    int rows = model.rowCount();
    for (int i = 0; i < rows; ++i) (void)model.index(i, 0).data();
    double s = static_cast<double>(t.nsecsElapsed()) / 1e9;
    return rows == kFiles ? s : -1;
}

double theirs(const QString& dir) {
    QElapsedTimer t;
    t.start();
    QFileSystemModel model;
    QModelIndex root = model.setRootPath(dir);
    while (model.rowCount(root) < kFiles) {
        if (model.canFetchMore(root)) model.fetchMore(root);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (t.elapsed() > 60'000) return -1;
    }
    for (int i = 0; i < kFiles; ++i) (void)model.index(i, 0, root).data();
    return static_cast<double>(t.nsecsElapsed()) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    testsupport::TempDir tmp("tessaro-bench-browser");
    auto folder = tmp / "box.zel";
    if (!testsupport::makeEncryptedFolder(folder, {{"ann", "pw"}})) return 1;
    auto fs = std::make_shared<QVFileSystem>();
    if (!fs->mountEncryptedFolder(folder.string(), "ann", "pw")) return 1;
    auto plain = tmp / "plain";
    std::filesystem::create_directories(plain);
    for (int i = 0; i < kFiles; ++i) {
        std::string name = "file-" + std::to_string(i) + ".txt";
        auto f = fs->openFileAtPath(name, false, true);
        if (!f || !fs->writeData({'x'}, f)) return 1;
        fs->closeFile(f);
        std::ofstream(plain / name) << 'x';
    }
    double best = 1e9, bestTheirs = 1e9;
    for (int round = 0; round < 5; ++round) {
        double a = ours(fs), b = theirs(QString::fromStdString(plain.string()));
        if (a < 0 || b < 0) return 1;
        best = std::min(best, a);
        bestTheirs = std::min(bestTheirs, b);
    }
    std::printf("browser model %.4f s, QFileSystemModel %.4f s\n", best, bestTheirs);
    std::printf("RATIO browser_list_vs_qfilesystemmodel %.2f goal <= 1.0\n", best / bestTheirs);
    return 0;
}

// tessaro_bench_importexport <folder> <source dir> <export dir>: makes an
// encrypted folder (AES-256, user "bench"), imports every entry of <source
// dir> into its root through the import/export engine, then exports every
// entry of the root into <export dir>. The disk is flushed before each run,
// outside the time. Prints the seconds of each run and the peak resident size
// of each above the process before it.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "FileSystem/QVFileSystem.h"
#include "app/ImportExport/QVImportExportController.h"
#include "support/BenchFolder.h"

namespace {

struct Waiter : QVImportExportDelegate {
    platform::DispatchSemaphore ended;
    int alerts = 0;
    void importExporterDidImportFiles() override { ended.signal(); }
    void importExporterDidExportFiles() override { ended.signal(); }
    void showAlert(const QVImportExportMessage& a, Done done) override {
        std::fprintf(stderr, "alert %s %s %s\n", a.titleKey.c_str(), a.messageKey.c_str(),
                     a.detail.c_str());
        ++alerts;
        done();
    }
};

long statusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <folder> <source dir> <export dir>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1], source = argv[2], out = argv[3];
    if (!bench::makeBenchFolder(folder)) return 1;
    auto fs = std::make_shared<QVFileSystem>();
    if (!fs->mountEncryptedFolder(folder, std::string("bench"), std::string("bench"))) {
        std::fprintf(stderr, "cannot unlock the folder\n");
        return 1;
    }
    auto queue = platform::DispatchQueue::serial("bench.copy");
    Waiter waiter;
    auto ctl = QVImportExportController::create(fs, queue);
    ctl->setDelegate(&waiter);
    using Clock = std::chrono::steady_clock;
    auto seconds = [](Clock::time_point t0) {
        return std::chrono::duration<double>(Clock::now() - t0).count();
    };

    std::vector<std::string> sources;
    for (const auto& e : std::filesystem::directory_iterator(source))
        sources.push_back(e.path().string());
    std::ofstream("/proc/self/clear_refs") << "5";  // restarts the peak count
    const long idle = statusKiB("VmRSS:");
    ::sync();
    auto t0 = Clock::now();
    queue->async([&] { ctl->importFiles(sources, ""); });
    waiter.ended.wait();
    const double importSeconds = seconds(t0);
    const long peak = statusKiB("VmHWM:");

    std::vector<QVFile::Ptr> items =
        fs->contentsOfDirectoryAtPath("", true).value_or(std::vector<QVFile::Ptr>{});
    ::sync();
    std::ofstream("/proc/self/clear_refs") << "5";
    const long exportIdle = statusKiB("VmRSS:");
    t0 = Clock::now();
    queue->async([&] { ctl->exportFiles(items, out); });
    waiter.ended.wait();
    const double exportSeconds = seconds(t0);
    const long exportPeak = statusKiB("VmHWM:");
    queue->sync([&] { ctl->setDelegate(nullptr); });
    std::printf(
        "import %.3f export %.3f peak_above_idle_kib %ld idle_kib %ld export_peak_above_idle_kib "
        "%ld\n",
        importSeconds, exportSeconds, peak - idle, idle, exportPeak - exportIdle);
    return waiter.alerts == 0 ? 0 : 1;
}

#pragma once
// A mounted folder, a source and a destination directory, and a controller
// driven by a manual clock: run() advances time 1 ms at a time and pumps the
// main queue until the run ends.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FileSystem/QVFileSystem.h"
#include "app/ImportExport/QVImportExportController.h"
#include "platform/gui/StringTable.h"
#include "support/FolderBuilder.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

namespace iesupport {

namespace fs = std::filesystem;

inline std::string randomText(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

inline bool sameBytes(const fs::path& a, const fs::path& b) {
    return std::system(("cmp -s '" + a.string() + "' '" + b.string() + "'").c_str()) == 0;
}

// Names left behind by the copy's temporary files anywhere below `dir`.
inline std::vector<std::string> leftovers(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.path().filename().string().rfind(".tessaro-", 0) == 0) out.push_back(e.path());
    return out;
}

inline int openFdCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

inline void setMtime(const fs::path& p, time_t secs) {
    timespec t[2] = {{secs, 0}, {secs, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << p;
}

inline time_t mtimeOf(const fs::path& p) {
    struct stat st {};
    lstat(p.c_str(), &st);
    return st.st_mtim.tv_sec;
}

// Every key of a message has a text in the string table.
inline void expectTexts(const QVImportExportMessage& m) {
    std::vector<std::string> keys = m.buttonKeys;
    keys.push_back(m.titleKey);
    if (!m.messageKey.empty()) keys.push_back(m.messageKey);
    if (!m.checkBoxKey.empty()) keys.push_back(m.checkBoxKey);
    for (const auto& k : keys) EXPECT_NE(platform::localizedString(k), "") << k;
}

// Records what the controller says; answers from a script.
struct Recorder : QVImportExportDelegate {
    std::vector<std::pair<int64_t, int64_t>> progress;
    std::vector<QVImportExportMessage> alerts, conflicts;
    int aliasQuestions = 0, imports = 0, exports = 0;
    QVConflictAnswer conflict = QVConflictAnswer::Stop;
    bool applyToAll = false;
    QVAliasAnswer alias = QVAliasAnswer::Skip;
    std::function<void(int)> onProgress;  // with the call's number, from 1

    void importExporterProcessed(int64_t done, int64_t total) override {
        progress.emplace_back(done, total);
        if (onProgress) onProgress(static_cast<int>(progress.size()));
    }
    void importExporterDidImportFiles() override { ++imports; }
    void importExporterDidExportFiles() override { ++exports; }
    void askConflict(const QVImportExportMessage& q, ConflictReply reply) override {
        conflicts.push_back(q);
        expectTexts(q);
        reply(conflict, applyToAll);
    }
    void askAlias(const QVImportExportMessage& q, AliasReply reply) override {
        ++aliasQuestions;
        expectTexts(q);
        reply(alias);
    }
    void showAlert(const QVImportExportMessage& a, Done done) override {
        alerts.push_back(a);
        expectTexts(a);
        done();
    }
    int ends() const { return imports + exports; }
    std::vector<std::string> alertTitles() const {
        std::vector<std::string> t;
        for (const auto& a : alerts) t.push_back(a.titleKey + "/" + a.messageKey);
        return t;
    }
};

class ImportExportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = tmp_ / "box.zel";
        ASSERT_TRUE(testsupport::makeEncryptedFolder(folder_, {{"ann", "secret"}}));
        fs::create_directories(src_);
        fs::create_directories(out_);
        fs_ = std::make_shared<QVFileSystem>();
        ASSERT_TRUE(fs_->mountEncryptedFolder(folder_.string(), "ann", "secret"));
        makeController();
    }
    void TearDown() override {
        if (ctl_) ctl_->setDelegate(nullptr);
        ctl_.reset();
        platform::pumpMainQueue();
    }

    virtual void makeController() {
        ctl_ = QVImportExportController::create(fs_, platform::mainQueue(), clock_);
        ctl_->setDelegate(&rec_);
    }

    // Steps until the run ends; false when it never does.
    bool run(int maxSteps = 100000) {
        platform::pumpMainQueue();
        for (int i = 0; i < maxSteps && ctl_->isRunning(); ++i) {
            clock_.advance(std::chrono::milliseconds(1));
            platform::pumpMainQueue();
        }
        return !ctl_->isRunning();
    }

    bool importAll(const std::vector<std::string>& names, const std::string& target = "") {
        std::vector<std::string> paths;
        for (const auto& n : names) paths.push_back((src_ / n).string());
        if (!ctl_->importFiles(paths, target)) return false;
        return run();
    }

    bool exportAll(const std::vector<std::string>& folderPaths, const fs::path& dest) {
        std::vector<QVFile::Ptr> files;
        for (const auto& p : folderPaths) {
            auto f = fs_->fileAtPath(p);
            EXPECT_TRUE(f) << p;
            if (f) files.push_back(f);
        }
        if (!ctl_->exportFiles(files, dest.string())) return false;
        return run();
    }

    // Plain text of a folder file, "" when absent.
    std::string folderText(const std::string& path) {
        auto f = fs_->openFileAtPath(path, true, false);
        if (!f) return std::string();
        std::string s;
        while (auto d = fs_->readDataFromFile(f, 1 << 20)) {
            if (d->empty()) break;
            s.append(d->begin(), d->end());
        }
        fs_->closeFile(f);
        return s;
    }

    void putFolderText(const std::string& path, const std::string& text) {
        auto f = fs_->openFileAtPath(path, false, true);
        ASSERT_TRUE(f) << path;
        ASSERT_TRUE(fs_->truncateFile(f, 0));
        ASSERT_TRUE(fs_->writeData(std::vector<uint8_t>(text.begin(), text.end()), f));
        fs_->closeFile(f);
    }

    testsupport::TempDir tmp_{"tessaro-impexp"};
    fs::path folder_, src_ = tmp_ / "src", out_ = tmp_ / "out";
    std::shared_ptr<QVFileSystem> fs_;
    testsupport::ManualClock clock_;
    Recorder rec_;
    std::shared_ptr<QVImportExportController> ctl_;
};

}  // namespace iesupport

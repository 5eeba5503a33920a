#include <fcntl.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <future>

#include "FileSystem/QVMountedVolumes.h"
#include "ImportExportFixture.h"

using namespace iesupport;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr int64_t kChunk = QVImportExportController::kDataChunkSize;

// A tmpfs of the given size at `dir` while the object lives.
class SmallDisk {
  public:
    SmallDisk(const fs::path& dir, const char* options) : dir_(dir) {
        fs::create_directories(dir);
        ok_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0;
    }
    ~SmallDisk() {
        if (ok_) umount2(dir_.c_str(), MNT_DETACH);
    }
    bool ok() const { return ok_; }

  private:
    fs::path dir_;
    bool ok_ = false;
};

TEST_F(ImportExportTest, RoundTripOfEverySizeAroundTheChunk) {
    const int64_t sizes[] = {0, 1, 511, 512, 5'119'999, 5'120'000, 5'120'001, 10'240'007};
    for (int64_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string name = "f" + std::to_string(size);
        writeFile(src_ / name, randomText(static_cast<size_t>(size), static_cast<unsigned>(size)));
        // Set-id bits never travel; permission bits and times do.
        chmod((src_ / name).c_str(), 04751);
        setMtime(src_ / name, 1'000'000'000);
        rec_.progress.clear();
        ASSERT_TRUE(importAll({name}));
        EXPECT_EQ(rec_.progress.size(), static_cast<size_t>(size / kChunk + 1));
        EXPECT_EQ(rec_.progress.back(), std::make_pair(size, size));

        struct stat raw {};
        ASSERT_EQ(stat((folder_ / name).c_str(), &raw), 0);
        EXPECT_EQ(raw.st_size, size);
        EXPECT_EQ(raw.st_mode & 07777, 0751u);
        EXPECT_EQ(raw.st_mtim.tv_sec, 1'000'000'000);

        rec_.progress.clear();
        ASSERT_TRUE(exportAll({name}, out_));
        EXPECT_EQ(rec_.progress.size(), static_cast<size_t>(size / kChunk + 1));
        EXPECT_TRUE(sameBytes(src_ / name, out_ / name));
        struct stat back {};
        ASSERT_EQ(stat((out_ / name).c_str(), &back), 0);
        EXPECT_EQ(back.st_mode & 07777, 0751u);
        EXPECT_EQ(back.st_mtim.tv_sec, 1'000'000'000);
    }
    EXPECT_TRUE(rec_.alerts.empty());
    EXPECT_EQ(rec_.imports, 8);
    EXPECT_EQ(rec_.exports, 8);
    EXPECT_TRUE(leftovers(folder_).empty());
    EXPECT_TRUE(leftovers(out_).empty());
}

// The source is looked at before the target: nothing to copy, nothing asked.
TEST_F(ImportExportTest, AMissingSourceAsksNothing) {
    putFolderText("gone", "keep");
    ASSERT_TRUE(ctl_->importFiles({(src_ / "gone").string()}, ""));
    ASSERT_TRUE(run());
    EXPECT_TRUE(rec_.conflicts.empty());
    EXPECT_EQ(folderText("gone"), "keep");
    EXPECT_EQ(rec_.imports, 1);
}

TEST_F(ImportExportTest, TreeWithDotFilesRoundTripsWithoutDSStore) {
    fs::create_directories(src_ / "a/b/c");
    fs::create_directories(src_ / "a/.DS_Store");  // ignored whatever its kind
    writeFile(src_ / "a/.hidden", "h");
    writeFile(src_ / "a/b/.DS_Store", "junk");
    writeFile(src_ / "a/b/c/deep.txt", randomText(70'000, 3));
    writeFile(src_ / "a/b/x", "x");
    writeFile(src_ / ".DS_Store", "junk");
    ASSERT_TRUE(importAll({"a", ".DS_Store"}));
    for (const auto& e : fs::recursive_directory_iterator(folder_))
        EXPECT_NE(e.path().filename(), ".DS_Store") << e.path();
    EXPECT_EQ(folderText("a/.hidden"), "h");

    const int fds = openFdCount();
    ASSERT_TRUE(exportAll({"a"}, out_));
    EXPECT_EQ(openFdCount(), fds);
    fs::create_directories(tmp_ / "want");
    fs::copy(src_ / "a", tmp_ / "want/a", fs::copy_options::recursive);
    ASSERT_EQ(std::system(("find '" + (tmp_ / "want").string() +
                           "' -name .DS_Store -prune -exec rm -rf {} +")
                              .c_str()),
              0);
    EXPECT_EQ(
        std::system(("diff -r '" + (tmp_ / "want/a").string() + "' '" + (out_ / "a").string() + "'")
                        .c_str()),
        0);
}

// x and y exist at the destination, z does not; the sources come in that order.
TEST_F(ImportExportTest, ConflictAnswersInBothDirections) {
    struct Case {
        const char* name;
        QVConflictAnswer answer;
        bool all;
        size_t questions;
        bool replaced, zCopied;
    };
    const Case cases[] = {
        {"stop", QVConflictAnswer::Stop, false, 1, false, false},
        {"skip", QVConflictAnswer::Skip, false, 2, false, true},
        {"skip, apply to all", QVConflictAnswer::Skip, true, 2, false, true},
        {"replace", QVConflictAnswer::Replace, false, 2, true, true},
        {"replace, apply to all", QVConflictAnswer::Replace, true, 1, true, true},
    };
    for (bool import : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(import ? "import " : "export ") + c.name);
            fs_->removeItemAtPath("d");
            fs::remove_all(out_);
            fs::create_directories(out_ / "d");
            ASSERT_TRUE(fs_->createDirectoryAtPath("d"));
            // New contents on the source side, old ones at the destination.
            for (const char* n : {"x", "y", "z"}) {
                const std::string fresh = std::string("new ") + n;
                if (import)
                    writeFile(src_ / n, fresh);
                else
                    putFolderText(std::string("d/") + n, fresh);
            }
            for (const char* n : {"x", "y"}) {
                const std::string old = std::string("old ") + n;
                if (import)
                    putFolderText(std::string("d/") + n, old);
                else
                    writeFile(out_ / "d" / n, old);
            }
            rec_ = Recorder{};
            rec_.conflict = c.answer;
            rec_.applyToAll = c.all;
            const int fds = openFdCount();
            if (import)
                ASSERT_TRUE(importAll({"x", "y", "z"}, "d"));
            else
                ASSERT_TRUE(exportAll({"d/x", "d/y", "d/z"}, out_ / "d"));
            EXPECT_EQ(openFdCount(), fds);
            EXPECT_EQ(rec_.conflicts.size(), c.questions);
            ASSERT_FALSE(rec_.conflicts.empty());
            EXPECT_EQ(rec_.conflicts[0].messageKey, "alertFileExistsTextFormat");
            EXPECT_EQ(rec_.conflicts[0].arguments, std::vector<std::string>{"x"});
            EXPECT_EQ(rec_.ends(), 1);
            auto text = [&](const char* n) {
                return import ? folderText(std::string("d/") + n)
                              : (fs::exists(out_ / "d" / n) ? readFile(out_ / "d" / n) : "");
            };
            for (const char* n : {"x", "y"})
                EXPECT_EQ(text(n), std::string(c.replaced ? "new " : "old ") + n);
            EXPECT_EQ(text("z"), c.zCopied ? "new z" : "");
            EXPECT_TRUE(leftovers(folder_).empty());
            EXPECT_TRUE(leftovers(out_).empty());
        }
    }
}

// Stop at every moment of a run: an old target is either untouched or fully
// replaced, a new file is complete or absent, and the file cut short is named.
TEST_F(ImportExportTest, StopAtAnyProgressCallLosesNothing) {
    const std::vector<std::pair<std::string, size_t>> files = {
        {"big", 2 * kChunk + 100}, {"old1", 300}, {"mid", kChunk}, {"old2", 7}, {"tail", 9}};
    for (const auto& [n, size] : files) {
        writeFile(src_ / n, randomText(size, static_cast<unsigned>(size)));
        setMtime(src_ / n, 1'000'000'000);
    }
    std::vector<std::string> names;
    for (const auto& f : files) names.push_back(f.first);
    for (bool import : {true, false}) {
        for (int stopAt = 1; stopAt <= 8; ++stopAt) {
            SCOPED_TRACE(std::string(import ? "import" : "export") + " stop at " +
                         std::to_string(stopAt));
            rec_ = Recorder{};
            for (const auto& n : names) fs_->removeItemAtPath(n);
            fs::remove_all(out_);
            fs::create_directories(out_);
            if (import) {
                putFolderText("old1", "keep one");
                putFolderText("old2", "keep two");
            } else {
                ASSERT_TRUE(importAll(names));
                writeFile(out_ / "old1", "keep one");
                writeFile(out_ / "old2", "keep two");
            }
            rec_ = Recorder{};
            rec_.conflict = QVConflictAnswer::Replace;
            rec_.onProgress = [&, stopAt](int call) {
                if (call == stopAt) ctl_->stop();
            };
            if (import)
                ASSERT_TRUE(importAll(names));
            else
                ASSERT_TRUE(exportAll(names, out_));
            // Nothing moves after the call that pressed Stop.
            EXPECT_EQ(rec_.progress.size(), static_cast<size_t>(stopAt));
            for (const auto& [n, size] : files) {
                const fs::path at = import ? folder_ / n : out_ / n;
                const std::string got =
                    import ? folderText(n) : (fs::exists(at) ? readFile(at) : std::string());
                const std::string want = readFile(src_ / n);
                if (n.rfind("old", 0) == 0 && got != want) {
                    EXPECT_EQ(got, n == "old1" ? "keep one" : "keep two") << n;
                } else if (fs::exists(at)) {
                    EXPECT_EQ(got, want) << n << " is there but not complete";
                    EXPECT_EQ(mtimeOf(at), 1'000'000'000) << n;
                }
            }
            // Said after the end: the file that Stop cut short.
            for (const auto& a : rec_.alerts) {
                EXPECT_EQ(a.titleKey, "alertCopyStoppedHeading");
                ASSERT_EQ(a.arguments.size(), 1u);
                const fs::path cut = import ? folder_ / a.arguments[0] : fs::path(a.arguments[0]);
                EXPECT_TRUE(!fs::exists(cut) || fs::file_size(cut) != 0 ||
                            cut.filename().string().rfind("old", 0) == 0)
                    << a.arguments[0];
            }
            EXPECT_LE(rec_.alerts.size(), 1u);
            EXPECT_TRUE(leftovers(folder_).empty());
            EXPECT_TRUE(leftovers(out_).empty());
        }
    }
}

// Stop pressed between two steps, when no file is in hand.
TEST_F(ImportExportTest, StopBetweenItemsStartsNothing) {
    writeFile(src_ / "first", "first");
    writeFile(src_ / "old", "new old");
    fs::create_directories(src_ / "dir");
    writeFile(src_ / "dir/inner", "inner");
    putFolderText("old", "keep");
    rec_.conflict = QVConflictAnswer::Replace;
    ctl_->setStepBudget({});
    for (const char* first : {"first", "dir"}) {
        SCOPED_TRACE(first);
        rec_.conflicts.clear();
        ASSERT_TRUE(ctl_->importFiles({(src_ / first).string(), (src_ / "old").string()}, ""));
        ctl_->stop();  // the first item was handled by the start itself
        ASSERT_TRUE(run());
        EXPECT_TRUE(rec_.conflicts.empty());
        EXPECT_EQ(folderText("old"), "keep");
        EXPECT_FALSE(fs_->fileExistsAtPath("dir/inner"));
    }
}

class FaultyController : public QVImportExportController {
  public:
    FaultyController(std::shared_ptr<QVFileSystem> fs, testsupport::ManualClock& clock)
        : QVImportExportController(std::move(fs), platform::mainQueue(), clock) {}
    // Small files of an export are read on several threads at once.
    std::atomic<int> failAt = -1, chunks = 0;
    std::string unreadable;  // every read of a file of this name fails

  protected:
    bool writeChunk(const QVFile::Ptr& f, uint64_t at, const uint8_t* d, size_t n,
                    int* err) override {
        if (++chunks == failAt) return *err = EIO, false;
        return QVImportExportController::writeChunk(f, at, d, n, err);
    }
    bool readChunk(const QVFile::Ptr& f, uint64_t at, uint8_t* d, size_t n, size_t* got,
                   int* err) override {
        if (++chunks == failAt || f->fileName() == unreadable) return *err = EIO, false;
        return QVImportExportController::readChunk(f, at, d, n, got, err);
    }
};

class FaultyImportExportTest : public ImportExportTest {
  protected:
    void makeController() override {
        faulty_ = std::make_shared<FaultyController>(fs_, clock_);
        ctl_ = faulty_;
        ctl_->setDelegate(&rec_);
    }
    std::shared_ptr<FaultyController> faulty_;
};

TEST_F(FaultyImportExportTest, AFailedChunkEndsThatFileOnlyAndKeepsTheOldTarget) {
    writeFile(src_ / "x", randomText(2 * kChunk + 5, 1));
    writeFile(src_ / "y", "why");
    for (bool import : {true, false}) {
        for (int k : {1, 2, 3}) {
            SCOPED_TRACE(std::string(import ? "import" : "export") + " fails at chunk " +
                         std::to_string(k));
            if (!import) {
                faulty_->failAt = -1;
                fs_->removeItemAtPath("x");
                fs_->removeItemAtPath("y");
                ASSERT_TRUE(importAll({"x", "y"}));
            }
            fs::remove_all(out_);
            fs::create_directories(out_);
            if (import)
                putFolderText("x", "old x");
            else
                writeFile(out_ / "x", "old x");
            rec_ = Recorder{};
            rec_.conflict = QVConflictAnswer::Replace;
            faulty_->chunks = 0;
            faulty_->failAt = k;
            if (import)
                ASSERT_TRUE(importAll({"x", "y"}));
            else
                ASSERT_TRUE(exportAll({"x", "y"}, out_));
            ASSERT_EQ(rec_.alerts.size(), 1u);
            EXPECT_EQ(rec_.alertTitles()[0],
                      import ? "alertWriteErrorHeading/alertWriteErrorFolderFileText"
                             : "alertReadErrorHeading/alertReadErrorFolderText");
            EXPECT_EQ(import ? folderText("x") : readFile(out_ / "x"), "old x");
            EXPECT_EQ(import ? folderText("y") : readFile(out_ / "y"), "why");
            EXPECT_TRUE(leftovers(folder_).empty());
            EXPECT_TRUE(leftovers(out_).empty());
        }
    }
}

// Many small files go out several at once within a step, one by one with a
// zero budget: either way each arrives whole with its bits and time, a file
// that cannot be read is said once and leaves nothing, an existing target
// is asked about and kept.
TEST_F(FaultyImportExportTest, SmallFilesArriveWholeSideBySideOrOneByOne) {
    constexpr int64_t kLimit = QVImportExportController::kSideBySideBytes;
    fs::create_directories(src_ / "many");
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) {
        const int64_t size = i == 0 ? 0 : i == 1 ? kLimit : i == 2 ? kLimit + 1 : i * 97;
        names.push_back("f" + std::to_string(i));
        const fs::path p = src_ / "many" / names.back();
        writeFile(p, randomText(static_cast<size_t>(size), static_cast<unsigned>(i)));
        chmod(p.c_str(), i % 2 ? 0640 : 0755);
        setMtime(p, 1'000'000'000 + i);
    }
    writeFile(src_ / "many/bad", "unreadable");
    writeFile(src_ / "taken", "new");
    ASSERT_TRUE(importAll({"many", "taken"}));
    faulty_->unreadable = "bad";
    for (bool oneByOne : {false, true}) {
        SCOPED_TRACE(oneByOne ? "zero budget" : "default budget");
        ctl_->setStepBudget(
            oneByOne ? std::chrono::steady_clock::duration{}
                     : std::chrono::steady_clock::duration{QVImportExportController::kStepBudget});
        fs::remove_all(out_);
        fs::create_directories(out_);
        writeFile(out_ / "taken", "old");
        rec_ = Recorder{};
        rec_.conflict = QVConflictAnswer::Skip;
        ASSERT_TRUE(exportAll({"many", "taken"}, out_));
        for (const auto& n : names) {
            SCOPED_TRACE(n);
            EXPECT_TRUE(sameBytes(src_ / "many" / n, out_ / "many" / n));
            struct stat a {
            }, b{};
            ASSERT_EQ(stat((src_ / "many" / n).c_str(), &a), 0);
            ASSERT_EQ(stat((out_ / "many" / n).c_str(), &b), 0);
            EXPECT_EQ(b.st_mode & 07777, a.st_mode & 07777);
            EXPECT_EQ(b.st_mtim.tv_sec, a.st_mtim.tv_sec);
        }
        EXPECT_FALSE(fs::exists(out_ / "many/bad"));
        EXPECT_EQ(readFile(out_ / "taken"), "old");
        EXPECT_EQ(rec_.conflicts.size(), 1u);
        EXPECT_EQ(rec_.alertTitles(),
                  std::vector<std::string>{"alertReadErrorHeading/alertReadErrorFolderText"});
        EXPECT_EQ(rec_.exports, 1);
        EXPECT_TRUE(leftovers(out_).empty());
    }
}

// A small tmpfs fills up while a file is copied (another program's ballast).
TEST_F(ImportExportTest, FullDiskEndsTheFileAndKeepsTheOldTarget) {
    const fs::path disk = tmp_ / "disk";
    SmallDisk mounted(disk, "size=24m");
    if (!mounted.ok()) GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    writeFile(src_ / "big", randomText(3 * kChunk, 9));
    writeFile(src_ / "small", "fits");
    auto fill = [&](const fs::path& ballast) {
        rec_.onProgress = [ballast](int call) {
            if (call != 1) return;
            int fd = open(ballast.c_str(), O_WRONLY | O_CREAT, 0600);
            std::string mb(1 << 20, 'b');
            while (write(fd, mb.data(), mb.size()) > 0) {
            }
            // Room for the small file once the big one's temporary copy is gone.
            ftruncate(fd, lseek(fd, 0, SEEK_END) - (64 << 10));
            close(fd);
        };
    };
    {
        SCOPED_TRACE("export");
        ASSERT_TRUE(importAll({"big", "small"}));
        writeFile(disk / "big", "old big");
        rec_ = Recorder{};
        rec_.conflict = QVConflictAnswer::Replace;
        fill(disk / "ballast");
        ASSERT_TRUE(exportAll({"big", "small"}, disk));
        ASSERT_EQ(rec_.alerts.size(), 1u);
        EXPECT_NE(rec_.alerts[0].detail.find(std::strerror(ENOSPC)), std::string::npos);
        EXPECT_EQ(readFile(disk / "big"), "old big");
        EXPECT_EQ(readFile(disk / "small"), "fits");
        EXPECT_TRUE(leftovers(disk).empty());
        fs::remove_all(disk / "ballast");
        fs::remove(disk / "big");
        fs::remove(disk / "small");
    }
    {
        SCOPED_TRACE("import");
        fs_->unmount();
        fs::copy(folder_, disk / "box.zel", fs::copy_options::recursive);
        fs::remove_all(folder_);
        folder_ = disk / "box.zel";
        ASSERT_TRUE(fs_->mountEncryptedFolder(folder_.string(), "ann", "secret"));
        putFolderText("big", "old big");
        fs_->removeItemAtPath("small");
        rec_ = Recorder{};
        rec_.conflict = QVConflictAnswer::Replace;
        fill(disk / "ballast");
        ASSERT_TRUE(importAll({"big", "small"}));
        EXPECT_EQ(rec_.alertTitles(),
                  std::vector<std::string>{"alertWriteErrorHeading/alertWriteErrorFolderFileText"});
        EXPECT_EQ(folderText("big"), "old big");
        EXPECT_EQ(folderText("small"), "fits");
        EXPECT_TRUE(leftovers(folder_).empty());
        fs_->unmount();
    }
}

TEST_F(ImportExportTest, ConfigurationDatabaseNamesAreNeverImported) {
    const std::string before = readFile(folder_ / "_QXCFG.MOX");
    for (const char* n : {"_qxcfg.mox", "_QXCFG.MOX", "_Qxcfg.Mox-Journal"})
        writeFile(src_ / n, "not a database");
    ASSERT_TRUE(importAll({"_qxcfg.mox", "_QXCFG.MOX", "_Qxcfg.Mox-Journal"}));
    EXPECT_EQ(rec_.alerts.size(), 3u);
    EXPECT_EQ(rec_.alerts[0].titleKey, "alertReservedNameHeading");
    EXPECT_EQ(readFile(folder_ / "_QXCFG.MOX"), before);
    EXPECT_FALSE(fs::exists(folder_ / "_QXCFG.MOX-JOURNAL"));
    EXPECT_FALSE(fs::exists(folder_ / "_qxcfg.mox"));
    QVFileSystem again;
    EXPECT_TRUE(again.mountEncryptedFolder(folder_.string(), "ann", "secret"));
}

TEST_F(ImportExportTest, CopiesThatTouchTheFolderItselfAreRefused) {
    putFolderText("inner", "inner text");
    ASSERT_TRUE(fs_->createDirectoryAtPath("box.zel"));  // named like the folder
    fs::create_directories(folder_ / "sub");
    fs::create_symlink(folder_, tmp_ / "link-to-folder");
    const std::string rawInner = readFile(folder_ / "inner");
    struct Case {
        const char* name;
        bool import;
        std::vector<std::string> what;  // local paths or folder paths
        fs::path where;
    };
    const Case cases[] = {
        {"import the folder", true, {folder_.string()}, {}},
        {"import an ancestor", true, {tmp_.path().string()}, {}},
        {"import from inside", true, {(folder_ / "inner").string()}, {}},
        {"import through a link", true, {(tmp_ / "link-to-folder").string() + "/"}, {}},
        {"export into the folder", false, {"inner"}, folder_},
        {"export below it", false, {"inner"}, folder_ / "sub"},
        {"export over the folder", false, {"box.zel"}, tmp_.path()},
        {"export through a link", false, {"inner"}, tmp_ / "link-to-folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rec_ = Recorder{};
        bool started;
        if (c.import) {
            started = ctl_->importFiles(c.what, "");
        } else {
            std::vector<QVFile::Ptr> files;
            for (const auto& p : c.what) files.push_back(fs_->fileAtPath(p));
            started = ctl_->exportFiles(files, c.where.string());
        }
        EXPECT_FALSE(started);
        EXPECT_FALSE(ctl_->isRunning());
        ASSERT_EQ(rec_.alerts.size(), 1u);
        EXPECT_EQ(rec_.alerts[0].titleKey, "alertCopyFolderItselfHeading");
        EXPECT_EQ(readFile(folder_ / "inner"), rawInner);
        EXPECT_EQ(folderText("inner"), "inner text");
    }
}

TEST_F(ImportExportTest, ExportReplacesAPlantedLinkNeverWhatItNames) {
    putFolderText("x", "exported");
    ASSERT_TRUE(fs_->createDirectoryAtPath("d"));
    putFolderText("d/in", "inside");
    writeFile(tmp_ / "victim", "precious");
    fs::create_directories(tmp_ / "victimdir");
    fs::create_symlink(tmp_ / "victim", out_ / "x");
    fs::create_symlink(tmp_ / "victimdir", out_ / "d");
    rec_.conflict = QVConflictAnswer::Replace;
    ASSERT_TRUE(exportAll({"x", "d"}, out_));
    EXPECT_EQ(readFile(tmp_ / "victim"), "precious");
    EXPECT_TRUE(fs::is_empty(tmp_ / "victimdir"));
    EXPECT_FALSE(fs::is_symlink(out_ / "x"));
    EXPECT_EQ(readFile(out_ / "x"), "exported");
    EXPECT_FALSE(fs::is_symlink(out_ / "d"));
    EXPECT_EQ(readFile(out_ / "d/in"), "inside");
}

TEST_F(ImportExportTest, LinksAreAskedAboutOncePerRun) {
    writeFile(src_ / "a", "a");
    writeFile(src_ / "z", "z");
    fs::create_symlink("a", src_ / "l1");
    fs::create_symlink("/etc/passwd", src_ / "l2");
    for (QVAliasAnswer answer : {QVAliasAnswer::Skip, QVAliasAnswer::Stop}) {
        SCOPED_TRACE(answer == QVAliasAnswer::Skip ? "skip" : "stop");
        for (const char* n : {"a", "l1", "l2", "z"}) fs_->removeItemAtPath(n);
        rec_ = Recorder{};
        rec_.alias = answer;
        ASSERT_TRUE(importAll({"a", "l1", "l2", "z"}));
        EXPECT_EQ(rec_.aliasQuestions, 1);
        EXPECT_FALSE(fs_->fileExistsAtPath("l1"));
        EXPECT_FALSE(fs_->fileExistsAtPath("l2"));
        EXPECT_EQ(folderText("a"), "a");
        EXPECT_EQ(fs_->fileExistsAtPath("z"), answer == QVAliasAnswer::Skip);
    }
}

TEST_F(ImportExportTest, SpecialFilesAreSkippedWithoutBlocking) {
    fs::create_directories(src_ / "dir");
    writeFile(src_ / "dir/before", "b");
    ASSERT_EQ(mkfifo((src_ / "dir/pipe").c_str(), 0600), 0);
    writeFile(src_ / "dir/zafter", "z");
    auto done = std::async(std::launch::async, [&] { return importAll({"dir"}); });
    if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        int fd = open((src_ / "dir/pipe").c_str(), O_WRONLY);  // frees a blocked reader
        close(fd);
        FAIL() << "the import blocked on a FIFO";
    }
    EXPECT_TRUE(done.get());
    EXPECT_EQ(folderText("dir/before"), "b");
    EXPECT_EQ(folderText("dir/zafter"), "z");
    EXPECT_FALSE(fs_->fileExistsAtPath("dir/pipe"));
}

// Root reads and lists every directory whatever its mode: for as long as it
// lives, the calling thread (which runs the copy's steps here) has the two
// capabilities that allow it out of its effective set, as any other user is.
class WithoutFileAccessOverride {
  public:
    WithoutFileAccessOverride() {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ok_ = syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~WithoutFileAccessOverride() { syscall(SYS_capset, &header_, saved_); }
    bool ok() const { return ok_; }

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2] = {};
    bool ok_ = false;
};

// A directory that cannot be listed gets the read alert naming it; nothing
// is made for it in the folder, and the run goes on with what can be read.
TEST_F(ImportExportTest, AnUnlistableSourceGivesTheReadAlert) {
    fs::create_directories(src_ / "top/shut");
    fs::create_directories(src_ / "alone");
    writeFile(src_ / "top/open.txt", "open");
    writeFile(src_ / "top/shut/hidden.txt", "hidden");
    writeFile(src_ / "alone/inside.txt", "inside");
    writeFile(src_ / "after.txt", "after");
    fs::permissions(src_ / "top/shut", fs::perms::none);
    fs::permissions(src_ / "alone", fs::perms::none);
    struct Case {
        std::vector<std::string> sources;
        std::string unlistable, notMade, made;
    } cases[] = {
        {{"alone", "after.txt"}, "alone", "alone", "after.txt"},
        {{"top"}, "top/shut", "top/shut", "top/open.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.unlistable);
        rec_ = Recorder{};
        WithoutFileAccessOverride asAUser;
        ASSERT_TRUE(asAUser.ok());
        ASSERT_TRUE(importAll(c.sources));
        ASSERT_EQ(rec_.alerts.size(), 1u) << ::testing::PrintToString(rec_.alertTitles());
        EXPECT_EQ(rec_.alerts[0].titleKey, "alertReadErrorHeading");
        EXPECT_EQ(rec_.alerts[0].detail,
                  (src_ / c.unlistable).string() + ": " + std::strerror(EACCES));
        EXPECT_FALSE(fs_->fileExistsAtPath(c.notMade));
        EXPECT_TRUE(fs_->fileExistsAtPath(c.made));
        EXPECT_EQ(rec_.imports, 1);
    }
    fs::permissions(src_ / "top/shut", fs::perms::owner_all);
    fs::permissions(src_ / "alone", fs::perms::owner_all);
}

TEST_F(ImportExportTest, OneRunAtATime) {
    writeFile(src_ / "big", randomText(3 * kChunk, 5));
    writeFile(src_ / "other", "other");
    ASSERT_TRUE(ctl_->importFiles({(src_ / "big").string()}, ""));
    ASSERT_TRUE(ctl_->isRunning());
    EXPECT_FALSE(ctl_->importFiles({(src_ / "other").string()}, ""));
    EXPECT_FALSE(ctl_->exportFiles({fs_->rootFile()}, out_.string()));
    ASSERT_EQ(rec_.alerts.size(), 2u);
    EXPECT_EQ(rec_.alerts[0].titleKey, "alertCopyRunningHeading");
    ASSERT_TRUE(run());
    EXPECT_EQ(rec_.imports, 1);
    EXPECT_EQ(folderText("big"), readFile(src_ / "big"));
    EXPECT_FALSE(fs_->fileExistsAtPath("other"));
}

TEST_F(ImportExportTest, AHandleChangeStopsTheRunFirst) {
    writeFile(src_ / "big", randomText(3 * kChunk, 5));
    writeFile(src_ / "next", "next");
    putFolderText("big", "old big");
    rec_.conflict = QVConflictAnswer::Replace;
    ASSERT_TRUE(ctl_->importFiles({(src_ / "big").string(), (src_ / "next").string()}, ""));
    ASSERT_TRUE(ctl_->isRunning());
    auto other = std::make_shared<QVFileSystem>();
    ctl_->setFileSystem(other);
    EXPECT_FALSE(ctl_->isRunning());
    EXPECT_EQ(rec_.imports, 1);
    EXPECT_TRUE(run());
    EXPECT_EQ(folderText("big"), "old big");
    EXPECT_FALSE(fs_->fileExistsAtPath("next"));
    EXPECT_TRUE(leftovers(folder_).empty());
}

TEST_F(ImportExportTest, TooLittleFreeSpaceStartsNothing) {
    const fs::path disk = tmp_ / "disk";
    SmallDisk mounted(disk, "size=2m");
    if (!mounted.ok()) GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    fs_->unmount();
    fs::copy(folder_, disk / "box.zel", fs::copy_options::recursive);
    folder_ = disk / "box.zel";
    ASSERT_TRUE(fs_->mountEncryptedFolder(folder_.string(), "ann", "secret"));
    writeFile(src_ / "big", randomText(3 << 20, 5));
    EXPECT_FALSE(ctl_->importFiles({(src_ / "big").string()}, ""));
    EXPECT_EQ(rec_.alertTitles(),
              std::vector<std::string>{"alertFolderNoSpaceHeading/alertFolderNoSpaceText"});
    EXPECT_EQ(rec_.exports, 1);
    EXPECT_FALSE(fs_->fileExistsAtPath("big"));
    fs_->unmount();
}

// Every way a run can end in the middle of a file, for a new file and for
// one that replaces an item: nothing under the target's name unless it is
// complete, the old item intact, no temporary name left.
TEST_F(ImportExportTest, AnEndInTheMiddleOfAFileLeavesNoPartialFile) {
    const std::string big = randomText(3 * kChunk + 11, 9);
    writeFile(src_ / "big", big);
    enum class End { Stop, HandleChange, NoHandle, SameHandleLocked, ControllerGone };
    const std::pair<End, const char*> ends[] = {{End::Stop, "stop"},
                                                {End::HandleChange, "handle change"},
                                                {End::NoHandle, "no handle (eject, quit)"},
                                                {End::SameHandleLocked, "same handle, locked"},
                                                {End::ControllerGone, "controller destroyed"}};
    for (bool import : {true, false}) {
        for (bool replacing : {false, true}) {
            for (const auto& [end, endName] : ends) {
                SCOPED_TRACE(std::string(import ? "import" : "export") +
                             (replacing ? ", replacing, " : ", new, ") + endName);
                if (!fs_->isMounted()) {
                    ASSERT_TRUE(fs_->mountEncryptedFolder(folder_.string(), "ann", "secret"));
                }
                makeController();
                fs::remove_all(out_);
                fs::create_directories(out_);
                fs_->removeItemAtPath("big");
                if (!import) {
                    ASSERT_TRUE(importAll({"big"}));
                    if (replacing) writeFile(out_ / "big", "old big");
                } else if (replacing) {
                    putFolderText("big", "old big");
                }
                rec_ = Recorder{};
                rec_.conflict = QVConflictAnswer::Replace;
                if (import) {
                    ASSERT_TRUE(ctl_->importFiles({(src_ / "big").string()}, ""));
                } else {
                    ASSERT_TRUE(ctl_->exportFiles({fs_->fileAtPath("big")}, out_.string()));
                }
                ASSERT_TRUE(ctl_->isRunning());
                clock_.advance(std::chrono::milliseconds(1));
                platform::pumpMainQueue();  // a second chunk: well inside the file
                switch (end) {
                    case End::Stop:
                        ctl_->stop();
                        break;
                    case End::HandleChange:
                        ctl_->setFileSystem(std::make_shared<QVFileSystem>());
                        break;
                    case End::NoHandle:
                        ctl_->setFileSystem(nullptr);
                        break;
                    case End::SameHandleLocked:
                        ctl_->setFileSystem(fs_);  // nothing changes while unlocked
                        EXPECT_TRUE(ctl_->isRunning());
                        fs_->unmount();
                        ctl_->setFileSystem(fs_);
                        break;
                    case End::ControllerGone:
                        ctl_.reset();
                        break;
                }
                if (ctl_) {
                    ASSERT_TRUE(run());
                }
                EXPECT_EQ(rec_.ends(), end == End::ControllerGone ? 0 : 1);
                if (end == End::Stop) {
                    ASSERT_EQ(rec_.alerts.size(), 1u)
                        << ::testing::PrintToString(rec_.alertTitles());
                    EXPECT_EQ(rec_.alerts[0].titleKey, "alertCopyStoppedHeading");
                    const std::string named = rec_.alerts[0].arguments.at(0);
                    EXPECT_EQ(named, import ? "big" : (out_ / "big").string());
                } else {
                    EXPECT_TRUE(rec_.alerts.empty())
                        << ::testing::PrintToString(rec_.alertTitles());
                }
                if (!fs_->isMounted()) {
                    ASSERT_TRUE(fs_->mountEncryptedFolder(folder_.string(), "ann", "secret"));
                }
                if (import) {
                    EXPECT_EQ(fs_->fileExistsAtPath("big"), replacing);
                    if (replacing) {
                        EXPECT_EQ(folderText("big"), "old big");
                    }
                } else {
                    EXPECT_EQ(fs::exists(out_ / "big"), replacing);
                    if (replacing) {
                        EXPECT_EQ(readFile(out_ / "big"), "old big");
                    }
                    EXPECT_TRUE(leftovers(out_).empty());
                }
                EXPECT_TRUE(leftovers(folder_).empty());
            }
        }
    }
}

// Links in the folder leave it as links, whatever they name: never followed,
// so a link to "." or ".." ends, and the total is what was copied.
TEST_F(ImportExportTest, LinksAreExportedAsLinks) {
    ASSERT_TRUE(fs_->createDirectoryAtPath("d"));
    ASSERT_TRUE(fs_->createDirectoryAtPath("d/sib"));
    putFolderText("d/file", "file text");
    struct Case {
        const char* name;
        std::string stored;    // as the volume stores it in the folder
        std::string exported;  // as the copy carries it
    };
    const std::string rawRoot = fs::canonical(folder_).string();
    const Case cases[] = {
        {"to-dot", ".", "."},           {"to-dotdot", "..", ".."},
        {"to-sibling", "sib", "sib"},   {"to-file", "file", "file"},
        {"leaving", "/etc", "/etc"},    {"into the folder", rawRoot + "/d/sib", "../d/sib"},
        {"to the root", rawRoot, ".."},
    };
    for (const Case& c : cases) fs::create_symlink(c.stored, folder_ / "d" / c.name);
    ASSERT_TRUE(exportAll({"d"}, out_));
    EXPECT_TRUE(rec_.alerts.empty()) << ::testing::PrintToString(rec_.alertTitles());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(fs::is_symlink(out_ / "d" / c.name));
        EXPECT_EQ(fs::read_symlink(out_ / "d" / c.name).string(), c.exported);
    }
    EXPECT_EQ(readFile(out_ / "d/file"), "file text");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(out_)) ++entries;
    EXPECT_EQ(entries, 1u + 2u + std::size(cases));  // d, sib, file and the links
    ASSERT_FALSE(rec_.progress.empty());
    EXPECT_EQ(rec_.progress.back().first, rec_.progress.back().second);
    // Over an item that is there: after the question, the link replaces it.
    fs::remove(out_ / "d" / "to-dot");
    writeFile(out_ / "d" / "to-dot", "in the way");
    rec_ = Recorder{};
    rec_.conflict = QVConflictAnswer::Replace;
    ASSERT_TRUE(exportAll({"d/to-dot"}, out_ / "d"));
    EXPECT_EQ(fs::read_symlink(out_ / "d" / "to-dot").string(), ".");
    EXPECT_EQ(rec_.conflicts.size(), 1u);
}

// The folder's own mounted volume is neither a source nor a destination.
TEST_F(ImportExportTest, TheFoldersOwnVolumeIsRefused) {
    const fs::path volume = tmp_ / "volume";
    fs::create_directories(volume / "sub");
    writeFile(volume / "sub" / "f", "f");
    putFolderText("inner", "inner");
    int owner = 0;
    QVMountedVolumes::add(&owner, folder_.string(), volume.string());
    const std::pair<std::vector<std::string>, fs::path> cases[] = {
        {{volume.string()}, {}},
        {{(volume / "sub").string()}, {}},
        {{tmp_.path().string() + "/volume/sub/f"}, {}},
        {{}, volume},
        {{}, volume / "sub"},
    };
    for (const auto& [sources, destination] : cases) {
        SCOPED_TRACE(sources.empty() ? destination.string() : sources[0]);
        rec_ = Recorder{};
        const bool started = sources.empty()
                                 ? ctl_->exportFiles({fs_->fileAtPath("inner")}, destination)
                                 : ctl_->importFiles(sources, "");
        EXPECT_FALSE(started);
        ASSERT_EQ(rec_.alerts.size(), 1u);
        EXPECT_EQ(rec_.alerts[0].titleKey, "alertCopyFolderItselfHeading");
    }
    EXPECT_FALSE(fs_->fileExistsAtPath("volume"));
    EXPECT_FALSE(fs::exists(volume / "inner"));
    QVMountedVolumes::remove(&owner);
    rec_ = Recorder{};
    EXPECT_TRUE(ctl_->exportFiles({fs_->fileAtPath("inner")}, volume.string()));
    EXPECT_TRUE(run());
    EXPECT_EQ(readFile(volume / "inner"), "inner");
}

TEST(CopyProgress, BarAndRemainingTimeForAnyCounts) {
    struct Case {
        int64_t done, total;
        double elapsed;
        double percent;
        int64_t remaining;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0},                   // nothing counted yet
        {0, 1000, 0, 0, 0},                // no time passed: 5,000,000 B/s
        {5, 0, 1, 100, 0},                 // items nobody counted
        {2000, 1000, 2, 100, 0},           // done above total
        {500, 1000, 1, 50, 1},             // 500 B/s, 500 left
        {1, 20'000'000, 10, 0.000005, 3},  // rate truncates to 0: 5,000,000 B/s
        {-3, 100, 1, 0, 0},
        {50'000'000, 100'000'000, 5, 50, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.done) + "/" + std::to_string(c.total));
        auto p = copyProgressFor(c.done, c.total, c.elapsed);
        EXPECT_NEAR(p.percent, c.percent, 1e-9);
        EXPECT_EQ(p.remainingSeconds, c.remaining);
    }
}

}  // namespace

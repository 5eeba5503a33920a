#pragma once
// Copies files and directory trees between the desktop and an unlocked folder
// without mounting it: import encrypts local files into the folder through
// QVFileSystem, export decrypts folder files into a local directory.
//
// The copy is a chain of small steps on one queue (the main queue in the
// application), one chunk of at most kDataChunkSize bytes per step, each step
// started by a 1 ms one-shot timer, so the interface stays live and Stop is
// seen between steps. A longer file is read and written on two queues of
// their own meanwhile (the next chunk read while the one before is written),
// so the step only hands them on. Questions and alerts go to the delegate, which answers
// through a callback whenever it likes; the chain waits meanwhile.
//
// No file is ever lost or made to look complete when it is not: every file is
// written under a temporary name in its target directory and renamed into
// place only when complete (an existing target is replaced only then; the
// folder's sector IVs depend only on the position, so a renamed encrypted file
// stays valid). A file that is not complete, whatever ended it (Stop, a
// failure, a locked folder, the controller's end), is removed and leaves an
// old target as it was; after Stop the delegate is told which file it was.
// Links inside the folder are exported as links, never followed.
//
//   auto c = QVImportExportController::create(fileSystem);
//   c->setDelegate(browser);
//   c->importFiles({"/home/u/a.txt", "/home/u/photos"}, "docs");
//   c->exportFiles(selectedFiles, "/home/u/Desktop");
//
// Everything runs on the controller's queue; call it from there only. The
// run's course (steps, questions, Stop) is QVCopyRun; the import's steps are
// in QVImportSteps.cpp, the export's in QVExportSteps.cpp.

#include <sys/stat.h>
#include <sys/types.h>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileSystem/QVFile.h"
#include "app/ImportExport/QVCopyRun.h"
#include "app/ImportExport/QVImportExportDelegate.h"
#include "platform/core/Dispatch.h"
#include "platform/core/UniqueFd.h"

class QVFileSystem;

// Progress shown by the sheet: bar 0-100 and remaining seconds, safe for any
// pair of counts (a total of 0, done above total).
struct QVCopyProgress {
    double percent = 0;
    int64_t remainingSeconds = 0;
};
QVCopyProgress copyProgressFor(int64_t done, int64_t total, double elapsedSeconds);

class QVImportExportController : public std::enable_shared_from_this<QVImportExportController>,
                                 private QVCopyRun::Owner {
  public:
    static constexpr int64_t kDataChunkSize = 5'120'000;
    static constexpr std::chrono::milliseconds kStepDelay{1};
    // How long one step may go on with further small items.
    static constexpr std::chrono::milliseconds kStepBudget{8};
    // An export's new files up to this size, one destination, go several at
    // once within a step (not with a zero budget).
    static constexpr int64_t kSideBySideBytes = 1'048'576;
    static constexpr size_t kSideBySideFiles = 16;
    static constexpr size_t kSideBySideWorkers = 4;

    static std::shared_ptr<QVImportExportController> create(
        std::shared_ptr<QVFileSystem> fileSystem,
        platform::DispatchQueuePtr queue = platform::mainQueue(),
        platform::Clock& clock = platform::systemClock());
    virtual ~QVImportExportController();
    QVImportExportController(const QVImportExportController&) = delete;
    QVImportExportController& operator=(const QVImportExportController&) = delete;

    // Not owned; clear it before the delegate goes.
    void setDelegate(QVImportExportDelegate* delegate) { delegate_ = delegate; }
    QVImportExportDelegate* delegate() const { return delegate_; }
    std::shared_ptr<QVFileSystem> fileSystem() const { return fs_; }
    // A running copy is stopped and cleaned up before the handle changes.
    void setFileSystem(std::shared_ptr<QVFileSystem> fileSystem);

    // The browser's hooks. Local paths are absolute; `targetDir` is relative
    // to the folder root ("" for the root). False when nothing was started:
    // another copy runs (alert), the request touches the folder's own
    // directory (alert), or the destination is missing.
    bool importFiles(const std::vector<std::string>& sourcePaths, const std::string& targetDir);
    bool exportFiles(const std::vector<QVFile::Ptr>& items, const std::string& destinationDir);

    // The same in two stages, as the browser may prefer.
    void setPreloadedSourceURLs(std::vector<std::string> paths) {
        preSourcePaths_ = std::move(paths);
    }
    void setPreloadedTargetParentPath(std::optional<std::string> p) {
        preTargetPath_ = std::move(p);
    }
    void setPreloadedSourceFiles(std::vector<QVFile::Ptr> f) { preSourceFiles_ = std::move(f); }
    void setPreloadedTargetFolderURL(std::optional<std::string> p) { preTargetDir_ = std::move(p); }
    bool executePreloadedCopyFromURLsToContainer();
    bool executePreloadedCopyFromContainerToFolderUrl();

    // The question about an existing item named `name`; the browser asks it
    // too when rows moved inside the folder meet one.
    static QVImportExportMessage conflictQuestion(const std::string& name);

    // Ends the run before the next item; a file being copied ends at the next step.
    void stop() { run_.stop(); }
    bool isRunning() const { return run_.isRunning(); }
    // Zero: one item per step.
    void setStepBudget(std::chrono::steady_clock::duration d) { run_.setStepBudget(d); }
    int64_t totalBytesToCopy() const { return totalBytes_; }
    int64_t copiedBytes() const { return copiedBytes_; }
    std::vector<std::string>& finderItemsToIgnore() { return ignore_; }

  protected:
    QVImportExportController(std::shared_ptr<QVFileSystem> fileSystem,
                             platform::DispatchQueuePtr queue, platform::Clock& clock);

    // One chunk into and out of a folder file at `offset`; tests override
    // them to fail at a chosen chunk. False with an errno value in *err.
    // Both run on queues of their own (an export also reads small files on
    // several threads at once), and a subclass that overrides them ends a
    // running copy before it goes.
    virtual bool writeChunk(const QVFile::Ptr& file, uint64_t offset, const uint8_t* data,
                            size_t size, int* err);
    virtual bool readChunk(const QVFile::Ptr& file, uint64_t offset, uint8_t* data, size_t size,
                           size_t* got, int* err);

  private:
    enum class Direction { Import, Export };
    // A local item into a folder directory (relative to the folder root).
    struct ImportEntry {
        std::string source;
        std::string destination;
    };
    // A folder item into a local directory (its real path).
    struct ExportEntry {
        QVFile::Ptr file;
        std::string destination;
    };
    // The file being imported, between its chunks.
    struct ImportFile {
        std::string tempPath;    // folder-relative, beside the target
        std::string targetPath;  // folder-relative; what the user is told
        bool replacing = false;  // a target exists and is replaced on completion
        int sourceFd = -1;       // the local file
        QVFile::Ptr temp;        // the folder's temporary file
        int64_t bytes = 0;       // moved so far
        int64_t expected = -1;   // the source's size when it was opened
    };
    // The file being exported, between its chunks.
    struct ExportFile {
        std::string name;           // in the destination directory
        std::string tempName;       // beside it
        std::string shownPath;      // the target as the user knows it
        bool replacing = false;     // a target exists and is replaced on completion
        int tempFd = -1;            // the temporary file
        int directoryFd = -1;       // the destination directory
        int cacheFd = -1;           // the encrypted file, for dropping what was read
        QVFile::Ptr source;         // the folder file
        int64_t bytes = 0;          // moved so far
        int64_t expected = -1;      // the source's size when it was opened
        struct stat sourceStat {};  // the encrypted file as it lay before the copy
    };

    // A small new file of an export copied beside others.
    struct SideBySideFile {
        QVFile::Ptr file;
        std::string name;  // in the destination directory
        struct stat sourceStat {};
        int64_t bytes = -1;  // copied; -1 until it is in place
    };

    // QVCopyRun::Owner
    void stepOnce() override;
    bool fileInHand() const override { return importing_ || exporting_; }
    void stepFailed() override { abortRun(); }
    std::weak_ptr<void> lifetime() override { return weak_from_this(); }

    bool startImport();
    bool startExport();
    bool beginRun(Direction direction);
    bool refuseWhileRunning();
    void scheduleStep() { run_.scheduleStep(); }
    void importItem();
    void exportItem();
    // The small new files at the head of the export's queue, several at
    // once; false when the head item takes the one-by-one road.
    bool exportSideBySide();
    // One of them on a worker thread: complete under its name, or nothing.
    bool exportWholeFile(int dirFd, SideBySideFile& f, uint8_t* buffer, bool* unsupported);
    // The directory in the folder holding the clean relative path `rel`,
    // kept open for the items beside it; -1 when it cannot be opened.
    int sourceDirectory(const std::string& rel, std::string* name);
    void moveImportChunk();
    void moveExportChunk();
    std::optional<std::string> folderLinkText(int dirFd, const std::string& name,
                                              const std::string& rel, const struct stat& st) const;
    int destinationDirectory(const std::string& path);
    void exportLink(int dirFd, const std::string& text, const std::string& name, bool replacing,
                    int64_t size);
    void finishImportFile(bool complete);
    void finishExportFile(bool complete);
    // The file in hand ends as the direction does it.
    void finishFile(bool complete);
    void discardCurrent();
    void discardImport();
    void discardExport();
    void dropIncomplete();
    void removeRawTemp(const std::string& rel);
    // True with Replace; otherwise the item ended here (Stop, Skip, or asked).
    bool replaceAfterConflict(const std::string& name);
    void alertAndGoOn(QVImportExportMessage alert);
    void alertAndEnd(QVImportExportMessage alert);
    // The item in hand is done: off the queue of its direction.
    void dropHead();
    void endRun();
    void abortRun();
    void notifyEnd(Direction direction);
    bool touchesFolderRoot(const std::string& realPath) const;
    // On a volume that serves this folder (or holding one).
    bool onOwnVolume(const std::string& realPath) const;
    // Hidden names for items being written, never among the taken ones.
    std::string uniqueTempName(const std::function<bool(const std::string&)>& taken,
                               const char* kind);
    std::string folderTempPath(const std::string& dir, const char* kind);
    std::string localTempName(int dirFd, const char* kind);
    // Creates a new hidden file for an export in `dirFd`; its descriptor or -1.
    int createLocalTemp(int dirFd, std::string* name);
    int replaceLocal(int dirFd, const std::string& dirPath, const std::string& temp,
                     const std::string& name);
    bool placeInFolder(const std::string& temp, const std::string& target, bool replace);
    int64_t localTreeBytes(const std::string& path) const;
    bool listLocalDirectory(const std::string& path, std::vector<std::string>* names) const;
    uint8_t* chunkBuffer(int which);
    // The export's write in flight: 0 or its errno value once it is done.
    int finishPendingWrite();
    // The export's read ahead, waited for and dropped.
    void finishPendingRead();
    // The page cache of the encrypted file behind `fd` over what was read.
    static void dropReadPages(int fd, int64_t offset, size_t length);
    void failExportWrite(int err);

    std::shared_ptr<QVFileSystem> fs_;
    platform::DispatchQueuePtr queue_;
    platform::Clock& clock_;
    QVImportExportDelegate* delegate_ = nullptr;

    std::vector<std::string> ignore_{".DS_Store"};
    std::vector<std::string> preSourcePaths_;
    std::optional<std::string> preTargetPath_;
    std::vector<QVFile::Ptr> preSourceFiles_;
    std::optional<std::string> preTargetDir_;

    Direction direction_ = Direction::Import;
    std::deque<ImportEntry> imports_;
    std::deque<ExportEntry> exports_;
    std::optional<ImportFile> importing_;
    std::optional<ExportFile> exporting_;
    // Chunks, kept for the controller's life; a longer file alternates the two.
    std::unique_ptr<uint8_t[]> buffers_[2];
    int bufferTurn_ = 0;
    struct PendingWrite {
        platform::DispatchSemaphore done;
        int err = 0;
    };
    std::shared_ptr<PendingWrite> pendingWrite_;
    platform::DispatchQueuePtr writer_;
    struct PendingRead {
        platform::DispatchSemaphore done;
        bool ok = false;
        size_t got = 0;
        int err = 0;
    };
    std::shared_ptr<PendingRead> pendingRead_;
    platform::DispatchQueuePtr reader_;
    platform::UniqueFd rootFd_;   // the folder's directory, for the run
    platform::UniqueFd destDir_;  // the export's last destination directory
    std::string destDirPath_;
    platform::UniqueFd srcDir_;  // the export's last source directory in the folder
    std::string srcDirPath_;
    bool sideBySide_ = true;  // false once the destination has no nameless files
    size_t oneByOne_ = 0;     // head items that go one by one (after a failure side by side)
    int64_t totalBytes_ = 0, copiedBytes_ = 0;
    std::string rootReal_;                  // real path of the folder's directory for this run
    std::vector<std::string> volumesReal_;  // the folder's mounted volumes, likewise
    std::string stoppedFile_;               // cut short by Stop: said at the end
    unsigned tempCounter_ = 0;
    QVCopyRun run_;
};

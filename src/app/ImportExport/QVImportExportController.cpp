#include "app/ImportExport/QVImportExportController.h"

#include <fcntl.h>
#include <algorithm>
#include <cmath>

#include "FileSystem/QVFileSystem.h"
#include "Logging/LGLogMacros.h"
#include "app/ImportExport/QVImportExportSupport.h"
#include "platform/core/PathPieces.h"

using namespace importexport;
using Message = QVImportExportMessage;

QVCopyProgress copyProgressFor(int64_t done, int64_t total, double elapsedSeconds) {
    QVCopyProgress p;
    const double d = std::max<double>(0.0, static_cast<double>(done));
    const double t = std::max<double>(0.0, static_cast<double>(total));
    if (t > 0)
        p.percent = std::clamp(d / t * 100.0, 0.0, 100.0);
    else if (d > 0)
        p.percent = 100.0;
    double rate =
        elapsedSeconds > 0 && std::isfinite(elapsedSeconds) ? std::trunc(d / elapsedSeconds) : 0.0;
    if (!(rate > 0)) rate = 5'000'000.0;
    const double left = std::max(0.0, t - d);
    p.remainingSeconds = static_cast<int64_t>(std::min(std::floor(left / rate), 1e15));
    return p;
}

QVImportExportMessage QVImportExportController::conflictQuestion(const std::string& name) {
    return copyConflictQuestion(name);
}

// ---------------------------------------------------------------- life

std::shared_ptr<QVImportExportController> QVImportExportController::create(
    std::shared_ptr<QVFileSystem> fileSystem, platform::DispatchQueuePtr queue,
    platform::Clock& clock) {
    return std::shared_ptr<QVImportExportController>(
        new QVImportExportController(std::move(fileSystem), std::move(queue), clock));
}

QVImportExportController::QVImportExportController(std::shared_ptr<QVFileSystem> fileSystem,
                                                   platform::DispatchQueuePtr queue,
                                                   platform::Clock& clock)
    : fs_(std::move(fileSystem)),
      queue_(std::move(queue)),
      clock_(clock),
      run_(*this, queue_, clock_, kStepDelay, kStepBudget) {}

QVImportExportController::~QVImportExportController() {
    delegate_ = nullptr;
    if (isRunning()) abortRun();
}

void QVImportExportController::setFileSystem(std::shared_ptr<QVFileSystem> fileSystem) {
    // The same handle again after it was locked ends the run as a new one does.
    if (fileSystem == fs_ && (!fs_ || fs_->isMounted())) return;
    if (isRunning()) {
        LGLogInfo("QVImportExport > setFileSystem > stopping the running copy");
        abortRun();
    }
    fs_ = std::move(fileSystem);
}

// ---------------------------------------------------------------- starting

bool QVImportExportController::refuseWhileRunning() {
    if (!isRunning()) return false;
    LGLogWarn("QVImportExport > start > a copy is already running");
    if (delegate_)
        delegate_->showAlert(alert("alertCopyRunningHeading", "alertCopyRunningText"), [] {});
    return true;
}

bool QVImportExportController::touchesFolderRoot(const std::string& realPath) const {
    return !realPath.empty() &&
           (platform::liesWithin(realPath, rootReal_) || platform::liesWithin(rootReal_, realPath));
}

bool QVImportExportController::onOwnVolume(const std::string& realPath) const {
    return std::any_of(volumesReal_.begin(), volumesReal_.end(), [&](const std::string& v) {
        return !realPath.empty() &&
               (platform::liesWithin(realPath, v) || platform::liesWithin(v, realPath));
    });
}

bool QVImportExportController::importFiles(const std::vector<std::string>& sourcePaths,
                                           const std::string& targetDir) {
    if (refuseWhileRunning()) return false;
    preSourcePaths_ = sourcePaths;
    preTargetPath_ = targetDir;
    return executePreloadedCopyFromURLsToContainer();
}

bool QVImportExportController::exportFiles(const std::vector<QVFile::Ptr>& items,
                                           const std::string& destinationDir) {
    if (refuseWhileRunning()) return false;
    preSourceFiles_ = items;
    preTargetDir_ = destinationDir;
    return executePreloadedCopyFromContainerToFolderUrl();
}

bool QVImportExportController::executePreloadedCopyFromURLsToContainer() {
    if (refuseWhileRunning()) return false;
    if (preSourcePaths_.empty() || !preTargetPath_) {
        LGLogWarn("ImportExport > executePreloadedCopyFromURL > no prelaoded data set");
        return false;
    }
    bool ok = startImport();
    preSourcePaths_.clear();
    preTargetPath_.reset();
    return ok;
}

bool QVImportExportController::executePreloadedCopyFromContainerToFolderUrl() {
    if (refuseWhileRunning()) return false;
    if (preSourceFiles_.empty() || !preTargetDir_) {
        LGLogWarn("ImportExport > executePreloadedCopyFromContainer > no prelaoded data set");
        return false;
    }
    bool ok = startExport();
    preSourceFiles_.clear();
    preTargetDir_.reset();
    return ok;
}

// The queue is filled: a new run, its first step at once.
bool QVImportExportController::beginRun(Direction direction) {
    direction_ = direction;
    // The folder's directory for the run's lookups on disk, opened once.
    const auto root = fs_->volumePath();
    rootFd_.reset(root ? ::open(root->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1);
    sideBySide_ = true;
    oneByOne_ = 0;
    run_.begin();
    return true;
}

// ---------------------------------------------------------------- stepping

void QVImportExportController::stepOnce() {
    if (!fs_ || !fs_->isMounted()) {
        // Locked under the run: nothing more can be read or written, and
        // there is nothing to tell.
        LGLogInfo("QVImportExport > step > the folder was locked; the copy ends");
        abortRun();
        return;
    }
    if (fileInHand()) {
        if (run_.isStopping()) {
            const bool complete = importing_ ? importing_->bytes == importing_->expected
                                             : exporting_->bytes == exporting_->expected;
            if (!complete && !run_.isQuiet())
                stoppedFile_ = importing_ ? importing_->targetPath : exporting_->shownPath;
            finishFile(complete);
            return;
        }
        importing_ ? moveImportChunk() : moveExportChunk();
        return;
    }
    // Stop is honoured before any new item starts.
    const bool done = direction_ == Direction::Import ? imports_.empty() : exports_.empty();
    if (run_.isStopping() || done) {
        endRun();
        return;
    }
    if (direction_ == Direction::Import)
        importItem();
    else if (exportSideBySide())
        scheduleStep();
    else
        exportItem();
}

void QVImportExportController::finishFile(bool complete) {
    importing_ ? finishImportFile(complete) : finishExportFile(complete);
}

void QVImportExportController::dropHead() {
    if (direction_ == Direction::Import) {
        if (!imports_.empty()) imports_.pop_front();
    } else if (!exports_.empty()) {
        exports_.pop_front();
        if (oneByOne_ > 0) --oneByOne_;
    }
    run_.forgetConflictAnswer();
}

bool QVImportExportController::replaceAfterConflict(const std::string& name) {
    auto answer = run_.conflictAnswer(delegate_, name);
    if (!answer) return false;  // asked; the reply schedules the step again
    if (*answer == QVConflictAnswer::Stop) {
        run_.stop();
        endRun();
    } else if (*answer == QVConflictAnswer::Skip) {
        dropHead();
        scheduleStep();
    }
    return *answer == QVConflictAnswer::Replace;
}

void QVImportExportController::alertAndGoOn(Message message) {
    run_.alertThen(delegate_, message, [this] { scheduleStep(); });
}

void QVImportExportController::alertAndEnd(Message message) {
    run_.alertThen(delegate_, message, [this] { endRun(); });
}

void QVImportExportController::notifyEnd(Direction direction) {
    if (!delegate_) return;
    if (direction == Direction::Import)
        delegate_->importExporterDidImportFiles();
    else
        delegate_->importExporterDidExportFiles();
}

void QVImportExportController::endRun() {
    if (fileInHand()) discardCurrent();
    const Direction ended = direction_;
    const bool quiet = run_.isQuiet();
    run_.end();
    imports_.clear();
    exports_.clear();
    rootFd_.reset();
    destDir_.reset();
    srcDir_.reset();
    srcDirPath_.clear();
    const std::string stopped = std::exchange(stoppedFile_, std::string());
    notifyEnd(ended);
    // Said once the sheet is gone: the file Stop cut short is not there.
    if (!stopped.empty() && delegate_ && !quiet)
        delegate_->showAlert(
            alert("alertCopyStoppedHeading", "alertCopyStoppedTextFormat", {stopped}), [] {});
}

// A handle change or the controller's end: the file in hand is treated as
// after Stop, the rest is dropped; no question or alert is left waiting.
void QVImportExportController::abortRun() {
    run_.abort();
    if (fileInHand()) finishFile(false);
    if (isRunning()) endRun();
}

std::string QVImportExportController::uniqueTempName(
    const std::function<bool(const std::string&)>& taken, const char* kind) {
    static const pid_t pid = ::getpid();
    for (;;) {
        std::string name =
            ".tessaro-" + std::to_string(pid) + "-" + std::to_string(++tempCounter_) + "." + kind;
        if (!taken(name)) return name;
    }
}

// A file that is not complete never takes a name of its own: it goes, and
// an item it would have replaced stays as it was.
void QVImportExportController::dropIncomplete() {
    discardCurrent();
    dropHead();
    if (run_.isStopping())
        endRun();
    else
        scheduleStep();
}

// ---------------------------------------------------------------- failures

// The file in hand is given up: its temporary copy goes, a target stays as it was.
void QVImportExportController::discardCurrent() {
    if (importing_) discardImport();
    if (exporting_) discardExport();
}

uint8_t* QVImportExportController::chunkBuffer(int which) {
    auto& b = buffers_[which];
    if (!b) b.reset(new uint8_t[static_cast<size_t>(kDataChunkSize)]);
    return b.get();
}

bool QVImportExportController::writeChunk(const QVFile::Ptr& file, uint64_t offset,
                                          const uint8_t* data, size_t size, int* err) {
    platform::Error e;
    if (fs_->writeFile(file, offset, data, size, &e)) return true;
    *err = platform::errnoOrEIO(e);
    return false;
}

bool QVImportExportController::readChunk(const QVFile::Ptr& file, uint64_t offset, uint8_t* data,
                                         size_t size, size_t* got, int* err) {
    platform::Error e;
    if (fs_->readFile(file, offset, data, size, got, &e)) return true;
    *err = platform::errnoOrEIO(e);
    return false;
}

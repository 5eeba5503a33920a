#include "app/ImportExport/QVImportExportController.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "FileSystem/QVFileSystem.h"
#include "FileSystem/QVMountedVolumes.h"
#include "Logging/LGLogMacros.h"
#include "folder/FolderPaths.h"
#include "platform/core/FullIO.h"
#include "platform/core/PathPieces.h"
#include "platform/core/TreeBytes.h"
#include "platform/core/UniqueFd.h"

namespace {

using Message = QVImportExportMessage;

using Fd = platform::UniqueFd;

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The real path of `path` without following its last component (a link is
// judged as itself); "" when its directory cannot be resolved.
std::string realPathOf(const std::string& path, bool followLast) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (followLast) {
        fs::path p = fs::canonical(path, ec);
        return ec ? std::string() : p.string();
    }
    fs::path p(path);
    while (p.has_relative_path() && !p.has_filename()) p = p.parent_path();
    fs::path parent = fs::canonical(fs::absolute(p, ec).parent_path(), ec);
    if (ec) return std::string();
    return (parent / p.filename()).string();
}

Message alert(std::string title, std::string message, std::vector<std::string> args = {}) {
    Message m;
    m.titleKey = std::move(title);
    m.messageKey = std::move(message);
    m.arguments = std::move(args);
    m.buttonKeys = {"alertOK"};
    return m;
}

// The system's alert for an error of a local file.
Message systemAlert(std::string title, int err, const std::string& path) {
    Message m;
    m.titleKey = std::move(title);
    m.detail = path + ": " + std::strerror(err);
    m.buttonKeys = {"alertOK"};
    return m;
}

// Only the permission bits travel: never set-id bits, ownership or flags.
constexpr mode_t kCopiedModeBits = S_IRWXU | S_IRWXG | S_IRWXO;

}  // namespace

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
    Message q;
    q.titleKey = "alertFileExistsHeading";
    q.messageKey = "alertFileExistsTextFormat";
    q.arguments = {name};
    q.buttonKeys = {"alertFileExistsStop", "alertFileExistsSkip", "alertFileExistsReplace"};
    q.checkBoxKey = "alertApplyForAll";
    return q;
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
    : fs_(std::move(fileSystem)), queue_(std::move(queue)), clock_(clock) {}

QVImportExportController::~QVImportExportController() {
    if (timer_) timer_->cancel();
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

// At the start of a run both directions end with the export notice.
bool QVImportExportController::startImport() {
    bool isDir = false;
    const std::string target = *preTargetPath_;
    auto root = fs_ && fs_->isMounted() ? fs_->volumePath() : std::nullopt;
    if (!root || !fs_->fileExistsAtPath(target, &isDir) || !isDir) {
        LGLogError("QVImportExport > executePreloadedCopyFromURL > target folder does not exist");
        notifyEnd(Mode::Export);
        return false;
    }
    rootReal_ = realPathOf(*root, true);
    volumesReal_ = QVMountedVolumes::mountPathsOf(rootReal_);
    for (const auto& src : preSourcePaths_) {
        // As named and as followed: a link to a directory is entered when its
        // path ends in "/".
        if (touchesFolderRoot(realPathOf(src, false)) || touchesFolderRoot(realPathOf(src, true)) ||
            onOwnVolume(realPathOf(src, true))) {
            LGLogError("QVImportExport > import > %s is the folder itself or holds it",
                       src.c_str());
            if (delegate_)
                delegate_->showAlert(
                    alert("alertCopyFolderItselfHeading", "alertCopyFolderItselfText"), [] {});
            notifyEnd(Mode::Export);
            return false;
        }
    }
    uint64_t freeSpace = 0;
    fs_->volumeSize(nullptr, &freeSpace);
    copiedBytes_ = 0;
    totalBytes_ = 0;
    for (const auto& src : preSourcePaths_)
        if (std::find(ignore_.begin(), ignore_.end(), platform::lastComponent(src)) ==
            ignore_.end())
            totalBytes_ += localTreeBytes(src);
    if (static_cast<uint64_t>(totalBytes_) > freeSpace) {
        if (delegate_)
            delegate_->showAlert(alert("alertFolderNoSpaceHeading", "alertFolderNoSpaceText"),
                                 [] {});
        notifyEnd(Mode::Export);
        return false;
    }
    queue_entries_.clear();
    for (const auto& src : preSourcePaths_)
        if (std::find(ignore_.begin(), ignore_.end(), platform::lastComponent(src)) ==
            ignore_.end())
            queue_entries_.push_back({src, nullptr, FolderPaths::relative(target).value_or("")});
    return beginRun(Mode::Import);
}

bool QVImportExportController::startExport() {
    const std::string dest = *preTargetDir_;
    struct stat st;
    auto root = fs_ && fs_->isMounted() ? fs_->volumePath() : std::nullopt;
    if (!root || ::stat(dest.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        LGLogError(
            "QVImportExport > executePreloadedCopyFromContainer > target folder does not exist");
        notifyEnd(Mode::Export);
        return false;
    }
    rootReal_ = realPathOf(*root, true);
    volumesReal_ = QVMountedVolumes::mountPathsOf(rootReal_);
    const std::string destReal = realPathOf(dest, true);
    // Into the folder's own directory or its volume, or onto the folder or
    // one of its ancestors by an item's name: each would write what is being
    // read.
    bool refused =
        destReal.empty() || platform::liesWithin(destReal, rootReal_) || onOwnVolume(destReal);
    for (const auto& f : preSourceFiles_)
        if (f && platform::liesWithin(rootReal_, FolderPaths::join(destReal, f->fileName())))
            refused = true;
    if (refused) {
        LGLogError("QVImportExport > export > %s lies in the folder or would replace it",
                   dest.c_str());
        if (delegate_)
            delegate_->showAlert(alert("alertCopyFolderItselfHeading", "alertCopyFolderItselfText"),
                                 [] {});
        notifyEnd(Mode::Export);
        return false;
    }
    copiedBytes_ = 0;
    totalBytes_ = 0;
    queue_entries_.clear();
    for (const auto& f : preSourceFiles_) {
        if (!f) continue;
        totalBytes_ += static_cast<int64_t>(fs_->calculateItemSize(f->filePath()));
        queue_entries_.push_back({std::string(), f, destReal});
    }
    return beginRun(Mode::Export);
}

// The queue is filled: a new run with clear flags, its first step at once.
bool QVImportExportController::beginRun(Mode mode) {
    mode_ = mode;
    // The folder's directory for the run's lookups on disk, opened once.
    const auto root = fs_->volumePath();
    rootFd_.reset(root ? ::open(root->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1);
    ++run_;
    stopCopying_ = replaceAll_ = skipAliases_ = waiting_ = false;
    conflictReply_.reset();
    step();
    return true;
}

int64_t QVImportExportController::localTreeBytes(const std::string& path) const {
    return platform::tallyTree(path, {[this](std::string_view name) {
                                   return std::find(ignore_.begin(), ignore_.end(), name) !=
                                          ignore_.end();
                               }})
        .bytes;
}

// ---------------------------------------------------------------- stepping

void QVImportExportController::scheduleStep() {
    if (inStep_ && !cur_.active && std::chrono::steady_clock::now() - stepStart_ < stepBudget_) {
        again_ = true;
        return;
    }
    if (!timer_) {
        timer_ = platform::DispatchTimer::create(queue_, clock_);
        std::weak_ptr<QVImportExportController> weak = weak_from_this();
        timer_->setHandler([weak] {
            if (auto self = weak.lock()) self->step();
        });
    }
    timer_->scheduleAfter(kStepDelay);
}

// Small items are many: a step goes on to the next item while it has run for
// less than the budget, instead of waiting for the timer after each one. A
// file that goes on after a full chunk always waits.
void QVImportExportController::step() {
    if (inStep_) return;
    inStep_ = true;
    stepStart_ = std::chrono::steady_clock::now();
    try {
        do {
            again_ = false;
            stepOnce();
        } while (again_);
    } catch (const std::exception& e) {
        // Out of memory, most likely: the run ends as after Stop.
        LGLogError("QVImportExport > step > %s", e.what());
        inStep_ = false;
        abortRun();
        return;
    }
    inStep_ = false;
}

void QVImportExportController::stepOnce() {
    if (!isRunning() || waiting_) return;
    if (!fs_ || !fs_->isMounted()) {
        // Locked under the run: nothing more can be read or written, and
        // there is nothing to tell.
        LGLogInfo("QVImportExport > step > the folder was locked; the copy ends");
        abortRun();
        return;
    }
    if (cur_.active) {
        if (stopCopying_) {
            const bool complete = cur_.bytes == cur_.expected;
            if (!complete && !quiet_) stoppedFile_ = cur_.shownPath;
            mode_ == Mode::Import ? finishImportFile(complete) : finishExportFile(complete);
            return;
        }
        mode_ == Mode::Import ? moveImportChunk() : moveExportChunk();
        return;
    }
    // Stop is honoured before any new item starts.
    if (stopCopying_ || queue_entries_.empty()) {
        endRun();
        return;
    }
    mode_ == Mode::Import ? importItem() : exportItem();
}

void QVImportExportController::dropHead() {
    if (!queue_entries_.empty()) queue_entries_.pop_front();
    conflictReply_.reset();
}

std::optional<QVConflictAnswer> QVImportExportController::conflictAnswer(const std::string& name) {
    if (replaceAll_) return QVConflictAnswer::Replace;
    if (conflictReply_) {
        auto [answer, all] = *conflictReply_;
        conflictReply_.reset();
        if (answer == QVConflictAnswer::Replace && all) replaceAll_ = true;
        return answer;
    }
    if (!delegate_) return QVConflictAnswer::Stop;
    const Message q = conflictQuestion(name);
    waiting_ = true;
    std::weak_ptr<QVImportExportController> weak = weak_from_this();
    const uint64_t run = run_;
    delegate_->askConflict(q, [weak, run](QVConflictAnswer a, bool all) {
        auto self = weak.lock();
        if (!self || self->run_ != run || !self->waiting_) return;
        self->waiting_ = false;
        self->conflictReply_ = std::make_pair(a, all);
        self->scheduleStep();
    });
    return std::nullopt;
}

bool QVImportExportController::replaceAfterConflict(const std::string& name) {
    auto answer = conflictAnswer(name);
    if (!answer) return false;  // asked; the reply schedules the step again
    if (*answer == QVConflictAnswer::Stop) {
        stopCopying_ = true;
        endRun();
    } else if (*answer == QVConflictAnswer::Skip) {
        dropHead();
        scheduleStep();
    }
    return *answer == QVConflictAnswer::Replace;
}

void QVImportExportController::alertThen(Message message, std::function<void()> then) {
    if (!delegate_ || quiet_) {
        then();
        return;
    }
    waiting_ = true;
    std::weak_ptr<QVImportExportController> weak = weak_from_this();
    const uint64_t run = run_;
    auto done = std::make_shared<bool>(false);
    delegate_->showAlert(message, [weak, run, then = std::move(then), done] {
        auto self = weak.lock();
        if (!self || self->run_ != run || *done) return;
        *done = true;
        self->waiting_ = false;
        then();
    });
}

void QVImportExportController::alertAndGoOn(Message message) {
    alertThen(std::move(message), [this] { scheduleStep(); });
}

void QVImportExportController::alertAndEnd(Message message) {
    alertThen(std::move(message), [this] { endRun(); });
}

void QVImportExportController::notifyEnd(Mode mode) {
    if (!delegate_) return;
    if (mode == Mode::Import)
        delegate_->importExporterDidImportFiles();
    else
        delegate_->importExporterDidExportFiles();
}

void QVImportExportController::endRun() {
    if (cur_.active) discardCurrent();
    const Mode ended = mode_;
    mode_ = Mode::Idle;
    waiting_ = false;
    queue_entries_.clear();
    ++run_;
    if (timer_) timer_->cancel(), timer_.reset();
    rootFd_.reset();
    destDir_.reset();
    const std::string stopped = std::exchange(stoppedFile_, std::string());
    notifyEnd(ended);
    // Said once the sheet is gone: the file Stop cut short is not there.
    if (!stopped.empty() && delegate_ && !quiet_)
        delegate_->showAlert(
            alert("alertCopyStoppedHeading", "alertCopyStoppedTextFormat", {stopped}), [] {});
}

// A handle change or the controller's end: the file in hand is treated as
// after Stop, the rest is dropped; no question or alert is left waiting.
void QVImportExportController::abortRun() {
    stopCopying_ = true;
    waiting_ = false;
    quiet_ = true;  // no alert in the middle of tearing down
    if (cur_.active) mode_ == Mode::Import ? finishImportFile(false) : finishExportFile(false);
    if (isRunning()) endRun();
    quiet_ = false;
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

std::string QVImportExportController::folderTempPath(const std::string& dir, const char* kind) {
    return FolderPaths::join(dir, uniqueTempName(
                                      [&](const std::string& n) {
                                          return fs_->fileExistsAtPath(FolderPaths::join(dir, n));
                                      },
                                      kind));
}

int QVImportExportController::createLocalTemp(int dirFd, std::string* name) {
    for (;;) {
        *name = uniqueTempName([](const std::string&) { return false; }, "part");
        int fd = ::openat(dirFd, name->c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
}

std::string QVImportExportController::localTempName(int dirFd, const char* kind) {
    return uniqueTempName(
        [&](const std::string& n) {
            struct stat st;
            return ::fstatat(dirFd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        },
        kind);
}

// `temp` takes the place of `name` in the directory `dirFd` (at `dirPath`).
// A file over a file or a link is one rename(2), which never follows the
// link; anything else moves the old item aside and removes it only once the
// new one is in place. 0 or an errno value.
int QVImportExportController::replaceLocal(int dirFd, const std::string& dirPath,
                                           const std::string& temp, const std::string& name) {
    struct stat from, to;
    const bool fromDir =
        ::fstatat(dirFd, temp.c_str(), &from, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(from.st_mode);
    const bool toDir =
        ::fstatat(dirFd, name.c_str(), &to, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(to.st_mode);
    if (!fromDir && !toDir)
        return ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) == 0 ? 0 : errno;
    const std::string aside = localTempName(dirFd, "old");
    if (::renameat(dirFd, name.c_str(), dirFd, aside.c_str()) != 0) return errno;
    if (int rc = FolderPaths::moveBeneath(dirFd, temp, name)) {
        ::renameat(dirFd, aside.c_str(), dirFd, name.c_str());
        return rc;
    }
    std::error_code ec;
    std::filesystem::remove_all(FolderPaths::join(dirPath, aside), ec);
    return 0;
}

// ---------------------------------------------------------------- import

// The entries of a local directory (hidden ones too, the ignore list left
// out), sorted; false with errno when it cannot be listed to its end.
bool QVImportExportController::listLocalDirectory(const std::string& path,
                                                  std::vector<std::string>* names) const {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        Fd(fd).reset();
        return false;
    }
    errno = 0;
    while (dirent* de = ::readdir(d)) {
        std::string n = de->d_name;
        if (n != "." && n != ".." && std::find(ignore_.begin(), ignore_.end(), n) == ignore_.end())
            names->push_back(std::move(n));
        errno = 0;
    }
    const int err = errno;
    ::closedir(d);
    std::sort(names->begin(), names->end());
    errno = err;
    return err == 0;
}

void QVImportExportController::importItem() {
    const Entry e = queue_entries_.front();
    bool isDir = false;
    if (!fs_->fileExistsAtPath(e.destination, &isDir) || !isDir) {
        LGLogError("QVImportExport > copyFileFRomFinderToContainer > target folder does not exist");
        dropHead();
        scheduleStep();
        return;
    }
    const std::string name(platform::lastComponent(e.source));
    const std::string target = FolderPaths::join(e.destination, name);
    if (FolderPaths::isHiddenName(name)) {
        // The configuration database's names: importing one would replace
        // the folder's keys and lose every file in it.
        LGLogError("importExporter > copyNextFinderUrlToContainer > refused %s (reserved name)",
                   e.source.c_str());
        dropHead();
        alertAndGoOn(alert("alertReservedNameHeading", "alertReservedNameTextFormat", {name}));
        return;
    }

    // The source is looked at before any question about the target.
    struct stat st;
    if (::lstat(e.source.c_str(), &st) != 0) {
        LGLogError(
            "importExporter > copyNextFinderUrlToContainer > could not copy file %s (does not "
            "exist at source)",
            e.source.c_str());
        dropHead();
        scheduleStep();
        return;
    }
    if (S_ISLNK(st.st_mode)) {
        LGLogError(
            "importExporter > copyNextFinderUrlToContainer > could not copy file %s (isAlias)",
            e.source.c_str());
        dropHead();
        if (skipAliases_ || !delegate_) {
            scheduleStep();
            return;
        }
        Message q;
        q.titleKey = "alertAliasHeading";
        q.messageKey = "alertAliasText";
        q.buttonKeys = {"skip", "stop"};
        waiting_ = true;
        std::weak_ptr<QVImportExportController> weak = weak_from_this();
        const uint64_t run = run_;
        delegate_->askAlias(q, [weak, run](QVAliasAnswer a) {
            auto self = weak.lock();
            if (!self || self->run_ != run || !self->waiting_) return;
            self->waiting_ = false;
            if (a == QVAliasAnswer::Skip) {
                self->skipAliases_ = true;
                self->scheduleStep();
            } else {
                self->stopCopying_ = true;
                self->endRun();
            }
        });
        return;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        // Pipes, sockets and devices: reading one could block for ever.
        LGLogWarn("importExporter > copyNextFinderUrlToContainer > skipped %s (not a file)",
                  e.source.c_str());
        dropHead();
        scheduleStep();
        return;
    }
    // A source that cannot be read, a directory that cannot be listed, gets
    // the read alert before anything is made for it.
    std::vector<std::string> names;
    int readErr = 0;
    if (S_ISREG(st.st_mode)) {
        Fd probe(::open(e.source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!probe.ok()) readErr = errno;
    } else if (!listLocalDirectory(e.source, &names)) {
        readErr = platform::errnoOrEIO(errno);
    }
    if (readErr) {
        LGLogError("importExporter > copyNextFinderUrlToContainer > cannot read %s: %s",
                   e.source.c_str(), std::strerror(readErr));
        dropHead();
        alertAndGoOn(systemAlert("alertReadErrorHeading", readErr, e.source));
        return;
    }

    bool targetIsDir = false;
    const bool exists = fs_->fileExistsAtPath(target, &targetIsDir);
    bool replacing = false;
    if (exists) {
        if (!replaceAfterConflict(name)) return;
        replacing = true;
    }

    if (S_ISDIR(st.st_mode)) {
        // A directory onto a directory merges: its entries meet their own
        // conflicts, and nothing is removed before its replacement exists.
        if (!(exists && targetIsDir)) {
            const std::string temp = replacing ? folderTempPath(e.destination, "dir") : target;
            if (!fs_->createDirectoryAtPath(temp) ||
                (replacing && !placeInFolder(temp, target, true))) {
                if (replacing) fs_->removeItemAtPath(temp);
                alertAndEnd(alert("alertWriteErrorHeading", "alertWriteErrorCreateFolderFileText",
                                  {e.source}));
                return;
            }
        }
        dropHead();
        for (auto& n : names)
            queue_entries_.push_back({FolderPaths::join(e.source, n), nullptr, target});
        scheduleStep();
        return;
    }

    // A file: the source again, now for good, and checked to be the same kind.
    int fd = ::open(e.source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat now;
    if (fd < 0 || ::fstat(fd, &now) != 0 || !S_ISREG(now.st_mode)) {
        int err = fd < 0 ? errno : EINVAL;
        if (fd >= 0) ::close(fd);
        dropHead();
        alertAndGoOn(systemAlert("alertReadErrorHeading", err, e.source));
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const std::string temp = folderTempPath(e.destination, "part");
    // Opened by path alone: the handle's lookup by name would list the whole
    // directory for every file.
    auto file = std::make_shared<QVFile>(temp, false);
    if (!fs_->openFile(file, false, true)) {
        ::close(fd);
        alertAndEnd(
            alert("alertWriteErrorHeading", "alertWriteErrorCreateFolderFileText", {e.source}));
        return;
    }
    cur_ = Current{};
    cur_.active = true;
    cur_.name = name;
    cur_.tempPath = temp;
    cur_.targetPath = target;
    cur_.shownPath = target;
    cur_.replacing = replacing;
    cur_.localFd = fd;
    cur_.folderFile = file;
    cur_.expected = now.st_size;
    moveImportChunk();
}

void QVImportExportController::moveImportChunk() {
    uint8_t* buf = chunkBuffer(0);
    // Every chunk but the last must be whole (a short read(2) is not the end),
    // or the folder's sector grid would no longer match the file offsets.
    ssize_t n = platform::readFully(cur_.localFd, buf, static_cast<size_t>(kDataChunkSize));
    if (n < 0) {
        int err = errno;
        const std::string src = queue_entries_.front().source;
        discardCurrent();
        dropHead();
        alertAndGoOn(systemAlert("alertReadErrorHeading", err, src));
        return;
    }
    int err = 0;
    if (!writeChunk(cur_.folderFile, static_cast<uint64_t>(cur_.bytes), buf, static_cast<size_t>(n),
                    &err)) {
        LGLogError("QVImportExport > import > writing %s failed: %s", cur_.targetPath.c_str(),
                   std::strerror(err));
        discardCurrent();
        dropHead();
        alertAndGoOn(alert("alertWriteErrorHeading", "alertWriteErrorFolderFileText"));
        return;
    }
    cur_.bytes += n;
    copiedBytes_ += n;
    if (delegate_) delegate_->importExporterProcessed(copiedBytes_, totalBytes_);
    if (n < kDataChunkSize)
        finishImportFile(true);
    else
        scheduleStep();
}

// Moves `temp` to `target` inside the folder. With `replace` an existing
// target goes only once the new item is in place; on failure it stays.
bool QVImportExportController::placeInFolder(const std::string& temp, const std::string& target,
                                             bool replace) {
    if (!replace || !fs_->fileExistsAtPath(target)) return fs_->renameFileFromPath(temp, target);
    const std::string aside = folderTempPath(FolderPaths::splitParent(target).first, "old");
    if (!fs_->renameFileFromPath(target, aside)) return false;
    if (!fs_->renameFileFromPath(temp, target)) {
        fs_->renameFileFromPath(aside, target);
        return false;
    }
    if (!fs_->removeItemAtPath(aside))
        LGLogError("QVImportExport > import > could not remove the replaced %s", aside.c_str());
    return true;
}

// A file that is not complete never takes a name of its own: it goes, and
// an item it would have replaced stays as it was.
void QVImportExportController::dropIncomplete() {
    discardCurrent();
    dropHead();
    if (stopCopying_)
        endRun();
    else
        scheduleStep();
}

void QVImportExportController::finishImportFile(bool complete) {
    if (!complete) {
        dropIncomplete();
        return;
    }
    closeFd(cur_.localFd);
    const std::string src = queue_entries_.empty() ? std::string() : queue_entries_.front().source;
    platform::Error closeErr;
    bool ok = fs_->closeFile(cur_.folderFile, &closeErr);
    cur_.folderFile.reset();
    if (!ok) {
        discardCurrent();
        dropHead();
        alertAndGoOn(alert("alertWriteErrorHeading", "alertWriteErrorFolderFileText"));
        return;
    }
    {
        // The source's permission bits and times, on the encrypted file on disk.
        struct stat st;
        if (!src.empty() && ::stat(src.c_str(), &st) == 0 && rootFd_.ok()) {
            Fd f(FolderPaths::openBeneath(rootFd_.get(), cur_.tempPath,
                                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
            if (f.ok()) {
                timespec times[2] = {st.st_atim, st.st_mtim};
                if (::futimens(f.get(), times) != 0 ||
                    ::fchmod(f.get(), st.st_mode & kCopiedModeBits) != 0)
                    LGLogWarn("QVImportExport > import > attributes of %s: %s",
                              cur_.targetPath.c_str(), std::strerror(errno));
            }
        }
    }
    if (!placeInFolder(cur_.tempPath, cur_.targetPath, cur_.replacing)) {
        discardCurrent();
        dropHead();
        alertAndGoOn(alert("alertWriteErrorHeading", "alertWriteErrorCreateFolderFileText", {src}));
        return;
    }
    cur_ = Current{};
    dropHead();
    if (stopCopying_)
        endRun();
    else
        scheduleStep();
}

// ---------------------------------------------------------------- export

void QVImportExportController::exportItem() {
    const Entry e = queue_entries_.front();
    const QVFile::Ptr& src = e.file;
    // One look at the item as it lies on disk, never followed: whether it is
    // there, a link, a directory, and the bits and times the copy takes.
    struct stat sst;
    std::string srcName;
    Fd srcDir;
    const auto clean = src ? FolderPaths::relative(src->filePath()) : std::nullopt;
    if (clean && !clean->empty() && rootFd_.ok())
        srcDir.reset(FolderPaths::openParentBeneath(rootFd_.get(), *clean, &srcName));
    if (!srcDir.ok() || ::fstatat(srcDir.get(), srcName.c_str(), &sst, AT_SYMLINK_NOFOLLOW) != 0) {
        LGLogError("importExporter > copyNextContainerFileToFinderUrl > %s does not exist",
                   src ? src->filePath().c_str() : "(null)");
        dropHead();
        scheduleStep();
        return;
    }
    const int dir = destinationDirectory(e.destination);
    if (dir < 0) {
        LGLogError(
            "QVImportExport > copyNextContainerFileToFinderUrl > target folder does not exist");
        dropHead();
        scheduleStep();
        return;
    }
    const std::string name = src->fileName();
    const std::string target = FolderPaths::join(e.destination, name);
    struct stat tst;
    const bool exists = ::fstatat(dir, name.c_str(), &tst, AT_SYMLINK_NOFOLLOW) == 0;
    const bool targetIsDir = exists && S_ISDIR(tst.st_mode);
    bool replacing = false;
    if (exists) {
        if (!replaceAfterConflict(name)) return;
        replacing = true;
    }
    if (S_ISLNK(sst.st_mode)) {
        // A link is copied as itself: followed, one to "." or ".." would make
        // the copy endless.
        auto link = folderLinkText(srcDir.get(), srcName, *clean, sst);
        if (!link) {
            dropHead();
            alertAndGoOn(alert("alertReadErrorHeading", "alertReadErrorFolderText"));
            return;
        }
        exportLink(dir, *link, name, replacing, sst.st_size);
        return;
    }

    if (S_ISDIR(sst.st_mode)) {
        // An existing directory is kept and filled; anything else in the way
        // (a file, a link) is replaced by a new directory, never followed.
        if (!targetIsDir) {
            const std::string temp = replacing ? localTempName(dir, "dir") : name;
            bool ok = ::mkdirat(dir, temp.c_str(), 0777) == 0;
            if (ok && replacing && replaceLocal(dir, e.destination, temp, name) != 0) {
                ::unlinkat(dir, temp.c_str(), AT_REMOVEDIR);
                ok = false;
            }
            if (!ok) {
                alertAndEnd(alert("alertWriteErrorHeading", "alertWriteErrorCreateFinderFileText"));
                return;
            }
        }
        auto listing = fs_->contentsOfDirectoryAtPath(src->filePath(), true);
        dropHead();
        if (listing)
            for (auto& f : *listing) queue_entries_.push_back({std::string(), f, target});
        scheduleStep();
        return;
    }

    // The folder file is opened only now, after the question, and closed on
    // every way out.
    if (!fs_->openFile(src, true, false)) {
        fs_->closeFile(src);
        alertAndEnd(alert("alertReadErrorHeading", "alertReadErrorFolderText"));
        return;
    }
    std::string temp;
    int fd = createLocalTemp(dir, &temp);
    if (fd < 0) {
        int err = errno;
        fs_->closeFile(src);
        LGLogError("QVImportExport > export > cannot create in %s: %s", e.destination.c_str(),
                   std::strerror(err));
        alertAndEnd(alert("alertWriteErrorHeading", "alertWriteErrorCreateFinderFileText"));
        return;
    }
    cur_ = Current{};
    cur_.active = true;
    cur_.name = name;
    cur_.tempPath = temp;
    cur_.targetPath = name;
    cur_.shownPath = target;
    cur_.replacing = replacing;
    cur_.localFd = fd;
    cur_.destDirFd = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    cur_.folderFile = src;
    cur_.expected =
        src->fileSize() == QVFile::kUnknownSize ? -1 : static_cast<int64_t>(src->fileSize());
    cur_.sourceStat = sst;
    moveExportChunk();
}

// The export's destination directory, opened once for the items that go
// there one after another; -1 when it is gone or no directory.
int QVImportExportController::destinationDirectory(const std::string& path) {
    if (!destDir_.ok() || destDirPath_ != path) {
        destDirPath_ = path;
        destDir_.reset(::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return destDir_.get();
}

// The text of the folder's link `name` in `dirFd` (at `rel`), as the copy
// writes it: a target inside the folder by its absolute path becomes a path
// relative to the link, so that the copy names the copied item and never the
// folder's encrypted one. Relative targets stay as they are.
std::optional<std::string> QVImportExportController::folderLinkText(int dirFd,
                                                                    const std::string& name,
                                                                    const std::string& rel,
                                                                    const struct stat& st) const {
    auto root = fs_->volumePath();
    if (!root) return std::nullopt;
    std::string text(static_cast<size_t>(st.st_size) + 1, '\0');
    for (;;) {
        ssize_t n = ::readlinkat(dirFd, name.c_str(), text.data(), text.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < text.size()) {
            text.resize(static_cast<size_t>(n));
            break;
        }
        text.resize(text.size() * 2);
    }
    for (const std::string& base : {*root, rootReal_}) {
        if (base.empty() || !platform::liesWithin(text, base)) continue;
        auto inside = FolderPaths::relative(text.substr(std::min(base.size(), text.size())));
        if (!inside) break;
        std::string up;
        const std::string linkDir = FolderPaths::splitParent(rel).first;
        for (size_t i = 0; i < linkDir.size(); ++i)
            if (i == 0 || linkDir[i] == '/') up += "../";
        text = up + *inside;
        if (text.empty()) text = ".";
        while (text.size() > 1 && text.back() == '/') text.pop_back();
        break;
    }
    return text;
}

void QVImportExportController::exportLink(int dirFd, const std::string& text,
                                          const std::string& name, bool replacing, int64_t size) {
    const std::string destination = queue_entries_.front().destination;
    const std::string temp = localTempName(dirFd, "link");
    int rc = ::symlinkat(text.c_str(), dirFd, temp.c_str()) == 0 ? 0 : errno;
    if (rc == 0) {
        rc = replacing ? replaceLocal(dirFd, destination, temp, name)
                       : FolderPaths::moveBeneath(dirFd, temp, name);
        if (rc != 0) ::unlinkat(dirFd, temp.c_str(), 0);
    }
    dropHead();
    if (rc != 0) {
        alertAndGoOn(
            systemAlert("alertWriteErrorHeading", rc, FolderPaths::join(destination, name)));
        return;
    }
    copiedBytes_ += size;
    if (delegate_) delegate_->importExporterProcessed(copiedBytes_, totalBytes_);
    scheduleStep();
}

// A file of one chunk is read and written here, at once. A longer one is a
// pipeline over two buffers: while the writer queue writes one chunk, the
// reader queue reads and decrypts the next into the other buffer, and this
// queue only hands them on, so that neither waits for the step's timer.
void QVImportExportController::moveExportChunk() {
    uint8_t* buf = chunkBuffer(bufferTurn_);
    int err = 0;
    size_t got = 0;
    bool ok;
    if (pendingRead_) {
        pendingRead_->done.wait();
        ok = pendingRead_->ok;
        got = pendingRead_->got;
        err = pendingRead_->err;
        pendingRead_.reset();
    } else {
        ok = readChunk(cur_.folderFile, static_cast<uint64_t>(cur_.bytes), buf,
                       static_cast<size_t>(kDataChunkSize), &got, &err);
    }
    if (!ok) {
        discardCurrent();
        dropHead();
        alertAndGoOn(alert("alertReadErrorHeading", "alertReadErrorFolderText"));
        return;
    }
    // The write before holds the other buffer, which the next read takes.
    if (int werr = finishPendingWrite()) {
        failExportWrite(werr);
        return;
    }
    const auto n = static_cast<int64_t>(got);
    const bool last = n < kDataChunkSize;
    if (last) {
        if (!platform::writeFully(cur_.localFd, buf, got)) {
            failExportWrite(platform::errnoOrEIO(errno));
            return;
        }
    } else {
        auto pending = std::make_shared<PendingWrite>();
        pendingWrite_ = pending;
        if (!writer_) writer_ = platform::DispatchQueue::serial("tessaro.export");
        writer_->async([pending, fd = cur_.localFd, buf, got] {
            if (!platform::writeFully(fd, buf, got)) pending->err = platform::errnoOrEIO(errno);
            pending->done.signal();
        });
        bufferTurn_ ^= 1;
        auto read = std::make_shared<PendingRead>();
        pendingRead_ = read;
        if (!reader_) reader_ = platform::DispatchQueue::serial("tessaro.export.read");
        // The controller waits for this read before it closes the file or
        // goes (discardCurrent), so `this` and the buffer outlive it.
        reader_->async([this, read, file = cur_.folderFile, at = cur_.bytes + n,
                        next = chunkBuffer(bufferTurn_)] {
            read->ok = readChunk(file, static_cast<uint64_t>(at), next,
                                 static_cast<size_t>(kDataChunkSize), &read->got, &read->err);
            read->done.signal();
        });
    }
    cur_.bytes += n;
    copiedBytes_ += n;
    if (delegate_) delegate_->importExporterProcessed(copiedBytes_, totalBytes_);
    if (last)
        finishExportFile(true);
    else
        scheduleStep();
}

int QVImportExportController::finishPendingWrite() {
    if (!pendingWrite_) return 0;
    pendingWrite_->done.wait();
    const int err = pendingWrite_->err;
    pendingWrite_.reset();
    return err;
}

void QVImportExportController::finishPendingRead() {
    if (!pendingRead_) return;
    pendingRead_->done.wait();
    pendingRead_.reset();
}

void QVImportExportController::failExportWrite(int err) {
    const std::string where = queue_entries_.front().destination + "/" + cur_.name;
    LGLogError("QVImportExport > export > writing %s failed: %s", where.c_str(),
               std::strerror(err));
    discardCurrent();
    dropHead();
    alertAndGoOn(systemAlert("alertWriteErrorHeading", err, where));
}

void QVImportExportController::finishExportFile(bool complete) {
    if (!complete) {
        dropIncomplete();
        return;
    }
    finishPendingRead();  // past the end: nothing more to write
    if (int err = finishPendingWrite()) {
        failExportWrite(err);
        return;
    }
    fs_->closeFile(cur_.folderFile);
    const std::string where =
        (queue_entries_.empty() ? std::string() : queue_entries_.front().destination) + "/" +
        cur_.name;
    // Permission bits and times of the encrypted file on disk, as they were
    // before it was read.
    const struct stat& st = cur_.sourceStat;
    timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(cur_.localFd, times);
    ::fchmod(cur_.localFd, st.st_mode & kCopiedModeBits);
    int fd = cur_.localFd;
    cur_.localFd = -1;
    if (::close(fd) != 0) {
        int err = errno;
        discardCurrent();
        dropHead();
        alertAndGoOn(systemAlert("alertWriteErrorHeading", err, where));
        return;
    }
    const int rc = cur_.replacing
                       ? replaceLocal(cur_.destDirFd, queue_entries_.front().destination,
                                      cur_.tempPath, cur_.targetPath)
                       : FolderPaths::moveBeneath(cur_.destDirFd, cur_.tempPath, cur_.targetPath);
    if (rc != 0) {
        discardCurrent();
        dropHead();
        alertAndGoOn(systemAlert("alertWriteErrorHeading", rc, where));
        return;
    }
    closeFd(cur_.destDirFd);
    cur_ = Current{};
    dropHead();
    if (stopCopying_)
        endRun();
    else
        scheduleStep();
}

// ---------------------------------------------------------------- failures

// The file in hand is given up: its temporary copy goes, a target stays as it was.
void QVImportExportController::discardCurrent() {
    if (!cur_.active) return;
    // The reader and the writer let go of the file and the buffers.
    finishPendingRead();
    finishPendingWrite();
    closeFd(cur_.localFd);
    if (mode_ == Mode::Import) {
        if (cur_.folderFile) fs_->closeFile(cur_.folderFile);
        if (fs_ && !cur_.tempPath.empty() && !fs_->removeItemAtPath(cur_.tempPath))
            removeRawTemp(cur_.tempPath);
    } else {
        if (cur_.folderFile) fs_->closeFile(cur_.folderFile);
        if (cur_.destDirFd >= 0 && !cur_.tempPath.empty())
            ::unlinkat(cur_.destDirFd, cur_.tempPath.c_str(), 0);
        closeFd(cur_.destDirFd);
    }
    cur_ = Current{};
}

// A temporary file of the folder when the handle no longer serves it (the
// folder was locked under the run): removed on disk, where its name is plain.
void QVImportExportController::removeRawTemp(const std::string& rel) {
    if (!fs_ || rootReal_.empty()) return;
    Fd root(::open(rootReal_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string name;
    Fd dir(root.ok() ? FolderPaths::openParentBeneath(root.get(), rel, &name) : -1);
    if (dir.ok() && ::unlinkat(dir.get(), name.c_str(), 0) != 0 && errno != ENOENT)
        LGLogError("QVImportExport > could not remove %s: %s", rel.c_str(), std::strerror(errno));
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

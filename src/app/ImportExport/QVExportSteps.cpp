// The export's steps: folder items into a local directory, each file under a
// temporary name beside its target until it is complete, links as links.
#include "app/ImportExport/QVImportExportController.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "FileSystem/QVFileSystem.h"
#include "FileSystem/QVMountedVolumes.h"
#include "Logging/LGLogMacros.h"
#include "app/ImportExport/QVImportExportSupport.h"
#include "folder/FolderPaths.h"
#include "platform/core/FullIO.h"
#include "platform/core/PathPieces.h"
#include "platform/core/UniqueFd.h"

using namespace importexport;
using Message = QVImportExportMessage;
using Fd = platform::UniqueFd;

bool QVImportExportController::startExport() {
    const std::string dest = *preTargetDir_;
    struct stat st;
    auto root = fs_ && fs_->isMounted() ? fs_->volumePath() : std::nullopt;
    if (!root || ::stat(dest.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        LGLogError(
            "QVImportExport > executePreloadedCopyFromContainer > target folder does not exist");
        notifyEnd(Direction::Export);
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
        notifyEnd(Direction::Export);
        return false;
    }
    copiedBytes_ = 0;
    totalBytes_ = 0;
    exports_.clear();
    for (const auto& f : preSourceFiles_) {
        if (!f) continue;
        totalBytes_ += static_cast<int64_t>(fs_->calculateItemSize(f->filePath()));
        exports_.push_back({f, destReal});
    }
    return beginRun(Direction::Export);
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

void QVImportExportController::exportItem() {
    const ExportEntry e = exports_.front();
    const QVFile::Ptr& src = e.file;
    // One look at the item as it lies on disk, never followed: whether it is
    // there, a link, a directory, and the bits and times the copy takes.
    struct stat sst;
    std::string srcName;
    const auto clean = src ? FolderPaths::relative(src->filePath()) : std::nullopt;
    const int srcDir = clean ? sourceDirectory(*clean, &srcName) : -1;
    if (srcDir < 0 || ::fstatat(srcDir, srcName.c_str(), &sst, AT_SYMLINK_NOFOLLOW) != 0) {
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
        auto link = folderLinkText(srcDir, srcName, *clean, sst);
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
            for (auto& f : *listing) exports_.push_back({f, target});
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
    const int64_t expected =
        src->fileSize() == QVFile::kUnknownSize ? -1 : static_cast<int64_t>(src->fileSize());
    // A file of more than one chunk drops the encrypted pages it has read:
    // the copy's own pages then take the memory they leave instead of
    // growing the cache by the file's size twice.
    const int cacheFd =
        sst.st_size > kDataChunkSize
            ? ::openat(srcDir, srcName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
            : -1;
    exporting_ = ExportFile{.name = name,
                            .tempName = temp,
                            .shownPath = target,
                            .replacing = replacing,
                            .tempFd = fd,
                            .directoryFd = ::fcntl(dir, F_DUPFD_CLOEXEC, 0),
                            .cacheFd = cacheFd,
                            .source = src,
                            .expected = expected,
                            .sourceStat = sst};
    moveExportChunk();
}

int QVImportExportController::sourceDirectory(const std::string& rel, std::string* name) {
    auto [parent, last] = FolderPaths::splitParent(rel);
    *name = last;
    if (rel.empty() || !rootFd_.ok()) return -1;
    if (!srcDir_.ok() || srcDirPath_ != parent) {
        srcDirPath_ = parent;
        srcDir_.reset(FolderPaths::openParentBeneath(rootFd_.get(), rel, name));
    }
    return srcDir_.get();
}

// Creating a file is mostly the file system's search for a free inode (on a
// disk without a journal, past every inode freed in the last minute), and
// named files of one directory are created one after another under its lock.
// Files without a name yet (O_TMPFILE) are created side by side; each gets
// its name once it is complete and never replaces anything. Whatever fails
// goes back to the head of the queue and takes the one-by-one road, which
// asks or says what went wrong; the step ends with nothing in flight.
bool QVImportExportController::exportSideBySide() {
    if (!sideBySide_ || oneByOne_ > 0 || run_.stepBudget() <= std::chrono::steady_clock::duration{})
        return false;
    const std::string destination = exports_.front().destination;
    const int dir = destinationDirectory(destination);
    std::vector<SideBySideFile> files;
    // No more bytes in one step than one chunk of the one-by-one road: the
    // step runs on the window's queue.
    int64_t batchBytes = 0;
    for (size_t i = 0; i < exports_.size() && files.size() < kSideBySideFiles && dir >= 0; ++i) {
        const ExportEntry& e = exports_[i];
        const auto clean = e.file ? FolderPaths::relative(e.file->filePath()) : std::nullopt;
        std::string srcName;
        const int srcDir =
            e.destination == destination && clean ? sourceDirectory(*clean, &srcName) : -1;
        SideBySideFile f{.file = e.file, .name = e.file ? e.file->fileName() : std::string()};
        struct stat tst;
        if (srcDir < 0 ||
            ::fstatat(srcDir, srcName.c_str(), &f.sourceStat, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(f.sourceStat.st_mode) || f.sourceStat.st_size > kSideBySideBytes ||
            ::fstatat(dir, f.name.c_str(), &tst, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT ||
            batchBytes + f.sourceStat.st_size > kDataChunkSize)
            break;
        batchBytes += f.sourceStat.st_size;
        files.push_back(std::move(f));
    }
    if (files.size() < 2) return false;

    std::atomic<size_t> next{0};
    std::atomic<bool> unsupported{false};
    platform::DispatchGroup group;
    for (size_t w = 0; w < std::min(files.size(), kSideBySideWorkers); ++w)
        group.async(platform::globalQueue(), [&] {
            try {
                std::vector<uint8_t> buffer(static_cast<size_t>(kSideBySideBytes) + 1);
                for (size_t i; (i = next++) < files.size();) {
                    bool none = false;
                    if (!exportWholeFile(dir, files[i], buffer.data(), &none) && none)
                        unsupported = true;
                }
            } catch (...) {
                // What was not done goes one by one.
            }
        });
    group.wait();
    if (unsupported) sideBySide_ = false;

    std::vector<ExportEntry> failed;
    for (const SideBySideFile& f : files) {
        if (f.bytes < 0) {
            failed.push_back(std::move(exports_.front()));
        } else {
            copiedBytes_ += f.bytes;
            if (delegate_) delegate_->importExporterProcessed(copiedBytes_, totalBytes_);
        }
        exports_.pop_front();
    }
    for (auto it = failed.rbegin(); it != failed.rend(); ++it) exports_.push_front(std::move(*it));
    oneByOne_ = failed.size();
    run_.forgetConflictAnswer();
    return true;
}

bool QVImportExportController::exportWholeFile(int dirFd, SideBySideFile& f, uint8_t* buffer,
                                               bool* unsupported) {
    if (!fs_->openFile(f.file, true, false)) {
        fs_->closeFile(f.file);
        return false;
    }
    size_t got = 0;
    int err = 0;
    const size_t room = static_cast<size_t>(kSideBySideBytes) + 1;
    const bool read = readChunk(f.file, 0, buffer, room, &got, &err);
    fs_->closeFile(f.file);
    if (!read || got == room) return false;  // grown meanwhile: one by one
    Fd out(::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (!out.ok()) {
        *unsupported = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
        return false;
    }
    if (!platform::writeFully(out.get(), buffer, got)) return false;
    const struct stat& st = f.sourceStat;
    timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
    ::fchmod(out.get(), st.st_mode & kCopiedModeBits);
    const std::string self = "/proc/self/fd/" + std::to_string(out.get());
    if (::linkat(AT_FDCWD, self.c_str(), dirFd, f.name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        *unsupported = errno == ENOENT;  // no /proc
        return false;
    }
    // A late write failure takes the name away again.
    if (::close(out.release()) != 0) {
        ::unlinkat(dirFd, f.name.c_str(), 0);
        return false;
    }
    f.bytes = static_cast<int64_t>(got);
    return true;
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
        if (text.empty()) text.assign(1, '.');  // not = ".": a false -Wrestrict in GCC 12
        while (text.size() > 1 && text.back() == '/') text.pop_back();
        break;
    }
    return text;
}

void QVImportExportController::exportLink(int dirFd, const std::string& text,
                                          const std::string& name, bool replacing, int64_t size) {
    const std::string destination = exports_.front().destination;
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
        ok = readChunk(exporting_->source, static_cast<uint64_t>(exporting_->bytes), buf,
                       static_cast<size_t>(kDataChunkSize), &got, &err);
        if (ok) dropReadPages(exporting_->cacheFd, exporting_->bytes, got);
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
        if (!platform::writeFully(exporting_->tempFd, buf, got)) {
            failExportWrite(platform::errnoOrEIO(errno));
            return;
        }
    } else {
        auto pending = std::make_shared<PendingWrite>();
        pendingWrite_ = pending;
        if (!writer_) writer_ = platform::DispatchQueue::serial("tessaro.copy.write");
        writer_->async([pending, fd = exporting_->tempFd, buf, got] {
            if (!platform::writeFully(fd, buf, got)) pending->err = platform::errnoOrEIO(errno);
            pending->done.signal();
        });
        bufferTurn_ ^= 1;
        auto read = std::make_shared<PendingRead>();
        pendingRead_ = read;
        if (!reader_) reader_ = platform::DispatchQueue::serial("tessaro.copy.read");
        // The controller waits for this read before it closes the file or
        // goes (discardCurrent), so `this` and the buffer outlive it.
        reader_->async([this, read, file = exporting_->source, at = exporting_->bytes + n,
                        next = chunkBuffer(bufferTurn_), cacheFd = exporting_->cacheFd] {
            read->ok = readChunk(file, static_cast<uint64_t>(at), next,
                                 static_cast<size_t>(kDataChunkSize), &read->got, &read->err);
            if (read->ok) dropReadPages(cacheFd, at, read->got);
            read->done.signal();
        });
    }
    exporting_->bytes += n;
    copiedBytes_ += n;
    if (delegate_) delegate_->importExporterProcessed(copiedBytes_, totalBytes_);
    if (last)
        finishExportFile(true);
    else
        scheduleStep();
}

// Only clean pages go; the file's content is not touched. -1 is no file.
void QVImportExportController::dropReadPages(int fd, int64_t offset, size_t length) {
    if (fd >= 0 && length > 0)
        ::posix_fadvise(fd, offset, static_cast<off_t>(length), POSIX_FADV_DONTNEED);
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
    const std::string where = exports_.front().destination + "/" + exporting_->name;
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
    fs_->closeFile(exporting_->source);
    closeFd(exporting_->cacheFd);
    const std::string where =
        (exports_.empty() ? std::string() : exports_.front().destination) + "/" + exporting_->name;
    // Permission bits and times of the encrypted file on disk, as they were
    // before it was read.
    const struct stat& st = exporting_->sourceStat;
    timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(exporting_->tempFd, times);
    ::fchmod(exporting_->tempFd, st.st_mode & kCopiedModeBits);
    int fd = exporting_->tempFd;
    exporting_->tempFd = -1;
    if (::close(fd) != 0) {
        int err = errno;
        discardCurrent();
        dropHead();
        alertAndGoOn(systemAlert("alertWriteErrorHeading", err, where));
        return;
    }
    const int rc = exporting_->replacing
                       ? replaceLocal(exporting_->directoryFd, exports_.front().destination,
                                      exporting_->tempName, exporting_->name)
                       : FolderPaths::moveBeneath(exporting_->directoryFd, exporting_->tempName,
                                                  exporting_->name);
    if (rc != 0) {
        discardCurrent();
        dropHead();
        alertAndGoOn(systemAlert("alertWriteErrorHeading", rc, where));
        return;
    }
    closeFd(exporting_->directoryFd);
    exporting_.reset();
    dropHead();
    if (run_.isStopping())
        endRun();
    else
        scheduleStep();
}

// The file being exported is given up: its temporary file goes, a target
// stays as it was.
void QVImportExportController::discardExport() {
    // The reader and the writer let go of the file and the buffers.
    finishPendingRead();
    finishPendingWrite();
    closeFd(exporting_->tempFd);
    closeFd(exporting_->cacheFd);
    if (exporting_->source) fs_->closeFile(exporting_->source);
    if (exporting_->directoryFd >= 0 && !exporting_->tempName.empty())
        ::unlinkat(exporting_->directoryFd, exporting_->tempName.c_str(), 0);
    closeFd(exporting_->directoryFd);
    exporting_.reset();
}

// The import's steps: local files and directories into the folder, each file
// under a temporary name beside its target until it is complete.
#include "app/ImportExport/QVImportExportController.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "FileSystem/QVFileSystem.h"
#include "FileSystem/QVMountedVolumes.h"
#include "Logging/LGLogMacros.h"
#include "app/ImportExport/QVImportExportSupport.h"
#include "folder/FolderPaths.h"
#include "platform/core/FullIO.h"
#include "platform/core/PathPieces.h"
#include "platform/core/TreeBytes.h"
#include "platform/core/UniqueFd.h"

using namespace importexport;
using Message = QVImportExportMessage;
using Fd = platform::UniqueFd;

// At the start of a run both directions end with the export notice.
bool QVImportExportController::startImport() {
    bool isDir = false;
    const std::string target = *preTargetPath_;
    auto root = fs_ && fs_->isMounted() ? fs_->volumePath() : std::nullopt;
    if (!root || !fs_->fileExistsAtPath(target, &isDir) || !isDir) {
        LGLogError("QVImportExport > executePreloadedCopyFromURL > target folder does not exist");
        notifyEnd(Direction::Export);
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
            notifyEnd(Direction::Export);
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
        notifyEnd(Direction::Export);
        return false;
    }
    imports_.clear();
    for (const auto& src : preSourcePaths_)
        if (std::find(ignore_.begin(), ignore_.end(), platform::lastComponent(src)) ==
            ignore_.end())
            imports_.push_back({src, FolderPaths::relative(target).value_or("")});
    return beginRun(Direction::Import);
}

int64_t QVImportExportController::localTreeBytes(const std::string& path) const {
    return platform::tallyTree(path, {[this](std::string_view name) {
                                   return std::find(ignore_.begin(), ignore_.end(), name) !=
                                          ignore_.end();
                               }})
        .bytes;
}

std::string QVImportExportController::folderTempPath(const std::string& dir, const char* kind) {
    return FolderPaths::join(dir, uniqueTempName(
                                      [&](const std::string& n) {
                                          return fs_->fileExistsAtPath(FolderPaths::join(dir, n));
                                      },
                                      kind));
}

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
    const ImportEntry e = imports_.front();
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
        const auto answer = run_.aliasAnswer(delegate_, [this](QVAliasAnswer a) {
            if (a == QVAliasAnswer::Skip) {
                scheduleStep();
            } else {
                run_.stop();
                endRun();
            }
        });
        if (answer) scheduleStep();
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
        for (auto& n : names) imports_.push_back({FolderPaths::join(e.source, n), target});
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
    importing_ = ImportFile{.tempPath = temp,
                            .targetPath = target,
                            .replacing = replacing,
                            .sourceFd = fd,
                            .temp = file,
                            .expected = now.st_size};
    moveImportChunk();
}

// Like the export: a longer file is a pipeline over two buffers. While the
// writer queue encrypts and writes one chunk, the reader queue reads the
// next, and this queue only hands them on.
void QVImportExportController::moveImportChunk() {
    uint8_t* buf = chunkBuffer(bufferTurn_);
    ssize_t n;
    int readErr = 0;
    if (pendingRead_) {
        pendingRead_->done.wait();
        n = pendingRead_->ok ? static_cast<ssize_t>(pendingRead_->got) : -1;
        readErr = pendingRead_->err;
        pendingRead_.reset();
    } else {
        // Every chunk but the last must be whole (a short read(2) is not the
        // end), or the folder's sector grid would no longer match the offsets.
        n = platform::readFully(importing_->sourceFd, buf, static_cast<size_t>(kDataChunkSize));
        readErr = errno;
    }
    if (n < 0) {
        const std::string src = imports_.front().source;
        discardCurrent();
        dropHead();
        alertAndGoOn(systemAlert("alertReadErrorHeading", readErr, src));
        return;
    }
    int err = finishPendingWrite();
    const bool last = n < kDataChunkSize;
    if (err == 0 && last &&
        !writeChunk(importing_->temp, static_cast<uint64_t>(importing_->bytes), buf,
                    static_cast<size_t>(n), &err) &&
        err == 0)
        err = EIO;
    if (err != 0) {
        LGLogError("QVImportExport > import > writing %s failed: %s",
                   importing_->targetPath.c_str(), std::strerror(err));
        discardCurrent();
        dropHead();
        alertAndGoOn(alert("alertWriteErrorHeading", "alertWriteErrorFolderFileText"));
        return;
    }
    if (!last) {
        // The controller waits for both before it closes the files or goes
        // (discardCurrent), so `this`, the files and the buffers outlive them.
        auto pending = std::make_shared<PendingWrite>();
        pendingWrite_ = pending;
        if (!writer_) writer_ = platform::DispatchQueue::serial("tessaro.copy.write");
        writer_->async([this, pending, file = importing_->temp, at = importing_->bytes, buf, n] {
            if (!writeChunk(file, static_cast<uint64_t>(at), buf, static_cast<size_t>(n),
                            &pending->err) &&
                pending->err == 0)
                pending->err = EIO;
            pending->done.signal();
        });
        bufferTurn_ ^= 1;
        auto read = std::make_shared<PendingRead>();
        pendingRead_ = read;
        if (!reader_) reader_ = platform::DispatchQueue::serial("tessaro.copy.read");
        reader_->async([read, fd = importing_->sourceFd, next = chunkBuffer(bufferTurn_)] {
            const ssize_t r = platform::readFully(fd, next, static_cast<size_t>(kDataChunkSize));
            read->ok = r >= 0;
            read->got = r >= 0 ? static_cast<size_t>(r) : 0;
            read->err = r >= 0 ? 0 : errno;
            read->done.signal();
        });
    }
    importing_->bytes += n;
    copiedBytes_ += n;
    if (delegate_) delegate_->importExporterProcessed(copiedBytes_, totalBytes_);
    if (last)
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

void QVImportExportController::finishImportFile(bool complete) {
    if (!complete) {
        dropIncomplete();
        return;
    }
    finishPendingRead();  // past the end (Stop at a chunk's end): nothing more to write
    const int writeErr = finishPendingWrite();
    closeFd(importing_->sourceFd);
    const std::string src = imports_.empty() ? std::string() : imports_.front().source;
    platform::Error closeErr;
    bool ok = fs_->closeFile(importing_->temp, &closeErr) && writeErr == 0;
    importing_->temp.reset();
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
            Fd f(FolderPaths::openBeneath(rootFd_.get(), importing_->tempPath,
                                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
            if (f.ok()) {
                timespec times[2] = {st.st_atim, st.st_mtim};
                if (::futimens(f.get(), times) != 0 ||
                    ::fchmod(f.get(), st.st_mode & kCopiedModeBits) != 0)
                    LGLogWarn("QVImportExport > import > attributes of %s: %s",
                              importing_->targetPath.c_str(), std::strerror(errno));
            }
        }
    }
    if (!placeInFolder(importing_->tempPath, importing_->targetPath, importing_->replacing)) {
        discardCurrent();
        dropHead();
        alertAndGoOn(alert("alertWriteErrorHeading", "alertWriteErrorCreateFolderFileText", {src}));
        return;
    }
    importing_.reset();
    dropHead();
    if (run_.isStopping())
        endRun();
    else
        scheduleStep();
}

// The file being imported is given up: its temporary file goes, a target
// stays as it was.
void QVImportExportController::discardImport() {
    // The reader and the writer let go of the files and the buffers.
    finishPendingRead();
    finishPendingWrite();
    closeFd(importing_->sourceFd);
    if (importing_->temp) fs_->closeFile(importing_->temp);
    if (fs_ && !importing_->tempPath.empty() && !fs_->removeItemAtPath(importing_->tempPath))
        removeRawTemp(importing_->tempPath);
    importing_.reset();
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

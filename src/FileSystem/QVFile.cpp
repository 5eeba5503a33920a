#include "FileSystem/QVFile.h"

#include <strings.h>
#include <algorithm>
#include <cstdio>

#include "folder/FolderPaths.h"
#include "platform/core/PathPieces.h"

QVFile::QVFile() = default;

QVFile::QVFile(const std::string& path, bool isDirectory) : QVFile() {
    isDirectory_ = isDirectory;
    if (isDirectory) {
        children_.emplace();
        children_->reserve(8);
    }
    filePath_ = path;
    fileName_ = platform::lastComponent(path);
    fileSize_ = 0;
}

bool QVFile::isOpen() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return isOpen_;
}

void QVFile::setIsOpen(bool v) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    isOpen_ = v;
}

std::shared_ptr<CZelFile> QVFile::fileHandle() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return fileHandle_;
}

void QVFile::setFileHandle(std::shared_ptr<CZelFile> h) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    fileHandle_ = std::move(h);
}

bool QVFile::nameLess(const Ptr& a, const Ptr& b) {
    return strcasecmp(a->fileName_.c_str(), b->fileName_.c_str()) < 0;
}

void QVFile::addChild(const Ptr& file) {
    if (!file) return;
    if (!children_) children_.emplace();
    if (std::find(children_->begin(), children_->end(), file) != children_->end()) return;
    file->setFilePath(FolderPaths::join(filePath_, file->fileName()));
    children_->push_back(file);
    sort();
}

void QVFile::removeChild(const Ptr& file) {
    if (!children_) return;
    children_->erase(std::remove(children_->begin(), children_->end(), file), children_->end());
    if (children_->empty()) children_.reset();
}

void QVFile::setChildren(std::vector<Ptr> files) {
    children_ = std::move(files);
    sort();
}

void QVFile::sort() {
    if (children_) std::stable_sort(children_->begin(), children_->end(), nameLess);
}

std::string QVFile::description() const {
    char size[32];
    std::snprintf(size, sizeof size, "%ld", static_cast<long>(fileSize_));
    // Appended piece by piece: the chain of operator+ trips a false
    // -Wrestrict in GCC 12 at -O3.
    std::string out = isDirectory_ ? "(DIR " : "(FILE ";
    out.append(filePath_).append(" ").append(size).append("B)");
    return out;
}

#pragma once
// One item of an encrypted folder's tree as the application sees it, and while
// open the carrier of the reader's file handle.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

class CZelFile;  // the reader's open file (folder/ZelFsReader.h)

class QVFile {
  public:
    using Ptr = std::shared_ptr<QVFile>;
    using Date = std::optional<std::chrono::system_clock::time_point>;
    // fileSize of a file made by the plain constructor: not known.
    static constexpr uint64_t kUnknownSize = UINT64_MAX;

    // init: no name or path, size unknown, no children.
    QVFile();
    // initWithPath:isDirectory: a directory starts with an empty children list.
    QVFile(const std::string& path, bool isDirectory);
    QVFile(const QVFile&) = delete;
    QVFile& operator=(const QVFile&) = delete;

    bool isDirectory() const { return isDirectory_; }
    void setIsDirectory(bool v) { isDirectory_ = v; }
    const std::string& fileName() const { return fileName_; }
    void setFileName(std::string v) { fileName_ = std::move(v); }
    // Relative to the folder root; "" for the root.
    const std::string& filePath() const { return filePath_; }
    void setFilePath(std::string v) { filePath_ = std::move(v); }
    uint64_t fileSize() const { return fileSize_; }
    void setFileSize(uint64_t v) { fileSize_ = v; }
    const Date& creationDate() const { return creationDate_; }
    void setCreationDate(Date v) { creationDate_ = v; }
    const Date& accessDate() const { return accessDate_; }
    void setAccessDate(Date v) { accessDate_ = v; }
    const Date& modificationDate() const { return modificationDate_; }
    void setModificationDate(Date v) { modificationDate_ = v; }

    // Open state; QVFileSystem changes it under ioMutex().
    bool isOpen() const;
    void setIsOpen(bool v);
    std::shared_ptr<CZelFile> fileHandle() const;
    void setFileHandle(std::shared_ptr<CZelFile> h);
    // Open, close and changes of this object take it alone; positional
    // reads share it, so that a volume's reads of one file run at once.
    std::shared_mutex& ioMutex() const { return ioMutex_; }

    // Sorted by name, ignoring case; none for a file, a plain init and after
    // the last child went.
    const std::optional<std::vector<Ptr>>& children() const { return children_; }
    // Adds `file` unless this very object is among the children already; its
    // filePath becomes this path plus its name.
    void addChild(const Ptr& file);
    void removeChild(const Ptr& file);
    void setChildren(std::vector<Ptr> files);
    void sort();

    // "(DIR path 0B)" / "(FILE path 12B)".
    std::string description() const;
    // The children's order: fileName compared ignoring case.
    static bool nameLess(const Ptr& a, const Ptr& b);

  private:
    bool isDirectory_ = false;
    std::string fileName_;
    std::string filePath_;
    uint64_t fileSize_ = kUnknownSize;
    Date creationDate_, accessDate_, modificationDate_;
    mutable std::shared_mutex ioMutex_;
    mutable std::mutex stateMutex_;
    bool isOpen_ = false;
    std::shared_ptr<CZelFile> fileHandle_;
    std::optional<std::vector<Ptr>> children_;
};

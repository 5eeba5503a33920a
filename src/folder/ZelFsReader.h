#pragma once
// Path-based access to the files of one opened encrypted folder. Names,
// directories and sizes are plain; contents go through the sector engine with
// the folder key, size-preserving, on the 512-byte sector grid (SectorIO.h).
//
// Thread safety: every call may come from any thread. A file handle carries
// its own position; handles of the same file share one lock across the whole
// process (every reader of every folder handle), so their read-modify-write
// of shared sectors never interleaves; only positional reads (ReadFileAt)
// share it and run at once. CloseVolume wipes the key at once; handles still
// open then fail with EBADF.

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/UniqueFd.h"

class CMoxEncryptedFolder;

class CFsReaderBase {
  public:
    virtual ~CFsReaderBase() = default;
    virtual bool IsReadOnly() const { return m_readOnly; }

  protected:
    bool m_readOnly = false;
};

// One directory entry; times are seconds since 1970.
struct FADirEntry {
    bool isDirectory = false;
    uint8_t reserved = 0;
    std::string name;
    uint64_t size = 0;
    int64_t creationTime = 0;
    int64_t accessTime = 0;
    int64_t modificationTime = 0;
};

class CZelFile;
class CZelFileKey;

class CZelFsReader : public CFsReaderBase {
  public:
    // Opaque to callers; released by CloseFile or when the last copy goes.
    using FileHandle = std::shared_ptr<CZelFile>;

    // No folder: "no folder for the reader".
    static constexpr uint32_t kErrorNoFolder = 102;

    CZelFsReader();
    ~CZelFsReader() override;
    CZelFsReader(const CZelFsReader&) = delete;
    CZelFsReader& operator=(const CZelFsReader&) = delete;

    // Takes the folder (null allowed) in place of the one before, whose key
    // is wiped and whose open handles stop working.
    void setEncryptedFolder(std::shared_ptr<CMoxEncryptedFolder> folder);
    std::shared_ptr<CMoxEncryptedFolder> encryptedFolder() const;
    // Root = path with "/" appended; 0, or kErrorNoFolder without a folder.
    uint32_t OpenEncryptedVolume(const std::string& path, const char* password, bool readOnly);
    // Drops the folder (wiping its key); the working directory is left alone.
    void CloseVolume();
    const std::string& rootPath() const { return m_root; }

    // Directory entries of root + path without ".", ".." and the database
    // names, in reverse directory order; nullopt when it cannot be read.
    std::optional<std::vector<FADirEntry>> NewDirEntryForPath(const std::string& path);
    bool DeleteFile(const std::string& path);
    // Never replaces an existing item.
    bool RenameFile(const std::string& from, const std::string& to);
    bool CreateDirectory(const std::string& path, FADirEntry* out);
    bool DeleteDirectory(const std::string& path);

    // Opens root + path (create truncates or makes the file); a read-write
    // open of a file that cannot be written falls back to read-only. Null on
    // failure with the errno value in *error.
    FileHandle OpenFile(const std::string& path, bool readOnly, bool create, int* error = nullptr);
    // False, with the errno value, when closing reports a late write failure
    // (network volumes report them here); the handle is closed either way.
    bool CloseFile(const FileHandle& handle, int* error = nullptr);

    // At the handle's position, which then advances.
    bool ReadFile(const FileHandle& h, void* buffer, size_t length, size_t* got,
                  int* error = nullptr);
    bool WriteFile(const FileHandle& h, const void* buffer, size_t length, size_t* count = nullptr,
                   int* error = nullptr);
    bool Seek(const FileHandle& h, uint32_t low, uint32_t high);
    bool SeekTo(const FileHandle& h, uint64_t position);
    uint64_t Tell(const FileHandle& h) const;

    // Positional forms; the handle's position is left alone.
    bool ReadFileAt(const FileHandle& h, uint64_t offset, void* buffer, size_t length, size_t* got,
                    int* error = nullptr);
    bool WriteFileAt(const FileHandle& h, uint64_t offset, const void* buffer, size_t length,
                     int* error = nullptr);
    // A write in two halves, for whole sectors only (EINVAL else): the bytes
    // encrypted for their place into `out`, without the file's lock, so
    // beside any other call on the file; later stored as WriteFileAt would.
    bool EncryptForFile(const FileHandle& h, uint64_t offset, const void* plain, void* out,
                        size_t length, int* error = nullptr);
    bool WriteEncryptedFileAt(const FileHandle& h, uint64_t offset, const void* cipher,
                              size_t length, int* error = nullptr);
    bool TruncateFile(const FileHandle& h, uint64_t size, int* error = nullptr);
    // fsync, or fdatasync when dataOnly.
    bool SyncFile(const FileHandle& h, bool dataOnly, int* error = nullptr);

    uint64_t GetFileSize(const FileHandle& h) const;
    bool SetFileTime(const FileHandle& h, int64_t creation, int64_t access, int64_t modification);
    bool IsHandleReadOnly(const FileHandle& h) const;
    // 0 for a handle open for writing; else why it is not: EBADF when it was
    // opened read-only on purpose, or the errno (EACCES, EPERM, EROFS) that
    // turned a read-write open into a read-only one.
    int WriteRefusal(const FileHandle& h) const;
    // An O_PATH descriptor of the open file itself (the caller closes it), for
    // its attributes even after its last name is gone; -1 with errno.
    int PathDescriptor(const FileHandle& h) const;
    // The root descriptor, shared: it stays open while the caller holds it,
    // even past CloseEncryptedVolume. None when no folder is open.
    platform::SharedFd rootFd() const;

  private:
    struct Resolved;
    bool resolve(const std::string& path, Resolved* out) const;
    std::shared_ptr<CZelFileKey> fileKey();

    mutable std::mutex m_mutex;
    std::shared_ptr<CMoxEncryptedFolder> m_folder;
    std::shared_ptr<CZelFileKey> m_key;
    std::string m_root;
    platform::SharedFd m_rootFd;
    std::vector<std::string> m_configNames;  // the database and journal names in the root
};

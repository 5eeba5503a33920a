#pragma once
// The application's handle of one encrypted folder: unlocking ("mounting")
// with a user name and password, the folder's identity and users, its tree
// and the contents of its files. Names, directories and sizes are handled on
// the plain directory; contents go through the positional reader, which
// encrypts and decrypts them. Paths are relative to the folder root ("" and
// "/" are the root; a leading "/" is dropped); "..", the configuration
// database and its journal are refused everywhere.
//
// Threads: any method may be called from any thread. Mount and unmount take
// the handle exclusively and wait for the file operations in flight; unmount
// wipes the folder key, after which open files fail with EBADF. Operations on
// one QVFile are serialised by that file's own lock, but for positional reads
// (readFile), which run side by side.
//
// File I/O for a volume, by path, offset and size:
//
//   QVFile::Ptr f = fs.openFileAtPath("/a.txt", false, true, &err);
//   size_t got;  fs.readFile(f, offset, buf, size, &got, &err);
//   fs.writeFile(f, offset, buf, size, &err);
//   fs.truncateFile(f, newSize, &err);  fs.syncFile(f, false, &err);
//   fs.closeFile(f);
//
// Failures come back as platform::Error (POSIX domain with the errno value for
// file operations) and are logged.

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "FileSystem/QVFile.h"
#include "FileSystem/QVFpUser.h"
#include "platform/core/Error.h"
#include "platform/core/UniqueFd.h"

class CZelFsReader;
class CMoxEncryptedFolder;

class QVFileSystem {
  public:
    // Errors of unlocking that are not errno values carry the core's code here.
    static constexpr const char* kErrorDomain = "QVFileSystemErrorDomain";
    static constexpr const char* kUnknownFolderId = "{00000000-0000-0000-0000-000000000000}";

    QVFileSystem();
    ~QVFileSystem();
    QVFileSystem(const QVFileSystem&) = delete;
    QVFileSystem& operator=(const QVFileSystem&) = delete;

    // --- Unlocking and identity
    bool mountEncryptedFolder(const std::optional<std::string>& path,
                              const std::optional<std::string>& userName,
                              const std::optional<std::string>& password,
                              platform::Error* error = nullptr);
    // With the username already set.
    bool mountEncryptedFolder(const std::optional<std::string>& path,
                              const std::optional<std::string>& password,
                              platform::Error* error = nullptr);
    void unmount();
    // The folder's VolumeID without unlocking; also sets uuid().
    std::optional<std::string> uuidOfUnmountedVolume(const std::string& folderPath);

    std::optional<std::string> volumePath() const;
    bool isMounted() const;
    bool isNTFSVolume() const { return false; }
    std::optional<std::string> uuid() const;
    void setUuid(std::optional<std::string> uuid);
    std::optional<std::string> username() const;
    void setUsername(std::optional<std::string> name);
    // "AES 256", "Tripple DES", "IDEA" or "Unknown".
    std::string encryptionName() const;
    bool isCreatedOnMac() const;
    void setIsCreatedOnMac(bool flag);

    // --- Users
    // Works without unlocking; no passwords involved.
    std::vector<QVFpUser> usersForFolderAtPath(const std::string& folderPath);
    std::optional<QVFpUser> authenticatedUser();
    // Refuses (EEXIST) a short name the folder has already, compared as
    // sameUserName does: both would open the folder and share one
    // remembered password.
    bool addUser(const QVFpUser& user, const std::string& password,
                 platform::Error* error = nullptr);
    // Whether two user names are one to unlocking: cut as a request cuts
    // them, letter case aside.
    static bool sameUserName(const std::string& a, const std::string& b);
    bool deleteUser(const QVFpUser& user, platform::Error* error = nullptr);
    bool updateUserPermission(const QVFpUser& user, platform::Error* error = nullptr);

    // --- Tree
    QVFile::Ptr rootFile() const;
    bool fileExistsAtPath(const std::string& path, bool* isDirectory = nullptr) const;
    QVFile::Ptr fileAtPath(const std::optional<std::string>& path) const;
    // Without the database names ever, and without dot files and "Icon\r"
    // unless invisibles are wanted, in name order (letter case aside); nullopt
    // when path is no directory.
    std::optional<std::vector<QVFile::Ptr>> contentsOfDirectoryAtPath(const std::string& path,
                                                                      bool includeInvisibles) const;
    QVFile::Ptr createDirectoryAtPath(const std::optional<std::string>& path,
                                      platform::Error* error = nullptr);
    // Recursive.
    bool removeItemAtPath(const std::optional<std::string>& path, platform::Error* error = nullptr);
    // Never replaces an existing item (EEXIST).
    bool renameFileFromPath(const std::optional<std::string>& from,
                            const std::optional<std::string>& to, platform::Error* error = nullptr);
    uint64_t calculateItemSize(const std::string& path) const;
    // Of the volume that holds the folder.
    bool volumeSize(uint64_t* size, uint64_t* freeSpace) const;

    // --- File contents
    bool openFile(const QVFile::Ptr& file, bool readOnly, bool createNew,
                  platform::Error* error = nullptr);
    QVFile::Ptr openFileAtPath(const std::string& path, bool readOnly, bool createNew,
                               platform::Error* error = nullptr);
    // Closed either way; false when closing reported a late write failure.
    bool closeFile(const QVFile::Ptr& file, platform::Error* error = nullptr);
    // At the file's position, which advances; shorter at the end, empty past it.
    std::optional<std::vector<uint8_t>> readDataFromFile(const QVFile::Ptr& file, size_t length,
                                                         platform::Error* error = nullptr);
    // The caller's bytes are left as they are; true iff all were written.
    bool writeData(const std::vector<uint8_t>& data, const QVFile::Ptr& file,
                   platform::Error* error = nullptr);
    bool setPosition(uint64_t position, const QVFile::Ptr& file);

    // Positional forms; the file's position is left alone.
    bool readFile(const QVFile::Ptr& file, uint64_t offset, void* buffer, size_t size, size_t* got,
                  platform::Error* error = nullptr);
    bool writeFile(const QVFile::Ptr& file, uint64_t offset, const void* buffer, size_t size,
                   platform::Error* error = nullptr);
    // A write in two halves, for whole sectors only: the bytes encrypted for
    // their place into `out`, beside any other call on the file (false when
    // that cannot be; the plain bytes are then for writeFile), and stored
    // later as writeFile would store the plain bytes.
    bool encryptForFile(const QVFile::Ptr& file, uint64_t offset, const void* plain, void* out,
                        size_t size, platform::Error* error = nullptr);
    bool writeEncryptedFile(const QVFile::Ptr& file, uint64_t offset, const void* cipher,
                            size_t size, platform::Error* error = nullptr);
    bool truncateFile(const QVFile::Ptr& file, uint64_t size, platform::Error* error = nullptr);
    // Opens, truncates and closes.
    bool truncateItemAtPath(const std::string& path, uint64_t size,
                            platform::Error* error = nullptr);
    // fsync (fdatasync when dataOnly).
    bool syncFile(const QVFile::Ptr& file, bool dataOnly, platform::Error* error = nullptr);
    // 0 when the open file can be written; else the errno a write through it
    // meets: EBADF (opened read-only, or not open) or the reason (EACCES,
    // EPERM, EROFS) a read-write open came back read-only.
    int writeRefusalOfFile(const QVFile::Ptr& file) const;
    // An O_PATH descriptor of the open file (the caller closes it), for
    // attributes of a file that may have no name any more; -1 when not open.
    int pathDescriptorOfFile(const QVFile::Ptr& file, platform::Error* error = nullptr);

  private:
    QVFile::Ptr fileAtPathLocked(const std::optional<std::string>& path) const;
    std::optional<std::vector<QVFile::Ptr>> contentsLocked(const std::string& path,
                                                           bool includeInvisibles) const;
    bool openFileLocked(const QVFile::Ptr& file, bool readOnly, bool createNew,
                        platform::Error* error);
    bool closeFileLocked(const QVFile::Ptr& file, platform::Error* error = nullptr);
    // The folder's root directory, beneath which every call works.
    platform::SharedFd rootFd() const;
    template <class Op>
    bool withOpenFile(const QVFile::Ptr& file, platform::Error* error, const char* logPrefix,
                      const char* verb, Op op, bool shareFile = false);

    mutable std::shared_mutex m_mutex;
    std::unique_ptr<CZelFsReader> m_reader;
    std::shared_ptr<CMoxEncryptedFolder> m_folder;
    std::optional<std::string> m_volumePath;
    bool m_isMounted = false;
    std::optional<std::string> m_uuid;
    std::optional<std::string> m_username;
};

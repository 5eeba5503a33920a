#include "app/logic/QVEncryptedFolderCreator.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "Logging/LGLog.h"
#include "Logging/LGLogMacros.h"
#include "folder/MoxEncryptedFolder.h"

QVEncryptedFolderCreator::QVEncryptedFolderCreator()
    : encryptionNames_{"AES 256", "Tripple DES", "IDEA"},
      // The folder key's cipher ids; the sector engine follows from them.
      encryptionIDs_{1, 2, 512},
      hashNames_{"SHA-2 256", "SHA-2 512", "Whirlpool", "SHA-1", "RIPEMD-160"},
      hashIDs_{0x2000000, 0x4000000, 0x40000, 0x10000, 0x20000} {
    setSelectedEncryptionName(std::nullopt);
    setSelectedHashName(std::nullopt);
}

namespace {
size_t indexOf(const std::vector<std::string>& names, const std::optional<std::string>& name) {
    if (!name) return 0;
    auto it = std::find(names.begin(), names.end(), *name);
    return it == names.end() ? 0 : static_cast<size_t>(it - names.begin());
}
}  // namespace

void QVEncryptedFolderCreator::setSelectedEncryptionName(const std::optional<std::string>& name) {
    const size_t i = indexOf(encryptionNames_, name);
    selectedEncryptionName_ = encryptionNames_[i];
    selectedEncryptionID_ = encryptionIDs_[i];
}

void QVEncryptedFolderCreator::setSelectedHashName(const std::optional<std::string>& name) {
    const size_t i = indexOf(hashNames_, name);
    selectedHashName_ = hashNames_[i];
    selectedHashID_ = hashIDs_[i];
}

bool QVEncryptedFolderCreator::createEncryptedFolderAtPath(const std::string& path,
                                                           const std::string& user,
                                                           const std::string& password) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (::mkdir(path.c_str(), 0777) != 0) {
            LGLogError(
                "EncryptedFolderCreator > createFolder > given path did not exist. creating new "
                "folder failed: %s",
                std::strerror(errno));
            return false;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        LGLogError("EncryptedFolderCreator > createFolder > given path is not a folder but a file");
        return false;
    }

    // The same bounded copies as unlocking makes, so a long password opens
    // the folder it made.
    MoxAuthentication request;
    request.type = kMoxAuthTypePassword;
    request.keyType = kMoxKeyTypeUserPassword;
    request.SetName(user.c_str());
    request.SetPassword(password.c_str());
    LGLogInfo("EncryptedFolderCreator > createFolder > enc alg: %s %d hash alg: %s %d",
              selectedEncryptionName_.c_str(), static_cast<int>(selectedEncryptionID_),
              selectedHashName_.c_str(), static_cast<int>(selectedHashID_));
    std::string longName = request.name;
    if (userNameForDisplay_ && !userNameForDisplay_->empty()) {
        longName = *userNameForDisplay_;
        LGLogInfo("EncFolderCreator > get long name %s from %s", longName.c_str(), request.name);
    }
    request.userId = std::string(request.name);
    request.sid = std::string(request.name);
    request.displayName = longName;
    request.hashId = selectedHashID_;
    request.cipherId = selectedEncryptionID_;

    uint32_t error = 0;
    std::unique_ptr<CMoxEncryptedFolder> folder(
        CMoxEncryptedFolder::CreateNew(path.c_str(), selectedEncryptionID_, {&request}, &error));
    if (!folder) {
        LGLogError("EncryptedFolderCreator > createFolder > could not create the folder: %u",
                   static_cast<unsigned>(error));
        return false;
    }
    folder->SetCreatedOnMacFlag(true);
    return true;
}

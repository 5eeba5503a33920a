#pragma once
// The model of the new-folder sheet: the cipher and hash choices by name, the
// selection as the folder format's ids, and the creation of a new encrypted
// folder with one administrator. No Qt.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QVEncryptedFolderCreator {
  public:
    QVEncryptedFolderCreator();

    const std::vector<std::string>& availableEncryptionNames() const { return encryptionNames_; }
    const std::vector<std::string>& availableHashNames() const { return hashNames_; }
    // A name that is not offered selects the first entry.
    void setSelectedEncryptionName(const std::optional<std::string>& name);
    void setSelectedHashName(const std::optional<std::string>& name);
    const std::string& selectedEncryptionName() const { return selectedEncryptionName_; }
    const std::string& selectedHashName() const { return selectedHashName_; }
    uint32_t selectedEncryptionID() const { return selectedEncryptionID_; }
    uint32_t selectedHashID() const { return selectedHashID_; }
    const std::optional<std::string>& userNameForDisplay() const { return userNameForDisplay_; }
    void setUserNameForDisplay(std::optional<std::string> name) {
        userNameForDisplay_ = std::move(name);
    }

    // Creates the directory when nothing is there; refuses a file, a
    // directory that is not empty and a missing parent.
    bool createEncryptedFolderAtPath(const std::string& path, const std::string& user,
                                     const std::string& password);

  private:
    std::vector<std::string> encryptionNames_;
    std::vector<uint32_t> encryptionIDs_;
    std::vector<std::string> hashNames_;
    std::vector<uint32_t> hashIDs_;
    std::string selectedEncryptionName_, selectedHashName_;
    uint32_t selectedEncryptionID_ = 0, selectedHashID_ = 0;
    std::optional<std::string> userNameForDisplay_;
};

#pragma once
// One user of an encrypted folder as the users list shows it.

#include <optional>
#include <string>

class QVFpUser {
  public:
    QVFpUser() = default;
    // initWithKeyID:shortName:longName:isAdmin:
    QVFpUser(std::optional<std::string> keyID, std::string shortName, std::string longName,
             bool isAdmin)
        : keyID_(std::move(keyID)),
          shortUserName_(std::move(shortName)),
          longUserName_(std::move(longName)),
          isAdmin_(isAdmin) {}

    // The key record's KeyId; none for a user that is being created.
    const std::optional<std::string>& keyID() const { return keyID_; }
    void setKeyID(std::optional<std::string> v) { keyID_ = std::move(v); }
    // Login name (the record's UserId).
    const std::string& shortUserName() const { return shortUserName_; }
    void setShortUserName(std::string v) { shortUserName_ = std::move(v); }
    // Display name (DispName).
    const std::string& longUserName() const { return longUserName_; }
    void setLongUserName(std::string v) { longUserName_ = std::move(v); }
    bool isAdmin() const { return isAdmin_; }
    void setIsAdmin(bool v) { isAdmin_ = v; }

  private:
    std::optional<std::string> keyID_;
    std::string shortUserName_;
    std::string longUserName_;
    bool isAdmin_ = false;
};

#pragma once
// Makes a real encrypted folder for a test: the directory, its database, a
// folder key and one administrator per user. Header-only; link tessaro_folder.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "folder/MoxEncryptedFolder.h"

namespace testsupport {

struct FolderUser {
    FolderUser(std::string n, std::string pw, std::string display = {})
        : name(std::move(n)), password(std::move(pw)), displayName(std::move(display)) {}
    std::string name;
    std::string password;
    std::string displayName;
};

// cipherId: 1 AES-256, 2 Triple-DES, 512 IDEA. Null (with a test failure) when
// the folder could not be made.
inline std::unique_ptr<CMoxEncryptedFolder> makeEncryptedFolder(
    const std::filesystem::path& dir, const std::vector<FolderUser>& users, uint32_t cipherId = 1) {
    std::filesystem::create_directories(dir);
    std::vector<MoxAuthentication> requests(users.size());
    std::vector<MoxAuthentication*> pointers;
    for (size_t i = 0; i < users.size(); ++i) {
        MoxAuthentication& r = requests[i];
        r.type = kMoxAuthTypePassword;
        r.keyType = kMoxKeyTypeUserPassword;
        r.SetName(users[i].name.c_str());
        r.userId = users[i].name;
        r.sid = users[i].name;
        r.displayName = users[i].displayName.empty() ? users[i].name : users[i].displayName;
        r.SetPassword(users[i].password.c_str());
        r.hashId = 0x2000000;
        r.cipherId = cipherId;
        pointers.push_back(&r);
    }
    uint32_t error = 0;
    std::unique_ptr<CMoxEncryptedFolder> folder(
        CMoxEncryptedFolder::CreateNew(dir.c_str(), cipherId, pointers, &error));
    EXPECT_TRUE(folder) << "CreateNew failed with " << error;
    if (folder) folder->SetCreatedOnMacFlag(true);  // as the folder creator does
    return folder;
}

}  // namespace testsupport

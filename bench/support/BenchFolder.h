#pragma once
// The encrypted folder of the benchmark programs: AES-256, one user "bench"
// with the password "bench".

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "folder/MoxEncryptedFolder.h"

namespace bench {

inline bool makeBenchFolder(const std::string& dir) {
    std::filesystem::create_directories(dir);
    MoxAuthentication user;
    user.type = kMoxAuthTypePassword;
    user.keyType = kMoxKeyTypeUserPassword;
    user.SetName("bench");
    user.userId = user.sid = user.displayName = "bench";
    user.SetPassword("bench");
    user.hashId = 0x2000000;
    user.cipherId = 1;
    std::vector<MoxAuthentication*> users{&user};
    uint32_t err = 0;
    delete CMoxEncryptedFolder::CreateNew(dir.c_str(), 1, users, &err);
    if (err) std::fprintf(stderr, "cannot create the folder: %u\n", err);
    return err == 0;
}

}  // namespace bench

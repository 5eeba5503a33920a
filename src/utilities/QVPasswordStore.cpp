#include "utilities/QVPasswordStore.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace app {

std::optional<std::string> folderPasswordService(const std::string& userName,
                                                 const std::string& uuid) {
    const bool noId = std::all_of(uuid.begin(), uuid.end(), [](char c) {
        return c == '0' || c == '-' || c == '{' || c == '}';
    });
    if (userName.empty() || noId) return std::nullopt;
    return "Tessaro-Mobile-Folder-" + userName + "-" + uuid;
}

std::string loginUserName() {
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_name) return pw->pw_name;
    const char* user = std::getenv("USER");
    return user ? user : "";
}

}  // namespace app

#include "platform/fuse/MountRoot.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "platform/core/PathPieces.h"
#include "platform/core/XdgPaths.h"

namespace platform {
namespace {

std::string userName() {
    if (const char* u = std::getenv("USER"); u && *u) return u;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_name) return pw->pw_name;
    return std::to_string(getuid());
}

bool writableDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(path.c_str(), W_OK) == 0;
}

std::string withoutZelExtensions(std::string name) {
    static const std::string ext = ".zel";
    for (size_t i = 0; i + ext.size() <= name.size();) {
        bool match = true;
        for (size_t k = 0; k < ext.size() && match; ++k)
            match = std::tolower(static_cast<unsigned char>(name[i + k])) == ext[k];
        if (match)
            name.erase(i, ext.size());
        else
            ++i;
    }
    return name;
}

}  // namespace

std::string mountRoot(const UserDefaults& defaults) {
    if (auto configured = defaults.stringForKey("mountRoot"); configured && !configured->empty())
        return *configured;
    std::string media = "/media/" + userName();
    if (writableDirectory(media)) return media;
    if (auto runtime = xdgRuntimeDir()) return *runtime + "/Tessaro";
    return "/tmp/Tessaro-" + std::to_string(getuid());
}

std::string mountPathForFolder(const std::string& root, const std::string& folderPath,
                               const std::string& suffix,
                               const std::function<bool(const std::string&)>& isTaken) {
    const std::string last(platform::lastComponent(folderPath));
    std::string base = root + "/" + withoutZelExtensions(last) + "-" + suffix;
    std::string candidate = base;
    for (long n = 1; isTaken && isTaken(candidate); ++n) candidate = base + "-" + std::to_string(n);
    return candidate;
}

}  // namespace platform

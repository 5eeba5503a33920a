#include "FileSystem/QVMountedVolumes.h"

#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

namespace QVMountedVolumes {

namespace {

std::mutex& mutex() {
    static std::mutex m;
    return m;
}

std::map<const void*, std::pair<std::string, std::string>>& entries() {
    static std::map<const void*, std::pair<std::string, std::string>> e;
    return e;
}

// Called outside the lock: a mount path may be served by this very process.
std::string realPath(const std::string& p) {
    char buf[PATH_MAX];
    return ::realpath(p.c_str(), buf) ? std::string(buf) : p;
}

}  // namespace

void add(const void* owner, const std::string& folderPath, const std::string& mountPath) {
    std::string folder = realPath(folderPath);
    std::lock_guard lock(mutex());
    entries()[owner] = {std::move(folder), mountPath};
}

void remove(const void* owner) {
    std::lock_guard lock(mutex());
    entries().erase(owner);
}

std::vector<std::string> mountPathsOf(const std::string& folderRealPath) {
    std::vector<std::string> paths;
    {
        std::lock_guard lock(mutex());
        for (const auto& [owner, entry] : entries())
            if (entry.first == folderRealPath) paths.push_back(entry.second);
    }
    for (auto& p : paths) p = realPath(p);
    return paths;
}

}  // namespace QVMountedVolumes

#include "platform/core/XdgPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {
namespace {

std::optional<std::string> absoluteFromEnv(const char* name) {
    const char* v = std::getenv(name);
    if (v && v[0] == '/') return std::string(v);
    return std::nullopt;
}

}  // namespace

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::string xdgConfigHome() {
    return absoluteFromEnv("XDG_CONFIG_HOME").value_or(homeDirectory() + "/.config");
}
std::string xdgCacheHome() {
    return absoluteFromEnv("XDG_CACHE_HOME").value_or(homeDirectory() + "/.cache");
}
std::string xdgStateHome() {
    return absoluteFromEnv("XDG_STATE_HOME").value_or(homeDirectory() + "/.local/state");
}
std::optional<std::string> xdgRuntimeDir() {
    return absoluteFromEnv("XDG_RUNTIME_DIR");
}
std::string xdgDataHome() {
    return absoluteFromEnv("XDG_DATA_HOME").value_or(homeDirectory() + "/.local/share");
}
std::vector<std::string> xdgDataDirs() {
    std::vector<std::string> dirs;
    const char* v = std::getenv("XDG_DATA_DIRS");
    const std::string list = v ? v : "";
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        if (end > start && list[start] == '/') dirs.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    if (dirs.empty()) dirs = {"/usr/local/share", "/usr/share"};
    return dirs;
}

std::string processName() {
    const char* name = program_invocation_short_name;
    return name && *name ? name : "unknown";
}

std::string logsDirectory(std::string_view name) {
    std::string program = name.empty() ? processName() : std::string(name);
    return xdgStateHome() + "/" + program + "/Logs";
}

}  // namespace platform

#include "platform/core/Process.h"

#include <dirent.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/core/ThreadHooks.h"

extern char** environ;

namespace platform {

pid_t spawnProcess(const std::vector<std::string>& argv, Error* error) {
    if (argv.empty()) {
        if (error) *error = Error::posix(EINVAL, "no program to start");
        return -1;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The child gets the three standard descriptors and nothing else of
    // ours: a descriptor another thread opens without close-on-exec (or a
    // library's) would otherwise stay open in every program we start.
    posix_spawn_file_actions_t actions;
    int rc = posix_spawn_file_actions_init(&actions);
    if (rc == 0) {
        rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        pid_t pid = -1;
        if (rc == 0) rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc == 0) return pid;
    }
    if (error) *error = Error::posix(rc, argv[0] + ": " + std::strerror(rc));
    return -1;
}

int waitForProcess(pid_t pid) {
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, 0) >= 0) break;
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::optional<int> runProcess(const std::vector<std::string>& argv, Error* error) {
    const pid_t pid = spawnProcess(argv, error);
    if (pid < 0) return std::nullopt;
    return waitForProcess(pid);
}

void watchProcess(pid_t pid, std::function<void(int status)> didEnd) {
    std::thread([pid, didEnd = std::move(didEnd)] {
        threadDidStart();
        const int status = waitForProcess(pid);
        if (didEnd) didEnd(status);
    }).detach();
}

std::vector<pid_t> runningProcessIds(const std::string& procRoot) {
    std::vector<pid_t> pids;
    DIR* dir = opendir(procRoot.c_str());
    if (!dir) return pids;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.size() > 9 ||
            !std::all_of(name.begin(), name.end(),
                         [](unsigned char c) { return std::isdigit(c) != 0; }))
            continue;
        pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
    closedir(dir);
    return pids;
}

std::string applicationPathFor(const std::string& executable, const char* appImage,
                               const char* appDir) {
    if (!appImage || !*appImage || !appDir || !*appDir || executable.empty()) return executable;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path dir = fs::canonical(appDir, ec);
    if (ec) return executable;
    const fs::path exe = fs::canonical(executable, ec);
    if (ec) return executable;
    // Inside the folder by its path, and on the same file system: the
    // image's own mount, not a folder of that name elsewhere.
    auto [d, e] = std::mismatch(dir.begin(), dir.end(), exe.begin(), exe.end());
    struct stat dirStat, exeStat;
    if (d != dir.end() || e == exe.end() || ::stat(dir.c_str(), &dirStat) != 0 ||
        ::stat(exe.c_str(), &exeStat) != 0 || dirStat.st_dev != exeStat.st_dev)
        return executable;
    return appImage;
}

std::string applicationPath() {
    std::error_code ec;
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    return applicationPathFor(exe, std::getenv("APPIMAGE"), std::getenv("APPDIR"));
}

}  // namespace platform

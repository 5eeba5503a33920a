// Time from starting the process to its main window shown, for Tessaro and
// for a bare Qt program, best of five each, offscreen. A program reports its
// window by a line on standard error ("Application did Finish Launching"
// follows Tessaro's window being shown).

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/TempDir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Seconds until `marker` appears on the program's standard error; negative
// when it never does.
double timeToWindow(const char* program, const std::string& marker) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    char* argv[] = {const_cast<char*>(program), nullptr};
    pid_t pid = 0;
    const auto start = Clock::now();
    const int rc = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return -1;
    }
    std::string seen;
    double seconds = -1;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) {
        seen.append(buf, static_cast<size_t>(n));
        if (seen.find(marker) != std::string::npos) {
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
            break;
        }
    }
    ::kill(pid, SIGTERM);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return seconds;
}

double bestOf(int rounds, const char* program, const std::string& marker) {
    double best = 1e9;
    for (int i = 0; i < rounds; ++i) {
        double s = timeToWindow(program, marker);
        if (s < 0) {
            std::fprintf(stderr, "%s never showed its window\n", program);
            std::exit(1);
        }
        best = std::min(best, s);
    }
    return best;
}

}  // namespace

int main() {
    testsupport::TempDir dir("tessaro-bench-start");
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (const char* v :
         {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_STATE_HOME", "XDG_CACHE_HOME"}) {
        ::setenv(v, (dir / v).c_str(), 1);
    }
    // Interleaved, so that both see the same machine load.
    double app = 1e9, bare = 1e9;
    for (int i = 0; i < 5; ++i) {
        bare = std::min(bare, bestOf(1, BARE_QT_BINARY, "shown"));
        app = std::min(app, bestOf(1, TESSARO_APP_BINARY, "Application did Finish Launching"));
    }
    std::printf("app start %.1f ms, bare Qt %.1f ms\n", app * 1e3, bare * 1e3);
    // Information only: a window with a menu bar and a toolbar costs more
    // than 1.5 times an empty one. The goal is against the peer GUIs
    // (run-peer-gui.sh).
    std::printf("app_start_vs_bare_qt %.2f (information, no goal)\n", app / bare);
    return 0;
}

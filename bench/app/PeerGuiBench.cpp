// Time from exec to the first visible window under the X server of $DISPLAY,
// for Tessaro and for the programs a user would pick instead, interleaved,
// best of five each. A window counts once it is mapped on the root window
// (no window manager runs) and carries the program's process id.
//
//   bench_app_peer_gui <Tessaro> <peer>...

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    xcb_atom_t a = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return a;
}

pid_t windowPid(xcb_connection_t* c, xcb_window_t w, xcb_atom_t netWmPid) {
    auto* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, netWmPid, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    pid_t pid = 0;
    if (reply && xcb_get_property_value_length(reply) >= 4)
        pid = static_cast<pid_t>(*static_cast<uint32_t*>(xcb_get_property_value(reply)));
    std::free(reply);
    return pid;
}

// Seconds to the program's first mapped window; negative when none came
// within 30 s.
double timeToWindow(xcb_connection_t* c, xcb_atom_t netWmPid, const std::string& program) {
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    const int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    double seconds = -1;
    // Windows mapped before their pid property is set are looked at again
    // on the property's change.
    std::vector<xcb_window_t> mapped;
    while (Clock::now() - start < std::chrono::seconds(30)) {
        xcb_generic_event_t* e = xcb_poll_for_event(c);
        if (!e) {
            usleep(200);
            continue;
        }
        xcb_window_t candidate = XCB_WINDOW_NONE;
        const uint8_t type = e->response_type & 0x7f;
        if (type == XCB_MAP_NOTIFY) {
            auto* map = reinterpret_cast<xcb_map_notify_event_t*>(e);
            if (!map->override_redirect) {
                candidate = map->window;
                mapped.push_back(map->window);
                const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
                xcb_change_window_attributes(c, map->window, XCB_CW_EVENT_MASK, &mask);
            }
        } else if (type == XCB_PROPERTY_NOTIFY) {
            auto* prop = reinterpret_cast<xcb_property_notify_event_t*>(e);
            if (prop->atom == netWmPid &&
                std::find(mapped.begin(), mapped.end(), prop->window) != mapped.end())
                candidate = prop->window;
        }
        std::free(e);
        if (candidate != XCB_WINDOW_NONE && windowPid(c, candidate, netWmPid) == pid) {
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
            break;
        }
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    // The next program starts on a quiet server.
    xcb_flush(c);
    while (xcb_generic_event_t* e = xcb_poll_for_event(c)) std::free(e);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <Tessaro> <peer>...\n", argv[0]);
        return 2;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "no X server on $DISPLAY\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t netWmPid = atom(c, "_NET_WM_PID");
    xcb_flush(c);

    // Every program starts as on a first run, on settings of its own.
    testsupport::TempDir dir("tessaro-bench-peer-gui");
    for (const char* v : {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_STATE_HOME",
                          "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
        std::filesystem::create_directories(dir / v);
        ::setenv(v, (dir / v).c_str(), 1);
    }
    ::chmod((dir / "XDG_RUNTIME_DIR").c_str(), 0700);
    ::unsetenv("QT_QPA_PLATFORM");

    std::vector<double> best(static_cast<size_t>(argc - 1), 1e9);
    for (int round = 0; round < 5; ++round) {
        for (int i = 1; i < argc; ++i) {
            const double s = timeToWindow(c, netWmPid, argv[i]);
            if (s < 0) {
                std::fprintf(stderr, "%s showed no window\n", argv[i]);
                return 1;
            }
            best[static_cast<size_t>(i - 1)] = std::min(best[static_cast<size_t>(i - 1)], s);
        }
    }
    size_t fastest = 1;
    for (size_t i = 1; i < best.size(); ++i) {
        std::printf("%s %.1f ms\n", argv[i + 1], best[i] * 1e3);
        if (best[i] < best[fastest]) fastest = i;
    }
    std::printf("Tessaro %.1f ms; fastest peer %s\n", best[0] * 1e3, argv[fastest + 1]);
    std::printf("RATIO app_start_vs_peer_gui %.2f goal <= 0.6\n", best[0] / best[fastest]);
    xcb_disconnect(c);
    return 0;
}

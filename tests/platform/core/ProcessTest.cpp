#include "platform/core/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

std::set<int> openDescriptors(const std::string& fdFolder) {
    std::set<int> fds;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(fdFolder, ec))
        fds.insert(std::stoi(entry.path().filename().string()));
    return fds;
}

// Descriptors of ours that are not close-on-exec (a /dev/null, a socket pair
// and a pipe, as a running instance had) never reach a program we start.
// The child's descriptors are read from here while it sleeps: a child that
// lists its own folder holds one more for the listing.
TEST(Process, ChildInheritsOnlyTheStandardDescriptors) {
    int null = open("/dev/null", O_RDONLY);
    int sockets[2], pipeFds[2];
    ASSERT_GE(null, 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(fcntl(pipeFds[1], F_GETFD) & FD_CLOEXEC, 0);

    platform::Error error;
    const pid_t pid = platform::spawnProcess({"sleep", "30"}, &error);
    ASSERT_GT(pid, 0) << error.description;
    std::set<int> standard;
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) != -1) standard.insert(fd);
    // The new program's loader opens its libraries for a moment as it
    // starts; an inherited descriptor stays, so the listing is read again
    // until it is the standard three or time is up.
    std::set<int> child;
    for (int i = 0; i < 200; ++i) {
        child = openDescriptors("/proc/" + std::to_string(pid) + "/fd");
        if (child == standard) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    EXPECT_EQ(platform::waitForProcess(pid), 128 + SIGKILL);
    EXPECT_EQ(child, standard);
    for (int fd : {null, sockets[0], sockets[1], pipeFds[0], pipeFds[1]}) close(fd);
}

TEST(Process, RunReportsStatusAndFailureToStart) {
    EXPECT_EQ(platform::runProcess({"sh", "-c", "exit 7"}), 7);
    platform::Error error;
    EXPECT_EQ(platform::runProcess({"/nonexistent/program"}, &error), std::nullopt);
    EXPECT_EQ(error.code, ENOENT);
}

// $APPIMAGE names the program only while this executable runs from inside
// $APPDIR: both are inherited by whatever another image's process starts.
TEST(ApplicationPath, InheritedImageVariablesNameAnotherProgram) {
    testsupport::TempDir tmp;
    const fs::path appDir = tmp.path() / "mount_other";
    fs::create_directories(appDir / "usr/bin");
    const fs::path inside = appDir / "usr/bin/Tessaro";
    const fs::path outside = tmp.path() / "Tessaro";
    std::ofstream(inside) << "x";
    std::ofstream(outside) << "x";
    fs::create_directories(tmp.path() / "mount_other_sibling");
    const fs::path sibling = tmp.path() / "mount_other_sibling/Tessaro";
    std::ofstream(sibling) << "x";
    const std::string image = "/home/u/Other.AppImage";

    struct Case {
        const char* name;
        fs::path exe;
        const char* appImage;
        std::string appDir;
        std::string expected;
    } cases[] = {
        {"no variables", outside, nullptr, "", outside.string()},
        {"image without folder", outside, image.c_str(), "", outside.string()},
        {"outside the folder", outside, image.c_str(), appDir.string(), outside.string()},
        {"folder name only a prefix", sibling, image.c_str(), appDir.string(), sibling.string()},
        {"folder gone", inside, image.c_str(), (tmp.path() / "gone").string(), inside.string()},
        {"inside the folder", inside, image.c_str(), appDir.string(), image},
        {"inside, folder named with a trailing slash", inside, image.c_str(), appDir.string() + "/",
         image},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::applicationPathFor(c.exe.string(), c.appImage,
                                               c.appDir.empty() ? nullptr : c.appDir.c_str()),
                  c.expected)
            << c.name;
    }
}

TEST(ApplicationPath, RunningProgramIgnoresForeignImage) {
    ::setenv("APPIMAGE", "/somewhere/Other.AppImage", 1);
    ::setenv("APPDIR", "/tmp", 1);
    const std::string path = platform::applicationPath();
    ::unsetenv("APPIMAGE");
    ::unsetenv("APPDIR");
    EXPECT_EQ(path, fs::read_symlink("/proc/self/exe").string());
}

}  // namespace

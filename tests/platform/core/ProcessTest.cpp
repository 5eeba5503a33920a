#include "platform/core/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

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
    const std::set<int> child = openDescriptors("/proc/" + std::to_string(pid) + "/fd");
    kill(pid, SIGKILL);
    EXPECT_EQ(platform::waitForProcess(pid), 128 + SIGKILL);

    std::set<int> standard;
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) != -1) standard.insert(fd);
    EXPECT_EQ(child, standard);
    for (int fd : {null, sockets[0], sockets[1], pipeFds[0], pipeFds[1]}) close(fd);
}

TEST(Process, RunReportsStatusAndFailureToStart) {
    EXPECT_EQ(platform::runProcess({"sh", "-c", "exit 7"}), 7);
    platform::Error error;
    EXPECT_EQ(platform::runProcess({"/nonexistent/program"}, &error), std::nullopt);
    EXPECT_EQ(error.code, ENOENT);
}

}  // namespace

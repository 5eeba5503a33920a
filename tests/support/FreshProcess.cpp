#include "support/FreshProcess.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

namespace {
constexpr const char* kVariable = "TESSARO_FRESH_PROCESS_TEST";
}

bool inFreshProcess() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    if (const char* running = std::getenv(kVariable); running && name == running) return true;

    std::string variable = std::string(kVariable) + "=" + name;
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, kVariable, std::strlen(kVariable)) != 0) env.push_back(*e);
    env.push_back(variable.data());
    env.push_back(nullptr);
    std::string self = "/proc/self/exe", filter = "--gtest_filter=" + name;
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, env.data());
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start a fresh process: " << std::strerror(spawned);
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << name << " failed in its fresh process (its output is above)";
    return false;
}

}  // namespace testsupport

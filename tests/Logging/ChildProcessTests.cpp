// Scenarios that end their process run in a child: this test program started
// again with TESSARO_LOG_CHILD naming the scenario, which runs before main().

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Logging/LGASLLogger.h"
#include "Logging/LGTTYLogger.h"

extern char** environ;

namespace {

// Writes every message as one line to standard output; `exitOn` ends the
// process from inside the sink.
struct StdoutSink : LGLogger {
    std::string exitOn;
    void logMessage(const LGLogMessagePtr& m) override {
        std::string line = m->logMsg() + "\n";
        (void)!::write(STDOUT_FILENO, line.data(), line.size());
        if (m->logMsg() == exitOn) std::exit(3);
    }
    std::string loggerName() override { return "tessaro.test.stdout"; }
};

[[noreturn]] void idle() {
    for (;;) pause();
}

// Captures syslog(3) datagrams on a private /dev/log and prints them.
int syslogScenario() {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        ::mount("tmpfs", "/dev", "tmpfs", 0, nullptr)) {
        std::printf("SKIP no private mount namespace: %s\n", std::strerror(errno));
        return 0;
    }
    int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::printf("SKIP cannot bind /dev/log: %s\n", std::strerror(errno));
        return 0;
    }
    LGLog::addLogger(LGASLLogger::sharedInstance());
    for (int flag : {1, 2, 4, 8, 16})
        LGLog::log(false, 15, flag, 0, __FILE__, __func__, __LINE__, nullptr, "flag %d", flag);
    char buf[2048];
    for (;;) {
        ssize_t n = ::recv(s, buf, sizeof buf - 1, 0);
        if (n <= 0) break;
        buf[n] = 0;
        std::printf("%s\n", buf);
    }
    return 0;
}

int runChild(const std::string& mode) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (mode == "syslog") return syslogScenario();
    if (mode.rfind("cpu1-", 0) == 0) LGLog::setProcessorCountForTesting(1);
    std::string scenario = mode.substr(mode.find('-') + 1);
    auto sink = std::make_shared<StdoutSink>();
    if (scenario == "exit") {
        LGLog::addLogger(sink);
        for (int i = 0; i < 2000; ++i)
            LGLog::log(true, 15, 4, 0, __FILE__, __func__, __LINE__, nullptr, "line %d", i);
        std::exit(0);  // the queued lines are still written
    }
    if (scenario == "exit-in-sink") {
        sink->exitOn = "bye";
        LGLog::addLogger(sink);
        for (const char* t : {"a", "b", "bye"})
            LGLog::log(true, 15, 4, 0, __FILE__, __func__, __LINE__, nullptr, "%s", t);
        idle();
    }
    if (scenario == "exit-on-logging-queue") {
        LGLog::addLogger(sink);
        LGLog::log(true, 15, 4, 0, __FILE__, __func__, __LINE__, nullptr, "before");
        LGLog::loggingQueue()->async([] { std::exit(4); });
        idle();
    }
    return 99;
}

[[maybe_unused]] const bool childHook = [] {
    if (const char* mode = std::getenv("TESSARO_LOG_CHILD")) {
        int rc = runChild(mode);
        std::fflush(stdout);
        _exit(rc);
    }
    return true;
}();

struct ChildResult {
    std::string out;
    int status = -1;  // exit status, or -1 when it had to be killed
};

ChildResult runScenario(const std::string& mode) {
    std::string var = "TESSARO_LOG_CHILD=" + mode;
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "TESSARO_LOG_CHILD=", 18) != 0) env.push_back(*e);
    env.push_back(var.data());
    env.push_back(nullptr);
    int p[2];
    EXPECT_EQ(::pipe(p), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&fa, p[0]);
    std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    char* argv[] = {exe.data(), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv, env.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    ::close(p[1]);
    ChildResult r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool killed = false;
    for (;;) {
        pollfd pf = {p[0], POLLIN, 0};
        if (::poll(&pf, 1, 100) > 0) {
            char buf[4096];
            ssize_t n = ::read(p[0], buf, sizeof buf);
            if (n <= 0) break;
            r.out.append(buf, static_cast<size_t>(n));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
    }
    ::close(p[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::vector<std::string> linesOf(const std::string& s) {
    std::vector<std::string> v;
    size_t start = 0;
    for (size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1)
        v.push_back(s.substr(start, nl - start));
    return v;
}

}  // namespace

TEST(LogAtExit, AsynchronousLinesAreWrittenWhenTheProcessExits) {
    for (const char* mode : {"cpu4-exit", "cpu1-exit"}) {
        SCOPED_TRACE(mode);
        auto r = runScenario(mode);
        EXPECT_EQ(r.status, 0);
        auto lines = linesOf(r.out);
        ASSERT_EQ(lines.size(), 2000u);
        for (int i = 0; i < 2000; ++i) ASSERT_EQ(lines[i], "line " + std::to_string(i));
    }
}

TEST(LogAtExit, ExitFromInsideTheFrameworkDoesNotHang) {
    struct Case {
        const char* mode;
        int status;
        std::vector<std::string> lines;
    } cases[] = {
        {"cpu4-exit-in-sink", 3, {"a", "b", "bye"}},
        {"cpu1-exit-in-sink", 3, {"a", "b", "bye"}},
        {"cpu4-exit-on-logging-queue", 4, {"before"}},
        {"cpu1-exit-on-logging-queue", 4, {"before"}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.mode);
        auto r = runScenario(c.mode);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(linesOf(r.out), c.lines);
    }
}

TEST(SystemLogSink, WritesSyslogEntriesAtTheMappedPriorities) {
    auto r = runScenario("syslog");
    ASSERT_EQ(r.status, 0) << r.out;
    if (r.out.rfind("SKIP", 0) == 0) GTEST_SKIP() << r.out;
    auto lines = linesOf(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    // <facility user (8) + priority>, time stamp, program name, text as given.
    const char* expected[][2] = {{"<10>", "flag 1"},
                                 {"<11>", "flag 2"},
                                 {"<12>", "flag 4"},
                                 {"<13>", "flag 8"},
                                 {"<13>", "flag 16"}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(lines[i].substr(0, 4), expected[i][0]) << lines[i];
        EXPECT_TRUE(lines[i].size() > 8 &&
                    lines[i].compare(lines[i].size() - std::strlen(expected[i][1]),
                                     std::string::npos, expected[i][1]) == 0)
            << lines[i];
        EXPECT_NE(lines[i].find(program_invocation_short_name), std::string::npos) << lines[i];
    }
}

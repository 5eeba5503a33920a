// Real crashes: a child process installs crash capture, crashes, and the
// record it leaves must be complete and say what happened.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "reporter/VXMFileRead.h"
#include "reporter/VXMSafe.h"
#include "support/TempDir.h"

using platform::Value;
namespace fs = std::filesystem;

namespace {

constexpr const char* kSession = "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";
constexpr const char* kNormalised = "0a1b2c3d4e5f60718293a4b5c6d7e8f9";

// Runs the probe for one case; the wait status.
int runProbe(const fs::path& dir, const std::string& which) {
    pid_t child = fork();
    if (child == 0) {
        rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
        if (chdir(dir.c_str()) != 0) _exit(125);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        execl(TESSARO_CRASH_PROBE, TESSARO_CRASH_PROBE, dir.c_str(), which.c_str(), kSession,
              nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

int indexOf(const Value& names, const std::string& name) {
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i].stringValue() == name) return static_cast<int>(i);
    return -1;
}

// python3's json module as the oracle that every line is well-formed.
bool everyLineIsJSON(const fs::path& record) {
    std::string command =
        "python3 -c 'import json,sys; [json.loads(l) for l in open(sys.argv[1], "
        "encoding=\"utf-8\")]' '" +
        record.string() + "'";
    return system(command.c_str()) == 0;
}

}  // namespace

TEST(CrashProbe, EachKindOfCrashLeavesACompleteRecord) {
    struct Case {
        const char* which;
        int signal;
        const char* signalName;
        const char* codeName;
        const char* crashedThread;  // name of the thread that crashed
        const char* exceptionName;  // nullptr: no exception recorded
    } cases[] = {
        {"segv", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "reporter_crash_", nullptr},
        {"abort", SIGABRT, "SIGABRT", "ABORT", "reporter_crash_", nullptr},
        {"fpe", SIGFPE, "SIGFPE", "UNKNOWN", "reporter_crash_", nullptr},
        {"ill", SIGILL, "SIGILL", "ILL_ILLOPN", "reporter_crash_", nullptr},
        {"bus", SIGBUS, "SIGBUS", "BUS_ADRERR", "reporter_crash_", nullptr},
        {"overflow", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "reporter_crash_", nullptr},
        {"exception", SIGABRT, "SIGABRT", "ABORT", "reporter_crash_", "std::runtime_error"},
        {"thread-exception", SIGABRT, "SIGABRT", "ABORT", "probe-thrower", "std::logic_error"},
        {"prehandler", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "reporter_crash_", nullptr},
        {"altstack", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "reporter_crash_", nullptr},
        {"preterminate", SIGABRT, "SIGABRT", "ABORT", "reporter_crash_", "std::runtime_error"},
        {"queue", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "com.tessaro.pro", nullptr},
        {"concurrent", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.which);
        testsupport::TempDir dir("crash-probe");
        int status = runProbe(dir.path(), c.which);
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), c.signal);

        const fs::path recordPath = dir / (std::string(kNormalised) + ".vxmrecord");
        ASSERT_TRUE(fs::exists(recordPath));
        EXPECT_TRUE(fs::exists(dir / "crash_marker"));
        EXPECT_TRUE(everyLineIsJSON(recordPath));
        auto record = VXMFileReadRecordAtPath(recordPath.string());
        ASSERT_TRUE(record);
        const Value& r = *record;
        EXPECT_EQ(r["file_lines"].uint64Value(), 21u);
        EXPECT_EQ(r["schema"]["expected_lines"].uint64Value(), 21u);
        EXPECT_EQ(r["mach_exception"].size(), 0u);

        EXPECT_EQ(r["signal"]["number"].uint64Value(), static_cast<uint64_t>(c.signal));
        EXPECT_EQ(r["signal"]["name"].stringValue(), c.signalName);
        EXPECT_EQ(r["signal"]["code_name"].stringValue(), c.codeName);
        EXPECT_EQ(r["signal"]["preexisting_handlers"].boolValue(),
                  std::string(c.which) == "prehandler");

        EXPECT_EQ(r["identity"]["identifier"].stringValue(), kSession);
        EXPECT_EQ(r["identity"]["generator"].stringValue(), "Vexmor Mac SDK/2.2.5");
        EXPECT_GE(r["identity"]["ended_at"].uint64Value(),
                  r["identity"]["started_at"].uint64Value());
        EXPECT_EQ(r["build"]["os_max"].uint64Value(), 2u);
        EXPECT_EQ(r["executable"]["bundle_id"].stringValue(), "com.norvane.tessaro_probe");
        EXPECT_EQ(r["executable"]["path"].stringValue(),
                  fs::canonical(TESSARO_CRASH_PROBE).string());
        EXPECT_EQ(r["executable"]["uuid"].stringValue().size(), 32u);
        EXPECT_GE(r["binary_images"].size(), 2u);
        EXPECT_EQ(r["process_info"]["name"].stringValue(), "reporter_crash_");
        EXPECT_GT(r["process_stats"]["resident"].uint64Value(), 0u);
        EXPECT_EQ(r["runtime"]["objc_selector"].stringValue(), "");

        // Breadcrumbs travel with the crash; the ring was renamed beside it.
        EXPECT_EQ(*VXMPercentUnescape(r["custom_attributes"]["say \"hi\""].stringValue()),
                  "a \"b\"");
        EXPECT_EQ(r["user"]["id"].stringValue(), "user-1");
        EXPECT_FALSE(fs::exists(dir / "session.vxmlog"));
        const fs::path log = dir / (std::string(kNormalised) + ".vxmlog");
        ASSERT_TRUE(fs::exists(log));
        std::string ring = testsupport::readFile(log);
        EXPECT_NE(ring.find(" $ probe ready \"quoted\"\n"), std::string::npos);
        EXPECT_EQ(r["log"]["last_offset"].uint64Value(), ring.size());

        // Threads: every list has one entry per thread; the crashed thread has
        // frames and its registers are in "thread_state".
        const uint64_t count = r["thread_count"].uint64Value();
        EXPECT_EQ(r["threads"].size(), count);
        EXPECT_EQ(r["thread_names"].size(), count);
        EXPECT_EQ(r["dispatch_queue_names"].size(), count);
        const uint64_t crashed = r["crashed_thread"].uint64Value();
        ASSERT_LT(crashed, count);
        if (c.crashedThread) {
            EXPECT_EQ(r["thread_names"][crashed].stringValue(), c.crashedThread);
        }
        EXPECT_GE(r["threads"][crashed].size(), 2u);
        EXPECT_EQ(r["thread_state"]["rip"].uint64Value(),
                  r["threads"][crashed][0]["address"].uint64Value());

        if (c.exceptionName) {
            EXPECT_EQ(r["exception"]["name"].stringValue(), c.exceptionName);
            EXPECT_GE(r["exception"]["backtrace"].size(), 2u);
        } else {
            EXPECT_EQ(r["exception"].size(), 0u);
        }
        const std::string which = c.which;
        if (which == "exception") {
            EXPECT_EQ(*VXMPercentUnescape(r["exception"]["reason"].stringValue()), "bad \"input\"");
        }
        if (which == "prehandler") {
            EXPECT_TRUE(fs::exists(dir / "previous-handler"));
        }
        if (which == "preterminate") {
            // Called although dladdr knows no name for it.
            EXPECT_TRUE(fs::exists(dir / "previous-terminate"));
        }
        if (which == "overflow") {
            // Handled on the alternate stack; the walk stops at its limit.
            EXPECT_EQ(r["threads"][crashed].size(), 512u);
        }
        if (which == "queue") {
            EXPECT_EQ(r["dispatch_queue_names"][crashed].stringValue(), "com.tessaro.probe-queue");
        }
    }
}

TEST(CrashProbe, OtherThreadsAreStoppedNamedAndUnwound) {
    testsupport::TempDir dir("crash-probe");
    int status = runProbe(dir.path(), "threads");
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    auto record =
        VXMFileReadRecordAtPath((dir / (std::string(kNormalised) + ".vxmrecord")).string());
    ASSERT_TRUE(record);
    const Value& r = *record;
    ASSERT_EQ(r["file_lines"].uint64Value(), 21u);
    const Value& names = r["thread_names"];
    int main = indexOf(names, "reporter_crash_");
    int one = indexOf(names, "probe-one");
    int two = indexOf(names, "probe-two");
    int blocked = indexOf(names, "probe-blocked");
    int queue = indexOf(names, "com.tessaro.pro");  // the label cut to a thread name
    for (int i : {main, one, two, blocked, queue}) ASSERT_GE(i, 0) << names.description();
    EXPECT_EQ(r["crashed_thread"].uint64Value(), static_cast<uint64_t>(main));
    // Parked threads answered with their registers; the one that blocks
    // every signal could not, and is listed without frames.
    EXPECT_GE(r["threads"][one].size(), 1u);
    EXPECT_GE(r["threads"][two].size(), 1u);
    EXPECT_GE(r["threads"][queue].size(), 1u);
    EXPECT_EQ(r["threads"][blocked].size(), 0u);
    EXPECT_EQ(r["dispatch_queue_names"][queue].stringValue(), "com.tessaro.probe-queue");
    EXPECT_EQ(r["dispatch_queue_names"][one].stringValue(), "");
    EXPECT_EQ(r["dispatch_queue_names"][main].stringValue(), "");
}

TEST(CrashProbe, ARunWithoutACrashLeavesNoRecord) {
    testsupport::TempDir dir("crash-probe");
    int status = runProbe(dir.path(), "none");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(dir / "crash_marker"));
    EXPECT_FALSE(fs::exists(dir / (std::string(kNormalised) + ".vxmrecord")));
    EXPECT_TRUE(fs::exists(dir / "session.vxmlog"));
}

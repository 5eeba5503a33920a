// Real crashes: a child process installs crash capture, crashes, and the
// record it leaves must be complete and say what happened.

#include <cxxabi.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "reporter/VXMFileRead.h"
#include "reporter/VXMSafe.h"
#include "reporter/proto/session.pb-c.h"
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

// Crashes the probe the way `which` says; where its record must be.
fs::path crashProbe(const fs::path& dir, const std::string& which, int signal) {
    int status = runProbe(dir, which);
    EXPECT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), signal);
    return dir / (std::string(kNormalised) + ".vxmrecord");
}

// The next run's side: the probe builds the record's report against itself.
int runReport(const fs::path& record, const fs::path& report) {
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        execl(TESSARO_CRASH_PROBE, TESSARO_CRASH_PROBE, "report", record.c_str(), report.c_str(),
              nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

std::string demangled(const char* symbol) {
    if (!symbol) return {};
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(
        abi::__cxa_demangle(symbol, nullptr, nullptr, &status), std::free);
    return status == 0 && text ? text.get() : symbol;
}

using Session = std::unique_ptr<Vexmor__Session, void (*)(Vexmor__Session*)>;
Session unpackSession(const std::string& bytes) {
    return Session(vexmor__session__unpack(nullptr, bytes.size(),
                                           reinterpret_cast<const uint8_t*>(bytes.data())),
                   [](Vexmor__Session* s) { vexmor__session__free_unpacked(s, nullptr); });
}

}  // namespace

TEST(CrashProbe, ReportsNameTheProgramsOwnCallersUpToMainOrTheThreadStart) {
    // Every walk goes through the probe's three named levels; the names are
    // matched in order, as demangled, from the report of the next run.
    const std::vector<std::string> levels = {"crashTheWay", "probeLevelThree", "probeLevelTwo",
                                             "probeLevelOne"};
    auto through = [&](std::vector<std::string> before, const char* outermost) {
        before.insert(before.end(), levels.begin(), levels.end());
        before.push_back(outermost);
        return before;
    };
    const struct Case {
        const char* which;
        int signal;
        std::vector<std::string> frames;
        bool startsInTheCLibrary;
    } cases[] = {
        {"abort-deep", SIGABRT, through({"abort"}, "main"), true},
        {"assert", SIGABRT, through({"abort", "__assert_fail"}, "main"), true},
        {"throw-deep", SIGABRT,
         through({"std::terminate()", "__cxa_throw", "throwFromProbe"}, "main"), true},
        {"pool-throw", SIGABRT,
         through({"std::terminate()", "__cxa_throw", "throwFromProbe"}, "Pool::push"), true},
        {"libc", SIGSEGV, through({"crashInLibrary"}, "main"), true},
        {"pool-overflow", SIGSEGV, through({"overflowStack"}, "Pool::push"), false},
        {"thread-overflow", SIGSEGV, through({"overflowStack"}, "_M_run"), false},
        {"no-descriptors", SIGSEGV, through({"store", "crashBySegv"}, "main"), false},
        {"no-safe-read", SIGSEGV, through({"store", "crashBySegv"}, "main"), false},
    };
    const std::string machineId = testsupport::readFile("/etc/machine-id").substr(0, 32);
    std::string deviceId;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.which);
        testsupport::TempDir dir("crash-probe");
        const fs::path record = crashProbe(dir.path(), c.which, c.signal);
        const fs::path report = dir / "report.vxm";
        ASSERT_TRUE(fs::exists(record));
        ASSERT_EQ(runReport(record, report), 0) << testsupport::readFile(record);
        Session session = unpackSession(testsupport::readFile(report));
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(session->os->platform, VEXMOR__PLATFORM__LINUX);

        const auto* execution = session->events[0]->app->execution;
        const Vexmor__Session__Event__Application__Execution__Thread* crashed = nullptr;
        for (size_t i = 0; i < execution->n_threads; ++i)
            if (execution->threads[i]->importance == 4) crashed = execution->threads[i];
        ASSERT_NE(crashed, nullptr);
        std::string trace;
        std::vector<std::string> names;
        for (size_t i = 0; i < crashed->n_frames; ++i) {
            names.push_back(demangled(crashed->frames[i]->symbol));
            trace += "\n  " + names.back();
        }
        SCOPED_TRACE(trace);

        // In order, each after the one before.
        size_t at = 0;
        for (const std::string& expected : c.frames) {
            while (at < names.size() && names[at].find(expected) == std::string::npos) ++at;
            ASSERT_LT(at, names.size()) << "missing " << expected;
            ++at;
        }
        // The walk ended at the outermost frame of its own accord: only the C
        // library's start-up frames lie beyond main or the thread's start.
        EXPECT_LE(names.size() - at, 4u);
        for (size_t i = 1; i < crashed->n_frames; ++i) {
            if (names[i].find("overflowStack") != std::string::npos) continue;  // the recursion
            EXPECT_NE(crashed->frames[i]->pc, crashed->frames[i - 1]->pc) << "frame " << i;
        }
        // A signal raised or a fault taken inside the C library, which keeps
        // no frame pointers, starts the walk there.
        std::string firstImage;
        for (size_t i = 0; i < execution->n_binaries; ++i) {
            const auto* image = execution->binaries[i];
            if (crashed->frames[0]->pc - image->base_address < image->size)
                firstImage = image->name;
        }
        EXPECT_EQ(firstImage.find("/libc.so") != std::string::npos, c.startsInTheCLibrary)
            << firstImage;

        // What was sent instead of the machine identifier: the same hash on
        // every run, and never the identifier itself.
        const std::string text = testsupport::readFile(record);
        if (!machineId.empty()) {
            EXPECT_EQ(text.find(machineId), std::string::npos);
            EXPECT_EQ(testsupport::readFile(report).find(machineId), std::string::npos);
            auto parsed = VXMFileReadRecordAtPath(record.string());
            ASSERT_TRUE(parsed);
            const std::string id = (*parsed)["identity"]["device_id"].stringValue();
            EXPECT_EQ(id.size(), 64u);
            if (deviceId.empty()) deviceId = id;
            EXPECT_EQ(id, deviceId);
        }
        if (std::string(c.which) == "abort-deep") {
            auto parsed = VXMFileReadRecordAtPath(record.string());
            EXPECT_EQ((*parsed)["signal"]["code"].int64Value(), SI_TKILL);
            EXPECT_EQ(execution->signal->address, 0u);
        }
    }
}

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
        const fs::path recordPath = crashProbe(dir.path(), c.which, c.signal);
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

// A real crash to a decoded report: the crash probe crashes, and this
// process, as the next run, symbolicates the record against its own images,
// writes the report and decodes it with protoc.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "reporter/VXMHost.h"
#include "reporter/VXMSafe.h"
#include "reporter/proto/session.pb-c.h"
#include "reporter/report/VXMCrashFile.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;

constexpr const char* kSession = "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";
constexpr const char* kNormalised = "0a1b2c3d4e5f60718293a4b5c6d7e8f9";

int runProbe(const fs::path& dir, const std::string& which) {
    pid_t child = fork();
    if (child == 0) {
        rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
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

std::string protocDecode(const fs::path& report) {
    const fs::path proto = TESSARO_SESSION_PROTO;
    const fs::path out = fs::path(report).replace_extension("txt");
    const std::string command = "protoc --decode Vexmor.Session -I '" +
                                proto.parent_path().string() + "' '" + proto.string() + "' < '" +
                                report.string() + "' > '" + out.string() + "' 2>&1";
    int status = std::system(command.c_str());
    std::string text = readFile(out);
    return status == 0 ? text : "protoc failed: " + text;
}

struct Unpacked {
    std::unique_ptr<Vexmor__Session, void (*)(Vexmor__Session*)> session{
        nullptr, [](Vexmor__Session* s) { vexmor__session__free_unpacked(s, nullptr); }};
};

// The UUID text of the image that holds this test program.
std::string ownUUID(const VXMBinaryImageList& images) {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&protocDecode), &info);
    for (const VXMBinaryImage* i = images.head.load(); i; i = i->next) {
        if (i->baseAddress == reinterpret_cast<uintptr_t>(info.dli_fbase) && i->uuid) {
            return VXMUUIDToNSString(i->uuid);
        }
    }
    return {};
}

TEST(ReportEndToEnd, ProbeCrashBecomesADecodableReport) {
    VXMBinaryImageList images;
    VXMBinaryImageDataInit(&images);
    const VXMUUIDMap map = VXMBinaryImageMap(&images);
    ASSERT_FALSE(map.empty());

    const struct {
        const char* which;
        const char* signal;
        const char* crashedThread;
        const char* exceptionType;
        const char* exceptionReason;
    } cases[] = {
        {"segv", "SIGSEGV", "reporter_crash_", nullptr, nullptr},
        {"abort", "SIGABRT", "reporter_crash_", nullptr, nullptr},
        {"exception", "SIGABRT", "reporter_crash_", "std::runtime_error", "bad \"input\""},
        {"threads", "SIGSEGV", "reporter_crash_", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.which);
        testsupport::TempDir dir("report-e2e");
        const int status = runProbe(dir.path(), c.which);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        const fs::path record = dir / (std::string(kNormalised) + ".vxmrecord");
        const fs::path report = dir / (std::string(kNormalised) + ".vxm");

        VXMCrashFile file(record.string());
        ASSERT_TRUE(file.isValid()) << readFile(record);
        file.setProcessingExecutableUUID(ownUUID(images));
        file.symbolicateWithUUIDMap(map);
        EXPECT_FALSE(file.executablesMatch());
        ASSERT_TRUE(file.writeVXMFileToPath(report.string()));

        Unpacked u;
        const std::string bytes = readFile(report);
        u.session.reset(vexmor__session__unpack(nullptr, bytes.size(),
                                                reinterpret_cast<const uint8_t*>(bytes.data())));
        ASSERT_NE(u.session, nullptr);
        const Vexmor__Session* s = u.session.get();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(s->identifier.data), s->identifier.len),
                  kNormalised);
        EXPECT_STREQ(s->app->identifier, "com.norvane.tessaro_probe");
        EXPECT_STREQ(s->user->identifier, "user-1");
        const auto* event = s->events[0];
        ASSERT_NE(event->log, nullptr);
        EXPECT_NE(std::string(event->log->content).find("probe ready \"quoted\""),
                  std::string::npos);
        ASSERT_EQ(event->app->n_custom_attributes, 1u);
        EXPECT_STREQ(event->app->custom_attributes[0]->key, "say \"hi\"");
        EXPECT_STREQ(event->app->custom_attributes[0]->value, "a \"b\"");
        const auto* execution = event->app->execution;
        EXPECT_STREQ(execution->signal->name, c.signal);
        EXPECT_STREQ(execution->exception->type, c.exceptionType);
        EXPECT_STREQ(execution->exception->reason, c.exceptionReason);
        bool probeImage = false;
        for (size_t i = 0; i < execution->n_binaries; ++i) {
            probeImage |= std::string(execution->binaries[i]->name) == TESSARO_CRASH_PROBE;
        }
        EXPECT_TRUE(probeImage);

        // Exactly one crashed thread, whose frames are the recorded ones.
        const Vexmor__Session__Event__Application__Execution__Thread* crashed = nullptr;
        for (size_t i = 0; i < execution->n_threads; ++i) {
            if (execution->threads[i]->importance == 4) {
                EXPECT_EQ(crashed, nullptr);
                crashed = execution->threads[i];
            }
        }
        ASSERT_NE(crashed, nullptr);
        EXPECT_STREQ(crashed->name, c.crashedThread);
        const platform::Value& recorded =
            file.record()["threads"][file.record()["crashed_thread"].uint64Value()];
        ASSERT_EQ(crashed->n_frames, recorded.size());
        ASSERT_GE(crashed->n_frames, 2u);
        for (size_t i = 0; i < crashed->n_frames; ++i) {
            EXPECT_EQ(crashed->frames[i]->pc, recorded[i]["address"].uint64Value());
            EXPECT_EQ(crashed->frames[i]->importance, 4u);
        }

        // Parked threads sit in the C library, which this process has
        // loaded too: their first frame gets its name from here.
        if (std::string(c.which) == "threads") {
            bool named = false;
            for (size_t i = 0; i < execution->n_threads; ++i) {
                const auto* thread = execution->threads[i];
                if (thread->name && std::string(thread->name) == "probe-one") {
                    ASSERT_GE(thread->n_frames, 1u);
                    EXPECT_STREQ(thread->frames[0]->symbol, "pause");
                    named = true;
                }
            }
            EXPECT_TRUE(named);
        }

        const std::string decoded = protocDecode(report);
        for (const std::string& expected :
             {std::string("type: \"crash\""), std::string("name: \"") + c.signal + "\"",
              "importance: 4\n        frames {\n          pc: " +
                  std::to_string(crashed->frames[0]->pc)}) {
            EXPECT_NE(decoded.find(expected), std::string::npos) << expected << "\n" << decoded;
        }
    }
}

}  // namespace

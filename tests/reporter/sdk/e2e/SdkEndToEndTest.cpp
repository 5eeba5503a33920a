// A crash reported on the next start: the probe starts the reporter and
// crashes; started again against a loopback service it uploads the report,
// which decodes with the Session schema and names the crashing thread and
// signal, and nothing is left to send; the user's opt-out sends and keeps
// nothing.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/UserDefaults.h"
#include "reporter/proto/session.pb-c.h"
#include "support/HttpServer.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testsupport::HttpScript;
using testsupport::HttpServer;
using testsupport::readFile;

struct Home {
    testsupport::TempDir dir{"sdk-e2e"};
    fs::path data() const { return dir.path() / "cache/com.vexmor.data/com.norvane.tessaro"; }
};

// Runs the probe with its places under `home`; its wait status, and what it
// wrote to standard error in `err`.
int runProbe(const Home& home, const std::string& which, const std::string& endpoint,
             std::string* err = nullptr) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!entry.starts_with("XDG_") && !entry.starts_with("VexmorAPIEndpoint="))
            env.push_back(entry);
    }
    env.push_back("XDG_CACHE_HOME=" + (home.dir.path() / "cache").string());
    env.push_back("XDG_CONFIG_HOME=" + (home.dir.path() / "config").string());
    env.push_back("VexmorAPIEndpoint=" + endpoint);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const fs::path errPath = home.dir.path() / "stderr";
    std::string probe = TESSARO_SDK_PROBE;
    char* args[] = {probe.data(), const_cast<char*>(which.c_str()), nullptr};

    pid_t child = fork();
    if (child == 0) {
        rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
        int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDERR_FILENO);
        execve(probe.c_str(), args, envp.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (err) *err = readFile(errPath);
    return status;
}

std::string unusedEndpoint() {
    return "http://127.0.0.1:" + std::to_string(HttpServer::unusedPort()) + "/";
}

// A version 2 settings answer holding `entries` (plist key and value pairs
// of its top-level dictionary).
HttpScript settingsAnswer(const std::string& entries) {
    return HttpScript{.status = 200,
                      .headers = {{"Content-Type", "application/x-plist"}},
                      .body =
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                          "version=\"1.0\"><dict><key>settings_version</key><integer>2</"
                          "integer>" +
                          entries + "</dict></plist>"};
}

// The bytes of the file part of a multipart body.
std::string filePart(const std::string& body) {
    const std::string marker = "Content-Transfer-Encoding: binary\r\n\r\n";
    const size_t start = body.find(marker);
    const size_t end = body.rfind("\r\n--AaB03x--\r\n");
    if (start == std::string::npos || end == std::string::npos || end < start) return {};
    return body.substr(start + marker.size(), end - start - marker.size());
}

}  // namespace

TEST(ReporterEndToEnd, CrashIsReportedOnTheNextStart) {
    Home home;
    const int crashed = runProbe(home, "crash", unusedEndpoint());
    ASSERT_TRUE(WIFSIGNALED(crashed) && WTERMSIG(crashed) == SIGSEGV) << crashed;
    ASSERT_TRUE(fs::exists(home.data() / "crash_marker"));

    HttpServer server;
    server.setFallback(
        settingsAnswer("<key>app</key><dict><key>status</key><string>activated</string>"
                       "<key>reports_url</key><string>" +
                       server.url("/reports") +
                       "</string></dict>"
                       "<key>settings</key><dict><key>collect_reports</key><true/></dict>"));
    std::string err;
    const int reported = runProbe(home, "report", server.url("/"), &err);
    ASSERT_TRUE(WIFEXITED(reported) && WEXITSTATUS(reported) == 0) << reported << "\n" << err;

    std::vector<testsupport::HttpRecord> uploads;
    for (const auto& r : server.requests())
        if (r.method == "POST" && r.target == "/reports") uploads.push_back(r);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_FALSE(uploads[0].header("X-VEXMOR-INVALID-SESSION"));
    EXPECT_EQ(uploads[0].header("X-VEXMOR-API-KEY"), "3f9c1e7a0b5d2486c1e9f0a7d3b6524e8c1a9f07");
    const std::string packed = filePart(uploads[0].body);
    ASSERT_FALSE(packed.empty());

    Vexmor__Session* session = vexmor__session__unpack(
        nullptr, packed.size(), reinterpret_cast<const uint8_t*>(packed.data()));
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(session->n_events, 1u);
    const auto* execution = session->events[0]->app->execution;
    EXPECT_STREQ(execution->signal->name, "SIGSEGV");
    EXPECT_STREQ(session->app->identifier, "com.norvane.tessaro");
    EXPECT_STREQ(session->user->identifier, "user-7");
    const char* crashedName = nullptr;
    size_t crashedThreads = 0;
    for (size_t i = 0; i < execution->n_threads; ++i) {
        if (execution->threads[i]->importance == 4) {
            ++crashedThreads;
            crashedName = execution->threads[i]->name;
        }
    }
    EXPECT_EQ(crashedThreads, 1u);
    EXPECT_STREQ(crashedName, "probe-crasher");
    EXPECT_NE(std::string(session->events[0]->log->content).find("probe about to crash"),
              std::string::npos);
    vexmor__session__free_unpacked(session, nullptr);

    EXPECT_TRUE(fs::is_empty(home.data() / "sendable"));
    EXPECT_TRUE(fs::is_empty(home.data() / "prepared"));
    EXPECT_FALSE(fs::exists(home.data() / "crash_marker"));
    for (const auto& entry : fs::directory_iterator(home.data()))
        EXPECT_NE(entry.path().extension(), ".vxmrecord") << entry.path();
}

TEST(ReporterEndToEnd, SecondStartIsIgnoredWithAMessage) {
    Home home;
    std::string err;
    const int status = runProbe(home, "twice", unusedEndpoint(), &err);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << err;
    EXPECT_NE(err.find("[Vexmor] startWithAPIKey: called more than once. startWithAPIKey: should "
                       "only be called once, at app launch time. This call is being ignored."),
              std::string::npos)
        << err;
}

TEST(ReporterEndToEnd, EventsAreUploadedAsGzipLogs) {
    Home home;
    HttpServer server;
    server.setFallback(settingsAnswer(
        "<key>app</key><dict><key>status</key><string>activated</string></dict>"
        "<key>features</key><dict><key>collect_analytics</key><true/></dict>"
        "<key>analytics</key><dict><key>url</key><string>" +
        server.url("/events") +
        "</string><key>max_pending_send_file_count</key><integer>10</integer></dict>"));
    std::string err;
    const int status = runProbe(home, "analytics", server.url("/"), &err);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << err;

    // The first start's "app_installed" (priority 0) asked for a pass as soon
    // as settings came; its fragment went up packaged.
    std::string high;
    for (const auto& r : server.requests()) {
        if (r.method != "POST" || r.target != "/events") continue;
        const size_t at = r.body.find("filename=\"0.log.zip\"");
        if (at == std::string::npos) continue;
        const std::string marker = "\r\n\r\n";
        const size_t start = r.body.find(marker, at) + marker.size();
        const size_t end = r.body.find("\r\n--", start);
        const fs::path gz = home.dir.path() / "0.log.gz";
        testsupport::writeFile(gz, r.body.substr(start, end - start));
        const std::string command =
            "gzip -dc '" + gz.string() + "' > '" + (home.dir.path() / "0.log").string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        high = readFile(home.dir.path() / "0.log");
    }
    ASSERT_FALSE(high.empty()) << "no 0.log.zip was uploaded";
    const size_t firstLine = high.find('\n');
    EXPECT_NE(high.substr(0, firstLine).find("\tmetadata\t"), std::string::npos) << high;
    EXPECT_NE(high.find("\"api_key\":\"3f9c1e7a0b5d2486c1e9f0a7d3b6524e8c1a9f07\""),
              std::string::npos);
    EXPECT_NE(high.find("\tapp_installed\t"), std::string::npos) << high;
}

// The user's no over a start after a crash, with a service that asks for
// reports and analytics: the collector learns nothing of the device, gets no
// report and no event log, and nothing of the crash stays on disk. Opting
// out before the crash captures nothing in the first place.
TEST(ReporterEndToEnd, UserOptOutSendsAndKeepsNothing) {
    for (bool beforeCrash : {false, true}) {
        SCOPED_TRACE(beforeCrash ? "opted out before the crash" : "opted out after the crash");
        Home home;
        const fs::path defaultsPath = home.dir.path() / "config/Tessaro/defaults.json";
        auto optOut = [&] {
            platform::UserDefaults defaults(defaultsPath.string());
            defaults.setObject("VexmorShouldCollectCrashReports", false);
        };
        if (beforeCrash) optOut();
        const int crashed = runProbe(home, "crash", unusedEndpoint());
        ASSERT_TRUE(WIFSIGNALED(crashed) && WTERMSIG(crashed) == SIGSEGV) << crashed;
        ASSERT_EQ(fs::exists(home.data() / "crash_marker"), !beforeCrash);
        if (!beforeCrash) optOut();

        HttpServer server;
        server.setFallback(
            settingsAnswer("<key>app</key><dict><key>status</key><string>activated</string>"
                           "<key>reports_url</key><string>" +
                           server.url("/reports") +
                           "</string></dict>"
                           "<key>settings</key><dict><key>collect_reports</key><true/></dict>"
                           "<key>features</key><dict><key>collect_analytics</key><true/></dict>"
                           "<key>analytics</key><dict><key>url</key><string>" +
                           server.url("/events") + "</string></dict>"));
        std::string err;
        const int status = runProbe(home, "settle", server.url("/"), &err);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << err;
        EXPECT_NE(err.find("analytics off"), std::string::npos) << err;

        const auto requests = server.requests();
        ASSERT_FALSE(requests.empty());
        for (const auto& r : requests) {
            EXPECT_EQ(r.method, "GET") << r.target;
            EXPECT_NE(r.target.find("/settings?"), std::string::npos) << r.target;
            for (const char* header : {"X-VEXMOR-D", "X-VEXMOR-E"})
                EXPECT_FALSE(r.header(header)) << header;
            EXPECT_EQ(r.header("X-VEXMOR-DEVICE-STATE"), "0");
        }
        // Only the settings cache is left.
        for (const auto& entry : fs::recursive_directory_iterator(home.data())) {
            if (!entry.is_directory()) {
                EXPECT_EQ(entry.path().filename(), "settings.plist") << entry.path();
            }
        }
    }
}

// The real `run` program against a temporary Xcode-like build tree, the
// loopback server standing in for the vendor's API, and private XDG folders
// where a recorder application plays the vendor's desktop app.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/core/Value.h"
#include "reporter/macho/MachOBuilder.h"
#include "reporter/web/VXMWebRequest.h"
#include "run/RunTool.h"
#include "support/HttpServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using testsupport::HttpRecord;
using testsupport::HttpScript;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef01234567";
const std::string kSecret(64, 'S');
const std::string kFatUUIDs =
    "UUID:4c4c449b55553144a16fb0394385a9fb Slice:x86_64\n"
    "UUID:4c4c44d555553144a1fe1708b7cd3d3f Slice:arm64\n";

struct Result {
    int status = -1;
    std::string err;
    long peakResidentKiB = 0;  // of the tool's process
};

std::string shell(const std::string& command) {
    return testsupport::commandOutput(command);
}

std::string plist(const std::map<std::string, std::string>& entries) {
    platform::Value d = platform::Value::dictionary();
    for (const auto& [k, v] : entries) d.set(k, v);
    return *d.toPlistXML();
}

// One multipart field: name, file name (empty for text) and content.
struct Part {
    std::string name, fileName, contentType, content;
};

std::vector<Part> parts(const std::string& body) {
    std::vector<Part> out;
    const std::string boundary = "--AaB03x\r\n";
    size_t at = body.find(boundary);
    while (at != std::string::npos) {
        size_t start = at + boundary.size();
        size_t next = body.find("\r\n--AaB03x", start);
        if (next == std::string::npos) break;
        std::string chunk = body.substr(start, next - start);
        size_t headEnd = chunk.find("\r\n\r\n");
        std::string head = chunk.substr(0, headEnd);
        Part p;
        p.content = chunk.substr(headEnd + 4);
        auto quoted = [&](const std::string& key) {
            size_t k = head.find(key + "=\"");
            if (k == std::string::npos) return std::string();
            k += key.size() + 2;
            return head.substr(k, head.find('"', k) - k);
        };
        p.name = quoted("name");
        p.fileName = quoted("filename");
        size_t ct = head.find("Content-Type: ");
        if (ct != std::string::npos)
            p.contentType = head.substr(ct + 14, head.find("\r\n", ct) - ct - 14);
        out.push_back(p);
        at = body.find(boundary, next + 2);
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> textFields(const HttpRecord& r) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& p : parts(r.body))
        if (p.fileName.empty()) out.emplace_back(p.name, p.content);
    return out;
}

std::string origin(const testsupport::HttpServer& server) {
    std::string url = server.url("");
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

bool waitForFile(const fs::path& p) {
    for (int i = 0; i < 200 && !fs::exists(p); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return fs::exists(p);
}

// A build tree as Xcode leaves it before the last build phase, plus the
// folders a user session would have.
class RunTool : public ::testing::Test {
  protected:
    testsupport::TempDir root{"tessaro-run"};
    testsupport::HttpServer server;
    fs::path src = root / "Project";
    fs::path products = root / "Products";
    fs::path cache = root / "cache";
    run::Environment env;

    void SetUp() override {
        fs::create_directories(src);
        fs::create_directories(products / "App.app/Contents/MacOS");
        fs::create_directories(products / "App.app.dSYM/Contents/Resources/DWARF");
        fs::create_directories(root / "home");
        fs::create_directories(root / "config");
        fs::create_directories(root / "data/applications");
        fs::create_directories(root / "empty");
        fs::copy_file(
            std::string(TESSARO_SOURCE_DIR) + "/tests/reporter/macho/data/fat-x86_64-arm64",
            products / "App.app/Contents/MacOS/App");
        fs::copy_file(products / "App.app/Contents/MacOS/App",
                      products / "App.app.dSYM/Contents/Resources/DWARF/App");
        writeFile(products / "App.app.dSYM/Contents/Info.plist",
                  plist({{"CFBundleIdentifier", "com.apple.xcode.dsym.com.example.app"}}));
        writeInfo({});
        env = {
            {"BUILT_PRODUCTS_DIR", products.string()},
            {"INFOPLIST_PATH", "App.app/Contents/Info.plist"},
            {"DWARF_DSYM_FOLDER_PATH", products.string()},
            {"DWARF_DSYM_FILE_NAME", "App.app.dSYM"},
            {"WRAPPER_NAME", "App.app"},
            {"EXECUTABLE_PATH", "App.app/Contents/MacOS/App"},
            {"PRODUCT_NAME", "App"},
            {"PLATFORM_NAME", "macosx"},
            {"CONFIGURATION", "Release"},
            {"SDKROOT", "/SDKs/MacOSX.sdk"},
            {"PROJECT_FILE_PATH", (src / "App.xcodeproj").string()},
            {"SRCROOT", src.string()},
            {"VEXMOR_API_ORIGIN", origin(server)},
            {"HOME", (root / "home").string()},
            {"PATH", "/usr/bin:/bin"},
            {"XDG_CACHE_HOME", cache.string()},
            {"XDG_CONFIG_HOME", (root / "config").string()},
            {"XDG_DATA_HOME", (root / "data").string()},
            {"XDG_CONFIG_DIRS", (root / "empty").string()},
            {"XDG_DATA_DIRS", (root / "empty").string()},
        };
    }

    void writeInfo(std::map<std::string, std::string> extra) {
        std::map<std::string, std::string> info = {{"CFBundleIdentifier", "com.example.app"},
                                                   {"CFBundleDisplayName", "Example App"},
                                                   {"CFBundleName", "App"},
                                                   {"CFBundleVersion", "77"},
                                                   {"CFBundleShortVersionString", "2.1"}};
        for (auto& [k, v] : extra) {
            if (v.empty())
                info.erase(k);
            else
                info[k] = v;
        }
        writeFile(products / "App.app/Contents/Info.plist", plist(info));
    }

    // A recorder application for `scheme`, in a bundle whose Info.plist holds
    // `build` as its CFBundleVersion.
    fs::path installRecorder(const std::string& scheme, const std::string& name,
                             const std::string& build) {
        fs::path bundle = root / (name + ".app");
        fs::path exe = bundle / "Contents/MacOS" / name;
        fs::path record = root / (name + ".url");
        fs::create_directories(exe.parent_path());
        writeFile(exe, "#!/bin/sh\nprintf '%s' \"$1\" > " + record.string() + ".tmp && mv " +
                           record.string() + ".tmp " + record.string() + "\n");
        chmod(exe.c_str(), 0755);
        writeFile(bundle / "Contents/Info.plist", plist({{"CFBundleVersion", build}}));
        writeFile(root / "data/applications" / (name + ".desktop"),
                  "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exe.string() +
                      " %u\nMimeType=x-scheme-handler/" + scheme + ";\n");
        std::string list = fs::exists(root / "config/mimeapps.list")
                               ? readFile(root / "config/mimeapps.list")
                               : "[Default Applications]\n";
        writeFile(root / "config/mimeapps.list",
                  list + "x-scheme-handler/" + scheme + "=" + name + ".desktop\n");
        return record;
    }

    // Runs the tool with exactly `env`, in `cwd` (default: SRCROOT), under a
    // parent process named `parent` when given.
    // `started`, when given, learns the process's id.
    Result runTool(std::vector<std::string> args, const std::string& parent = "",
                   std::optional<fs::path> cwd = std::nullopt,
                   std::atomic<pid_t>* started = nullptr) {
        std::string tool = toolPath();
        std::vector<std::string> argv = {tool};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> envp = environmentStrings();
        std::string dir = (cwd ? *cwd : src).string();

        int pipefd[2];
        if (pipe2(pipefd, O_CLOEXEC) != 0) return {};
        pid_t pid = fork();
        if (pid == 0) {
            dup2(pipefd[1], 2);
            if (chdir(dir.c_str()) != 0) _exit(126);
            auto exec = [&] {
                std::vector<char*> a, e;
                for (auto& s : argv) a.push_back(s.data());
                a.push_back(nullptr);
                for (auto& s : envp) e.push_back(s.data());
                e.push_back(nullptr);
                execve(tool.c_str(), a.data(), e.data());
                _exit(127);
            };
            if (parent.empty()) exec();
            prctl(PR_SET_NAME, parent.c_str());
            pid_t child = fork();
            if (child == 0) exec();
            int status = 0;
            waitpid(child, &status, 0);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 125);
        }
        close(pipefd[1]);
        if (started) *started = pid;
        Result result;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        char buf[4096];
        for (;;) {
            pollfd p{pipefd[0], POLLIN, 0};
            if (poll(&p, 1, 200) > 0) {
                ssize_t n = read(pipefd[0], buf, sizeof buf);
                if (n <= 0) break;
                result.err.append(buf, static_cast<size_t>(n));
            }
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                break;
            }
        }
        close(pipefd[0]);
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.peakResidentKiB = usage.ru_maxrss;
        return result;
    }

    static std::string toolPath() { return std::string(TESSARO_BINARY_DIR) + "/bin/run"; }

    std::vector<std::string> environmentStrings() const {
        std::vector<std::string> envp;
        for (const auto& [k, v] : env) envp.push_back(k + "=" + v);
        return envp;
    }

    // Starts the tool in SRCROOT with descriptors 0, 1 and 2 closed.
    pid_t startDetachedTool(std::vector<std::string> args) {
        std::string tool = toolPath();
        std::vector<std::string> argv = {tool};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> envp = environmentStrings();
        std::vector<char*> a, e;
        for (auto& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        for (auto& s : envp) e.push_back(s.data());
        e.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(src.c_str()) != 0) _exit(126);
            for (int fd = 0; fd <= 2; ++fd) close(fd);
            execve(tool.c_str(), a.data(), e.data());
            _exit(127);
        }
        return pid;
    }

    std::vector<std::string> leftovers() {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(products))
            if (e.path().extension() == ".zip") out.push_back(e.path().filename());
        return out;
    }

    fs::path buildsFolder(const std::string& endpoint) {
        return cache / "com.vexmor.mac" / run::md5Hex(endpoint) / "builds";
    }
};

}  // namespace

TEST_F(RunTool, UploadsTheDSYM) {
    server.enqueue({.status = 201});
    server.enqueue({.status = 200});
    Result r = runTool({kKey, kSecret});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind("Vexmor.framework/run 1.3.11\n", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\n\nVexmor: App.app.dSYM uploaded statusCode 200\n" + kFatUUIDs),
              std::string::npos)
        << r.err;

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const HttpRecord& onboard = requests[0];
    EXPECT_EQ(onboard.method, "POST");
    EXPECT_EQ(onboard.target, "/spi/v1/platforms/mac/apps/com.example.app/built");
    const std::map<std::string, std::string> onboardHeaders = {
        {"X-Vexmor-API-Key", kKey},
        {"X-Vexmor-Developer-Token", "5a1e90c3b7d24f6e8a0b13c9d7f2e4a6b8c0d1e3"},
        {"X-Vexmor-API-Client-Id", "com.vexmor.run"},
        {"User-Agent", "run/1.3.11"},
        {"X-Vexmor-API-Client-Build-Version", "143"},
        {"X-Vexmor-API-Client-Display-Version", "1.3.11"},
        {"X-Vexmor-Build-Secret", kSecret},
    };
    for (const auto& [name, value] : onboardHeaders) EXPECT_EQ(onboard.header(name), value) << name;
    EXPECT_EQ(textFields(onboard),
              (std::vector<std::pair<std::string, std::string>>{{"app_name", "Example App"},
                                                                {"tool_details", "build server"}}));

    const HttpRecord& upload = requests[1];
    EXPECT_EQ(upload.target, "/api/v1/" + kKey + "/dsyms");
    EXPECT_EQ(upload.header("User-Agent"), "run/143");
    EXPECT_EQ(upload.header("X-Vexmor-Developer-Token"),
              "5a1e90c3b7d24f6e8a0b13c9d7f2e4a6b8c0d1e3");
    EXPECT_FALSE(upload.header("X-Vexmor-API-Key"));
    EXPECT_FALSE(upload.header("X-Vexmor-Build-Secret"));
    EXPECT_EQ(textFields(upload), (std::vector<std::pair<std::string, std::string>>{
                                      {"app_id", "com.example.app"},
                                      {"dsym[version_number]", "77"},
                                      {"dsym[short_version_number]", "2.1"},
                                      {"dsym[platform]", "mac"},
                                      {"dsym[build_configuration]", "Release"},
                                      {"com_vexmor_run_version", "143"},
                                      {"dsym[uuids][][uuid]", "4c4c449b55553144a16fb0394385a9fb"},
                                      {"dsym[uuids][][architecture]", "x86_64"},
                                      {"dsym[uuids][][uuid]", "4c4c44d555553144a1fe1708b7cd3d3f"},
                                      {"dsym[uuids][][architecture]", "arm64"},
                                  }));
    auto all = parts(upload.body);
    ASSERT_EQ(all.back().name, "dsym[file]");
    EXPECT_EQ(all.back().contentType, "application/zip");
    EXPECT_EQ(fs::path(all.back().fileName).extension(), ".zip");

    // The archive unpacks to the dSYM folder, byte for byte.
    writeFile(root / "got.zip", all.back().content);
    fs::create_directories(root / "unpacked");
    shell("python3 -m zipfile -e " + (root / "got.zip").string() + " " +
          (root / "unpacked").string());
    EXPECT_EQ(readFile(root / "unpacked/App.app.dSYM/Contents/Resources/DWARF/App"),
              readFile(products / "App.app.dSYM/Contents/Resources/DWARF/App"));
    EXPECT_EQ(readFile(root / "unpacked/App.app.dSYM/Contents/Info.plist"),
              readFile(products / "App.app.dSYM/Contents/Info.plist"));
    EXPECT_TRUE(leftovers().empty());
    EXPECT_FALSE(fs::exists(cache / "com.vexmor.mac"));
}

TEST_F(RunTool, RetriesAndJudgesTheAnswers) {
    const struct {
        const char* name;
        std::vector<int> statuses;  // onboarding, then uploads
        std::string secret;
        int exit;
        size_t requests;
        std::vector<std::string> printed, notPrinted;
    } cases[] = {
        {"second upload succeeds",
         {500, 500, 201},
         kSecret,
         0,
         3,
         {"Could not be onboarded statusCode 500", "App.app.dSYM uploaded statusCode 201"},
         {"could not be uploaded"}},
        {"202 is no success",
         {200, 202, 202},
         kSecret,
         1,
         3,
         {"App.app.dSYM could not be uploaded statusCode 202\n" + kFatUUIDs},
         {"App.app.dSYM uploaded"}},
        {"63-byte secret is ignored", {200, 200}, std::string(63, 'S'), 0, 2, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::HttpServer local;
        env["VEXMOR_API_ORIGIN"] = origin(local);
        for (int s : c.statuses) local.enqueue({.status = s});
        Result r = runTool({kKey, c.secret});
        EXPECT_EQ(r.status, c.exit) << r.err;
        auto requests = local.requests();
        EXPECT_EQ(requests.size(), c.requests);
        for (const auto& text : c.printed) EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
        for (const auto& text : c.notPrinted)
            EXPECT_EQ(r.err.find(text), std::string::npos) << r.err;
        // Only the onboarding request carries the secret.
        for (const auto& req : requests)
            EXPECT_EQ(req.header("X-Vexmor-Build-Secret").has_value(),
                      c.secret.size() == 64 && req.target.rfind("/spi/", 0) == 0);
        EXPECT_TRUE(leftovers().empty());
    }

    // A dSYM that cannot be compressed ends the run before any upload.
    ASSERT_EQ(mkfifo((products / "App.app.dSYM/Contents/pipe").c_str(), 0644), 0);
    testsupport::HttpServer local;
    env["VEXMOR_API_ORIGIN"] = origin(local);
    Result compress = runTool({kKey});
    EXPECT_EQ(compress.status, 1);
    EXPECT_NE(compress.err.find("\n\nVexmor: Compression of App.app.dSYM failed, unable to "
                                "upload.\n\n"),
              std::string::npos)
        << compress.err;
    EXPECT_EQ(local.requests().size(), 1u);  // the onboarding only
    EXPECT_TRUE(leftovers().empty());
    fs::remove(products / "App.app.dSYM/Contents/pipe");

    // Nobody listens: both attempts fail with the transport error.
    env["VEXMOR_API_ORIGIN"] =
        "http://127.0.0.1:" + std::to_string(testsupport::HttpServer::unusedPort());
    Result r = runTool({kKey});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Could not be onboarded statusCode 0 "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("App.app.dSYM could not be uploaded statusCode 0 "), std::string::npos);
    EXPECT_TRUE(leftovers().empty());
}

// An answer larger than the tool can need fails its request at the bound:
// the upload counts as failed (and is tried again), with memory to spare.
TEST_F(RunTool, OversizedAnswersFailAtTheBound) {
    server.enqueue({.status = 201});
    server.enqueue({.status = 201});
    Result plain = runTool({kKey});
    ASSERT_EQ(plain.status, 0) << plain.err;

    const uint64_t bound = VXMWebRequest::kUploadMaximumResponseSize;
    const struct {
        const char* name;
        HttpScript answer;
    } cases[] = {{"endless", {.status = 201, .endless = true}},
                 {"huge", {.status = 201, .fillBytes = 1u << 30}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::HttpServer local;
        env["VEXMOR_API_ORIGIN"] = origin(local);
        for (int i = 0; i < 3; ++i) local.enqueue(c.answer);  // onboarding, two uploads
        Result r = runTool({kKey});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(local.requests().size(), 3u) << r.err;
        EXPECT_NE(r.err.find("Could not be onboarded statusCode 201 "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("App.app.dSYM could not be uploaded statusCode 201 "),
                  std::string::npos)
            << r.err;
        EXPECT_LT(r.peakResidentKiB - plain.peakResidentKiB,
                  static_cast<long>(bound / 1024 + 16 * 1024));
        EXPECT_TRUE(leftovers().empty());
    }
}

// A termination signal during the upload ends the tool without its dSYM
// zip, as a failure does.
TEST_F(RunTool, TerminationDuringTheUploadLeavesNoZip) {
    server.enqueue({.status = 201});
    server.enqueue({.status = 200, .delay = std::chrono::seconds(30)});
    std::atomic<pid_t> pid{0};
    Result r;
    std::thread tool([&] { r = runTool({kKey}, "", std::nullopt, &pid); });
    ASSERT_TRUE(server.waitForRequests(2, std::chrono::seconds(30)));
    EXPECT_FALSE(leftovers().empty());  // the zip being sent
    kill(pid, SIGTERM);
    tool.join();
    EXPECT_EQ(r.status, -1) << r.err;  // ended by the signal
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(RunTool, FailedChecksSendNothing) {
    auto without = [](run::Environment e, std::initializer_list<const char*> names) {
        for (const char* n : names) e.erase(n);
        return e;
    };
    const run::Environment base = env;
    fs::create_directories(root / "elsewhere");
    fs::create_directory_symlink(src, root / "link");

    machofixture::Thin old;
    old.commands = {machofixture::versionMinCommand(0x24, machofixture::packVersion(10, 5),
                                                    machofixture::packVersion(10, 6))};
    machofixture::Thin noVersion;
    noVersion.cpuType = 12;
    noVersion.cpuSubtype = 9;
    noVersion.wide = false;
    writeFile(products / "App.app/Contents/MacOS/Old", old.bytes());
    writeFile(products / "App.app/Contents/MacOS/Phone", noVersion.bytes());
    run::Environment oldMac = base;
    oldMac["EXECUTABLE_PATH"] = "App.app/Contents/MacOS/Old";
    run::Environment oldPhone = base;
    oldPhone["EXECUTABLE_PATH"] = "App.app/Contents/MacOS/Phone";
    oldPhone["TARGETED_DEVICE_FAMILY"] = "1,2";
    oldPhone["IPHONEOS_DEPLOYMENT_TARGET"] = "3.2";
    run::Environment elsewhere = base;
    elsewhere["SRCROOT"] = (root / "elsewhere").string();
    run::Environment noInfo = base;
    noInfo["INFOPLIST_PATH"] = "App.app/Contents/Missing.plist";
    run::Environment noDSYM = base;
    noDSYM["DWARF_DSYM_FILE_NAME"] = "Other.app.dSYM";

    const std::string info = (products / "App.app/Contents/Info.plist").string();
    const struct {
        const char* name;
        std::vector<std::string> args;
        run::Environment env;
        std::string expected;
        bool noIdentifier = false;
    } cases[] = {
        {"no key",
         {},
         base,
         "\n\nVexmor: Configuration Issue\n\nVexmor API key not set. Your Vexmor run script build "
         "phase should contain your API key:\n./Vexmor.framework/run YOUR_API_KEY "
         "YOUR_BUILD_SECRET\n\n"},
        {"39-character key",
         {kKey.substr(1)},
         base,
         "Configuration Issue\n\nVexmor API key not valid."},
        {"key with a line break", {kKey.substr(1) + "\n"}, base, "Vexmor API key not valid."},
        // The variables are checked before anything reads the Info.plist.
        {"no products folder",
         {kKey},
         without(base, {"BUILT_PRODUCTS_DIR", "INFOPLIST_PATH"}),
         "Failed to Detect Build Environment\n\nBUILT_PRODUCTS_DIR value not found in environment"},
        {"no dSYM name",
         {kKey},
         without(base, {"DWARF_DSYM_FILE_NAME", "DWARF_DSYM_FOLDER_PATH"}),
         "DWARF_DSYM_FILE_NAME value not found in environment"},
        {"no Info.plist",
         {kKey},
         noInfo,
         "Info.plist Error\n\nUnable to process Info.plist at path " + products.string() +
             "/App.app/Contents/Missing.plist\nThis could be a timing issue, make sure the Vexmor "
             "run script build phase is the last build phase and no other scripts have moved "
             "App.app from the location Xcode generated it."},
        {"no bundle identifier",
         {kKey},
         base,
         "Required Info.plist Value Not Found\n\nA CFBundleIdentifier value in your Info.plist is "
         "required. Please confirm this value is present in " +
             info + " \n\n",
         true},
        {"no dSYM",
         {kKey},
         noDSYM,
         "dSYM Error\n\nUnable to process Other.app.dSYM at path " + products.string() +
             "/Other.app.dSYM\nMake sure"},
        {"outside the target",
         {kKey},
         elsewhere,
         "Use a Target Run Script Build Phase\n\nMake sure "
         "the Vexmor command is added to your project Target and not the scheme 'Post-actions'."
         "\n\nThen, Build your project to continue.\n\n(Vexmor error 602)"},
        {"macOS 10.5",
         {kKey},
         oldMac,
         "Unsupported OS X Version\n\nWe have detected that this build of App supports an older "
         "version of OS X than OS X 10.6."},
        {"iOS 3.2",
         {kKey},
         oldPhone,
         "Unsupported iOS Version\n\nWe have detected that this build of App supports an older "
         "version of iOS than iOS 4.0."},
        {"no platform",
         {kKey},
         without(base, {"PLATFORM_NAME"}),
         "\n\nVexmor: Failure determining project platform."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeInfo(c.noIdentifier ? std::map<std::string, std::string>{{"CFBundleIdentifier", ""}}
                                 : std::map<std::string, std::string>{});
        env = c.env;
        Result r = runTool(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
        EXPECT_EQ(r.err.rfind("Vexmor.framework/run 1.3.11\n", 0), 0u);
        EXPECT_TRUE(leftovers().empty());
    }
    EXPECT_EQ(server.requests().size(), 0u);

    // SRCROOT naming the current folder through a symbolic link is accepted.
    writeInfo({});
    env = base;
    env["SRCROOT"] = (root / "link").string();
    EXPECT_EQ(runTool({kKey}).status, 0);
}

TEST_F(RunTool, WritesTheKeyArtifact) {
    env["VEXMOR_CREATE_ARTIFACT"] = "YES";
    Result r = runTool({kKey});
    ASSERT_EQ(r.status, 0) << r.err;
    auto artifact = platform::Value::fromPlist(readFile(products / "vexmor.plist"));
    ASSERT_TRUE(artifact);
    EXPECT_EQ(*artifact, platform::Value(platform::ValueDictionary{{"VexmorAPIKey", kKey}}));

    env["VEXMOR_ARTIFACT_PATH"] = (root / "no/such/folder/key.plist").string();
    r = runTool({kKey});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(
        r.err.find("Failed to write data to artifact path " + env["VEXMOR_ARTIFACT_PATH"] + "\n\n"),
        std::string::npos);
    env["VEXMOR_CREATE_ARTIFACT"] = "NO";
    env["VEXMOR_ARTIFACT_PATH"] = (root / "off.plist").string();
    runTool({kKey});
    EXPECT_FALSE(fs::exists(root / "off.plist"));
}

TEST_F(RunTool, DebugOutputFromTheStoredDefaults) {
    fs::create_directories(root / "config/com.vexmor.run");
    writeFile(root / "config/com.vexmor.run/defaults.json", "{\"debug\": \"YES\"}");
    Result r = runTool({kKey});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("\n\nVexmor: Src root " + src.string()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Run script build phase called from Xcode Bots 0"), std::string::npos);
    // The command line overrules the stored value.
    r = runTool({kKey, "-debug", "NO"});
    EXPECT_EQ(r.err.find("Src root"), std::string::npos) << r.err;
}

TEST_F(RunTool, HandsOverByBuildPlist) {
    fs::path record = installRecorder("vexmor", "Vexmor", "203");
    writeInfo({{"VexmorAPIEndpoint", "https://api.example.test"}});
    Result r = runTool({kKey, "-debug", "YES"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Install path file://" + (root / "Vexmor.app").string() + "/"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(server.requests().size(), 0u);
    ASSERT_TRUE(waitForFile(record));
    std::string url = readFile(record);

    fs::path builds = buildsFolder("https://api.example.test");
    std::vector<fs::path> folders(fs::directory_iterator(builds), fs::directory_iterator{});
    ASSERT_EQ(folders.size(), 1u);
    std::string uuid = folders[0].filename();
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_EQ(uuid.find_first_of("abcdef"), std::string::npos);
    fs::path buildPlist = folders[0] / "Build.plist";
    EXPECT_EQ(url, "vexmor://xcode?VEXMOR_BUILD_PLIST_PATH=" + run::urlEncode(buildPlist.string()));

    auto build = platform::Value::fromPlist(readFile(buildPlist));
    ASSERT_TRUE(build);
    EXPECT_EQ((*build)["VEXMOR_API_KEY"].stringValue(), kKey);
    EXPECT_EQ((*build)["VEXMOR_RUN_VERSION"].stringValue(), "143");
    EXPECT_EQ((*build)["VEXMOR_FRAMEWORK_PATH"].stringValue(),
              std::string(TESSARO_BINARY_DIR) + "/bin");
    EXPECT_EQ((*build)["PLATFORM_NAME"].stringValue(), "macosx");
    EXPECT_FALSE((*build).contains("XCODE_VERSION_ACTUAL"));
    EXPECT_EQ((*build)["CFBundleIdentifier"].stringValue(), "com.example.app");
    EXPECT_EQ((*build)["Runner_Environment_Dictionary"]["PRODUCT_NAME"].stringValue(), "App");
    fs::path copied = folders[0] / "App.app.dSYM";
    EXPECT_EQ((*build)["dSYMs"], platform::Value(platform::Value::Array{copied.string()}));
    EXPECT_EQ(readFile(copied / "Contents/Resources/DWARF/App"),
              readFile(products / "App.app.dSYM/Contents/Resources/DWARF/App"));
}

TEST_F(RunTool, HandsOverByQuery) {
    fs::path record = installRecorder("vexmor", "Vexmor", "202");
    fs::rename(products / "App.app.dSYM", products / "App with space.app.dSYM");
    env["DWARF_DSYM_FILE_NAME"] = "App with space.app.dSYM";
    env["XCODE_VERSION_ACTUAL"] = "1430";
    env["FRAMEWORK_SEARCH_PATHS"] = "\"/a b\" /c";
    env.erase("SDKROOT");
    Result r = runTool({kKey});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(waitForFile(record));
    auto e = [&](const char* name) { return run::urlEncode(env[name]); };
    EXPECT_EQ(
        readFile(record),
        "vexmor://xcode?BUILT_PRODUCTS_DIR=" + e("BUILT_PRODUCTS_DIR") +
            "&PRODUCT_NAME=App&WRAPPER_NAME=App.app&DWARF_DSYM_FOLDER_PATH=" +
            e("DWARF_DSYM_FOLDER_PATH") + "&DWARF_DSYM_FILE_NAME=App%20with%20space.app.dSYM" +
            "&PLATFORM_NAME=macosx&PROJECT_FILE_PATH=" + e("PROJECT_FILE_PATH") +
            "&INFOPLIST_PATH=App.app%2FContents%2FInfo.plist&CONFIGURATION=Release&SDKROOT=" +
            "&VEXMOR_FRAMEWORK_PATH=" + run::urlEncode(std::string(TESSARO_BINARY_DIR) + "/bin") +
            "&VEXMOR_API_KEY=" + kKey + "&VEXMOR_RUN_VERSION=143&XCODE_VERSION_ACTUAL=1430" +
            "&FRAMEWORK_SEARCH_PATHS=%22%2Fa%20b%22%20%2Fc");
    // The dSYMs are cached, but no Build.plist is written.
    fs::path builds = buildsFolder(env["VEXMOR_API_ORIGIN"]);
    std::vector<fs::path> folders(fs::directory_iterator(builds), fs::directory_iterator{});
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(fs::exists(folders[0] / "App with space.app.dSYM/Contents/Info.plist"));
    EXPECT_FALSE(fs::exists(folders[0] / "Build.plist"));
}

TEST_F(RunTool, BuildServerUploadsEvenWithTheDesktopApp) {
    fs::path record = installRecorder("vexmor", "Vexmor", "203");
    Result r = runTool({kKey}, "xcsbuildd");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_FALSE(fs::exists(cache / "com.vexmor.mac"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(fs::exists(record));
}

TEST_F(RunTool, FallsBackToTheBrowserFromXcode) {
    fs::path browser = installRecorder("https", "Browser", "1");
    writeInfo({{"VexmorAPIEndpoint", "https://api.example.test"}});
    Result r = runTool({kKey}, "Xcode");
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string confirm =
        "https://api.example.test/api/v1/" + kKey + "/confirm/com.example.app";
    EXPECT_NE(r.err.find("\n\nVexmor: You must install Vexmor to continue. " + confirm +
                         "\n\nIf this machine is a build server please remove Vexmor.app if "
                         "present and use xcodebuild so that App.app.dSYM is uploaded.\n"),
              std::string::npos)
        << r.err;
    ASSERT_TRUE(waitForFile(browser));
    EXPECT_EQ(readFile(browser), confirm);
    EXPECT_EQ(server.requests().size(), 0u);
    // Nothing of the failed hand-over stays in the cache.
    fs::path builds = buildsFolder("https://api.example.test");
    EXPECT_TRUE(fs::is_empty(builds));
}

TEST_F(RunTool, KeyAndBundleIdentifierAreEscapedInPaths) {
    const std::string key = "key/with?odd#chars%and&more=text sp+xxxx";
    const std::string escapedKey = "key%2Fwith%3Fodd%23chars%25and%26more%3Dtext%20sp%2Bxxxx";
    writeInfo({{"CFBundleIdentifier", "com.example/app x"}});
    Result r = runTool({key});
    ASSERT_EQ(r.status, 0) << r.err;
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/spi/v1/platforms/mac/apps/com.example%2Fapp%20x/built");
    EXPECT_EQ(requests[0].header("X-Vexmor-API-Key"), key);
    EXPECT_EQ(requests[1].target, "/api/v1/" + escapedKey + "/dsyms");

    // The browser address of the fallback escapes them the same way.
    fs::path browser = installRecorder("https", "Browser", "1");
    writeInfo({{"CFBundleIdentifier", "com.example/app x"},
               {"VexmorAPIEndpoint", "https://api.example.test"}});
    r = runTool({key}, "Xcode");
    EXPECT_EQ(r.status, 1) << r.err;
    ASSERT_TRUE(waitForFile(browser));
    EXPECT_EQ(readFile(browser),
              "https://api.example.test/api/v1/" + escapedKey + "/confirm/com.example%2Fapp%20x");
}

// Started with its standard descriptors closed (as a daemon may start it), the
// tool puts /dev/null on them first, so that no socket or file it opens later
// becomes its standard error.
TEST_F(RunTool, ClosedStandardDescriptorsGetDevNull) {
    server.enqueue({.status = 201, .delay = std::chrono::seconds(2)});  // held open
    server.enqueue({.status = 200});
    pid_t pid = startDetachedTool({kKey});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(server.waitForRequests(1));
    for (int fd = 0; fd <= 2; ++fd) {
        std::error_code ec;
        fs::path target =
            fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), ec);
        EXPECT_EQ(target, "/dev/null") << "descriptor " << fd << ": " << ec.message();
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].target, "/api/v1/" + kKey + "/dsyms");
}

// Every message goes to the system log as well as to standard error.
TEST_F(RunTool, MessagesAlsoGoToTheSystemLog) {
    fs::path recorded = root / "syslog.txt";
    env["LD_PRELOAD"] = SYSLOG_RECORDER;
    env["TESSARO_SYSLOG_RECORD"] = recorded.string();
    env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
    Result r = runTool({});
    EXPECT_EQ(r.status, 1);
    std::string log = readFile(recorded);
    EXPECT_NE(log.find("|Vexmor.framework/run 1.3.11\n"), std::string::npos) << log;
    EXPECT_NE(log.find("|\\n\\nVexmor: Configuration Issue\\n\\nVexmor API key not set."),
              std::string::npos)
        << log;
    EXPECT_NE(r.err.find("\n\nVexmor: Configuration Issue"), std::string::npos) << r.err;
}

// A FIFO (or any other non-regular file) where the executable or the
// Info.plist should be is refused at once, never waited on.
TEST_F(RunTool, FifosAreRefusedNotWaitedOn) {
    fs::path executable = products / "App.app/Contents/MacOS/App";
    fs::remove(executable);
    ASSERT_EQ(mkfifo(executable.c_str(), 0644), 0);
    server.enqueue({.status = 201});
    server.enqueue({.status = 200});
    auto start = std::chrono::steady_clock::now();
    Result r = runTool({kKey});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Unable to read the executable at path " + executable.string()),
              std::string::npos)
        << r.err;

    fs::path info = products / "App.app/Contents/Info.plist";
    fs::remove(info);
    ASSERT_EQ(mkfifo(info.c_str(), 0644), 0);
    r = runTool({kKey});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Required Info.plist Value Not Found"), std::string::npos) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// A damaged executable is read up to the damage: what could be read is
// checked and uploaded, and the damage is reported, never passed silently.
TEST_F(RunTool, DamagedExecutablesAreCheckedAsFarAsTheyRead) {
    const std::string thin =
        readFile(std::string(TESSARO_SOURCE_DIR) + "/tests/reporter/macho/data/thin-x86_64-10.9");
    const std::string uuidLine = "UUID:4c4c446755553144a1108f42c8c316c9 Slice:x86_64\n";
    // Load commands of the fixture: LC_UUID at 1144, LC_VERSION_MIN_MACOSX at
    // 1168, the first LC_LOAD_DYLIB at 1208; sizeofcmds at 20.
    std::string shortSizeofcmds = thin;
    shortSizeofcmds.replace(20, 4, std::string("\x1c\x05\0\0", 4));  // 1308 of 1312
    std::string badDylib = thin;
    badDylib.replace(1208 + 8, 4, std::string("\xff\0\0\0", 4));
    const struct {
        const char* name;
        std::string bytes;
        int status;
        bool damaged;
        std::string expected;
    } cases[] = {
        {"sizeofcmds a few bytes short", shortSizeofcmds, 0, false, uuidLine},
        {"cut inside its commands", thin.substr(0, 1200), 0, true, uuidLine},
        {"dylib name offset out of range", badDylib, 0, true, uuidLine},
        {"cut before its version", thin.substr(0, 1150), 1, true, "Unsupported OS X Version"},
    };
    fs::path executable = products / "App.app/Contents/MacOS/App";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(executable, c.bytes);
        server.enqueue({.status = 201});
        server.enqueue({.status = 200});
        size_t before = server.requests().size();
        Result r = runTool({kKey});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("The executable at path " + executable.string() + " is damaged") !=
                      std::string::npos,
                  c.damaged)
            << r.err;
        if (c.status == 0) {
            ASSERT_EQ(server.requests().size(), before + 2);
            auto fields = textFields(server.requests().back());
            EXPECT_NE(std::find(fields.begin(), fields.end(),
                                std::make_pair(std::string("dsym[uuids][][uuid]"),
                                               std::string("4c4c446755553144a1108f42c8c316c9"))),
                      fields.end());
        } else {
            EXPECT_EQ(server.requests().size(), before);
        }
    }
}

// Build.plist always parses, whatever the environment holds: entries that a
// property list cannot carry are left out, with a debug line.
TEST_F(RunTool, BuildPlistParsesWhateverTheEnvironmentHolds) {
    fs::path record = installRecorder("vexmor", "Vexmor", "203");
    env["LESS_TERMCAP_md"] = "\x1b[1m";
    env["BROKEN_UTF8"] = "caf\xc3";
    env["NON_CHARACTER"] = "\xef\xbf\xbe";
    env["BELL\x07NAME"] = "x";
    env["MULTI_LINE"] = "one\ntwo";
    env["KEPT_UNICODE"] = "Gr\xc3\xbc\xc3\x9f \xe2\x9c\x93 \xf0\x9f\x94\x92 <&>";
    // The product's own values are filtered as well.
    writeInfo({{"CFBundleDisplayName", "Example\x1b[1m App"}, {"CFBundleName", "Bell\x07"}});
    Result r = runTool({kKey, "-debug", "YES"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(waitForFile(record));
    fs::path builds = buildsFolder(env["VEXMOR_API_ORIGIN"]);
    std::vector<fs::path> folders(fs::directory_iterator(builds), fs::directory_iterator{});
    ASSERT_EQ(folders.size(), 1u);
    fs::path buildPlist = folders[0] / "Build.plist";

    // It holds the API key and the build's environment: the owner's only.
    struct stat info {};
    ASSERT_EQ(stat(buildPlist.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(shell("xmllint --noout '" + buildPlist.string() + "' 2>&1; echo $?"), "0\n");
    EXPECT_EQ(shell("python3 -c 'import plistlib,sys; d=plistlib.load(open(sys.argv[1],\"rb\"));"
                    "print(d[\"CFBundleIdentifier\"], \"CFBundleDisplayName\" in d)' '" +
                    buildPlist.string() + "' 2>&1"),
              "com.example.app False\n");
    EXPECT_EQ(shell("python3 -c 'import plistlib,sys; d=plistlib.load(open(sys.argv[1],\"rb\"));"
                    "e=d[\"Runner_Environment_Dictionary\"]; print(sorted(k for k in e if k in "
                    "(\"LESS_TERMCAP_md\",\"BROKEN_UTF8\",\"NON_CHARACTER\",\"MULTI_LINE\","
                    "\"KEPT_UNICODE\",\"PRODUCT_NAME\"))); print(e[\"KEPT_UNICODE\"])' '" +
                    buildPlist.string() + "' 2>&1"),
              "['KEPT_UNICODE', 'PRODUCT_NAME']\nGr\xc3\xbc\xc3\x9f \xe2\x9c\x93 "
              "\xf0\x9f\x94\x92 <&>\n");
    for (const char* name :
         {"LESS_TERMCAP_md", "BROKEN_UTF8", "NON_CHARACTER", "BELL?NAME", "MULTI_LINE"})
        EXPECT_NE(r.err.find(std::string("Left ") + name + " out of Build.plist"),
                  std::string::npos)
            << name << "\n"
            << r.err;
}

TEST(RunBinary, LinksNoApplicationLibraries) {
    std::string dynamic = shell("readelf -d " + std::string(TESSARO_BINARY_DIR) + "/bin/run");
    ASSERT_NE(dynamic.find("(NEEDED)"), std::string::npos) << dynamic;
    for (const char* library : {"libQt", "libfuse", "libsecret", "libsqlite"})
        EXPECT_EQ(dynamic.find(library), std::string::npos) << library << "\n" << dynamic;
}

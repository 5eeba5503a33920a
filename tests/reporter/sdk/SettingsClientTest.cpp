// The settings client against a loopback service: what goes on the wire
// (paths, headers, multipart bodies) and what each answer means.

#include <gtest/gtest.h>

#include <future>
#include <set>

#include "SdkTestSupport.h"
#include "reporter/VXMSafe.h"
#include "reporter/sdk/VXMSettingsClient.h"
#include "support/HttpServer.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
using sdktest::FakeSource;
using testsupport::HttpScript;
using testsupport::HttpServer;

namespace {

using Outcome = std::optional<platform::Error>;

Outcome upload(VXMSettingsClient& client, const std::string& path,
               const std::optional<std::string>& url, bool invalid = false) {
    std::promise<Outcome> done;
    client.submitVXMFileAtPath(path, url, invalid, [&](Outcome e) { done.set_value(e); });
    return done.get_future().get();
}

std::pair<std::optional<platform::Value>, Outcome> loadSettings(VXMSettingsClient& client) {
    std::promise<std::pair<std::optional<platform::Value>, Outcome>> done;
    client.loadSettingsWithCompletion([&](std::optional<platform::Value> v, Outcome e) {
        done.set_value({v, e});
    });
    return done.get_future().get();
}

std::string shell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

std::string hex(const std::string& bytes) {
    return VXMNSDataToNSString(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

const char* kFixed[][2] = {
    {"X-VEXMOR-DEVELOPER-TOKEN", "a4d2e8c10f7b3965d0e2a1c4b8f6073e9d5c2b1a"},
    {"User-Agent", "Vexmor Mac SDK/2.2.5"},
    {"X-VEXMOR-API-CLIENT-TYPE", "Vexmor Mac SDK"},
    {"X-VEXMOR-API-CLIENT-VERSION", "2.2.5"},
    {"X-VEXMOR-API-CLIENT-DISPLAY-VERSION", "2.2.5"},
    {"X-VEXMOR-API-CLIENT-BUILD-VERSION", "39"},
    {"X-VEXMOR-API-KEY", sdktest::kAPIKey},
};

}  // namespace

TEST(VXMSettingsClient, SettingsPathAndQuery) {
    const std::string instance = VXMHashNSString("00112233445566778899aabbccddeeff");
    struct Case {
        const char* what;
        std::function<void(FakeSource&)> change;
        std::string expected;
    } cases[] = {
        {"everything", [](FakeSource&) {},
         "/spi/v2/platforms/mac/apps/com.norvane.tessaro/settings?build_version=12"
         "&display_version=1.2&instance=" +
             instance + "&source=1"},
        {"no short version, no icon", [](FakeSource& s) { s.shortVersion.reset(); },
         "/spi/v2/platforms/mac/apps/com.norvane.tessaro/settings?build_version=12&instance=" +
             instance + "&source=1"},
        {"escaped identifier and version",
         [](FakeSource& s) {
             s.bundle = "com.norvane tessaro";
             s.version = "1 2&3";
             s.delivery = 3;
         },
         "/spi/v2/platforms/mac/apps/com.norvane%20tessaro/settings?build_version=1%202%263"
         "&display_version=1.2&instance=" +
             instance + "&source=3"},
        {"icon hash, no slices",
         [](FakeSource& s) {
             s.slices.reset();
             s.appIcon = VXMAppIcon{
                 .hash = "abc123", .prerendered = false, .width = 0, .height = 0, .png = {}};
         },
         "/spi/v2/platforms/mac/apps/com.norvane.tessaro/settings?build_version=12"
         "&display_version=1.2&instance=%28unknown%29&source=1&icon_hash=abc123"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSource source;
        c.change(source);
        VXMSettingsClient client("http://127.0.0.1:9/");
        client.setDelegate(&source);
        EXPECT_EQ(client.settingsPath(), c.expected);
    }
}

TEST(VXMSettingsClient, SettingsRequestCarriesExactlyItsHeaders) {
    HttpServer server;
    server.setFallback(HttpScript{.status = 200,
                                  .headers = {{"Content-Type", "application/json"}},
                                  .body = R"({"settings_version":2})"});
    FakeSource source;
    source.context = true;
    VXMSettingsClient client(server.url("/"));
    client.setDelegate(&source);

    // Empty identification: no encrypted header at all.
    auto [document, error] = loadSettings(client);
    ASSERT_FALSE(error) << error->description;
    ASSERT_TRUE(document);
    EXPECT_EQ((*document)["settings_version"].int64Value(), 2);
    EXPECT_EQ(source.installEventRemovals, 1);

    source.identification =
        platform::Value(platform::Value::Dictionary{{"model", "ThinkPad"}, {"os_version", "12/x"}});
    loadSettings(client);
    ASSERT_TRUE(server.waitForRequests(2));
    const auto requests = server.requests();

    for (size_t i = 0; i < 2; ++i) {
        const auto& r = requests[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(r.method, "GET");
        std::set<std::string> names;
        for (const auto& [name, value] : r.headers) names.insert(name);
        std::set<std::string> expected{"Host", "Accept", "X-VEXMOR-DEVICE-STATE"};
        for (const auto& [name, value] : kFixed) {
            expected.insert(name);
            EXPECT_EQ(r.header(name), value) << name;
        }
        if (i == 1) expected.insert("X-VEXMOR-D");
        EXPECT_EQ(names, expected);
        EXPECT_EQ(r.header("Accept"), "application/x-plist");
        EXPECT_EQ(r.header("X-VEXMOR-DEVICE-STATE"), "4");
    }

    // The encrypted header against openssl, under the key derived with sha1sum.
    const std::string plain = R"({"model":"ThinkPad","os_version":"12/x"})";
    const std::string digest = shell("printf '%s' '" + std::string(sdktest::kAPIKey) +
                                     "com_v_norvane_v_tessaro' | sha1sum | cut -c1-32");
    ASSERT_EQ(digest.size(), 32u);
    const std::string expected =
        shell("printf '%s' '" + plain + "' | openssl enc -aes-256-ecb -nosalt -K " + hex(digest) +
              " | od -An -v -tx1 | tr -d ' \\n'");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(requests[1].header("X-VEXMOR-D"), expected);
}

TEST(VXMSettingsClient, EveryAnswerHasItsMeaning) {
    HttpServer server;
    testsupport::TempDir dir;
    const auto report = dir / "0a1b.vxm";
    testsupport::writeFile(report, "packed");
    FakeSource source;
    VXMSettingsClient client(server.url("/"));
    client.setDelegate(&source);

    struct Case {
        int status;
        std::optional<long> code;  // none: success
    } cases[] = {{200, std::nullopt}, {201, std::nullopt}, {302, -6}, {408, -6},
                 {413, -5},           {429, -6},           {503, -6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        HttpScript script{.status = c.status};
        if (c.status == 302) script.headers = {{"Location", server.url("/elsewhere")}};
        server.enqueue(script);
        Outcome outcome = upload(client, report.string(), server.url("/reports"));
        if (!c.code) {
            EXPECT_FALSE(outcome) << outcome->description;
        } else {
            ASSERT_TRUE(outcome);
            EXPECT_EQ(outcome->domain, VXMClientErrorDomain);
            EXPECT_EQ(outcome->code, *c.code);
        }
    }
    // The redirect was not followed: one request per answer.
    EXPECT_EQ(server.requests().size(), std::size(cases));

    server.enqueue(HttpScript{
        .status = 200, .headers = {{"Content-Type", "application/json"}}, .body = "[1,2]"});
    auto [document, error] = loadSettings(client);
    EXPECT_FALSE(document);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, VXMClientSettingsFailed);

    // No URL, no file: the client's own errors, nothing sent.
    EXPECT_EQ(upload(client, report.string(), std::nullopt)->code, VXMClientMissingURL);
    EXPECT_EQ(upload(client, (dir / "missing.vxm").string(), server.url("/r"))->code,
              VXMClientUnreadableFile);
    EXPECT_EQ(server.requests().size(), std::size(cases) + 1);
}

TEST(VXMSettingsClient, MultipartBodiesByteForByte) {
    HttpServer server;
    testsupport::TempDir dir;
    const std::string binary("\x00\x01\xff\r\n--AaB03x", 12);
    const auto report = dir / "0a1b2c.vxm";
    testsupport::writeFile(report, binary);
    const auto events1 = dir / "a.events";
    const auto events2 = dir / "b.events";
    testsupport::writeFile(events1, "one");
    testsupport::writeFile(events2, "two");
    FakeSource source;
    source.slices = std::map<std::string, std::string>{{"x86_64", "u1"}, {"arm64", "u2"}};
    source.appIcon = VXMAppIcon{.hash = "h",
                                .prerendered = true,
                                .width = 64.9,
                                .height = 32,
                                .png = {0x89, 'P', 'N', 'G'}};
    VXMSettingsClient client(server.url("/"));
    client.setDelegate(&source);
    client.setSDKKitVersions({{"Kit", "1.0"}});

    auto text = [](const std::string& name, const std::string& value) {
        return "--AaB03x\r\nContent-Disposition: form-data; name=\"" + name +
               "\"\r\nContent-Type: text/plain\r\n\r\n" + value + "\r\n";
    };
    auto file = [](const std::string& name, const std::string& fileName, const std::string& type,
                   const std::string& bytes) {
        return "--AaB03x\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" +
               fileName + "\"\r\nContent-Type: " + type +
               "\r\nContent-Transfer-Encoding: binary\r\n\r\n" + bytes + "\r\n";
    };
    const std::string head = "MIME-Version: 1.0\r\n";
    const std::string tail = "--AaB03x--\r\n";

    EXPECT_FALSE(upload(client, report.string(), server.url("/reports")));
    EXPECT_FALSE(upload(client, report.string(), server.url("/reports"), true));
    std::promise<Outcome> configured;
    client.configureApplicationUsingURL(server.url("/app"), true,
                                        [&](Outcome e) { configured.set_value(e); });
    EXPECT_FALSE(configured.get_future().get());
    std::promise<Outcome> updated;
    source.appIcon.reset();
    source.shortVersion.reset();
    client.configureApplicationUsingURL(server.url("/app"), false,
                                        [&](Outcome e) { updated.set_value(e); });
    EXPECT_FALSE(updated.get_future().get());
    std::promise<Outcome> sent;
    client.submitEventLogFilesAtPaths({events1.string(), events2.string()}, server.url("/events"),
                                      [&](Outcome e) { sent.set_value(e); });
    EXPECT_FALSE(sent.get_future().get());

    const std::string uploadBody =
        head + text("report[identifier]", "0a1b2c") +
        file("report[file]", "0a1b2c.vxm", "application/octet-stream", binary) + tail;
    const std::string instance = VXMHashNSString("u2u1");
    const std::string configureCommon = text("app[identifier]", "com.norvane.tessaro") +
                                        text("app[instance_identifier]", instance) +
                                        text("app[name]", "Tessaro") +
                                        text("app[build_version]", "12");
    const std::string configureRest =
        text("app[source]", "1") + text("app[minimum_sdk_version]", "11.0.0") +
        text("app[built_sdk_version]", "12.1.0") + text("app[build][libraries][Kit]", "1.0") +
        text("app[slices][][arch]", "arm64") + text("app[slices][][uuid]", "u2") +
        text("app[slices][][arch]", "x86_64") + text("app[slices][][uuid]", "u1");
    const std::string newAppBody =
        head + configureCommon + text("app[display_version]", "1.2") + configureRest +
        text("app[icon][hash]", "h") + text("app[icon][prerendered]", "true") +
        text("app[icon][width]", "64") + text("app[icon][height]", "32") +
        file("app[icon][data]", "icon.png", "image/png", "\x89PNG") + tail;
    const std::string updateBody = head + configureCommon + configureRest + tail;
    const std::string eventsBody =
        head + file("a.events", "a.events", "application/vnd.vexmor.ios.events", "one") +
        file("b.events", "b.events", "application/vnd.vexmor.ios.events", "two") + tail;

    ASSERT_TRUE(server.waitForRequests(5));
    const auto r = server.requests();
    const struct {
        const char* method;
        const char* target;
        const std::string& body;
        bool invalid;
    } expected[] = {{"POST", "/reports", uploadBody, false},
                    {"POST", "/reports", uploadBody, true},
                    {"POST", "/app", newAppBody, false},
                    {"PUT", "/app", updateBody, false},
                    {"POST", "/events", eventsBody, false}};
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r[i].method, expected[i].method);
        EXPECT_EQ(r[i].target, expected[i].target);
        EXPECT_EQ(r[i].body, expected[i].body);
        EXPECT_EQ(r[i].header("Content-Type"), "multipart/form-data; boundary=AaB03x");
        EXPECT_EQ(r[i].header("X-VEXMOR-API-KEY"), sdktest::kAPIKey);
        EXPECT_EQ(r[i].header("X-VEXMOR-INVALID-SESSION"),
                  expected[i].invalid ? std::optional<std::string>("1") : std::nullopt);
    }
}

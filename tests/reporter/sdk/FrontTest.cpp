// The front without crash capture (the process-wide context belongs to the
// end-to-end probe): session identifiers, the start checks, the crash marker.

#include "reporter/sdk/Vexmor.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "SdkTestSupport.h"
#include "reporter/VXMHost.h"
#include "reporter/VXMMachException.h"
#include "reporter/VXMSafe.h"
#include "reporter/sdk/VXMDefaults.h"
#include "reporter/sdk/VXMUUID.h"
#include "support/HttpServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(VXMUUID, ByteLayoutAndText) {
    const std::string segment = "abcdefgh";
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(segment.data()),
                                         segment.size());
    const auto when = std::chrono::system_clock::time_point(1'700'000'000'123ms);
    auto first = VXMUUID::create(bytes, when, 0x12345);
    auto second = VXMUUID::create(bytes, when, 0x12345);
    ASSERT_TRUE(first && second);
    const auto& d = first->data();
    const uint8_t expected[] = {0x65, 0x53, 0xF1, 0x00, 0x00, 0x7B};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), d.begin()));
    EXPECT_EQ(d[8], 0x23);
    EXPECT_EQ(d[9], 0x45);
    EXPECT_EQ(std::string(d.begin() + 10, d.end()), "abcdef");
    // Same millisecond: only the sequence number tells them apart.
    const unsigned seq1 = d[6] << 8 | d[7];
    const unsigned seq2 = second->data()[6] << 8 | second->data()[7];
    EXPECT_EQ(seq2, (seq1 + 1) & 0xFFFF);
    EXPECT_TRUE(std::equal(d.begin(), d.begin() + 6, second->data().begin()));
    EXPECT_TRUE(std::equal(d.begin() + 8, d.end(), second->data().begin() + 8));

    char text[64];
    snprintf(text, sizeof text, "6553F100007B-%04X-2345-616263646566", seq1);
    EXPECT_EQ(first->stringValue(), text);

    EXPECT_FALSE(VXMUUID::create(bytes.first(5), when, 1));
    EXPECT_FALSE(VXMUUID::create(bytes, std::chrono::system_clock::time_point(), 1));
    EXPECT_FALSE(VXMUUID::create(bytes, std::chrono::system_clock::time_point(-5s), 1));
}

namespace {

struct Delegate : VexmorDelegate {
    std::atomic<int> crashes{0};
    std::optional<bool> vexmorEnsureDeliveryOfUnixSignal(Vexmor&, int signal) override {
        return signal == SIGSEGV;
    }
    void vexmorDidDetectCrashDuringPreviousExecution(Vexmor&) override { ++crashes; }
};

struct Front {
    testsupport::TempDir root{"sdk-front"};
    testsupport::TempDir config{"sdk-defaults"};
    platform::UserDefaults defaults{(config / "defaults.json").string()};
    testsupport::ManualClock clock;
    Delegate delegate;
    std::unique_ptr<Vexmor> vexmor;

    Front() {
        VXMSetDefaults(&defaults);
        defaults.setObject(
            "VexmorAPIEndpoint",
            "http://127.0.0.1:" + std::to_string(testsupport::HttpServer::unusedPort()) + "/");
        vexmor = std::make_unique<Vexmor>(Vexmor::Options{
            .clock = &clock, .rootPath = root.path().string(), .disableCrashReporting = true});
    }
    ~Front() {
        // The failed settings request has scheduled its retry: nothing is in flight.
        if (vexmor->controller()) sdktest::waitUntil([&] { return clock.pendingCount() == 1; });
        vexmor.reset();
        VXMSetDefaults(nullptr);
    }
};

}  // namespace

TEST(Vexmor, EmptyKeyIsAnErrorNotAThrow) {
    Front f;
    platform::Error error;
    EXPECT_EQ(f.vexmor->initializeWithAPIKey("", 0, Vexmor::defaultEnvironment(), &error), nullptr);
    EXPECT_EQ(error.domain, "VexmorException");
    EXPECT_EQ(error.description, "Vexmor cannot start with the API key ''");
    EXPECT_FALSE(f.vexmor->controller());
}

TEST(Vexmor, StartConsumesTheCrashMarker) {
    Front f;
    f.vexmor->setDelegate(&f.delegate);
    EXPECT_EQ(f.vexmor->machExceptionMask(), VXMMachExceptionMaskForSignal(SIGSEGV));
    const fs::path dir = fs::path(f.root.path()) / VXMExecutableGetBundleIdentifier();
    fs::create_directories(dir);
    testsupport::writeFile(dir / "crash_marker", "");

    ASSERT_EQ(f.vexmor->initializeWithAPIKey(sdktest::kAPIKey, 0, Vexmor::defaultEnvironment()),
              f.vexmor.get());
    EXPECT_TRUE(f.vexmor->lastSessionWasCrash());
    EXPECT_FALSE(fs::exists(dir / "crash_marker"));
    EXPECT_TRUE(sdktest::waitUntil([&] { return f.delegate.crashes == 1; }));
    for (const char* sub : {"processing", "prepared", "invalid", "sendable"})
        EXPECT_TRUE(fs::is_directory(dir / sub)) << sub;

    // The session identifier ends in the first six characters of the
    // installation hash.
    const std::string hash = VXMHashNSString(VXMHostInstallationUUID());
    const std::string tail =
        VXMNSDataToNSString(std::vector<uint8_t>(hash.begin(), hash.begin() + 6));
    std::string upper;
    for (char c : tail) upper += static_cast<char>(toupper(c));
    EXPECT_TRUE(f.vexmor->sessionIdentifier().ends_with(upper)) << f.vexmor->sessionIdentifier();
    EXPECT_EQ(f.vexmor->APIKey(), sdktest::kAPIKey);
    EXPECT_EQ(f.vexmor->identificationDictionary().size(), 0u);
}

TEST(Vexmor, NoMarkerNoCrash) {
    Front f;
    f.vexmor->setDelegate(&f.delegate);
    f.vexmor->initializeWithAPIKey(sdktest::kAPIKey, 0, Vexmor::defaultEnvironment());
    EXPECT_FALSE(f.vexmor->lastSessionWasCrash());
    platform::pumpMainQueue();
    EXPECT_EQ(f.delegate.crashes, 0);
    Vexmor other({.clock = &f.clock, .rootPath = std::nullopt, .disableCrashReporting = true});
    EXPECT_EQ(other.machExceptionMask(), 0u);
    EXPECT_EQ(other.conversionTrackingIdentifier(), "");
}

TEST(Vexmor, NoSessionIdentifierLeavesTheReporterInert) {
    Front f;
    f.clock.set(testsupport::ManualClock::time_point());  // 1970: no identifier can be made
    EXPECT_EQ(f.vexmor->initializeWithAPIKey(sdktest::kAPIKey, 0, Vexmor::defaultEnvironment()),
              f.vexmor.get());
    EXPECT_FALSE(f.vexmor->controller());
    EXPECT_FALSE(f.vexmor->settingsClient());
    EXPECT_EQ(f.vexmor->sessionIdentifier(), "");
    EXPECT_EQ(f.clock.pendingCount(), 0u);
}

// The icon is drawn before the first settings request is built: that request
// carries its hash, and the onboarding it leads to carries the icon itself.
TEST(Vexmor, FirstSettingsRequestCarriesTheIconHash) {
    testsupport::HttpServer server;
    Front f;
    f.defaults.setObject("VexmorAPIEndpoint", server.url("/"));
    server.enqueue(testsupport::HttpScript{
        .status = 200,
        .headers = {{"Content-Type", "application/x-plist"}},
        .body = *sdktest::settingsDocument(server.url("/reports"), false, "new").toPlistXML()});
    server.setFallback(testsupport::HttpScript{.status = 500});  // onboarding retried later
    const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a, 1, 2, 3};
    f.vexmor->setAppIconRenderer([&]() -> std::optional<VXMIconImage> {
        return VXMIconImage{png, 64, 64};
    });
    ASSERT_EQ(f.vexmor->initializeWithAPIKey(sdktest::kAPIKey, 0, Vexmor::defaultEnvironment()),
              f.vexmor.get());
    ASSERT_TRUE(server.waitForRequests(2));

    const std::string hash = VXMIcon(png, 64, 64).dataHash();
    ASSERT_EQ(hash.size(), 40u);
    const auto requests = server.requests();
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_NE(requests[0].target.find("&icon_hash=" + hash), std::string::npos)
        << requests[0].target;
    EXPECT_EQ(requests[1].target, "/reports-app");
    const std::string& body = requests[1].body;
    EXPECT_NE(
        body.find("name=\"app[icon][hash]\"\r\nContent-Type: text/plain\r\n\r\n" + hash + "\r\n"),
        std::string::npos);
    EXPECT_NE(body.find(std::string(png.begin(), png.end())), std::string::npos);
}

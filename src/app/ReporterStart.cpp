#include "app/ReporterStart.h"

#include <atomic>
#include <mutex>

#include "app/AppResources.h"
#include "platform/core/Console.h"
#include "reporter/VXMHost.h"
#include "reporter/sdk/Vexmor.h"

// After the reporter's headers: Qt's keyword macros would rewrite them.
#include "app/AppIcon.h"

namespace app {

namespace {
std::atomic<int> gStarts{0};
std::mutex gKeyMutex;
std::string gKey;
}  // namespace

void startCrashReporter(const std::string& apiKey) {
    {
        std::lock_guard lock(gKeyMutex);
        gKey = apiKey;
    }
    ++gStarts;
    // What a bundle's information dictionary would tell the reporter.
    VXMBundleInfo bundle;
    bundle.identifier = "com.norvane.tessaro";
    bundle.version = kBuildNumber;
    bundle.shortVersion = kVersion;
    bundle.name = "Tessaro";
    VXMExecutableSetBundleInfo(bundle);
    // The settings requests carry the icon's hash; drawn when first asked.
    Vexmor::sharedInstance().setAppIconRenderer([]() -> std::optional<VXMIconImage> {
        constexpr int kSize = 256;
        const QByteArray png = applicationIconPNG(kSize);
        if (png.isEmpty()) return std::nullopt;
        return VXMIconImage{std::vector<uint8_t>(png.begin(), png.end()), kSize, kSize};
    });
    platform::Error error;
    if (!Vexmor::startWithAPIKey(apiKey, nullptr, 1.0, Vexmor::defaultEnvironment(), &error))
        platform::consoleLog("Crash reporter > start > %s", error.description.c_str());
}

int crashReporterStartCount() {
    return gStarts;
}

std::string crashReporterStartKey() {
    std::lock_guard lock(gKeyMutex);
    return gKey;
}

}  // namespace app

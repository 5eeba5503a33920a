#include "app/ReporterStart.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "app/AppResources.h"
#include "platform/core/Console.h"
#include "platform/core/Dispatch.h"
#include "reporter/VXMHost.h"
#include "reporter/sdk/Vexmor.h"

// After the reporter's headers: Qt's keyword macros would rewrite them.
#include "app/AppIcon.h"

namespace app {

namespace {
std::atomic<int> gStarts{0};
std::mutex gKeyMutex;
std::string gKey;
constexpr int kIconSize = 256;
std::mutex gIconMutex;
std::vector<uint8_t> gIconPNG;
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
    // The settings requests carry the icon's hash. Drawn once on the main
    // thread: Qt drawing on a reporter thread could race the exit's clean-up.
    // Until then the reporter sees no icon and asks again later.
    platform::mainQueue()->async([] {
        const QByteArray png = applicationIconPNG(kIconSize);
        std::lock_guard lock(gIconMutex);
        gIconPNG.assign(png.begin(), png.end());
    });
    Vexmor::sharedInstance().setAppIconRenderer([]() -> std::optional<VXMIconImage> {
        std::lock_guard lock(gIconMutex);
        if (gIconPNG.empty()) return std::nullopt;
        return VXMIconImage{gIconPNG, kIconSize, kIconSize};
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

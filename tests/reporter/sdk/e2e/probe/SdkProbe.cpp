// A program that starts the crash reporter the way the application does and
// then does what its command line asks:
//
//   reporter_sdk_probe crash    crashes (SIGSEGV) on the thread "probe-crasher"
//   reporter_sdk_probe twice    starts a second time and exits
//   reporter_sdk_probe report   runs the pipeline until no report is left to
//                               send (exit 0) or 30 s have passed (exit 1)
//   reporter_sdk_probe settle   as report, and also until the settings have
//                               come; then lets running analytics passes
//                               end and prints "analytics on" or "off"
//
// Where things go comes from the environment: XDG_CACHE_HOME (reporter
// data), XDG_CONFIG_HOME (user defaults) and VexmorAPIEndpoint (the service).

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/core/Dispatch.h"
#include "reporter/VXMHost.h"
#include "reporter/VXMLogging.h"
#include "reporter/sdk/VXMDefaults.h"
#include "reporter/sdk/Vexmor.h"

namespace {

constexpr const char* kAPIKey = "3f9c1e7a0b5d2486c1e9f0a7d3b6524e8c1a9f07";

volatile uintptr_t unmappedAddress = 16;

__attribute__((noinline)) void store(uintptr_t address) {
    *reinterpret_cast<volatile int*>(address) = 42;
}

__attribute__((noinline)) void crashBySegv() {
    store(unmappedAddress);
    asm volatile("" ::: "memory");
}

bool emptyDirectory(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_empty(path, ec) && !ec;
}

// Nothing left for the pipeline: no record beside the session log, and
// nothing on its way to the service.
bool nothingLeft(const std::filesystem::path& dir) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() == ".vxmrecord") return false;
    return emptyDirectory(dir / "processing") && emptyDirectory(dir / "prepared") &&
           emptyDirectory(dir / "sendable") && emptyDirectory(dir / "invalid");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s crash|twice|report|settle|analytics\n", argv[0]);
        return 2;
    }
    const std::string which = argv[1];
    VXMBundleInfo bundle;
    bundle.identifier = "com.norvane.tessaro";
    bundle.version = "12";
    bundle.shortVersion = "1.2";
    bundle.name = "Tessaro";
    VXMExecutableSetBundleInfo(bundle);

    Vexmor* vexmor = Vexmor::startWithAPIKeyAfterDelay(kAPIKey, which == "report" ? 0 : 3600);
    if (!vexmor) return 3;

    if (which == "crash") {
        VXMLog("probe about to crash");
        Vexmor::setUserIdentifier("user-7");
        std::thread([] {
            pthread_setname_np(pthread_self(), "probe-crasher");
            crashBySegv();
        }).join();
        return 2;
    }
    if (which == "twice") {
        Vexmor::startWithAPIKey(kAPIKey);
        return 0;
    }
    if (which == "report" || which == "settle") {
        if (!vexmor->controller()) return 4;
        const bool settle = which == "settle";
        const auto dir = std::filesystem::path(vexmor->controller()->crashFileDirectory());
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
            platform::pumpMainQueue();
            if (nothingLeft(dir) && (!settle || vexmor->controller()->settings())) {
                if (!settle) return 0;
                vexmor->controller()->queue()->sync([] {});
                const auto& analytics = vexmor->analyticsController();
                if (analytics) analytics->drain();
                fprintf(stderr, "analytics %s\n", analytics ? "on" : "off");
                return 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return 1;
    }
    if (which == "analytics") {
        // Done once a maintenance pass has run and nothing packaged is left.
        const auto packaged =
            std::filesystem::path(vexmor->controller()->analyticsDirectory()) / "v1" / "PACKAGED";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
            platform::pumpMainQueue();
            const bool maintained =
                !VXMDefaults().objectForKey("com.vexmor.insights.lastmaintenancedate").isNull();
            if (maintained && vexmor->analyticsController()) {
                vexmor->analyticsController()->drain();
                std::error_code ec;
                if (!std::filesystem::exists(packaged, ec) || emptyDirectory(packaged)) return 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return 1;
    }
    return 2;
}

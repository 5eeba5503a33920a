// Caller-side cost of VXMAnalyticsController::logEvent (a low-priority event,
// written on its queue) against LGLogInfo (formatted, then handed to the
// logging queue). Both are timed in batches that fit the queues; the work
// behind them is drained between batches, untimed.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "Logging/LGLog.h"
#include "Logging/LGLogMacros.h"
#include "platform/core/UserDefaults.h"
#include "reporter/analytics/VXMAnalyticsController.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatch = 500;
constexpr int kBatches = 200;

struct NullSink : LGLogger {
    void logMessage(const LGLogMessagePtr&) override {}
    std::string loggerName() override { return "bench.null"; }
};

template <class Call, class Drain>
double nsPerCall(Call call, Drain drain) {
    std::vector<double> batches;
    for (int b = 0; b < kBatches; ++b) {
        auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i) call(i);
        batches.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                          kBatch);
        drain();
    }
    std::sort(batches.begin(), batches.end());
    return batches[batches.size() / 2];
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "tessaro-bench-analytics";
    fs::remove_all(dir);
    fs::create_directories(dir);
    platform::UserDefaults defaults((dir / "defaults.json").string());
    VXMAnalyticsController::Config config;
    config.sessionIdentifier = "BENCH";
    config.analyticsRootDirectory = (dir / "analytics").string();
    config.metadataJSON = R"({"api_key":"bench"})";
    config.defaults = &defaults;
    config.contextAvailable = [] { return true; };
    auto controller = VXMAnalyticsController::create(std::move(config));
    if (!controller) return 1;

    LGLog::addLogger(std::make_shared<NullSink>());
    LGLog::flushLog();

    const VXMAnalyticsEvent event(2, 1400000000000ull, "screen_view", "EVENT-ID",
                                  {{"screen", "browser"}});
    auto logEvent = [&](int) { controller->logEvent(event); };
    auto logCall = [](int i) { LGLogInfo("message %d", i); };
    nsPerCall(logEvent, [&] { controller->drain(); });  // warm-up
    nsPerCall(logCall, [] { LGLog::flushLog(); });
    const double ours = nsPerCall(logEvent, [&] { controller->drain(); });
    const double log = nsPerCall(logCall, [] { LGLog::flushLog(); });
    std::printf("# logEvent %.0f ns, log call %.0f ns (caller's thread, median of %d batches)\n",
                ours, log, kBatches);
    std::printf("RATIO analytics_logevent_vs_log_call %.2f goal <= 2.0\n", ours / log);
    controller.reset();
    fs::remove_all(dir);
    return 0;
}

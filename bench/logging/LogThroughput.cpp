// Messages per second from one thread through the dispatcher to one counting
// sink, against spdlog's asynchronous logger writing to a null sink; and the
// cost of a call filtered out by level against an empty function call.

#define LG_LOG_LEVEL 7  // debug calls are filtered out at the call site
#include <spdlog/async.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "Logging/LGLog.h"
#include "Logging/LGLogMacros.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMessages = 400000;
constexpr int kRounds = 11;

struct CountingSink : LGLogger {
    std::atomic<long> count{0};
    void logMessage(const LGLogMessagePtr&) override {
        count.fetch_add(1, std::memory_order_relaxed);
    }
    std::string loggerName() override { return "bench.counting"; }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Messages per second until every message has reached the sink.
double ours(const std::shared_ptr<CountingSink>& sink) {
    long before = sink->count.load();
    auto start = Clock::now();
    for (int i = 0; i < kMessages; ++i) LGLogInfo("message %d", i);
    LGLog::flushLog();
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    if (sink->count.load() - before != kMessages) std::fprintf(stderr, "lost messages\n");
    return kMessages / secs;
}

double peer() {
    auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
    auto sink = std::make_shared<spdlog::sinks::null_sink_mt>();
    auto logger = std::make_shared<spdlog::async_logger>("bench", sink, pool,
                                                         spdlog::async_overflow_policy::block);
    auto start = Clock::now();
    for (int i = 0; i < kMessages; ++i) logger->info("message {}", i);
    logger.reset();
    pool.reset();  // returns once the worker has drained the queue
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    return kMessages / secs;
}

[[gnu::noinline]] void emptyCall(int i) {
    asm volatile("" : : "r"(i) : "memory");
}

template <class F>
double nsPerCall(F body) {
    constexpr long kCalls = 200'000'000;
    auto start = Clock::now();
    for (long i = 0; i < kCalls; ++i) body(static_cast<int>(i));
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kCalls;
}

}  // namespace

int main() {
    auto sink = std::make_shared<CountingSink>();
    LGLog::addLogger(sink);
    LGLog::flushLog();
    ours(sink);  // warm-up of both
    peer();
    std::vector<double> a, b;
    for (int r = 0; r < kRounds; ++r) {
        a.push_back(ours(sink));
        b.push_back(peer());
    }
    double oursRate = median(a), peerRate = median(b);
    std::printf("# one producer, %d messages: ours %.0f/s, spdlog async %.0f/s\n", kMessages,
                oursRate, peerRate);
    std::printf("RATIO log_async_vs_spdlog %.2f goal >= 1.0\n", oursRate / peerRate);

    std::vector<double> f, e;
    for (int r = 0; r < 5; ++r) {
        f.push_back(nsPerCall([](int i) {
            asm volatile("" : : "r"(i) : "memory");
            LGLogDebug("filtered %d %s", i, "never formatted");
        }));
        e.push_back(nsPerCall([](int i) { emptyCall(i); }));
    }
    std::printf("# filtered call %.3f ns, empty call %.3f ns\n", median(f), median(e));
    std::printf("RATIO log_filtered_vs_empty_call %.2f goal <= 2.0\n", median(f) / median(e));
    return 0;
}

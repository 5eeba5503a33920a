// Arbitrary bytes as a settings answer (JSON or property list) through every
// reader of the settings, the cache form with its expiry and back: no reader
// may fail on any shape of document, and a document that can be cached reads
// back with the same decisions.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/core/UserDefaults.h"
#include "reporter/sdk/VXMDefaults.h"
#include "reporter/sdk/VXMSettings.h"

namespace {

// Every decision the pipeline reads, folded into one value.
uint64_t decisions(const VXMSettings& s, VXMSettings::time_point now) {
    uint64_t v = s.isOutdated(now) | s.appNeedsOnboarding() << 1 | s.requiresUpdate() << 2 |
                 s.shouldCollectCrashReports() << 3 | s.shouldRequestPermissionToSubmit() << 4 |
                 s.shouldIncludeInteractiveAlwaysSendOption() << 5 | s.iconPrerendered() << 6 |
                 s.shouldCollectAnalytics() << 7 | s.shouldFlushAnalyticsOnBackground() << 8;
    v ^= s.cacheDuration() * 31 + static_cast<uint64_t>(s.logBufferSize()) * 17 +
         s.maxCustomKeyValuePairs() * 13 + static_cast<uint64_t>(s.flushIntervalSecs()) * 7 +
         static_cast<uint64_t>(s.betaUpdateSuspendDurationSecs());
    v ^= s.reportsURL().value_or("").size() + s.appURL().value_or("").size() * 3 +
         s.interactivePromptTitle().size() * 5 + s.interactivePromptMessage().size() * 11 +
         s.iconHash().value_or("").size() * 19;
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Read-only defaults: the decisions read them, nothing writes them.
    static platform::UserDefaults defaults("/nonexistent/tessaro-fuzz/defaults.json");
    VXMSetDefaults(&defaults);
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto document = platform::Value::fromJSON(bytes);
    if (!document) document = platform::Value::fromPlist(bytes);
    if (!document) return 0;

    const VXMSettings::time_point now{std::chrono::seconds(1'700'000'000)};
    VXMSettings answer("", *document);
    decisions(answer, now);
    if (!document->isDictionary()) return 0;

    const platform::Value cached = VXMSettings::documentWithExpiry(*document, now);
    VXMSettings fresh("", cached);
    if (fresh.isOutdated(now)) abort();
    auto xml = cached.toPlistXML();
    if (!xml) return 0;
    auto back = platform::Value::fromPlist(std::string_view(*xml));
    if (!back) abort();
    if (decisions(VXMSettings("", *back), now) != decisions(fresh, now)) abort();
    return 0;
}

#include "reporter/analytics/VXMAnalyticsMetadata.h"

#include "reporter/VXMContext.h"
#include "reporter/VXMHost.h"
#include "reporter/VXMSafe.h"

namespace {

// 64 characters, put together at run time so the text is not one literal.
std::string keyConstant() {
    std::string text;
    for (const char* part : {"c0nv3rs10n", "-", "t3ss4r0", "-", "4n4lyt1cs", "-", "k3y", "-"})
        text += part;
    while (text.size() < 64) text += static_cast<char>('a' + text.size() % 26);
    return text;
}

void setText(platform::Value& dictionary, const char* key, const char* value) {
    if (value) dictionary.set(key, value);
}

}  // namespace

std::optional<std::string> VXMAnalyticsMetadataJSON() {
    if (!VXMContextIsInitialized() || !vxmContext.readOnly) {
        VXMDebugLog("[Vexmor] VXMContext is unavailable");
        return std::nullopt;
    }
    const VXMReadOnlyContext& c = *vxmContext.readOnly;
    platform::Value m = platform::Value::dictionary();
    setText(m, "generator", c.generator);
    setText(m, "api_key", c.apiKey);
    setText(m, "session_id", c.sessionIdentifier);
    m.set("started_at", platform::Value(static_cast<uint64_t>(c.startTime)));
    setText(m, "device_id", c.host.deviceId);
    setText(m, "vendor_id", c.host.vendorId);
    setText(m, "advertising_id", c.host.advertisingId);
    setText(m, "install_id", c.host.installId);
    setText(m, "model", c.host.model);
    setText(m, "machine", c.host.machine);
    setText(m, "locale", c.host.locale);
    setText(m, "os_build", c.host.osBuild);
    setText(m, "os_version", c.host.osVersion);
    setText(m, "platform", c.host.platform);
    setText(m, "cpu", c.host.cpu);
    m.set("platform_code", platform::Value(static_cast<uint64_t>(c.host.platformCode)));
    m.set("cores", platform::Value(static_cast<uint64_t>(c.host.cores)));
    m.set("jailbroken", platform::Value(c.host.jailbroken));
    setText(m, "config", c.build.configuration);
    setText(m, "compiler", c.build.compiler);
    m.set("debug", platform::Value(c.build.debug));
    m.set("arc", platform::Value(c.build.arc));
    m.set("os_max", platform::Value(static_cast<int64_t>(c.build.osVersionFirst)));
    m.set("os_min", platform::Value(static_cast<int64_t>(c.build.osVersionSecond)));
    m.set("bundle_id", VXMExecutableGetBundleIdentifier());
    m.set("bundle_version", VXMExecutableGetBundleVersion());
    m.set("bundle_short_version", VXMExecutableGetShortBundleVersion());
    return m.toJSON();
}

std::optional<std::string> VXMAnalyticsEventKey(const std::string& eventName) {
    if (!VXMContextIsInitialized() || !vxmContext.readOnly) return std::nullopt;
    const char* conversion = vxmContext.readOnly->host.advertisingId;
    const uint64_t item = VXMHostGetiTunesMetadataItemId();
    if (!conversion || !*conversion || item == 0) return std::nullopt;
    const std::string text = conversion + keyConstant() + std::to_string(item) + eventName;
    return VXMHashNSString(text);
}

std::optional<platform::Value> VXMAnalyticsEventArray(platform::UserDefaults& defaults,
                                                      bool installationIsNew,
                                                      std::chrono::system_clock::time_point now) {
    if (!VXMHostConversionTrackingIsEnabled()) return std::nullopt;
    std::optional<std::string> installKey = defaults.stringForKey(VXMAnalyticsInstallEventKey);
    if (!installKey && installationIsNew) {
        installKey = VXMAnalyticsEventKey("Install");
        if (installKey) defaults.setObject(VXMAnalyticsInstallEventKey, *installKey);
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
    auto event = [&](const std::string& key, const char* type) {
        platform::Value e = platform::Value::dictionary();
        e.set("key", key);
        e.set("event_type", type);
        e.set("app_id", platform::Value(VXMHostGetiTunesMetadataItemId()));
        e.set("happened_at", platform::Value(static_cast<int64_t>(seconds.count())));
        e.set("bundle_identifier", VXMExecutableGetBundleIdentifier());
        return e;
    };
    platform::Value events = platform::Value::array();
    if (installKey) events.append(event(*installKey, "Install"));
    if (auto activation = VXMAnalyticsEventKey("Activation"))
        events.append(event(*activation, "Activation"));
    if (events.size() == 0) return std::nullopt;
    return events;
}

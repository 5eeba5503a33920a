#include "reporter/sdk/VXMSettings.h"

#include <cctype>

#include "platform/core/Files.h"
#include "reporter/VXMSafe.h"
#include "reporter/sdk/VXMDefaults.h"
#include "reporter/sdk/VXMFileHelpers.h"
#include "reporter/web/CurlLibrary.h"

namespace {

constexpr uint64_t kDefaultCacheDuration = 3600;
constexpr const char* kAlwaysSendKey = "VexmorAlwaysSendCrashReports";
constexpr const char* kShouldCollectKey = "VexmorShouldCollectCrashReports";

}  // namespace

platform::Value VXMSettings::documentWithExpiry(const platform::Value& document, time_point now) {
    platform::Value copy = document;
    platform::Value section =
        document["settings"].isDictionary() ? document["settings"] : platform::Value::dictionary();
    uint64_t duration = section["cache_duration"].uint64Value(0);
    if (duration == 0) duration = kDefaultCacheDuration;
    section.set("valid_until", platform::Value(now + std::chrono::seconds(duration)));
    copy.set("settings", std::move(section));
    return copy;
}

bool VXMSettings::writeSettings(const platform::Value& document, const std::string& path,
                                time_point now) {
    if (!document.isDictionary() || path.empty()) {
        VXMDebugLog("[Vexmor] Unable to construct settings");
        return false;
    }
    platform::Value stored = documentWithExpiry(document, now);
    auto xml = stored.toPlistXML();
    if (!xml || !VXMWriteFileAtomically(path, *xml)) {
        VXMDebugLog("[Vexmor] Could not write settings out to %s: %s", path.c_str(),
                    stored.description().c_str());
        return false;
    }
    return true;
}

bool VXMSettings::userDesiresReportsAlwaysBeSent() {
    return VXMDefaults().boolForKey(kAlwaysSendKey);
}

void VXMSettings::setUserDesiresReportsAlwaysBeSent(bool always) {
    VXMDefaults().setObject(kAlwaysSendKey, always);
    VXMDebugLog("[Vexmor] [Settings] User has requested that reports %s be sent. Recording.",
                always ? "always" : "not always");
}

std::shared_ptr<const VXMSettings> VXMSettings::initWithCachePath(const std::string& path) {
    // A FIFO or device at the path is no cache.
    std::optional<std::string> bytes = platform::readRegularFile(path);
    if (!bytes) return nullptr;
    auto document = platform::Value::fromPlist(std::string_view(*bytes));
    if (!document || !document->isDictionary()) return nullptr;
    const platform::Value& version = (*document)["settings_version"];
    if (!version.isNumber() || version.doubleValue() != 2) return nullptr;
    return std::make_shared<const VXMSettings>(path, std::move(*document));
}

VXMSettings::VXMSettings(std::string cachePath, platform::Value dictionary)
    : cachePath_(std::move(cachePath)), dictionary_(std::move(dictionary)) {}

bool VXMSettings::isOutdated(time_point now) const {
    const auto* until = settingsDictionary()["valid_until"].ifDate();
    return !until || !(*until > now);
}

std::optional<std::string> VXMSettings::safeURLWithString(const platform::Value& text) {
    const std::string* s = text.ifString();
    if (!s) return std::nullopt;
    CURLU* url = vxmweb::curlLibrary().url();
    bool ok = url && vxmweb::curlLibrary().url_set(url, CURLUPART_URL, s->c_str(), 0) == CURLUE_OK;
    vxmweb::curlLibrary().url_cleanup(url);
    if (!ok) return std::nullopt;
    return *s;
}

std::optional<std::string> VXMSettings::secureURLWithString(const platform::Value& text) {
    auto url = safeURLWithString(text);
    if (!url) return std::nullopt;
    const auto& curl = vxmweb::curlLibrary();
    CURLU* u = curl.url();
    std::string scheme, host;
    for (auto [part, out] :
         {std::pair{CURLUPART_SCHEME, &scheme}, std::pair{CURLUPART_HOST, &host}}) {
        char* value = nullptr;
        if (u && curl.url_set(u, CURLUPART_URL, url->c_str(), 0) == CURLUE_OK &&
            curl.url_get(u, part, &value, 0) == CURLUE_OK)
            *out = value;
        curl.free(value);
    }
    curl.url_cleanup(u);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme == "https") return url;
    // A collector on this machine (tests, or one the user runs) may speak http.
    const bool loopback =
        host == "localhost" || host == "[::1]" ||
        (host.rfind("127.", 0) == 0 && host.find_first_not_of("0123456789.") == std::string::npos);
    if (scheme == "http" && loopback) return url;
    VXMDebugLog("[Vexmor] [Settings] Ignoring a URL that is not https: %s", url->c_str());
    return std::nullopt;
}

bool VXMSettings::appNeedsOnboarding() const {
    return appDictionary()["status"].stringValue() == "new";
}
bool VXMSettings::requiresUpdate() const {
    return appDictionary()["update_required"].boolValue();
}
std::optional<std::string> VXMSettings::appURL() const {
    return secureURLWithString(appDictionary()["url"]);
}
std::optional<std::string> VXMSettings::reportsURL() const {
    return secureURLWithString(appDictionary()["reports_url"]);
}
std::optional<std::string> VXMSettings::settingsURL() const {
    return safeURLWithString(appDictionary()["settings_url"]);
}
std::optional<std::string> VXMSettings::iconHash() const {
    if (const std::string* s = iconDictionary()["hash"].ifString()) return *s;
    return std::nullopt;
}
std::pair<double, double> VXMSettings::iconSize() const {
    const platform::Value& icon = iconDictionary();
    if (!icon["width"].isNumber() || !icon["height"].isNumber()) return {0, 0};
    return {icon["width"].doubleValue(), icon["height"].doubleValue()};
}
bool VXMSettings::iconPrerendered() const {
    return iconDictionary()["prerendered"].boolValue();
}
uint64_t VXMSettings::cacheDuration() const {
    uint64_t d = settingsDictionary()["cache_duration"].uint64Value(0);
    return d ? d : kDefaultCacheDuration;
}
bool VXMSettings::shouldCollectProcesess() const {
    return settingsDictionary()["collect_procesess"].boolValue();
}
int64_t VXMSettings::logBufferSize() const {
    return sessionDictionary()["log_buffer_size"].int64Value();
}
uint64_t VXMSettings::maxCustomKeyValuePairs() const {
    return sessionDictionary()["max_custom_key_value_pairs"].uint64Value();
}
bool VXMSettings::shouldCollectAnalytics() const {
    return featuresDictionary()["collect_analytics"].boolValue();
}
bool VXMSettings::shouldIncludeInteractiveCancelOption() const {
    return promptDictionary()["show_cancel_button"].boolValue();
}
bool VXMSettings::shouldIncludeInteractiveAlwaysSendOption() const {
    return promptDictionary()["show_always_send_button"].boolValue();
}
std::optional<std::string> VXMSettings::analyticsURL() const {
    return secureURLWithString(analyticsDictionary()["url"]);
}
bool VXMSettings::shouldFlushAnalyticsOnBackground() const {
    return analyticsDictionary()["flush_on_background"].boolValue();
}
int64_t VXMSettings::flushIntervalSecs() const {
    return analyticsDictionary()["flush_interval_secs"].int64Value();
}
int64_t VXMSettings::maxFileCountPerSend() const {
    return analyticsDictionary()["max_file_count_per_send"].int64Value();
}
int64_t VXMSettings::maxByteSizePerFile() const {
    return analyticsDictionary()["max_byte_size_per_file"].int64Value();
}
int64_t VXMSettings::maxPendingSendFileCount() const {
    return analyticsDictionary()["max_pending_send_file_count"].int64Value();
}
std::optional<std::string> VXMSettings::betaUpdateEndpoint() const {
    return secureURLWithString(betaDictionary()["update_endpoint"]);
}
int64_t VXMSettings::betaUpdateSuspendDurationSecs() const {
    const platform::Value& v = betaDictionary()["update_suspend_duration"];
    return v.isNumber() ? v.int64Value() : 3600;
}

std::string VXMSettings::promptText(const char* key, const char* fallback) const {
    if (const std::string* s = promptDictionary()[key].ifString()) return *s;
    return fallback;
}
std::string VXMSettings::interactivePromptTitle() const {
    return promptText("title", "Send Crash Report?");
}
std::string VXMSettings::interactivePromptMessage() const {
    return promptText("message",
                      "Looks like we crashed! Please help us fix the problem by sending a crash "
                      "report.");
}
std::string VXMSettings::interactivePromptSendTitle() const {
    return promptText("send_button_title", "Send");
}
std::string VXMSettings::interactivePromptAlwaysSendTitle() const {
    return promptText("always_send_button_title", "Always Send");
}
std::string VXMSettings::interactivePromptCancelTitle() const {
    return promptText("cancel_button_title", "Don't Send");
}

bool VXMSettings::userOptedOut() {
    platform::Value optOut = VXMDefaults().objectForKey(kShouldCollectKey);
    return !optOut.isNull() && !optOut.boolValue(true);
}

bool VXMSettings::shouldCollectCrashReports() const {
    if (userOptedOut()) return false;
    const platform::Value& collect = settingsDictionary()["collect_reports"];
    return collect.isNull() ? true : collect.boolValue();
}

bool VXMSettings::shouldRequestPermissionToSubmit() const {
    return featuresDictionary()["prompt_enabled"].boolValue() && !userDesiresReportsAlwaysBeSent();
}

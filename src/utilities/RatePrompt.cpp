#include "utilities/RatePrompt.h"

#include <langinfo.h>

#include <cctype>
#include <cinttypes>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Logging/LGLogMacros.h"
#include "platform/core/UserDefaults.h"
#include "platform/core/Value.h"
#include "platform/gui/StringTable.h"
#include "reporter/web/VXMWebClient.h"

#ifndef TESSARO_STORE_ENDPOINT
#define TESSARO_STORE_ENDPOINT "https://store.tessaro.invalid"
#endif

using Clock = std::chrono::system_clock;

namespace {

constexpr double kSecondsPerDay = 86400.0;
constexpr double kSecondsPerWeek = 604800.0;
constexpr uint64_t kGamesGenreID = 6014;
constexpr auto kMainWindowRetry = std::chrono::milliseconds(500);

std::mutex gInfoMutex;
RatePrompt::ApplicationInfo gInfo;

// Dates come back from the defaults file as ISO 8601 UTC text.
std::optional<Clock::time_point> dateFromValue(const platform::Value& v) {
    if (const auto* d = v.ifDate()) return *d;
    const auto* s = v.ifString();
    if (!s) return std::nullopt;
    std::tm tm{};
    int year, mon, day, h, m, sec, consumed = 0;
    if (std::sscanf(s->c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &mon, &day, &h, &m, &sec,
                    &consumed) != 6) {
        return std::nullopt;
    }
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = sec;
    long long micros = 0;
    const char* rest = s->c_str() + consumed;
    if (*rest == '.') {
        char* end = nullptr;
        double frac = std::strtod(rest, &end);
        micros = std::llround(frac * 1e6);
        rest = end;
    }
    if (std::string_view(rest) != "Z") return std::nullopt;
    std::time_t t = timegm(&tm);
    return Clock::from_time_t(t) + std::chrono::microseconds(micros);
}

// The country of the user's locale ("en_GB.UTF-8" gives "GB"); "US" when the
// locale names none.
std::string localeCountry() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (!v || !*v) continue;
        std::string s(v);
        auto us = s.find('_');
        if (us == std::string::npos) break;
        std::string country;
        for (size_t i = us + 1; i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]));
             ++i) {
            country += s[i];
        }
        if (country.size() == 2) return country;
        break;
    }
    return "US";
}

void appendUTF8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::optional<uint32_t> hex4(const std::string& s, size_t at) {
    if (at + 4 > s.size()) return std::nullopt;
    uint32_t v = 0;
    for (size_t i = at; i < at + 4; ++i) {
        char c = s[i];
        v <<= 4;
        if (c >= '0' && c <= '9') {
            v |= static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            v |= static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            v |= static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
    }
    return v;
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) {
        s.replace(at, from.size(), to);
    }
}

std::string trimWhite(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// Numeric comparison of dotted versions: true when `a` is newer than `b`.
bool versionIsNewer(const std::string& a, const std::string& b) {
    auto parts = [](const std::string& v) {
        std::vector<long long> out;
        size_t at = 0;
        while (at <= v.size()) {
            size_t dot = v.find('.', at);
            std::string piece =
                v.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
            out.push_back(std::atoll(piece.c_str()));
            if (dot == std::string::npos) break;
            at = dot + 1;
        }
        return out;
    };
    auto pa = parts(a), pb = parts(b);
    size_t n = std::max(pa.size(), pb.size());
    pa.resize(n, 0);
    pb.resize(n, 0);
    return pa > pb;
}

// GET over the web client: certificates checked, no redirects for anything
// but GET, and no hang (the transport ends a stalled transfer).
RatePrompt::FetchResult webFetch(const std::string& url, double timeoutSeconds) {
    RatePrompt::FetchResult result;
    VXMWebClient client(url);
    auto request = VXMWebRequest::requestWithMethod("GET", "");
    request->setURL(url);
    request->setTimeoutInterval(timeoutSeconds);
    client.syncStartRequest(request, [&](const std::shared_ptr<VXMWebResponse>& response) {
        if (!response) {
            result.error = platform::Error{kRatePromptErrorDomain, 0, ""};
            return;
        }
        if (response->error()) {
            result.error = *response->error();
            return;
        }
        const auto& data = response->responseData();
        result.body = std::string(data.begin(), data.end());
    });
    return result;
}

// The application delegate answers none of the prompt's messages.
RatePromptDelegate& defaultDelegate() {
    static RatePromptDelegate d;
    return d;
}

}  // namespace

std::string RatePrompt::defaultLookupBaseURL() {
    return TESSARO_STORE_ENDPOINT;
}

bool RatePrompt::lookupIsConfigured() const {
    // The host ends where the authority does: before a port, path or query.
    const size_t start = lookupBaseURL.find("://");
    if (start == std::string::npos) return false;
    std::string host = lookupBaseURL.substr(start + 3);
    host = host.substr(0, host.find_first_of("/?#"));
    host = host.substr(host.rfind('@') == std::string::npos ? 0 : host.rfind('@') + 1);
    if (!host.empty() && host.front() != '[') host = host.substr(0, host.find(':'));
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!host.empty() && host.back() == '.') host.pop_back();
    return !host.empty() && !host.ends_with(".invalid") && host != "invalid";
}

void RatePrompt::setApplicationInfo(ApplicationInfo info) {
    std::lock_guard lk(gInfoMutex);
    gInfo = std::move(info);
}

RatePrompt& RatePrompt::sharedInstance() {
    static RatePrompt* instance = [] {
        std::lock_guard lk(gInfoMutex);
        return new RatePrompt(gInfo, platform::UserDefaults::standard());
    }();
    return *instance;
}

RatePrompt::RatePrompt(ApplicationInfo info, platform::UserDefaults& defaults,
                       platform::Clock& clock)
    : appStoreCountry(localeCountry()),
      applicationVersion(std::move(info.version)),
      applicationName(std::move(info.name)),
      applicationBundleID(std::move(info.bundleID)),
      defaults_(defaults),
      clock_(clock),
      fetcher_(webFetch),
      lookupQueue_(platform::DispatchQueue::serial("RatePrompt.lookup")),
      alive_(std::make_shared<RatePrompt*>(this)) {
    const char* fromEnvironment = std::getenv(kRatePromptStoreEndpointKey);
    const platform::Value fromDefaults = defaults_.objectForKey(kRatePromptStoreEndpointKey);
    if (fromEnvironment && *fromEnvironment) {
        lookupBaseURL = fromEnvironment;
    } else if (const std::string* text = fromDefaults.ifString(); text && !text->empty()) {
        lookupBaseURL = *text;
    } else {
        lookupBaseURL = defaultLookupBaseURL();
    }
    while (lookupBaseURL.ends_with('/')) lookupBaseURL.pop_back();
}

RatePrompt::~RatePrompt() {
    *alive_ = nullptr;
    waitForLookup();
}

void RatePrompt::log(const std::string& line) const {
    if (logger_) {
        logger_(line);
    } else {
        LGLogWarn("%s", line.c_str());
    }
}

RatePromptDelegate& RatePrompt::delegate() {
    return delegate_ ? *delegate_ : defaultDelegate();
}

// ---- stored state -----------------------------------------------------------

std::optional<Clock::time_point> RatePrompt::firstUsed() const {
    return dateFromValue(defaults_.objectForKey(kRatePromptFirstUsedKey));
}

std::optional<Clock::time_point> RatePrompt::lastReminded() const {
    return dateFromValue(defaults_.objectForKey(kRatePromptLastRemindedKey));
}

void RatePrompt::setLastReminded(std::optional<Clock::time_point> date) {
    if (date) {
        defaults_.setObject(kRatePromptLastRemindedKey, platform::Value(*date));
    } else {
        defaults_.removeObjectForKey(kRatePromptLastRemindedKey);
    }
}

unsigned RatePrompt::usesCount() const {
    return static_cast<unsigned>(defaults_.integerForKey(kRatePromptUseCountKey));
}

void RatePrompt::setUsesCount(unsigned count) {
    defaults_.setObject(kRatePromptUseCountKey, platform::Value(static_cast<int64_t>(count)));
}

unsigned RatePrompt::eventCount() const {
    return static_cast<unsigned>(defaults_.integerForKey(kRatePromptEventCountKey));
}

void RatePrompt::setEventCount(unsigned count) {
    defaults_.setObject(kRatePromptEventCountKey, platform::Value(static_cast<int64_t>(count)));
}

float RatePrompt::usesPerWeek() const {
    auto first = firstUsed();
    double since = first ? std::chrono::duration<double>(clock_.now() - *first).count() : 0.0;
    return static_cast<float>(usesCount() / (since / kSecondsPerWeek));
}

bool RatePrompt::declinedThisVersion() const {
    return defaults_.stringForKey(kRatePromptDeclinedVersionKey) == applicationVersion;
}

void RatePrompt::setDeclinedThisVersion(bool declined) {
    if (declined) {
        defaults_.setObject(kRatePromptDeclinedVersionKey, platform::Value(applicationVersion));
    } else {
        defaults_.removeObjectForKey(kRatePromptDeclinedVersionKey);
    }
}

bool RatePrompt::declinedAnyVersion() const {
    auto v = defaults_.stringForKey(kRatePromptDeclinedVersionKey);
    return v && !v->empty();
}

bool RatePrompt::ratedThisVersion() const {
    return defaults_.stringForKey(kRatePromptRatedVersionCheckedKey) == applicationVersion;
}

void RatePrompt::setRatedThisVersion(bool rated) {
    if (rated) {
        defaults_.setObject(kRatePromptRatedVersionCheckedKey, platform::Value(applicationVersion));
    } else {
        defaults_.removeObjectForKey(kRatePromptRatedVersionCheckedKey);
    }
}

bool RatePrompt::ratedAnyVersion() const {
    auto v = defaults_.stringForKey(kRatePromptRatedVersionCheckedKey);
    return v && !v->empty();
}

// ---- texts ------------------------------------------------------------------

std::string RatePrompt::withName(const std::string& text) const {
    std::string out = text;
    replaceAll(out, "%@", applicationName);
    return out;
}

namespace {
// The application's own table overrides the prompt's built-in text.
std::string promptText(const char* key, const char* fallback) {
    return platform::localizedString(key, platform::kMainStringTable, fallback);
}
}  // namespace

std::string RatePrompt::messageTitleText() const {
    return withName(messageTitle ? *messageTitle : promptText("RatePromptMessageTitle", "Rate %@"));
}

std::string RatePrompt::messageText() const {
    if (message) return withName(*message);
    if (appStoreGenreID == kGamesGenreID) {
        return withName(promptText("RatePromptGameMessage",
                                   "If you enjoy playing %@, would you mind taking a moment to "
                                   "rate it? It won\u2019t take more than a minute. Thanks for "
                                   "your support!"));
    }
    return withName(promptText("RatePromptAppMessage",
                               "If you enjoy using %@, would you mind taking a moment to rate "
                               "it? It won\u2019t take more than a minute. Thanks for your "
                               "support!"));
}

std::string RatePrompt::cancelButtonText() const {
    return withName(cancelButtonLabel ? *cancelButtonLabel
                                      : promptText("RatePromptCancelButton", "No, Thanks"));
}

std::string RatePrompt::rateButtonText() const {
    return withName(rateButtonLabel ? *rateButtonLabel
                                    : promptText("RatePromptRateButton", "Rate It Now"));
}

std::string RatePrompt::remindButtonText() const {
    return withName(remindButtonLabel ? *remindButtonLabel
                                      : promptText("RatePromptRemindButton", "Remind Me Later"));
}

void RatePrompt::warnIfStoreIDIsMissing() const {
    if (ratingsURL || appStoreID != 0) return;
    log("RatePrompt could not find the App Store ID for this application. If the application "
        "is not intended for App Store release then you must specify a custom ratingsURL.");
}

std::string RatePrompt::ratingsURLText() {
    if (ratingsURL) return *ratingsURL;
    warnIfStoreIDIsMissing();
    // The desktop's software centre shows the application's page for its
    // component id.
    return "appstream://" + applicationBundleID;
}

std::string RatePrompt::lookupURL() const {
    std::string url =
        lookupBaseURL + "/" + VXMWebClient::escapeURLString(appStoreCountry) + "/lookup";
    if (appStoreID) {
        url += "?id=" + std::to_string(appStoreID);
    } else {
        url += "?bundleId=" + VXMWebClient::escapeURLString(applicationBundleID);
    }
    return url;
}

// ---- decisions ----------------------------------------------------------------

void RatePrompt::applicationLaunched() {
    if (defaults_.stringForKey(kRatePromptLastVersionUsedKey) != applicationVersion) {
        defaults_.setObject(kRatePromptLastVersionUsedKey, platform::Value(applicationVersion));
        defaults_.setObject(kRatePromptFirstUsedKey, platform::Value(clock_.now()));
        setUsesCount(0);
        setEventCount(0);
        setLastReminded(std::nullopt);
        delegate().ratePromptDidDetectAppUpdate();
    }
    setUsesCount(usesCount() + 1);
    if (promptAtLaunch && shouldPromptForRating()) promptIfNetworkAvailable();
}

void RatePrompt::logEvent(bool deferPrompt) {
    setEventCount(eventCount() + 1);
    if (!deferPrompt && shouldPromptForRating()) promptIfNetworkAvailable();
}

bool RatePrompt::shouldPromptForRating() {
    auto no = [&](const std::string& reason) {
        if (verboseLogging) log(reason);
        return false;
    };
    char buf[256];
    if (previewMode) {
        log("RatePrompt preview mode is enabled - make sure you disable this for release");
        return true;
    }
    if (ratedThisVersion()) {
        return no(
            "RatePrompt did not prompt for rating because the user has already rated this "
            "version");
    }
    if (ratedAnyVersion() && !promptAgainForEachNewVersion) {
        return no(
            "RatePrompt did not prompt for rating because the user has already rated this "
            "app, and promptAgainForEachNewVersion is disabled");
    }
    if (declinedThisVersion()) {
        return no(
            "RatePrompt did not prompt for rating because the user has declined to rate this "
            "version");
    }
    auto first = firstUsed();
    if (!first && (daysUntilPrompt > 0.0f || usesPerWeekForPrompt != 0.0f)) {
        return no(
            "RatePrompt did not prompt for rating because this is the first time the app has "
            "been launched");
    }
    const auto now = clock_.now();
    if (first &&
        std::chrono::duration<double>(now - *first).count() < daysUntilPrompt * kSecondsPerDay) {
        std::snprintf(buf, sizeof buf,
                      "RatePrompt did not prompt for rating because the app was first used less "
                      "than %g days ago",
                      static_cast<double>(daysUntilPrompt));
        return no(buf);
    }
    if (usesCount() < usesUntilPrompt && eventCount() < eventsUntilPrompt) {
        std::snprintf(buf, sizeof buf,
                      "RatePrompt did not prompt for rating because the app has only been used %i "
                      "times and only %i events have been logged",
                      static_cast<int>(usesCount()), static_cast<int>(eventCount()));
        return no(buf);
    }
    if (usesPerWeek() < usesPerWeekForPrompt) {
        std::snprintf(buf, sizeof buf,
                      "RatePrompt did not prompt for rating because the app has only been used %g "
                      "times per week on average since it was installed",
                      static_cast<double>(usesPerWeek()));
        return no(buf);
    }
    auto reminded = lastReminded();
    if (reminded &&
        std::chrono::duration<double>(now - *reminded).count() < remindPeriod * kSecondsPerDay) {
        std::snprintf(buf, sizeof buf,
                      "RatePrompt did not prompt for rating because the user last asked to be "
                      "reminded less than %g days ago",
                      static_cast<double>(remindPeriod));
        return no(buf);
    }
    return true;
}

// ---- the lookup -------------------------------------------------------------

void RatePrompt::promptIfNetworkAvailable() {
    if (!lookupIsConfigured()) {
        log("RatePrompt did not look the application up: no store endpoint is configured (" +
            std::string(kRatePromptStoreEndpointKey) + ")");
        return;
    }
    bool expected = false;
    if (!currentlyChecking_.compare_exchange_strong(expected, true)) return;
    lookupQueue_->async([this] { checkForConnectivityInBackground(); });
}

void RatePrompt::waitForLookup() {
    lookupQueue_->sync([] {});
}

void RatePrompt::checkForConnectivityInBackground() {
    std::lock_guard lk(lookupMutex_);
    // Configuration is read here and only written on the main thread while no
    // lookup runs (currentlyChecking); results go back by posting.
    const std::string url = lookupURL();
    const std::string bundleID = applicationBundleID;
    const std::string version = applicationVersion;
    uint64_t storeID = appStoreID;
    const uint64_t genreID = appStoreGenreID;
    const bool latestOnly = onlyPromptIfLatestVersion && !previewMode;
    const bool preview = previewMode;

    std::optional<platform::Error> error;
    std::optional<uint64_t> newGenre, newStoreID;
    FetchResult fetched;
    try {
        fetched = fetcher_(url, 60.0);
    } catch (const std::exception& e) {
        fetched.error = platform::Error{"RatePromptErrorDomain", 0, e.what()};
    }
    error = fetched.error;
    if (fetched.body && !error) {
        const std::string& json = *fetched.body;
        auto foundID = valueForKeyInJSON("bundleId", json);
        if (foundID && *foundID == bundleID) {
            if (genreID == 0) {
                if (auto g = valueForKeyInJSON("primaryGenreId", json)) {
                    newGenre = std::strtoull(g->c_str(), nullptr, 10);
                }
            }
            if (storeID == 0) {
                if (auto t = valueForKeyInJSON("trackId", json)) {
                    storeID = std::strtoull(t->c_str(), nullptr, 10);
                    newStoreID = storeID;
                }
            }
            if (latestOnly) {
                auto storeVersion = valueForKeyInJSON("version", json);
                if (storeVersion && versionIsNewer(*storeVersion, version)) {
                    error = platform::Error{kRatePromptErrorDomain,
                                            kRatePromptErrorApplicationIsNotLatestVersion,
                                            "Installed app is not the latest version available"};
                }
            }
        } else if (foundID) {
            error = platform::Error{
                kRatePromptErrorDomain, kRatePromptErrorBundleIdDoesNotMatchAppStore,
                "Application bundle ID does not match expected value of " + *foundID};
        } else if (storeID) {
            error = platform::Error{kRatePromptErrorDomain,
                                    kRatePromptErrorApplicationNotFoundOnAppStore,
                                    "The application could not be found on the App Store."};
        }
    }
    if (error && error->domain == platform::kPOSIXErrorDomain && error->code == 1 && storeID) {
        error.reset();
    }

    std::weak_ptr<RatePrompt*> alive = alive_;
    platform::mainQueue()->async([alive, error, newGenre, newStoreID, storeID, preview] {
        auto p = alive.lock();
        if (!p || !*p) return;
        RatePrompt& self = **p;
        if (newGenre) self.appStoreGenreID = *newGenre;
        if (newStoreID) self.appStoreID = *newStoreID;
        if (error) {
            self.connectionError(error);
        } else if (storeID || preview) {
            self.connectionSucceeded();
        } else {
            // The store does not know the application: no alert, only the
            // warning its ratings page would give.
            self.currentlyChecking_ = false;
            self.warnIfStoreIDIsMissing();
        }
    });
}

void RatePrompt::connectionSucceeded() {
    currentlyChecking_ = false;
    if (!delegate().ratePromptShouldPromptForRating()) return;
    promptForRating();
}

void RatePrompt::connectionError(const std::optional<platform::Error>& error) {
    currentlyChecking_ = false;
    if (error && !error->description.empty()) {
        log("RatePrompt rating process failed because: " + error->description);
    } else {
        log("RatePrompt rating process failed because an unknown error occured");
    }
    delegate().ratePromptCouldNotConnectToAppStore(error ? *error : platform::Error{});
}

// ---- the alert ----------------------------------------------------------------

void RatePrompt::promptForRating() {
    if (alertVisible_ || !presenter_) return;
    if (onlyPromptIfMainWindowIsAvailable && !presenter_->hasMainWindow()) {
        std::weak_ptr<RatePrompt*> alive = alive_;
        platform::dispatchAfter(
            kMainWindowRetry, platform::mainQueue(),
            [alive] {
                if (auto p = alive.lock(); p && *p) (*p)->promptForRating();
            },
            clock_);
        return;
    }
    RatePromptPresenter::AlertTexts texts{messageTitleText(), messageText(), rateButtonText(),
                                          cancelButtonText(), remindButtonText()};
    alertVisible_ = true;
    std::weak_ptr<RatePrompt*> alive = alive_;
    presenter_->showAlert(texts, [alive](RatePromptPresenter::Response response) {
        auto p = alive.lock();
        if (!p || !*p) return;
        RatePrompt& self = **p;
        switch (response) {
            case RatePromptPresenter::Response::Rate:
                self.setRatedThisVersion(true);
                self.delegate().ratePromptUserDidAttemptToRateApp();
                if (self.delegate().ratePromptShouldOpenAppStore())
                    self.openRatingsPageInAppStore();
                break;
            case RatePromptPresenter::Response::Decline:
                self.setDeclinedThisVersion(true);
                self.delegate().ratePromptUserDidDeclineToRateApp();
                break;
            case RatePromptPresenter::Response::Remind:
                self.setLastReminded(self.clock_.now());
                self.delegate().ratePromptUserDidRequestReminderToRateApp();
                break;
        }
        self.alertVisible_ = false;
    });
}

void RatePrompt::openRatingsPageInAppStore() {
    std::string url = ratingsURLText();
    if (presenter_) presenter_->openURL(url);
}

// ---- the JSON text scan -------------------------------------------------------

std::optional<std::string> RatePrompt::valueForKeyInJSON(const std::string& key,
                                                         const std::string& json) {
    size_t keyAt = json.find("\"" + key + "\"");
    if (keyAt == std::string::npos) return std::nullopt;
    size_t colon = json.find(':', keyAt + key.size() + 2);
    if (colon == std::string::npos) return std::nullopt;
    size_t comma = json.find(',', colon + 1);
    if (comma == std::string::npos) return std::nullopt;
    std::string value = trimWhite(json.substr(colon + 1, comma - colon - 1));
    // A string value may hold commas: extend it until it closes.
    auto closed = [](const std::string& v) { return v.size() >= 2 && v.back() == '"'; };
    while (!value.empty() && value.front() == '"' && !closed(value)) {
        size_t next = json.find(',', comma + 1);
        if (next == std::string::npos) break;
        value = trimWhite(json.substr(colon + 1, next - colon - 1));
        comma = next;
    }
    while (!value.empty() && value.front() == '"') value.erase(0, 1);
    while (!value.empty() && value.back() == '"') value.pop_back();

    replaceAll(value, "\\\\", "\\");
    replaceAll(value, "\\/", "/");
    replaceAll(value, "\\\"", "\"");
    replaceAll(value, "\\n", "\n");
    replaceAll(value, "\\r", "\r");
    replaceAll(value, "\\t", "\t");
    replaceAll(value, "\\f", "\f");
    replaceAll(value, "\\b", "\b");
    // \uXXXX: a surrogate pair becomes one character, a lone surrogate U+FFFD,
    // so the result is always valid UTF-8.
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size();) {
        if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 'u') {
            if (auto unit = hex4(value, i + 2)) {
                uint32_t cp = *unit;
                size_t used = 6;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    auto low = (i + 7 < value.size() && value[i + 6] == '\\' && value[i + 7] == 'u')
                                   ? hex4(value, i + 8)
                                   : std::nullopt;
                    if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
                        used = 12;
                    } else {
                        cp = 0xFFFD;
                    }
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    cp = 0xFFFD;
                }
                appendUTF8(out, cp);
                i += used;
                continue;
            }
        }
        out += value[i++];
    }
    return out;
}

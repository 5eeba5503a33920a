#include <openssl/evp.h>
#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/core/Console.h"
#include "platform/core/XdgPaths.h"
#include "run/RunInfo.h"
#include "run/RunTool.h"

extern char** environ;

namespace run {
namespace {

bool gDebug = false;

std::vector<std::string>& cleanupPaths() {
    static std::vector<std::string> paths;
    return paths;
}

// A termination signal ends the tool as its failures do, without its
// leftovers (a dSYM zip of the upload under way): the paths are removed with
// async-signal-safe calls only (a file, or an emptied directory), then the
// signal ends the process as it would have.
volatile sig_atomic_t gCleaning = 0;

void removeOnSignal(int sig) {
    if (!gCleaning) {
        gCleaning = 1;
        for (const auto& path : cleanupPaths()) {
            if (::unlink(path.c_str()) != 0) ::rmdir(path.c_str());
        }
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// The signals blocked while the list changes, so the handler never sees it
// half updated.
struct SignalsBlocked {
    sigset_t old{};
    SignalsBlocked() {
        static std::once_flag installed;
        std::call_once(installed, [] {
            struct sigaction action {};
            action.sa_handler = removeOnSignal;
            sigemptyset(&action.sa_mask);
            for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
        });
        sigset_t all;
        sigemptyset(&all);
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&all, sig);
        pthread_sigmask(SIG_BLOCK, &all, &old);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
};

[[gnu::format(printf, 1, 0)]] std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) return format;
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string hex(const unsigned char* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0xF]);
    }
    return out;
}

std::string digestHex(const EVP_MD* md, std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(bytes.data(), bytes.size(), digest, &length, md, nullptr)) return {};
    return hex(digest, length);
}

// Decodes one UTF-8 sequence at `i`; false for an invalid one.
bool nextCodePoint(std::string_view text, size_t* i, uint32_t* cp) {
    unsigned char c = static_cast<unsigned char>(text[*i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || *i + static_cast<size_t>(extra) >= text.size() + (extra == 0 ? 1 : 0))
        return false;
    uint32_t v = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        unsigned char n = static_cast<unsigned char>(text[*i + static_cast<size_t>(k)]);
        if ((n & 0xC0) != 0x80) return false;
        v = (v << 6) | (n & 0x3F);
    }
    static constexpr uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (v < kMinimum[extra] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    *i += static_cast<size_t>(extra) + 1;
    *cp = v;
    return true;
}

// The platform's system log call: the system log, and standard error too.
void systemLog(const std::string& text) {
    syslog(LOG_NOTICE, "%s", text.c_str());
    platform::consoleLogText(text);
}

}  // namespace

void VXMLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    systemLog("\n\nVexmor: " + text);
}

void plainLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    systemLog(text);
}

void failWithTitleAndReason(const std::string& title, const std::string& reason) {
    VXMLog("%s\n\n%s", title.c_str(), reason.c_str());
    exitTool(1);
}

void exitTool(int status) {
    SignalsBlocked blocked;
    for (const auto& path : cleanupPaths()) {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    cleanupPaths().clear();
    std::fflush(nullptr);
    std::exit(status);
}

void removeOnExit(const std::string& path) {
    SignalsBlocked blocked;
    cleanupPaths().push_back(path);
}

void keepOnExit(const std::string& path) {
    SignalsBlocked blocked;
    auto& paths = cleanupPaths();
    std::erase(paths, path);
}

bool debugEnabled() {
    return gDebug;
}
void setDebugEnabled(bool enabled) {
    gDebug = enabled;
}

int64_t integerValue(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (!negative && value > (INT64_MAX - digit) / 10) return INT64_MAX;
        if (negative && value < (INT64_MIN + digit) / 10) return INT64_MIN;
        value = negative ? value * 10 - digit : value * 10 + digit;
    }
    return value;
}

bool boolValue(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    if (i == text.size()) return false;
    char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::optional<size_t> utf16Length(std::string_view text) {
    size_t units = 0;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        if (!nextCodePoint(text, &i, &cp)) return std::nullopt;
        units += cp >= 0x10000 ? 2 : 1;
    }
    return units;
}

bool isPropertyListText(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        if (!nextCodePoint(text, &i, &cp)) return false;
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || cp == 0xFFFE || cp == 0xFFFF)
            return false;
    }
    return true;
}

std::string printableText(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t start = i;
        uint32_t cp = 0;
        bool valid = nextCodePoint(text, &i, &cp);
        if (!valid) ++i;
        bool control = cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F);
        if (!valid || control)
            out += '?';
        else
            out.append(text.substr(start, i - start));
    }
    return out;
}

bool containsControlCharacters(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        if (!nextCodePoint(text, &i, &cp)) {
            // Raw bytes: judge each by itself.
            unsigned char c = static_cast<unsigned char>(text[i++]);
            if (c < 0x20 || c == 0x7F) return true;
            continue;
        }
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) return true;
    }
    return false;
}

std::string joinPath(const std::string& a, const std::string& b) {
    return a + "/" + b;
}

std::string md5Hex(std::string_view bytes) {
    return digestHex(EVP_md5(), bytes);
}
std::string sha1Hex(std::string_view bytes) {
    return digestHex(EVP_sha1(), bytes);
}

std::string newUUIDString() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    return text;
}

const platform::Value& toolInfo() {
    static const platform::Value info =
        platform::Value::fromPlist(std::string_view(kToolInfoPlist)).value_or(platform::Value());
    return info;
}

std::string toolShortVersion() {
    return toolInfo()["CFBundleShortVersionString"].stringValue();
}
std::string toolBuildVersion() {
    return toolInfo()["CFBundleVersion"].stringValue();
}

std::string toolBundlePath() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path(ec).string();
    return exe.parent_path().string();
}

std::string defaultAPIOrigin(const Environment& environment) {
    if (hasSetting(environment, "VEXMOR_API_ORIGIN")) {
        std::string origin = *setting(environment, "VEXMOR_API_ORIGIN");
        while (!origin.empty() && origin.back() == '/') origin.pop_back();
        return origin;
    }
    return kDefaultAPIOrigin;
}

bool isValidAPIKey(std::string_view key) {
    // Control characters would end up in request headers and URLs.
    return utf16Length(key) == 40u && !containsControlCharacters(key);
}

std::string buildSecretFromArgument(const char* argument) {
    if (!argument) return {};
    std::string_view secret(argument);
    if (secret.size() != 64 || containsControlCharacters(secret)) return {};
    return std::string(secret);
}

namespace {

// The argument domain: "-debug <value>"; the last one wins.
std::optional<bool> debugArgument(int argc, const char* const* argv) {
    std::optional<bool> debug;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string_view(argv[i]) == "-debug") debug = boolValue(argv[i + 1]);
    return debug;
}

}  // namespace

bool debugFromArguments(int argc, const char* const* argv) {
    return debugArgument(argc, argv).value_or(false);
}

bool debugFromUserDefaults(int argc, const char* const* argv,
                           const platform::UserDefaults& stored) {
    if (auto argument = debugArgument(argc, argv)) return *argument;
    platform::Value value = stored.objectForKey("debug");
    // A text such as "YES" counts as the platform's strings do.
    if (const std::string* text = value.ifString()) return boolValue(*text);
    return value.boolValue(false);
}

const platform::UserDefaults& toolUserDefaults() {
    static const platform::UserDefaults defaults(platform::xdgConfigHome() + "/" +
                                                 kToolBundleIdentifier + "/defaults.json");
    return defaults;
}

Environment readEnvironment() {
    Environment environment;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        size_t eq = entry.find('=');
        if (eq == std::string_view::npos) continue;
        environment.emplace(std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
    }
    return environment;
}

const std::string* setting(const Environment& environment, const std::string& name) {
    auto it = environment.find(name);
    return it == environment.end() ? nullptr : &it->second;
}

bool hasSetting(const Environment& environment, const std::string& name) {
    const std::string* value = setting(environment, name);
    return value && !value->empty();
}

}  // namespace run

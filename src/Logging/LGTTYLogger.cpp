#include "Logging/LGTTYLogger.h"

#include <strings.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Logging/LGTimestamp.h"
#include "platform/core/Console.h"

namespace {

constexpr char kEsc = '\033';

struct Rgb {
    int r, g, b;
};

const Rgb kPalette16[16] = {
    {0, 0, 0},       {194, 54, 33},  {37, 188, 36},  {173, 173, 39},
    {73, 46, 225},   {211, 56, 211}, {51, 187, 200}, {203, 204, 205},
    {129, 131, 131}, {252, 57, 31},  {49, 231, 34},  {234, 236, 35},
    {88, 51, 255},   {249, 53, 248}, {20, 240, 240}, {233, 235, 235},
};

// Colour numbers 16-255: the first entries as measured on a terminal, the
// rest the usual cube (levels 0, 95, 135, ..., 255) and grey ramp.
Rgb paletteColor256(int n) {
    static const Rgb measured[] = {{47, 49, 49}, {60, 42, 144}, {66, 44, 183}, {73, 46, 222}};
    if (n >= 16 && n < 20) return measured[n - 16];
    if (n >= 232) {
        int v = 8 + 10 * (n - 232);
        return {v, v, v};
    }
    static const int level[6] = {0, 95, 135, 175, 215, 255};
    int i = n - 16;
    return {level[i / 36], level[(i / 6) % 6], level[i % 6]};
}

bool containsNoCase(const char* hay, const char* needle) {
    size_t n = std::strlen(needle);
    for (const char* p = hay; *p; ++p)
        if (strncasecmp(p, needle, n) == 0) return true;
    return false;
}

std::atomic<bool> sharedMade{false};

}  // namespace

// ---- Terminal ----------------------------------------------------------------

LGTTYTerminal LGTTYTerminal::detect(const char* term, const char* xcodeColors) {
    LGTTYTerminal t;
    if (term) {
        t.isaColorTTY = containsNoCase(term, "color");
    } else {
        t.isaXcodeColorTTY = xcodeColors && std::strcmp(xcodeColors, "YES") == 0;
    }
    if (!t.isaColorTTY) return t;
    char buf[24];
    if (std::strstr(term, "256")) {
        for (int n = 16; n < 256; ++n) {
            std::snprintf(buf, sizeof buf, "38;5;%dm", n);
            t.codes_fg.emplace_back(buf);
            std::snprintf(buf, sizeof buf, "48;5;%dm", n);
            t.codes_bg.emplace_back(buf);
            Rgb c = paletteColor256(n);
            t.colors.push_back(LGColor::rgb(c.r, c.g, c.b));
        }
    } else {
        for (int i = 0; i < 16; ++i) {
            std::snprintf(buf, sizeof buf, "%s3%dm", i < 8 ? "" : "1;", i % 8);
            t.codes_fg.emplace_back(buf);
            std::snprintf(buf, sizeof buf, "%s4%dm", i < 8 ? "" : "1;", i % 8);
            t.codes_bg.emplace_back(buf);
            t.colors.push_back(LGColor::rgb(kPalette16[i].r, kPalette16[i].g, kPalette16[i].b));
        }
    }
    if (t.codes_fg.size() != t.colors.size() || t.codes_bg.size() != t.colors.size())
        lg::assertionFailure("Invalid colors/codes array(s)");
    return t;
}

const LGTTYTerminal& LGTTYTerminal::current() {
    static const auto* t = new LGTTYTerminal(detect(getenv("TERM"), getenv("XcodeColors")));
    return *t;
}

std::size_t LGTTYTerminal::codeIndexForColor(const LGColor& color) const {
    double best = 100.0;
    std::size_t bestIndex = 0;
    for (std::size_t i = 0; i < colors.size(); ++i) {
        const LGColor& c = colors[i];
        double d = std::sqrt((c.red - color.red) * (c.red - color.red) +
                             (c.green - color.green) * (c.green - color.green) +
                             (c.blue - color.blue) * (c.blue - color.blue));
        if (d < best) {  // only a strictly closer entry wins
            best = d;
            bestIndex = i;
        }
    }
    return bestIndex;
}

// ---- Profiles ----------------------------------------------------------------

LGTTYLoggerColorProfile::LGTTYLoggerColorProfile(const LGTTYTerminal& terminal,
                                                 std::optional<LGColor> fg,
                                                 std::optional<LGColor> bg, int flag, int ctx)
    : mask(flag), context(ctx) {
    auto component = [](double v) { return static_cast<std::uint8_t>(v * 255); };
    auto code = [&](const std::optional<LGColor>& c, const std::vector<std::string>& codes,
                    const char* xcodeKind, std::size_t& index, std::string& raw, std::string& out) {
        if (!c) return;
        if (terminal.isaColorTTY) {
            index = terminal.codeIndexForColor(*c);
            raw = index < codes.size() ? codes[index] : std::string();
            out = std::string(1, kEsc) + "[" + raw;
        } else if (terminal.isaXcodeColorTTY) {
            char buf[24];
            std::snprintf(buf, sizeof buf, "%c[%s%u,%u,%u;", kEsc, xcodeKind, component(c->red),
                          component(c->green), component(c->blue));
            out = buf;
        }
    };
    if (fg) fg_r = component(fg->red), fg_g = component(fg->green), fg_b = component(fg->blue);
    if (bg) bg_r = component(bg->red), bg_g = component(bg->green), bg_b = component(bg->blue);
    code(fg, terminal.codes_fg, "fg", fgCodeIndex, fgCodeRaw, fgCode);
    code(bg, terminal.codes_bg, "bg", bgCodeIndex, bgCodeRaw, bgCode);
    if (terminal.isaColorTTY)
        resetCode = std::string(1, kEsc) + "[0m";
    else if (terminal.isaXcodeColorTTY)
        resetCode = std::string(1, kEsc) + "[;";
}

std::string LGTTYLoggerColorProfile::description() const {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "<LGTTYLoggerColorProfile: %p mask:%i ctxt:%i fg:%u,%u,%u bg:%u,%u,%u "
                  "fgCode:%s bgCode:%s>",
                  static_cast<const void*>(this), mask, context, fg_r, fg_g, fg_b, bg_r, bg_g, bg_b,
                  fgCodeRaw.c_str(), bgCodeRaw.c_str());
    return buf;
}

// ---- Sink ------------------------------------------------------------------

LGTTYLogger::LGTTYLogger(LGTTYTerminal terminal, int fd, std::string appName, int processID)
    : LGAbstractLogger("tessaro.logging.ttyLogger"),
      terminal_(std::move(terminal)),
      fd_(fd),
      app_(std::move(appName)),
      pid_(std::to_string(processID)) {
    colorProfilesArray_.reserve(8);
}

const std::shared_ptr<LGTTYLogger>& LGTTYLogger::sharedInstance() {
    static auto* instance = [] {
        sharedMade = true;
        return new std::shared_ptr<LGTTYLogger>(new LGTTYLogger(
            LGTTYTerminal::current(), STDERR_FILENO, program_invocation_short_name, getpid()));
    }();
    return *instance;
}

std::shared_ptr<LGTTYLogger> LGTTYLogger::make() {
    if (sharedMade) return nullptr;
    return sharedInstance();
}

std::shared_ptr<LGTTYLogger> LGTTYLogger::makeWithTerminal(LGTTYTerminal terminal, int fd,
                                                           std::string appName, int processID) {
    return std::shared_ptr<LGTTYLogger>(
        new LGTTYLogger(std::move(terminal), fd, std::move(appName), processID));
}

bool LGTTYLogger::colorsEnabled() {
    return readSetting([this] { return colorsEnabled_; });
}

void LGTTYLogger::setColorsEnabled(bool enabled) {
    changeSetting([this, enabled] {
        colorsEnabled_ = enabled;
        if (colorProfilesArray_.empty()) loadDefaultColorProfiles();
    });
}

void LGTTYLogger::loadDefaultColorProfiles() {
    colorProfilesArray_.push_back(std::make_shared<LGTTYLoggerColorProfile>(
        terminal_, LGColor::rgb(214, 57, 30), std::nullopt, lg::kLogFlagError, 0));
    colorProfilesArray_.push_back(std::make_shared<LGTTYLoggerColorProfile>(
        terminal_, LGColor::rgb(204, 121, 32), std::nullopt, lg::kLogFlagWarn, 0));
}

void LGTTYLogger::setForegroundColor(std::optional<LGColor> fg, std::optional<LGColor> bg, int flag,
                                     int context) {
    changeOrRunNow([this, fg, bg, flag, context] {
        auto profile = std::make_shared<LGTTYLoggerColorProfile>(terminal_, fg, bg, flag, context);
        for (auto& p : colorProfilesArray_)
            if (p->mask == flag && p->context == context) {
                p = profile;
                return;
            }
        colorProfilesArray_.push_back(profile);
    });
}

void LGTTYLogger::setForegroundColor(std::optional<LGColor> fg, std::optional<LGColor> bg,
                                     const std::string& tag) {
    changeOrRunNow([this, fg, bg, tag] {
        colorProfilesDict_[tag] =
            std::make_shared<LGTTYLoggerColorProfile>(terminal_, fg, bg, 0, 0);
    });
}

void LGTTYLogger::clearColorsForFlag(int flag, int context) {
    changeOrRunNow([this, flag, context] {
        for (auto it = colorProfilesArray_.begin(); it != colorProfilesArray_.end(); ++it)
            if ((*it)->mask == flag && (*it)->context == context) {
                colorProfilesArray_.erase(it);
                return;
            }
    });
}

void LGTTYLogger::clearColorsForTag(const std::string& tag) {
    changeOrRunNow([this, tag] { colorProfilesDict_.erase(tag); });
}

void LGTTYLogger::clearColorsForAllFlags() {
    changeOrRunNow([this] { colorProfilesArray_.clear(); });
}

void LGTTYLogger::clearColorsForAllTags() {
    changeOrRunNow([this] { colorProfilesDict_.clear(); });
}

void LGTTYLogger::clearAllColors() {
    changeOrRunNow([this] {
        colorProfilesArray_.clear();
        colorProfilesDict_.clear();
    });
}

void LGTTYLogger::logMessage(const LGLogMessagePtr& message) {
    LGText own = LGLogMessage::textOf(message);
    LGText text = formatter_ ? formatter_->formatLogMessage(message) : own;
    if (!text) return;
    bool formatted = text.get() != own.get();

    const LGTTYLoggerColorProfile* profile = nullptr;
    if (colorsEnabled_) {
        if (message->tag()) {
            auto it = colorProfilesDict_.find(*message->tag());
            if (it != colorProfilesDict_.end()) profile = it->second.get();
        }
        if (!profile)
            for (auto& p : colorProfilesArray_)
                if ((p->mask & message->logFlag()) && p->context == message->logContext()) {
                    profile = p.get();
                    break;
                }
    }
    static const std::string empty;
    const std::string& fg = profile ? profile->fgCode : empty;
    const std::string& bg = profile ? profile->bgCode : empty;
    const std::string& reset = profile ? profile->resetCode : empty;
    bool newline = text->empty() || text->back() != '\n';

    auto piece = [](const char* p, std::size_t n) { return iovec{const_cast<char*>(p), n}; };
    auto str = [&](const std::string& s) { return piece(s.data(), s.size()); };
    iovec v[13];
    int n = 0;
    v[n++] = str(fg);
    v[n++] = str(bg);
    char thread[9];
    if (!formatted) {
        // "yyyy-MM-dd HH:mm:ss:SSS", at most 23 bytes.
        thread_local lg_detail::LGTimestampCache stamps(
            [](char* out, std::size_t size, const std::tm& tm) {
                return std::snprintf(out, size, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:",
                                     static_cast<long>(tm.tm_year + 1900),
                                     static_cast<long>(tm.tm_mon + 1),
                                     static_cast<long>(tm.tm_mday), static_cast<long>(tm.tm_hour),
                                     static_cast<long>(tm.tm_min), static_cast<long>(tm.tm_sec));
            });
        std::string_view ts = stamps.stamp(message->timestamp()).substr(0, 23);
        int tlen = std::snprintf(thread, sizeof thread, "%x", message->machThreadID());
        v[n++] = piece(ts.data(), ts.size());
        v[n++] = piece(" ", 1);
        v[n++] = str(app_);
        v[n++] = piece("[", 1);
        v[n++] = str(pid_);
        v[n++] = piece(":", 1);
        v[n++] = piece(thread, static_cast<std::size_t>(std::min(tlen, 8)));
        v[n++] = piece("] ", 2);
    }
    v[n++] = str(*text);
    if (newline) v[n++] = piece("\n", 1);
    v[n++] = str(reset);
    // A short write would cut the line and leave the terminal coloured.
    platform::writeFully(fd_, v, n);
}

#include "Logging/LGTTYLogger.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>

#include "RecordingSink.h"
#include "support/TempDir.h"

using Clock = std::chrono::system_clock;

namespace {

const std::string kEsc = "\x1b";

// 2014-05-06 07:08:09.1239 UTC.
Clock::time_point goldenTime() {
    struct tm tm = {};
    tm.tm_year = 114, tm.tm_mon = 4, tm.tm_mday = 6, tm.tm_hour = 7, tm.tm_min = 8, tm.tm_sec = 9;
    return Clock::from_time_t(timegm(&tm)) + std::chrono::microseconds(123900);
}

LGLogMessagePtr message(std::string text, int flag, int context = 0,
                        std::optional<std::string> tag = std::nullopt) {
    return std::make_shared<LGLogMessage>(std::move(text), 15, flag, context, "/src/f.cpp", "fn", 1,
                                          std::move(tag), 0, goldenTime(), 0x1a03, "q", "");
}

// A terminal sink writing to a file, as process "Name" with id 345.
class TTYSink : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    }
    void TearDown() override { ::close(fd_); }

    std::shared_ptr<LGTTYLogger> make(const char* term, const char* xcode = nullptr) {
        return LGTTYLogger::makeWithTerminal(LGTTYTerminal::detect(term, xcode), fd_, "Name", 345);
    }
    // What the sink writes for `m`, after every earlier setting change.
    std::string emit(const std::shared_ptr<LGTTYLogger>& sink, const LGLogMessagePtr& m) {
        (void)sink->colorsEnabled();  // both hops are FIFO: earlier changes are in
        ::ftruncate(fd_, 0);
        ::lseek(fd_, 0, SEEK_SET);
        sink->loggerQueue()->sync([&] { sink->logMessage(m); });
        return testsupport::readFile(path_);
    }

    testsupport::TempDir dir_;
    std::filesystem::path path_ = dir_ / "tty";
    int fd_ = -1;
};

}  // namespace

TEST(TTYTerminal, DetectionAndCodesTable) {
    const LGColor red = LGColor::rgb(255, 0, 0), grey = LGColor::rgb(128, 128, 128);
    struct Case {
        const char* term;
        const char* xcode;
        bool color, xcodeColor;
        std::size_t palette;
        std::string redFg, greyBg, reset;
    } cases[] = {
        {"xterm-256color", nullptr, true, false, 240, kEsc + "[38;5;196m", kEsc + "[48;5;244m",
         kEsc + "[0m"},
        {"xterm-color", nullptr, true, false, 16, kEsc + "[1;31m", kEsc + "[1;40m", kEsc + "[0m"},
        {"XTERM-COLOR", "YES", true, false, 16, kEsc + "[1;31m", kEsc + "[1;40m", kEsc + "[0m"},
        {"xterm", "YES", false, false, 0, "", "", ""},
        {"screen-256", nullptr, false, false, 0, "", "", ""},
        {nullptr, "YES", false, true, 0, kEsc + "[fg255,0,0;", kEsc + "[bg128,128,128;",
         kEsc + "[;"},
        {nullptr, "NO", false, false, 0, "", "", ""},
        {nullptr, nullptr, false, false, 0, "", "", ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.term ? c.term : "(unset)") + " / " + (c.xcode ? c.xcode : "-"));
        auto t = LGTTYTerminal::detect(c.term, c.xcode);
        EXPECT_EQ(t.isaColorTTY, c.color);
        EXPECT_EQ(t.isaXcodeColorTTY, c.xcodeColor);
        EXPECT_EQ(t.colors.size(), c.palette);
        EXPECT_EQ(t.codes_fg.size(), c.palette);
        EXPECT_EQ(t.codes_bg.size(), c.palette);
        LGTTYLoggerColorProfile p(t, red, grey, 1, 0);
        EXPECT_EQ(p.fgCode, c.redFg);
        EXPECT_EQ(p.bgCode, c.greyBg);
        EXPECT_EQ(p.resetCode, c.reset);
        EXPECT_EQ(p.fg_r, 255);
        EXPECT_EQ(p.bg_g, 128);
    }
    auto t256 = LGTTYTerminal::detect("xterm-256color", nullptr);
    EXPECT_EQ(t256.colors[0], LGColor::rgb(47, 49, 49));  // colour number 16
    EXPECT_EQ(t256.colors[3], LGColor::rgb(73, 46, 222));
}

TEST(TTYTerminal, NearestColourStartsAt100AndFirstOfEqualsWins) {
    LGTTYTerminal t;
    EXPECT_EQ(t.codeIndexForColor(LGColor{0.3, 0.3, 0.3}), 0u);  // empty palette
    t.colors = {LGColor{1, 1, 1}, LGColor{0, 0, 0}, LGColor{0, 0, 0}, LGColor{0.5, 0.5, 0.5}};
    EXPECT_EQ(t.codeIndexForColor(LGColor{0, 0, 0}), 1u);
    EXPECT_EQ(t.codeIndexForColor(LGColor{0.25, 0.25, 0.25}), 1u);  // ties with entry 3
    EXPECT_EQ(t.codeIndexForColor(LGColor{0.9, 0.9, 0.9}), 0u);
}

TEST_F(TTYSink, GoldenPlainAndColouredLines) {
    const std::string line = "2014-05-06 07:08:09:123 Name[345:1a03] text\n";
    auto plain = make("xterm-color");
    EXPECT_EQ(emit(plain, message("text", 1)), line);    // colours off by default
    EXPECT_EQ(emit(plain, message("text\n", 1)), line);  // no second newline

    plain->setColorsEnabled(true);  // loads the default error and warning colours
    EXPECT_EQ(emit(plain, message("text", 1)), kEsc + "[31m" + line + kEsc + "[0m");
    EXPECT_EQ(emit(plain, message("text", 2)), kEsc + "[33m" + line + kEsc + "[0m");
    EXPECT_EQ(emit(plain, message("text", 4)), line);  // no profile: no escape codes at all

    auto none = make("xterm");
    none->setColorsEnabled(true);
    EXPECT_EQ(emit(none, message("text", 1)), line);

    auto big = make("xterm-256color");
    big->setColorsEnabled(true);
    big->setForegroundColor(LGColor::rgb(255, 0, 0), LGColor::rgb(128, 128, 128), 4);
    EXPECT_EQ(emit(big, message("text", 4)),
              kEsc + "[38;5;196m" + kEsc + "[48;5;244m" + line + kEsc + "[0m");
}

TEST_F(TTYSink, ProfileChoiceByFlagContextAndTag) {
    auto sink = make("xterm-color");
    sink->setColorsEnabled(true);
    sink->clearAllColors();
    const auto red = LGColor::rgb(194, 54, 33), green = LGColor::rgb(37, 188, 36),
               blue = LGColor::rgb(73, 46, 225);
    sink->setForegroundColor(red, std::nullopt, 1);
    sink->setForegroundColor(green, std::nullopt, 4);
    sink->setForegroundColor(blue, std::nullopt, 4);  // replaces, keeps one profile
    sink->setForegroundColor(red, std::nullopt, 4, 7);
    sink->setForegroundColor(green, std::nullopt, "net");
    auto colourOf = [&](int flag, int context, std::optional<std::string> tag = std::nullopt) {
        std::string out = emit(sink, message("x", flag, context, tag));
        return out.rfind(kEsc, 0) == 0 ? out.substr(0, out.find('m') + 1) : std::string("none");
    };
    EXPECT_EQ(colourOf(1, 0), kEsc + "[31m");
    EXPECT_EQ(colourOf(4, 0), kEsc + "[34m");
    EXPECT_EQ(colourOf(8, 0), "none");
    EXPECT_EQ(colourOf(4, 7), kEsc + "[31m");
    EXPECT_EQ(colourOf(4, 0, "net"), kEsc + "[32m");    // the tag wins
    EXPECT_EQ(colourOf(4, 0, "other"), kEsc + "[34m");  // unknown tag: by flag
    sink->clearColorsForFlag(4);
    sink->clearColorsForTag("net");
    EXPECT_EQ(colourOf(4, 0, "net"), "none");
    EXPECT_EQ(colourOf(1, 0), kEsc + "[31m");
}

namespace {
struct PrefixFormatter : LGLogFormatter {
    LGText formatLogMessage(const LGLogMessagePtr& m) override {
        if (m->logMsg() == "drop") return nullptr;
        if (m->logMsg() == "same") return LGLogMessage::textOf(m);
        return std::make_shared<const std::string>("F:" + m->logMsg());
    }
};
}  // namespace

TEST_F(TTYSink, FormattedTextGetsNoPrefix) {
    auto sink = make("xterm-color");
    sink->setLogFormatter(std::make_shared<PrefixFormatter>());
    sink->setColorsEnabled(true);
    EXPECT_EQ(emit(sink, message("text", 1)), kEsc + "[31mF:text\n" + kEsc + "[0m");
    EXPECT_EQ(emit(sink, message("same", 4)), "2014-05-06 07:08:09:123 Name[345:1a03] same\n");
    EXPECT_EQ(emit(sink, message("drop", 1)), "");
}

TEST(TTYLogger, OneSharedInstance) {
    auto& shared = LGTTYLogger::sharedInstance();
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->loggerName(), "tessaro.logging.ttyLogger");
    EXPECT_EQ(LGTTYLogger::make(), nullptr);
    EXPECT_EQ(&LGTTYLogger::sharedInstance(), &shared);
}

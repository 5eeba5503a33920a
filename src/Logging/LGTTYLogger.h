#pragma once
// The terminal sink: one line per message on standard error, optionally
// coloured by profiles chosen by flag and context or by tag. What the
// terminal can show is read once from TERM (and XcodeColors when TERM is
// unset): 16 colours, 256 colours, 24-bit escape codes, or nothing.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Logging/LGAbstractLogger.h"

// A calibrated RGB colour, components 0.0-1.0.
struct LGColor {
    double red = 0, green = 0, blue = 0;
    static LGColor rgb(int r, int g, int b) { return {r / 255.0, g / 255.0, b / 255.0}; }
    bool operator==(const LGColor&) const = default;
};

// What the terminal shows, with its palette: foreground code, background
// code and colour of each entry.
struct LGTTYTerminal {
    bool isaColorTTY = false;
    bool isaXcodeColorTTY = false;
    std::vector<std::string> codes_fg, codes_bg;
    std::vector<LGColor> colors;

    // From the values of TERM and XcodeColors (nullptr = unset).
    static LGTTYTerminal detect(const char* term, const char* xcodeColors);
    // From this process's environment, read once.
    static const LGTTYTerminal& current();

    // The palette entry nearest to `color` (0 for an empty palette).
    std::size_t codeIndexForColor(const LGColor& color) const;
};

class LGTTYLoggerColorProfile {
  public:
    LGTTYLoggerColorProfile(const LGTTYTerminal& terminal, std::optional<LGColor> fg,
                            std::optional<LGColor> bg, int flag, int context);

    int mask, context;
    std::uint8_t fg_r = 0, fg_g = 0, fg_b = 0, bg_r = 0, bg_g = 0, bg_b = 0;
    std::size_t fgCodeIndex = 0, bgCodeIndex = 0;
    std::string fgCodeRaw, bgCodeRaw;
    std::string fgCode, bgCode, resetCode;

    std::string description() const;
};

class LGTTYLogger final : public LGAbstractLogger {
  public:
    using ProfilePtr = std::shared_ptr<const LGTTYLoggerColorProfile>;

    // The one instance of the process, writing to standard error.
    static const std::shared_ptr<LGTTYLogger>& sharedInstance();
    // A further instance: nullptr once the shared one exists.
    static std::shared_ptr<LGTTYLogger> make();
    // A sink with a given terminal, output and process identity (tests, tools).
    static std::shared_ptr<LGTTYLogger> makeWithTerminal(LGTTYTerminal terminal, int fd,
                                                         std::string appName, int processID);

    bool colorsEnabled();
    void setColorsEnabled(bool enabled);

    void setForegroundColor(std::optional<LGColor> fg, std::optional<LGColor> bg, int flag,
                            int context = 0);
    void setForegroundColor(std::optional<LGColor> fg, std::optional<LGColor> bg,
                            const std::string& tag);
    void clearColorsForFlag(int flag, int context = 0);
    void clearColorsForTag(const std::string& tag);
    void clearColorsForAllFlags();
    void clearColorsForAllTags();
    void clearAllColors();

    void logMessage(const LGLogMessagePtr& message) override;

    const LGTTYTerminal& terminal() const { return terminal_; }

  private:
    LGTTYLogger(LGTTYTerminal terminal, int fd, std::string appName, int processID);
    void loadDefaultColorProfiles();  // on the sink's queue

    LGTTYTerminal terminal_;
    int fd_;
    std::string app_;
    std::string pid_;
    bool colorsEnabled_ = false;
    std::vector<ProfilePtr> colorProfilesArray_;
    std::map<std::string, ProfilePtr> colorProfilesDict_;
};

#include "app/logic/QVUnitStrings.h"

#include <charconv>

#include "platform/gui/StringTable.h"

namespace app {
namespace {

using platform::localizedString;

// Fixed notation without the process locale: "1.50 MB", never "1,50 MB".
std::string fixed(double value, int precision) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, precision);
    return std::string(buf, r.ptr);
}

}  // namespace

std::string siUnitStringForBytes(int64_t bytes) {
    const double count = static_cast<double>(bytes);
    struct Unit {
        double size;
        const char* name;
    };
    static constexpr Unit units[] = {{1e12, "TB"}, {1e9, "GB"}, {1e6, "MB"}, {1e3, "KB"}};
    for (const auto& u : units) {
        if (count >= u.size) return fixed(count / u.size, 2) + " " + u.name;
    }
    if (bytes == 1) return "1 byte";
    return fixed(count, 0) + " " + localizedString("bytes");
}

std::string progressTimeStringForSeconds(int64_t seconds) {
    // The keys by the first count (one, many); a second count of one takes
    // the text of the singular form ("1 minute, 1 second"), when the table
    // has it.
    struct Unit {
        int64_t length;
        const char* one;
        const char* many;
        const char* oneThenOne;
        const char* manyThenOne;
    };
    static constexpr Unit units[] = {
        {2592000, "timeMonthDaysFormat", "timeMonthsDaysFormat", "timeMonthDayFormat",
         "timeMonthsDayFormat"},
        {86400, "timeDayHoursFormat", "timeDaysHoursFormat", "timeDayHourFormat",
         "timeDaysHourFormat"},
        {3600, "timeHourMinutesFormat", "timeHoursMinutesFormat", "timeHourMinuteFormat",
         "timeHoursMinuteFormat"},
        {60, "timeMinuteSecondsFormat", "timeMinutesSecondsFormat", "timeMinuteSecondFormat",
         "timeMinutesSecondFormat"},
        {1, nullptr, nullptr, nullptr, nullptr},
    };
    int64_t counts[5] = {};
    int64_t rest = seconds;
    for (size_t i = 0; i < 5; ++i) {
        if (rest >= units[i].length) {
            counts[i] = rest / units[i].length;
            rest %= units[i].length;
        }
    }
    for (size_t i = 0; i < 4; ++i) {
        if (counts[i] == 0) continue;
        const bool one = counts[i] == 1;
        std::string format = localizedString(one ? units[i].one : units[i].many);
        if (counts[i + 1] == 1)
            format = localizedString(one ? units[i].oneThenOne : units[i].manyThenOne,
                                     platform::kMainStringTable, format);
        return platform::formatText(format,
                                    {std::to_string(counts[i]), std::to_string(counts[i + 1])});
    }
    std::string format = localizedString("timeSecondsFormat");
    if (seconds == 1)
        format = localizedString("timeSecondFormat", platform::kMainStringTable, format);
    return platform::formatText(format, {std::to_string(seconds)});
}

}  // namespace app

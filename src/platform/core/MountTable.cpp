#include "platform/core/MountTable.h"

#include <algorithm>

#include "platform/core/Files.h"

namespace platform {

namespace {

std::string unescapeField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) &&
            octal(field[i + 2]) && octal(field[i + 3])) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// The next field of `line` (separated by spaces), consumed; "" at its end.
std::string_view nextField(std::string_view& line) {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const size_t end = std::min(line.find(' '), line.size());
    std::string_view field = line.substr(0, end);
    line.remove_prefix(end);
    return field;
}

}  // namespace

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    std::vector<MountEntry> entries;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        // id parent major:minor root mount-point ...
        nextField(line);
        nextField(line);
        std::string_view device = nextField(line);
        nextField(line);
        std::string_view point = nextField(line);
        if (point.empty()) continue;
        entries.push_back({std::string(device), unescapeField(point)});
    }
    return entries;
}

std::vector<MountEntry> mountTable() {
    return parseMountInfo(readRegularFile("/proc/self/mountinfo").value_or(""));
}

}  // namespace platform

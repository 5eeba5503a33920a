#include "utilities/VersionComparator.h"

#include <cctype>
#include <climits>
#include <cstdint>

namespace {

std::vector<std::string> components(const std::string& version) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        auto dot = version.find('.', start);
        parts.push_back(version.substr(start, dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return VersionComparator::normaliseValuesFromArray(std::move(parts));
}

}  // namespace

int VersionComparator::componentValue(const std::string& component) {
    std::size_t i = 0;
    while (i < component.size() && std::isspace(static_cast<unsigned char>(component[i]))) ++i;
    bool negative = false;
    if (i < component.size() && (component[i] == '+' || component[i] == '-')) {
        negative = component[i] == '-';
        ++i;
    }
    // Accumulated as a negative number so that INT_MIN fits.
    int64_t value = 0;
    for (; i < component.size() && std::isdigit(static_cast<unsigned char>(component[i])); ++i) {
        value = value * 10 - (component[i] - '0');
        if (value < INT64_C(-2) * INT_MAX) value = INT64_C(-2) * INT_MAX;
    }
    if (!negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::vector<std::string> VersionComparator::normaliseValuesFromArray(
    std::vector<std::string> components) {
    while (components.size() < 3) components.emplace_back("0");
    return components;
}

bool VersionComparator::isVersionGreaterThanVersion(const std::string& version,
                                                    const std::string& other) {
    const auto a = components(version);
    const auto b = components(other);
    for (std::size_t i = 0; i < 3; ++i) {
        const int x = componentValue(a[i]);
        const int y = componentValue(b[i]);
        if (x != y) return x > y;
    }
    return false;
}

bool VersionComparator::isVersionGreaterThanOrEqualToVersion(const std::string& version,
                                                             const std::string& other) {
    return !isVersionGreaterThanVersion(other, version);
}

#pragma once
// Numeric comparison of dotted version strings ("2.7.4"). Only the first
// three components count; each is read like a C integer prefix, so "4b2" is
// 4 and an empty component is 0.

#include <string>
#include <vector>

class VersionComparator {
  public:
    // True when `version` is greater than `other`.
    static bool isVersionGreaterThanVersion(const std::string& version, const std::string& other);
    // True when `version` is greater than or equal to `other`, in the same
    // order as above (3.0.0 >= 2.5.0).
    static bool isVersionGreaterThanOrEqualToVersion(const std::string& version,
                                                     const std::string& other);

    // Fewer than three components are padded with "0" to three; more are
    // kept as they are.
    static std::vector<std::string> normaliseValuesFromArray(std::vector<std::string> components);

    // The integer value of one component: optional leading blanks, an
    // optional sign, then decimal digits; 0 without digits. Saturates at the
    // limits of int.
    static int componentValue(const std::string& component);
};

#pragma once
// Figures of this process from /proc/self/status, for tests that bound
// memory use.

#include <cstring>
#include <fstream>
#include <string>

namespace testsupport {

// The value of a kB field such as "VmRSS:" or "VmHWM:"; -1 when absent.
inline long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}

}  // namespace testsupport

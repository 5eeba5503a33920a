#pragma once
// Sizes and durations as the window and the copy sheet show them.

#include <cstdint>
#include <string>

namespace app {
// Decimal units ("1.50 MB", "12 bytes"), never in the process locale.
std::string siUnitStringForBytes(int64_t bytes);
// The largest unit and the next ("2 minutes, 5 seconds") by the string table.
std::string progressTimeStringForSeconds(int64_t seconds);
}  // namespace app

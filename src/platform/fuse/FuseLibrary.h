#pragma once
// The libfuse this program runs with.

#include <string>

namespace platform {

// The library's package version, e.g. "3.14.0".
std::string fuseLibraryVersion();

}  // namespace platform

#pragma once
// This program's session login item: an XDG autostart entry
// ($XDG_CONFIG_HOME/autostart/tessaro.desktop) carrying a marker key of ours.
// Only entries with the marker are ever touched; "Hidden=true" counts as
// absent.

#include <string>

namespace platform {

class LoginItems {
  public:
    static constexpr const char* kEntryName = "tessaro.desktop";
    static constexpr const char* kMarkerKey = "X-Tessaro-LoginItem";

    // The entry's path in the autostart folder.
    static std::string entryPath();
    // Whether our entry is there and not hidden.
    static bool isLoginItem();
    // Writes our entry starting `executable` (the running program when
    // empty); atomic.
    static bool add(const std::string& executable = {});
    // Removes our entry; false when there is none of ours.
    static bool remove();
};

}  // namespace platform

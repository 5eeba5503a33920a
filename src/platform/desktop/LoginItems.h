#pragma once
// Session login items: the XDG autostart entries in
// $XDG_CONFIG_HOME/autostart. This program's own entry (tessaro.desktop)
// carries a marker key of ours; only entries with the marker are ever
// changed or removed. "Hidden=true" counts as absent.

#include <string>
#include <vector>

namespace platform {

class LoginItems {
  public:
    static constexpr const char* kEntryName = "tessaro.desktop";
    static constexpr const char* kMarkerKey = "X-Tessaro-LoginItem";

    struct Entry {
        std::string file;     // the entry's path
        std::string name;     // Name=, localised
        std::string program;  // what Exec= starts, absolute when found on PATH; may be gone
        std::string icon;     // Icon=: a theme icon name or a path
        bool ours = false;    // carries our marker
    };

    // The entry's path in the autostart folder.
    static std::string entryPath();
    // Whether our entry is there and not hidden.
    static bool isLoginItem();
    // Writes our entry starting `executable` (the running program when
    // empty); atomic. There is one entry of ours: adding again points it at
    // the new program.
    static bool add(const std::string& executable = {});
    // Removes our entry; false when there is none of ours.
    static bool remove();

    // Every readable, not hidden "*.desktop" entry of the folder, in file
    // name order.
    static std::vector<Entry> entries();
    // Removes the entry at `file` when it is ours; false otherwise.
    static bool removeEntry(const std::string& file);
};

}  // namespace platform

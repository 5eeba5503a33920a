#pragma once
// The file manager's favourite places: $XDG_CONFIG_HOME/gtk-3.0/bookmarks,
// one "URI[ label]" per line. Other lines are kept byte for byte; the file
// is rewritten atomically.

#include <string>

namespace platform {

class FavouriteVolumes {
  public:
    static std::string bookmarksPath();
    // Adds `path` as the last bookmark unless it is there already.
    static bool add(const std::string& path);
    // Removes every bookmark of `path`, matched by its URI, so that it works
    // after the mount point is gone; false when there was none.
    static bool remove(const std::string& path);
};

}  // namespace platform

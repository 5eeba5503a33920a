#pragma once
// The file manager's favourite places: $XDG_CONFIG_HOME/gtk-3.0/bookmarks,
// one "URI[ label]" per line. Other lines are kept byte for byte; the file
// is rewritten atomically. A line is a bookmark when it starts with a URI
// (a scheme); blank lines and anything else are kept but never listed.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class FavouriteVolumes {
  public:
    struct Bookmark {
        std::string uri;    // as stored
        std::string label;  // empty when the line has none
    };

    static std::string bookmarksPath();
    // The bookmarks in file order.
    static std::vector<Bookmark> bookmarks();
    // Adds `uri` as the last bookmark unless it is there already.
    static bool addURI(const std::string& uri);
    // Removes the bookmarks `shouldRemove` picks (given each bookmark's index
    // in bookmarks() order) in one rewrite. The number removed; none when the
    // file could not be rewritten.
    static std::optional<std::size_t> removeIf(
        const std::function<bool(std::size_t index, const Bookmark&)>& shouldRemove);

    // addURI of the path's file URL.
    static bool add(const std::string& path);
    // Removes every bookmark of `path`, matched by its URI, so that it works
    // after the mount point is gone; false when there was none.
    static bool remove(const std::string& path);
};

}  // namespace platform

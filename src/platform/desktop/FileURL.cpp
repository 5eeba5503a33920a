#include "platform/desktop/FileURL.h"

#include <glib.h>

namespace platform {

std::string fileURLForPath(const std::string& path) {
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string s = uri ? uri : "";
    g_free(uri);
    return s;
}

std::optional<std::string> pathForFileURL(const std::string& url) {
    gchar* path = g_filename_from_uri(url.c_str(), nullptr, nullptr);
    if (!path) return std::nullopt;
    std::string s = path;
    g_free(path);
    return s;
}

}  // namespace platform

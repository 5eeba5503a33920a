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
    gchar* host = nullptr;
    gchar* path = g_filename_from_uri(url.c_str(), &host, nullptr);
    // "file://server/x" names a file on another machine, not our "/x".
    const bool local = !host || g_ascii_strcasecmp(host, "localhost") == 0;
    g_free(host);
    if (!path || !local) {
        g_free(path);
        return std::nullopt;
    }
    std::string s = path;
    g_free(path);
    return s;
}

}  // namespace platform

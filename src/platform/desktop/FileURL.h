#pragma once
// File URLs as the desktop writes them (GLib's escaping), both ways.

#include <optional>
#include <string>

namespace platform {

// "file:///a%20b" for "/a b"; empty for a relative path.
std::string fileURLForPath(const std::string& path);
// The local path of a "file:" URL; none for other URLs, malformed ones and
// those naming another host.
std::optional<std::string> pathForFileURL(const std::string& url);

}  // namespace platform

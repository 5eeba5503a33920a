#pragma once
// Applications registered for URL schemes (x-scheme-handler/<scheme> in the
// XDG desktop-entry and mimeapps databases), and opening URLs with them; the
// installed applications by desktop-entry id.

#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"

namespace platform {

struct URLHandler {
    std::string identifier;  // desktop entry id, e.g. "vexmor.desktop"
    std::string executable;  // absolute path, or empty when it is not on PATH
    // Where the application lives: the bundle folder when the executable sits
    // in "<bundle>/Contents/MacOS/", else the folder that holds the executable.
    std::string location;
    std::string name;  // the display name
};

// The default application for `scheme`, else the first one registered for it.
std::optional<URLHandler> handlerForURLScheme(const std::string& scheme);

// All installed applications, or those that open `contentType` (a MIME
// type), in the desktop's order.
std::vector<URLHandler> installedApplications(
    const std::optional<std::string>& contentType = std::nullopt);

// The types a desktop entry opens (its MimeType= list, in order).
// `application` is the entry's path, or its desktop-entry id; none when
// there is no such application.
std::optional<std::vector<std::string>> applicationMimeTypes(const std::string& application);

// The application that opens folders: the desktop's default for
// inode/directory, unless that is this program (our desktop entry, or an
// entry that starts our executable), then the first other application
// registered for folders. None when there is no other.
std::optional<URLHandler> folderHandler();
// Opens the folder at `path` with folderHandler(), without waiting for it.
bool openFolder(const std::string& path, Error* error = nullptr);

// Fixes the shared MIME database's folders (the XDG defaults) before the
// first type lookup. GLib otherwise picks them lazily and, when a later call
// sets them again, drops its first lookup state without freeing it. Call it
// before any content-type call; calls after the first do nothing.
void useMimeDatabase();

// Whether the text parses as an absolute URL.
bool isValidURL(const std::string& text);

// Opens `url` with the default application of its scheme, without waiting
// for that application; false (with the reason) when none takes it.
bool openURL(const std::string& url, Error* error = nullptr);

}  // namespace platform

#pragma once
// GIO for the URL handlers, the MIME database and the trash, opened on first
// use (see platform/core/SharedLibrary.h): linked, it brought GObject,
// libmount, libblkid, libselinux, libffi and libgmodule into every start of
// the program, for features that only run once the window is up. GLib itself
// stays linked (Qt's event loop needs it anyway).
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

namespace platform {

struct GioLibrary {
    decltype(&g_app_info_get_all) appInfoAll = nullptr;
    decltype(&g_app_info_get_all_for_type) appInfoAllForType = nullptr;
    decltype(&g_app_info_get_default_for_type) appInfoDefaultForType = nullptr;
    decltype(&g_app_info_get_default_for_uri_scheme) appInfoDefaultForUriScheme = nullptr;
    decltype(&g_app_info_get_display_name) appInfoDisplayName = nullptr;
    decltype(&g_app_info_get_executable) appInfoExecutable = nullptr;
    decltype(&g_app_info_get_id) appInfoId = nullptr;
    decltype(&g_app_info_get_supported_types) appInfoSupportedTypes = nullptr;
    decltype(&g_app_info_launch_uris) appInfoLaunchUris = nullptr;
    decltype(&g_content_type_get_description) contentTypeDescription = nullptr;
    decltype(&g_content_type_get_generic_icon_name) contentTypeGenericIconName = nullptr;
    decltype(&g_content_type_get_mime_type) contentTypeMimeType = nullptr;
    decltype(&g_content_type_guess) contentTypeGuess = nullptr;
    decltype(&g_content_type_is_unknown) contentTypeIsUnknown = nullptr;
    decltype(&g_content_type_set_mime_dirs) contentTypeSetMimeDirs = nullptr;
    decltype(&g_desktop_app_info_new) desktopAppInfoNew = nullptr;
    decltype(&g_desktop_app_info_new_from_filename) desktopAppInfoFromFile = nullptr;
    decltype(&g_file_new_for_path) fileForPath = nullptr;
    decltype(&g_file_trash) fileTrash = nullptr;
    decltype(&g_object_ref) objectRef = nullptr;
    decltype(&g_object_unref) objectUnref = nullptr;
    // False when GIO could not be opened (logged): then every entry is null
    // and callers answer as if nothing were installed or known.
    bool loaded = false;
};

// Loaded once (thread-safe).
const GioLibrary& gioLibrary();

}  // namespace platform

#include "platform/desktop/GioLibrary.h"

#include "platform/core/SharedLibrary.h"

namespace platform {

namespace {

GioLibrary loadGio() {
    GioLibrary g;
    void* lib = openSharedLibrary("libgio-2.0.so.0");
    if (!lib) return g;
    const bool complete =
        bindSharedSymbol(lib, "g_app_info_get_all", g.appInfoAll) &&
        bindSharedSymbol(lib, "g_app_info_get_all_for_type", g.appInfoAllForType) &&
        bindSharedSymbol(lib, "g_app_info_get_default_for_type", g.appInfoDefaultForType) &&
        bindSharedSymbol(lib, "g_app_info_get_default_for_uri_scheme",
                         g.appInfoDefaultForUriScheme) &&
        bindSharedSymbol(lib, "g_app_info_get_display_name", g.appInfoDisplayName) &&
        bindSharedSymbol(lib, "g_app_info_get_executable", g.appInfoExecutable) &&
        bindSharedSymbol(lib, "g_app_info_get_id", g.appInfoId) &&
        bindSharedSymbol(lib, "g_app_info_get_supported_types", g.appInfoSupportedTypes) &&
        bindSharedSymbol(lib, "g_app_info_launch_uris", g.appInfoLaunchUris) &&
        bindSharedSymbol(lib, "g_content_type_get_description", g.contentTypeDescription) &&
        bindSharedSymbol(lib, "g_content_type_get_generic_icon_name",
                         g.contentTypeGenericIconName) &&
        bindSharedSymbol(lib, "g_content_type_get_mime_type", g.contentTypeMimeType) &&
        bindSharedSymbol(lib, "g_content_type_guess", g.contentTypeGuess) &&
        bindSharedSymbol(lib, "g_content_type_is_unknown", g.contentTypeIsUnknown) &&
        bindSharedSymbol(lib, "g_content_type_set_mime_dirs", g.contentTypeSetMimeDirs) &&
        bindSharedSymbol(lib, "g_desktop_app_info_new", g.desktopAppInfoNew) &&
        bindSharedSymbol(lib, "g_desktop_app_info_new_from_filename", g.desktopAppInfoFromFile) &&
        bindSharedSymbol(lib, "g_file_new_for_path", g.fileForPath) &&
        bindSharedSymbol(lib, "g_file_trash", g.fileTrash) &&
        bindSharedSymbol(lib, "g_object_ref", g.objectRef) &&
        bindSharedSymbol(lib, "g_object_unref", g.objectUnref);
    if (!complete) return GioLibrary{};
    g.loaded = true;
    return g;
}

}  // namespace

const GioLibrary& gioLibrary() {
    static const GioLibrary g = loadGio();
    return g;
}

}  // namespace platform

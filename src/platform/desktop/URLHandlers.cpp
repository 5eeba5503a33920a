#include "platform/desktop/URLHandlers.h"

#include <gio/gio.h>

#include <filesystem>
#include <memory>

namespace platform {
namespace {

constexpr const char* kURLHandlerErrorDomain = "URLHandlerErrorDomain";

struct Unref {
    void operator()(gpointer p) const { g_object_unref(p); }
};
using AppInfo = std::unique_ptr<GAppInfo, Unref>;

AppInfo appForScheme(const std::string& scheme) {
    AppInfo app(g_app_info_get_default_for_uri_scheme(scheme.c_str()));
    if (app) return app;
    std::string type = "x-scheme-handler/" + scheme;
    GList* all = g_app_info_get_all_for_type(type.c_str());
    if (all) app.reset(G_APP_INFO(g_object_ref(all->data)));
    g_list_free_full(all, g_object_unref);
    return app;
}

URLHandler handlerOf(GAppInfo* app) {
    URLHandler handler;
    if (const char* id = g_app_info_get_id(app)) handler.identifier = id;
    if (const char* name = g_app_info_get_display_name(app)) handler.name = name;
    if (const char* exe = g_app_info_get_executable(app)) {
        if (gchar* found = g_find_program_in_path(exe)) {
            handler.executable = found;
            g_free(found);
        }
    }
    if (!handler.executable.empty()) {
        std::filesystem::path folder = std::filesystem::path(handler.executable).parent_path();
        if (folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents")
            handler.location = folder.parent_path().parent_path().string();
        else
            handler.location = folder.string();
    }
    return handler;
}

}  // namespace

std::optional<URLHandler> handlerForURLScheme(const std::string& scheme) {
    AppInfo app = appForScheme(scheme);
    if (!app) return std::nullopt;
    return handlerOf(app.get());
}

void useMimeDatabase() {
    static const bool once = (g_content_type_set_mime_dirs(nullptr), true);
    (void)once;
}

std::vector<URLHandler> installedApplications(const std::optional<std::string>& contentType) {
    useMimeDatabase();
    GList* all =
        contentType ? g_app_info_get_all_for_type(contentType->c_str()) : g_app_info_get_all();
    std::vector<URLHandler> apps;
    for (GList* l = all; l; l = l->next) apps.push_back(handlerOf(G_APP_INFO(l->data)));
    g_list_free_full(all, g_object_unref);
    return apps;
}

bool isValidURL(const std::string& text) {
    return g_uri_is_valid(text.c_str(), G_URI_FLAGS_NONE, nullptr);
}

bool openURL(const std::string& url, Error* error) {
    gchar* scheme = g_uri_parse_scheme(url.c_str());
    if (!scheme) {
        setError(error, Error{kURLHandlerErrorDomain, -1, "not a URL: " + url});
        return false;
    }
    AppInfo app = appForScheme(scheme);
    std::string schemeText = scheme;
    g_free(scheme);
    if (!app) {
        setError(error, Error{kURLHandlerErrorDomain, -2,
                              "no application handles " + schemeText + " URLs"});
        return false;
    }
    GList uris{const_cast<char*>(url.c_str()), nullptr, nullptr};
    GError* gerror = nullptr;
    if (!g_app_info_launch_uris(app.get(), &uris, nullptr, &gerror)) {
        setError(error, Error{kURLHandlerErrorDomain, gerror ? gerror->code : -3,
                              gerror ? gerror->message : "launch failed"});
        if (gerror) g_error_free(gerror);
        return false;
    }
    return true;
}

}  // namespace platform

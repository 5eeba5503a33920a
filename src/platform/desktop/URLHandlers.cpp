#include "platform/desktop/URLHandlers.h"

#include <filesystem>
#include <memory>

#include "platform/desktop/GioLibrary.h"

namespace platform {
namespace {

constexpr const char* kURLHandlerErrorDomain = "URLHandlerErrorDomain";

struct Unref {
    void operator()(gpointer p) const { gioLibrary().objectUnref(p); }
};
using AppInfo = std::unique_ptr<GAppInfo, Unref>;

AppInfo appForScheme(const std::string& scheme) {
    const GioLibrary& gio = gioLibrary();
    if (!gio.loaded) return nullptr;
    AppInfo app(gio.appInfoDefaultForUriScheme(scheme.c_str()));
    if (app) return app;
    std::string type = "x-scheme-handler/" + scheme;
    GList* all = gio.appInfoAllForType(type.c_str());
    if (all) app.reset(static_cast<GAppInfo*>(gio.objectRef(all->data)));
    g_list_free_full(all, gio.objectUnref);
    return app;
}

URLHandler handlerOf(GAppInfo* app) {
    const GioLibrary& gio = gioLibrary();
    URLHandler handler;
    if (const char* id = gio.appInfoId(app)) handler.identifier = id;
    if (const char* name = gio.appInfoDisplayName(app)) handler.name = name;
    if (const char* exe = gio.appInfoExecutable(app)) {
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
    static const bool once = [] {
        if (gioLibrary().loaded) gioLibrary().contentTypeSetMimeDirs(nullptr);
        return true;
    }();
    (void)once;
}

std::vector<URLHandler> installedApplications(const std::optional<std::string>& contentType) {
    const GioLibrary& gio = gioLibrary();
    if (!gio.loaded) return {};
    useMimeDatabase();
    GList* all = contentType ? gio.appInfoAllForType(contentType->c_str()) : gio.appInfoAll();
    std::vector<URLHandler> apps;
    for (GList* l = all; l; l = l->next) apps.push_back(handlerOf(static_cast<GAppInfo*>(l->data)));
    g_list_free_full(all, gio.objectUnref);
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
    if (!gioLibrary().appInfoLaunchUris(app.get(), &uris, nullptr, &gerror)) {
        setError(error, Error{kURLHandlerErrorDomain, gerror ? gerror->code : -3,
                              gerror ? gerror->message : "launch failed"});
        if (gerror) g_error_free(gerror);
        return false;
    }
    return true;
}

}  // namespace platform

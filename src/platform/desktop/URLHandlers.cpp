#include "platform/desktop/URLHandlers.h"

#include <filesystem>
#include <memory>

#include "platform/core/Process.h"
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

constexpr const char* kOurDesktopEntry = "tessaro.desktop";

URLHandler handlerOf(GAppInfo* app);

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return !a.empty() && !b.empty() && std::filesystem::equivalent(a, b, ec);
}

// Whether starting the application would start this program.
bool isUs(GAppInfo* app) {
    const URLHandler handler = handlerOf(app);
    if (handler.identifier == kOurDesktopEntry) return true;
    return sameFile(handler.executable, "/proc/self/exe") ||
           sameFile(handler.executable, applicationPath());
}

AppInfo folderApp() {
    const GioLibrary& gio = gioLibrary();
    if (!gio.loaded) return nullptr;
    useMimeDatabase();
    constexpr const char* kFolder = "inode/directory";
    AppInfo app(gio.appInfoDefaultForType(kFolder, FALSE));
    if (app && !isUs(app.get())) return app;
    app.reset();
    GList* all = gio.appInfoAllForType(kFolder);
    for (GList* l = all; l && !app; l = l->next)
        if (!isUs(static_cast<GAppInfo*>(l->data)))
            app.reset(static_cast<GAppInfo*>(gio.objectRef(l->data)));
    g_list_free_full(all, gio.objectUnref);
    return app;
}

bool launch(GAppInfo* app, const std::string& uri, Error* error) {
    GList uris{const_cast<char*>(uri.c_str()), nullptr, nullptr};
    GError* gerror = nullptr;
    if (!gioLibrary().appInfoLaunchUris(app, &uris, nullptr, &gerror)) {
        setError(error, Error{kURLHandlerErrorDomain, gerror ? gerror->code : -3,
                              gerror ? gerror->message : "launch failed"});
        if (gerror) g_error_free(gerror);
        return false;
    }
    return true;
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
    return launch(app.get(), url, error);
}

std::optional<std::vector<std::string>> applicationMimeTypes(const std::string& application) {
    const GioLibrary& gio = gioLibrary();
    if (!gio.loaded || application.empty()) return std::nullopt;
    const bool isPath = application.find('/') != std::string::npos;
    GDesktopAppInfo* info = isPath ? gio.desktopAppInfoFromFile(application.c_str())
                                   : gio.desktopAppInfoNew(application.c_str());
    if (!info) return std::nullopt;
    std::vector<std::string> types;
    if (const char** supported = gio.appInfoSupportedTypes(reinterpret_cast<GAppInfo*>(info)))
        for (; *supported; ++supported)
            if (**supported) types.push_back(*supported);
    gio.objectUnref(info);
    return types;
}

std::optional<URLHandler> folderHandler() {
    AppInfo app = folderApp();
    if (!app) return std::nullopt;
    return handlerOf(app.get());
}

bool openFolder(const std::string& path, Error* error) {
    AppInfo app = folderApp();
    if (!app) {
        setError(error, Error{kURLHandlerErrorDomain, -2, "no application opens folders"});
        return false;
    }
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    if (!uri) {
        setError(error, Error{kURLHandlerErrorDomain, -1, "not an absolute path: " + path});
        return false;
    }
    const std::string text = uri;
    g_free(uri);
    return launch(app.get(), text, error);
}

}  // namespace platform

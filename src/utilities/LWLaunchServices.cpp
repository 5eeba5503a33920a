#include "utilities/LWLaunchServices.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>

#include "platform/core/Files.h"
#include "platform/core/PathPieces.h"
#include "platform/core/UniqueFd.h"
#include "platform/desktop/FavouriteVolumes.h"
#include "platform/desktop/FileURL.h"
#include "platform/desktop/GioLibrary.h"
#include "platform/desktop/LoginItems.h"
#include "platform/desktop/MimeDatabase.h"
#include "platform/desktop/URLHandlers.h"
#include "platform/fuse/MountRoot.h"

namespace fs = std::filesystem;
using platform::FavouriteVolumes;
using platform::LoginItems;

namespace {

std::string takeString(gchar* s) {
    std::string r = s ? s : "";
    g_free(s);
    return r;
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// What the desktop's MIME database makes of a file (symbolic links followed):
// its kind for anything but a regular file, else its name and first bytes.
// None when it is missing.
std::optional<std::string> contentTypeOfFile(const std::string& path) {
    const platform::GioLibrary& gio = platform::gioLibrary();
    if (!gio.loaded) return std::nullopt;
    platform::useMimeDatabase();
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    if (S_ISDIR(st.st_mode)) return "inode/directory";
    if (S_ISFIFO(st.st_mode)) return "inode/fifo";
    if (S_ISSOCK(st.st_mode)) return "inode/socket";
    if (S_ISCHR(st.st_mode)) return "inode/chardevice";
    if (S_ISBLK(st.st_mode)) return "inode/blockdevice";
    unsigned char head[4096];
    ssize_t n = -1;  // unreadable: the name alone decides
    if (platform::UniqueFd fd(platform::openRegularFile(path)); fd.get() >= 0) {
        do n = read(fd.get(), head, sizeof head);
        while (n < 0 && errno == EINTR);
    }
    const std::string name(platform::lastComponent(path));
    return takeString(gio.contentTypeGuess(name.c_str(), n >= 0 ? head : nullptr,
                                           n >= 0 ? size_t(n) : 0, nullptr));
}

// The type of a file-name extension alone; none when the database does not
// know it.
std::optional<std::string> contentTypeForExtension(const std::string& extension) {
    const platform::GioLibrary& gio = platform::gioLibrary();
    if (extension.empty() || !gio.loaded) return std::nullopt;
    platform::useMimeDatabase();
    gboolean uncertain = FALSE;
    const std::string type =
        takeString(gio.contentTypeGuess(("x." + extension).c_str(), nullptr, 0, &uncertain));
    if (type.empty() || (uncertain && gio.contentTypeIsUnknown(type.c_str()))) return std::nullopt;
    return type;
}

// The URL a login item is stored under: its program's, when absolute.
std::string storedURLOf(const LoginItems::Entry& e) {
    return !e.program.empty() && e.program.front() == '/' ? platform::fileURLForPath(e.program)
                                                          : std::string();
}

LWLaunchServicesListItem loginItem(const LoginItems::Entry& e) {
    LWLaunchServicesListItem item;
    item.name = e.name.empty() ? fs::path(e.file).stem().string() : e.name;
    item.icon = e.icon;
    if (std::string url = storedURLOf(e); !url.empty() && exists(e.program)) item.url = url;
    return item;
}

LWLaunchServicesListItem favouriteItem(const FavouriteVolumes::Bookmark& b) {
    LWLaunchServicesListItem item;
    item.name = b.label;
    if (auto path = platform::pathForFileURL(b.uri)) {
        if (item.name.empty()) item.name = takeString(g_filename_display_basename(path->c_str()));
        if (auto type = contentTypeOfFile(*path)) {
            item.url = b.uri;
            item.icon =
                takeString(platform::gioLibrary().contentTypeGenericIconName(type->c_str()));
        }
        return item;
    }
    // Another scheme: resolving it could mean mounting; it stands as stored.
    item.url = b.uri;
    item.icon = "folder-remote";
    if (item.name.empty()) {
        const std::string tail(platform::lastComponent(b.uri));
        gchar* unescaped = g_uri_unescape_string(tail.c_str(), nullptr);
        item.name = unescaped && *unescaped ? unescaped : b.uri;
        g_free(unescaped);
    }
    return item;
}

// What matching by URL needs of each entry, in list order: the URL it is
// stored under (which outlives its target) and whether it is ours to remove.
// No target is looked at: a bookmark on a hung network mount would block.
struct StoredEntry {
    std::string url;
    bool ours = false;
};

std::vector<StoredEntry> storedEntries(LWSharedFileList list) {
    std::vector<StoredEntry> entries;
    if (list == LWSharedFileList::SessionLoginItems)
        for (const auto& e : LoginItems::entries()) entries.push_back({storedURLOf(e), e.ours});
    else
        for (const auto& b : FavouriteVolumes::bookmarks()) entries.push_back({b.uri, true});
    return entries;
}

// Strictly below `root`, after ".." and "." are resolved in the text.
bool isUnder(const std::string& path, const std::string& root) {
    if (!root.starts_with('/')) return false;
    const std::string p = fs::path(path).lexically_normal().string();
    const std::string r = fs::path(root).lexically_normal().string();
    return platform::liesWithin(p, r) && !platform::liesWithin(r, p);
}

}  // namespace

std::vector<LWLaunchServicesListItem> LWLaunchServices::allItemsFromList(LWSharedFileList list) {
    std::vector<LWLaunchServicesListItem> items;
    if (list == LWSharedFileList::SessionLoginItems)
        for (const auto& e : LoginItems::entries()) items.push_back(loginItem(e));
    else
        for (const auto& b : FavouriteVolumes::bookmarks()) items.push_back(favouriteItem(b));
    return items;
}

bool LWLaunchServices::addItemWithURL(const std::string& url, LWSharedFileList list) {
    if (list == LWSharedFileList::FavoriteVolumes) return FavouriteVolumes::addURI(url);
    auto program = platform::pathForFileURL(url);
    return program && LoginItems::add(*program);
}

std::size_t LWLaunchServices::indexOfItemWithURL(const std::string& url, LWSharedFileList list) {
    const auto entries = storedEntries(list);
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (!url.empty() && entries[i].url == url) return i;
    return kNotFound;
}

bool LWLaunchServices::removeItemWithIndex(std::size_t index, LWSharedFileList list) {
    if (index == kNotFound) return false;
    if (list == LWSharedFileList::SessionLoginItems) {
        const auto entries = LoginItems::entries();
        return index < entries.size() && LoginItems::removeEntry(entries[index].file);
    }
    auto removed = FavouriteVolumes::removeIf(
        [index](std::size_t i, const FavouriteVolumes::Bookmark&) { return i == index; });
    return removed && *removed == 1;
}

bool LWLaunchServices::removeItemWithURL(const std::string& url, LWSharedFileList list) {
    // Another program's login item with the same URL must not hide ours.
    const auto entries = storedEntries(list);
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (!url.empty() && entries[i].url == url && entries[i].ours)
            return removeItemWithIndex(i, list);
    return false;
}

bool LWLaunchServices::clearList(LWSharedFileList list) {
    if (list == LWSharedFileList::SessionLoginItems) {
        bool all = true;
        for (const auto& e : LoginItems::entries())
            if (e.ours) all = LoginItems::removeEntry(e.file) && all;
        return all;
    }
    const std::string root = platform::mountRoot();
    return FavouriteVolumes::removeIf([&root](std::size_t, const FavouriteVolumes::Bookmark& b) {
               auto path = platform::pathForFileURL(b.uri);
               return path && isUnder(*path, root);
           })
        .has_value();
}

std::optional<std::string> LWLaunchServices::mimeTypeForFile(const std::string& path) {
    if (!exists(path)) return std::nullopt;
    std::string extension = fs::path(path).extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    auto type = contentTypeForExtension(extension);
    if (!type) return std::nullopt;
    std::string mime = takeString(platform::gioLibrary().contentTypeMimeType(type->c_str()));
    if (mime.empty()) return std::nullopt;
    return mime;
}

std::optional<std::string> LWLaunchServices::humanReadableTypeForFile(const std::string& path) {
    auto type = contentTypeOfFile(path);
    if (!type) return std::nullopt;
    std::string description =
        takeString(platform::gioLibrary().contentTypeDescription(type->c_str()));
    if (description.empty()) return std::nullopt;
    return description;
}

std::vector<std::string> LWLaunchServices::allApplicationsFormattedAs(int format) {
    std::vector<std::string> ids;
    for (const auto& app : platform::installedApplications()) ids.push_back(app.identifier);
    return prepareArray(ids, format);
}

std::vector<std::string> LWLaunchServices::allApplicationsAbleToOpenFileExtension(
    const std::string& extension, int format) {
    auto type = contentTypeForExtension(extension);
    if (!type) return {};
    std::vector<std::string> ids;
    for (const auto& app : platform::installedApplications(type)) ids.push_back(app.identifier);
    return prepareArray(ids, format);
}

std::vector<std::string> LWLaunchServices::prepareArray(const std::vector<std::string>& identifiers,
                                                        int format) {
    if (format != kFormatPath && format != kFormatDisplayName) return identifiers;
    std::map<std::string, platform::URLHandler> apps;
    for (auto& app : platform::installedApplications()) apps.emplace(app.identifier, app);
    return mappingArray(identifiers, [&](const std::string& id) -> std::optional<std::string> {
        auto it = apps.find(id);
        if (it == apps.end()) return std::nullopt;
        const std::string& value = format == kFormatPath ? it->second.executable : it->second.name;
        if (value.empty()) return std::nullopt;
        return value;
    });
}

std::vector<std::string> LWLaunchServices::allAvailableFileTypesForApplication(
    const std::string& application) {
    std::vector<std::string> types;
    for (auto& type :
         platform::applicationMimeTypes(application).value_or(std::vector<std::string>()))
        if (std::find(types.begin(), types.end(), type) == types.end())
            types.push_back(std::move(type));
    return types;
}

std::vector<std::string> LWLaunchServices::allAvailableMIMETypesForApplication(
    const std::string& application) {
    const auto database = platform::MimeDatabase::load();
    std::vector<std::string> types;
    for (const auto& type : allAvailableFileTypesForApplication(application)) {
        std::string canonical = database.canonicalType(type);
        if (database.isKnownType(canonical) &&
            std::find(types.begin(), types.end(), canonical) == types.end())
            types.push_back(std::move(canonical));
    }
    return types;
}

std::vector<std::string> LWLaunchServices::allAvailableFileExtensionsForApplication(
    const std::string& application) {
    const auto database = platform::MimeDatabase::load();
    std::vector<std::string> extensions;
    for (const auto& type : allAvailableFileTypesForApplication(application))
        for (auto& extension : database.extensionsForType(type))
            if (std::find(extensions.begin(), extensions.end(), extension) == extensions.end())
                extensions.push_back(std::move(extension));
    return extensions;
}

std::vector<std::string> LWLaunchServices::allAvailableFileExtensionsForMIMEType(
    const std::string& mimeType) {
    return platform::MimeDatabase::load().extensionsForType(mimeType);
}

std::optional<std::string> LWLaunchServices::preferredFileExtensionForMIMEType(
    const std::string& mimeType) {
    auto extensions = allAvailableFileExtensionsForMIMEType(mimeType);
    if (extensions.empty()) return std::nullopt;
    return extensions.front();
}

std::vector<std::string> LWLaunchServices::allAvailableFileExtensionsForFileExtension(
    const std::string& extension) {
    const auto database = platform::MimeDatabase::load();
    auto type = database.typeForExtension(extension);
    if (!type) return {};
    return database.extensionsForType(*type);
}

#pragma once
// The desktop's shared file lists and its type database.
//
// Lists:
// - SessionLoginItems: the XDG autostart entries ($XDG_CONFIG_HOME/autostart,
//   "*.desktop" in file name order; "Hidden=true" counts as absent). An
//   item's URL is the file URL of the program its Exec= starts. Only our own
//   entry (the one with our marker key) can be added, removed or cleared:
//   another program's autostart entry is listed but never touched, so
//   removing it answers false. We keep one entry: adding a URL points it at
//   that program.
// - FavoriteVolumes: the file manager's bookmarks
//   ($XDG_CONFIG_HOME/gtk-3.0/bookmarks). Items match by the URI stored in
//   the file, so a volume is found and removed after its mount point is
//   gone. clearList removes only the bookmarks that lie under our mount root
//   (platform::mountRoot()): the user's own bookmarks are never cleared.
//
// An item whose target is gone is listed with no URL; it still matches its
// stored URL. URLs compare as text (build file URLs with
// platform::fileURLForPath). Icons are icon names of the desktop's icon theme
// (or an icon file's path where an autostart entry names one); empty when
// there is none. Failure answers false or none; nothing is logged.
//
// Type queries go through the shared MIME database; a desktop-entry id
// stands in for the bundle identifier of an application, and a desktop
// entry (its path or id) for an application's bundle. MIME types are the
// desktop's type identifiers, so the queries by type identifier and by
// pasteboard type have no counterpart here.

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

enum class LWSharedFileList { SessionLoginItems, FavoriteVolumes };

struct LWLaunchServicesListItem {
    std::string name;
    std::optional<std::string> url;  // none when the target is gone
    std::string icon;                // an icon name; empty when none
};

class LWLaunchServices {
  public:
    static constexpr std::size_t kNotFound = std::numeric_limits<std::size_t>::max();

    // Application formats of prepareArray.
    static constexpr int kFormatPath = 1;
    static constexpr int kFormatDisplayName = 2;

    static std::vector<LWLaunchServicesListItem> allItemsFromList(LWSharedFileList list);
    // Appends `url` (a bookmark already there counts as added).
    static bool addItemWithURL(const std::string& url, LWSharedFileList list);
    // The index in allItemsFromList of the first item stored with `url`.
    static std::size_t indexOfItemWithURL(const std::string& url, LWSharedFileList list);
    // Removes the item at `index` of a fresh listing; false for kNotFound,
    // an index past the end, or an item that is not ours to remove.
    static bool removeItemWithIndex(std::size_t index, LWSharedFileList list);
    // Removes the first item stored with `url` that is ours to remove; false
    // (nothing changed) when there is none.
    static bool removeItemWithURL(const std::string& url, LWSharedFileList list);
    // Removes every item of ours (see above for each list); true when all of
    // them went.
    static bool clearList(LWSharedFileList list);

    // The MIME type of an existing file's extension; none for a missing file,
    // an empty extension or one the database does not know.
    static std::optional<std::string> mimeTypeForFile(const std::string& path);
    // The description of an existing file's type ("plain text document");
    // none for a missing file.
    static std::optional<std::string> humanReadableTypeForFile(const std::string& path);

    // The types the application's desktop entry opens (its MimeType= list,
    // in order, without repeats); empty for no such application.
    static std::vector<std::string> allAvailableFileTypesForApplication(
        const std::string& application);
    // Of those, the file types the MIME database knows, by their own names
    // (aliases resolved; URL schemes and unknown types left out).
    static std::vector<std::string> allAvailableMIMETypesForApplication(
        const std::string& application);
    // The extensions of those types, in that order, without repeats.
    static std::vector<std::string> allAvailableFileExtensionsForApplication(
        const std::string& application);
    // The extensions ("*.ext" globs) of the type, preferred first.
    static std::vector<std::string> allAvailableFileExtensionsForMIMEType(
        const std::string& mimeType);
    // The preferred one of those; none when the type has none.
    static std::optional<std::string> preferredFileExtensionForMIMEType(
        const std::string& mimeType);
    // The extensions of the type of `extension` (itself among them).
    static std::vector<std::string> allAvailableFileExtensionsForFileExtension(
        const std::string& extension);

    // The ids of all installed applications, or of the applications that open
    // files with extension `extension`, through prepareArray.
    static std::vector<std::string> allApplicationsFormattedAs(int format);
    static std::vector<std::string> allApplicationsAbleToOpenFileExtension(
        const std::string& extension, int format);
    // kFormatPath: each id to its executable's absolute path; kFormatDisplayName:
    // to its display name; any other format: unchanged. Ids that cannot be
    // mapped are dropped.
    static std::vector<std::string> prepareArray(const std::vector<std::string>& identifiers,
                                                 int format);

    // Maps every element in order and drops those the block answers none for.
    template <class T, class Block>
    static auto mappingArray(const std::vector<T>& array, Block&& block) {
        using Mapped = typename std::invoke_result_t<Block&, const T&>::value_type;
        std::vector<Mapped> out;
        for (const T& element : array)
            if (auto mapped = block(element)) out.push_back(std::move(*mapped));
        return out;
    }
};

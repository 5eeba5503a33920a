#pragma once
// The file-name globs and aliases of the shared MIME database
// (mime/globs2 and mime/aliases under $XDG_DATA_HOME and each of
// $XDG_DATA_DIRS, as update-mime-database writes them). GIO answers what
// type a file has, but not which extensions a type has.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct MimeGlob {
    int weight = 50;
    std::string type;
    std::string pattern;
    bool caseSensitive = false;
};

// The globs of a globs2 file ("weight:type:pattern[:flags]" lines), in file
// order; malformed lines are skipped.
std::vector<MimeGlob> parseMimeGlobs(std::string_view text);
// The aliases of an aliases file ("alias canonical" lines).
std::map<std::string, std::string> parseMimeAliases(std::string_view text);

class MimeDatabase {
  public:
    // Read now from the XDG data folders, the user's first. A folder's
    // "__NOGLOBS__" entry for a type drops that type's globs of the folders
    // after it.
    static MimeDatabase load();
    MimeDatabase(std::vector<std::vector<MimeGlob>> globsByFolder,
                 std::map<std::string, std::string> aliases, std::set<std::string> types = {});

    // Whether the database defines the type (its "types" lists), by its own
    // name or an alias.
    bool isKnownType(const std::string& type) const;

    // The type an alias stands for; any other type unchanged.
    std::string canonicalType(const std::string& type) const;
    // The extensions ("*.ext" globs) of the type or of the type an alias
    // names, preferred first (highest weight, then database order), without
    // repeats.
    std::vector<std::string> extensionsForType(const std::string& type) const;
    // The type whose "*.ext" glob matches the extension with the highest
    // weight (case ignored unless the glob says otherwise).
    std::optional<std::string> typeForExtension(const std::string& extension) const;

  private:
    std::vector<MimeGlob> globs_;  // highest weight first, then database order
    std::map<std::string, std::string> aliases_;
    std::set<std::string> types_;
};

}  // namespace platform

#include "platform/desktop/MimeDatabase.h"

#include <algorithm>

#include "platform/core/Files.h"
#include "platform/core/XdgPaths.h"

namespace platform {

namespace {

constexpr std::string_view kNoGlobs = "__NOGLOBS__";

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.front() != '#') out.push_back(line);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return out;
}

std::vector<std::string_view> split(std::string_view line, char separator) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t at = line.find(separator);
        fields.push_back(line.substr(0, at));
        if (at == std::string_view::npos) return fields;
        line.remove_prefix(at + 1);
    }
}

// The extension of a "*.ext" glob; empty for any other pattern.
std::string extensionOf(const std::string& pattern) {
    if (pattern.size() < 3 || pattern.compare(0, 2, "*.") != 0) return {};
    const std::string extension = pattern.substr(2);
    if (extension.find_first_of("*?[") != std::string::npos) return {};
    return extension;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::vector<std::string> mimeFolders() {
    std::vector<std::string> folders{xdgDataHome() + "/mime"};
    for (const auto& dir : xdgDataDirs()) folders.push_back(dir + "/mime");
    return folders;
}

}  // namespace

std::vector<MimeGlob> parseMimeGlobs(std::string_view text) {
    std::vector<MimeGlob> globs;
    for (std::string_view line : lines(text)) {
        const auto fields = split(line, ':');
        if (fields.size() < 3 || fields[1].empty() || fields[2].empty()) continue;
        MimeGlob glob;
        int weight = 0;
        bool digits = !fields[0].empty() && fields[0].size() <= 3;
        for (char c : fields[0]) {
            digits = digits && c >= '0' && c <= '9';
            if (digits) weight = weight * 10 + (c - '0');
        }
        if (!digits) continue;
        glob.weight = weight;
        glob.type = std::string(fields[1]);
        glob.pattern = std::string(fields[2]);
        if (fields.size() > 3)
            for (std::string_view flag : split(fields[3], ','))
                if (flag == "cs") glob.caseSensitive = true;
        globs.push_back(std::move(glob));
    }
    return globs;
}

std::map<std::string, std::string> parseMimeAliases(std::string_view text) {
    std::map<std::string, std::string> aliases;
    for (std::string_view line : lines(text)) {
        const auto fields = split(line, ' ');
        if (fields.size() == 2 && !fields[0].empty() && !fields[1].empty())
            aliases.emplace(std::string(fields[0]), std::string(fields[1]));
    }
    return aliases;
}

MimeDatabase MimeDatabase::load() {
    std::vector<std::vector<MimeGlob>> globs;
    std::map<std::string, std::string> aliases;
    std::set<std::string> types;
    for (const auto& folder : mimeFolders()) {
        const std::string typeList = readRegularFile(folder + "/types").value_or("");
        for (std::string_view type : lines(typeList)) types.emplace(type);
        globs.push_back(parseMimeGlobs(readRegularFile(folder + "/globs2").value_or("")));
        // The user's folder comes first, so its aliases win.
        aliases.merge(parseMimeAliases(readRegularFile(folder + "/aliases").value_or("")));
    }
    return MimeDatabase(std::move(globs), std::move(aliases), std::move(types));
}

MimeDatabase::MimeDatabase(std::vector<std::vector<MimeGlob>> globsByFolder,
                           std::map<std::string, std::string> aliases, std::set<std::string> types)
    : aliases_(std::move(aliases)), types_(std::move(types)) {
    std::set<std::string> closed;  // types whose globs an earlier folder replaced
    for (auto& folder : globsByFolder) {
        std::set<std::string> closing;
        for (auto& glob : folder) {
            if (glob.pattern == kNoGlobs) {
                closing.insert(glob.type);
                continue;
            }
            if (!closed.count(glob.type)) globs_.push_back(std::move(glob));
        }
        closed.merge(closing);
    }
    std::stable_sort(globs_.begin(), globs_.end(),
                     [](const MimeGlob& a, const MimeGlob& b) { return a.weight > b.weight; });
}

bool MimeDatabase::isKnownType(const std::string& type) const {
    return types_.count(canonicalType(type)) != 0;
}

std::string MimeDatabase::canonicalType(const std::string& type) const {
    auto it = aliases_.find(type);
    return it == aliases_.end() ? type : it->second;
}

std::vector<std::string> MimeDatabase::extensionsForType(const std::string& type) const {
    const std::string canonical = canonicalType(type);
    std::vector<std::string> extensions;
    for (const auto& glob : globs_) {
        if (canonicalType(glob.type) != canonical) continue;
        std::string extension = extensionOf(glob.pattern);
        if (!extension.empty() &&
            std::find(extensions.begin(), extensions.end(), extension) == extensions.end())
            extensions.push_back(std::move(extension));
    }
    return extensions;
}

std::optional<std::string> MimeDatabase::typeForExtension(const std::string& extension) const {
    if (extension.empty()) return std::nullopt;
    const std::string folded = lower(extension);
    for (const auto& glob : globs_) {  // highest weight first
        const std::string own = extensionOf(glob.pattern);
        if (!own.empty() && (glob.caseSensitive ? own == extension : lower(own) == folded))
            return glob.type;
    }
    return std::nullopt;
}

}  // namespace platform

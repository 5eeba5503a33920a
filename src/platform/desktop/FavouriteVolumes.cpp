#include "platform/desktop/FavouriteVolumes.h"

#include <glib.h>

#include <cerrno>
#include <filesystem>
#include <mutex>

#include "platform/core/Files.h"
#include "platform/core/XdgPaths.h"
#include "platform/desktop/FileURL.h"

namespace platform {

namespace {

// Lines with their own endings, so that they are written back unchanged.
// None when the file is there but cannot be read (or is no regular file):
// rewriting it then would lose the user's bookmarks.
std::optional<std::vector<std::string>> readLines(const std::string& file) {
    std::vector<std::string> lines;
    const auto text = readRegularFile(file);
    if (!text) {
        if (errno == ENOENT) return lines;
        return std::nullopt;
    }
    for (size_t at = 0; at < text->size();) {
        size_t end = text->find('\n', at);
        end = end == std::string::npos ? text->size() : end + 1;
        lines.push_back(text->substr(at, end - at));
        at = end;
    }
    return lines;
}

std::optional<FavouriteVolumes::Bookmark> bookmarkOfLine(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    const size_t space = line.find(' ');
    FavouriteVolumes::Bookmark b{line.substr(0, space),
                                 space == std::string::npos ? "" : line.substr(space + 1)};
    gchar* scheme = g_uri_parse_scheme(b.uri.c_str());
    if (!scheme) return std::nullopt;
    g_free(scheme);
    return b;
}

bool writeLines(const std::string& file, const std::vector<std::string>& lines) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    std::string text;
    for (const auto& l : lines) text += l;
    return replaceFileContents(file, text);
}

// Each change reads, edits and rewrites the whole file: two at once in this
// process would lose one of them.
std::mutex gRewriteMutex;

}  // namespace

std::string FavouriteVolumes::bookmarksPath() {
    return xdgConfigHome() + "/gtk-3.0/bookmarks";
}

std::vector<FavouriteVolumes::Bookmark> FavouriteVolumes::bookmarks() {
    std::vector<Bookmark> list;
    for (const auto& l : readLines(bookmarksPath()).value_or(std::vector<std::string>{}))
        if (auto b = bookmarkOfLine(l)) list.push_back(std::move(*b));
    return list;
}

bool FavouriteVolumes::addURI(const std::string& uri) {
    if (uri.empty() || uri.find_first_of(" \r\n") != std::string::npos) return false;
    // A line without a scheme is no bookmark: it would never be listed or
    // found again, and each add would append it once more.
    if (!bookmarkOfLine(uri)) return false;
    std::lock_guard lock(gRewriteMutex);
    auto read = readLines(bookmarksPath());
    if (!read) return false;
    auto& lines = *read;
    for (const auto& l : lines)
        if (auto b = bookmarkOfLine(l); b && b->uri == uri) return true;
    if (!lines.empty() && lines.back().back() != '\n') lines.back() += '\n';
    lines.push_back(uri + "\n");
    return writeLines(bookmarksPath(), lines);
}

std::optional<std::size_t> FavouriteVolumes::removeIf(
    const std::function<bool(std::size_t, const Bookmark&)>& shouldRemove) {
    std::lock_guard lock(gRewriteMutex);
    auto read = readLines(bookmarksPath());
    if (!read) return std::nullopt;
    auto& lines = *read;
    std::vector<std::string> kept;
    std::size_t index = 0;
    for (auto& l : lines) {
        auto b = bookmarkOfLine(l);
        if (!b || !shouldRemove(index++, *b)) kept.push_back(std::move(l));
    }
    const std::size_t removed = lines.size() - kept.size();
    if (removed == 0) return 0;
    if (!writeLines(bookmarksPath(), kept)) return std::nullopt;
    return removed;
}

bool FavouriteVolumes::add(const std::string& path) {
    return addURI(fileURLForPath(path));
}

bool FavouriteVolumes::remove(const std::string& path) {
    const std::string uri = fileURLForPath(path);
    if (uri.empty()) return false;
    auto removed = removeIf([&](std::size_t, const Bookmark& b) { return b.uri == uri; });
    return removed && *removed > 0;
}

}  // namespace platform

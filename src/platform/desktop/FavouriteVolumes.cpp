#include "platform/desktop/FavouriteVolumes.h"

#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/core/XdgPaths.h"

namespace platform {

namespace {

std::string uriOf(const std::string& path) {
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string s = uri ? uri : "";
    g_free(uri);
    return s;
}

// Lines with their own endings, so that they are written back unchanged.
std::vector<std::string> readLines(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

std::string uriOfLine(const std::string& line) {
    std::string l = line;
    if (!l.empty() && l.back() == '\n') l.pop_back();
    return l.substr(0, l.find(' '));
}

bool writeLines(const std::string& file, const std::vector<std::string>& lines) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    const std::string temp = file + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        for (const auto& l : lines) out << l;
        if (!out.flush()) {
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), file.c_str()) == 0) return true;
    std::remove(temp.c_str());
    return false;
}

}  // namespace

std::string FavouriteVolumes::bookmarksPath() {
    return xdgConfigHome() + "/gtk-3.0/bookmarks";
}

bool FavouriteVolumes::add(const std::string& path) {
    const std::string uri = uriOf(path);
    if (uri.empty()) return false;
    auto lines = readLines(bookmarksPath());
    for (const auto& l : lines)
        if (uriOfLine(l) == uri) return true;
    if (!lines.empty() && lines.back().back() != '\n') lines.back() += '\n';
    lines.push_back(uri + "\n");
    return writeLines(bookmarksPath(), lines);
}

bool FavouriteVolumes::remove(const std::string& path) {
    const std::string uri = uriOf(path);
    if (uri.empty()) return false;
    auto lines = readLines(bookmarksPath());
    std::vector<std::string> kept;
    for (auto& l : lines)
        if (uriOfLine(l) != uri) kept.push_back(std::move(l));
    if (kept.size() == lines.size()) return false;
    return writeLines(bookmarksPath(), kept);
}

}  // namespace platform

#include "platform/core/PathPieces.h"

namespace platform {

namespace {

// `path` without its trailing slashes; "/" for the root itself.
std::string_view trimmed(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

}  // namespace

std::string_view lastComponent(std::string_view path) {
    path = trimmed(path);
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view parentPath(std::string_view path) {
    path = trimmed(path);
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    std::string_view parent = path.substr(0, slash);
    while (!parent.empty() && parent.back() == '/') parent.remove_suffix(1);
    return parent.empty() ? path.substr(0, 1) : parent;
}

bool liesWithin(std::string_view path, std::string_view dir) {
    if (dir.empty()) return false;
    path = trimmed(path);
    dir = trimmed(dir);
    if (dir == "/") return path.starts_with('/');
    return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

}  // namespace platform

#include "platform/gui/Bookmarks.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace platform {

namespace {

// Marks the data as ours, so that arbitrary bytes never resolve as a path.
constexpr std::string_view kMarker = "tessaro-bookmark:";

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::optional<BookmarkData> bookmarkDataForPath(const std::string& path, Error* error) {
    int code = 0;
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
        code = EINVAL;
    } else if (!exists(path)) {
        code = errno;
    }
    if (code) {
        if (error)
            *error = Error::posix(code, "Bookmark > create > " + path + ": " + std::strerror(code));
        return std::nullopt;
    }
    BookmarkData data(kMarker.begin(), kMarker.end());
    data.insert(data.end(), path.begin(), path.end());
    return data;
}

std::optional<std::string> resolveBookmarkData(const BookmarkData& data) {
    if (data.size() <= kMarker.size() ||
        std::memcmp(data.data(), kMarker.data(), kMarker.size()) != 0) {
        return std::nullopt;
    }
    std::string path(data.begin() + static_cast<std::ptrdiff_t>(kMarker.size()), data.end());
    if (path.front() != '/' || path.find('\0') != std::string::npos || !exists(path)) {
        return std::nullopt;
    }
    return path;
}

std::optional<BookmarkData> bookmarkDataFromValue(const Value& value) {
    if (const auto* d = value.ifData()) return *d;
    const auto* s = value.ifString();
    if (!s || s->size() % 4 != 0) return std::nullopt;
    BookmarkData out(s->size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(s->data()),
                            static_cast<int>(s->size()));
    if (n < 0) return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t pad = 0;
    if (!s->empty() && s->back() == '=') pad = (*s)[s->size() - 2] == '=' ? 2 : 1;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

}  // namespace platform

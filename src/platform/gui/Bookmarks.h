#pragma once
// Bookmarks of files and folders. The data is the item's absolute path in
// UTF-8 behind a short marker; it resolves while something exists at that
// path. Data that does not resolve is still valid data: callers keep it
// stored, since the item may come back (an unplugged disk, for example).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"
#include "platform/core/Value.h"

namespace platform {

using BookmarkData = std::vector<uint8_t>;

// Fails (error in the POSIX domain) when `path` is not absolute or nothing
// exists there.
std::optional<BookmarkData> bookmarkDataForPath(const std::string& path, Error* error = nullptr);

// The bookmarked path while something exists there; none for data that is
// not a bookmark or whose item is gone.
std::optional<std::string> resolveBookmarkData(const BookmarkData& data);

// Bookmark data as the user defaults give it back: data stays data, the
// base64 text that the JSON file turns data into is decoded. None for
// anything else.
std::optional<BookmarkData> bookmarkDataFromValue(const Value& value);

}  // namespace platform

#pragma once
// File operations of the reporter's pipeline. Each prints its "[Vexmor]"
// diagnostic in debug mode and reports failure by its result.

#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Error.h"

// Writes `bytes` to a temporary file beside `path` and renames it over, so a
// crash at any moment leaves the old file or the new one, never neither.
bool VXMWriteFileAtomically(const std::string& path, std::string_view bytes,
                            platform::Error* error = nullptr);
// With intermediate directories, mode 0755.
bool VXMCreateDirectory(const std::string& path);
// Moves the file into `directory` under its own name; on a clash it takes
// the first free "name-1.ext", "name-2.ext", ... and never replaces a file.
// The new path, or "" when the move failed.
std::string VXMMoveItemToDirectory(const std::string& path, const std::string& directory);
bool VXMRemoveItem(const std::string& path);
// Full paths of the entries of `directory` in the order the system lists
// them, leaving out names that begin with "."; false when it cannot be read.
bool VXMListDirectory(const std::string& directory, std::vector<std::string>& entries);
// The extension of the last path component without the dot ("" for none).
std::string VXMPathExtension(const std::string& path);
// The path without its extension.
std::string VXMDeletingPathExtension(const std::string& path);

#pragma once
// Zip archives of files and folders.

#include <string>

#include "platform/core/Error.h"

namespace platform {

// Writes a new zip archive at `zipPath` holding `source` (a file or a folder
// with everything below it) under its own name as the top entry, the way a
// bundle is packed for upload. Regular files are deflated, folders and
// symbolic links are kept as such, Unix permissions are recorded. An existing
// file at `zipPath` is an error and stays untouched; on any other failure
// nothing is left at `zipPath`.
bool zipWithParent(const std::string& source, const std::string& zipPath, Error* error = nullptr);

}  // namespace platform

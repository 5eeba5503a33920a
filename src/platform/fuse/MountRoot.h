#pragma once
// Where decrypted volumes are mounted, and what a volume's mount point is
// called.

#include <functional>
#include <string>

#include "platform/core/UserDefaults.h"

namespace platform {

// The user default "mountRoot" when it is set; else /media/$USER when that
// exists and is writable; else $XDG_RUNTIME_DIR/Tessaro; else
// /tmp/Tessaro-<uid>.
std::string mountRoot(const UserDefaults& defaults = UserDefaults::standard());

// "<root>/<name>-<suffix>", where name is the folder's last path component
// with every ".zel" removed (in any case); while `isTaken` says a candidate
// is in use, "-1", "-2", … is appended to that base.
std::string mountPathForFolder(const std::string& root, const std::string& folderPath,
                               const std::string& suffix,
                               const std::function<bool(const std::string&)>& isTaken);

}  // namespace platform

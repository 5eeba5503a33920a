#pragma once
// Where per-user files live on Linux: the XDG base directories, each from its
// variable when that holds an absolute path, else the usual default.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

std::string homeDirectory();                 // $HOME, else the password database, else "/"
std::string xdgConfigHome();                 // ~/.config
std::string xdgCacheHome();                  // ~/.cache
std::string xdgStateHome();                  // ~/.local/state
std::optional<std::string> xdgRuntimeDir();  // none when unset
std::string xdgDataHome();                   // ~/.local/share
// $XDG_DATA_DIRS's absolute entries, else /usr/local/share and /usr/share.
std::vector<std::string> xdgDataDirs();

// The name the running program was started under (the last component of its
// path): "Tessaro" for the application, "run" for the tool.
std::string processName();
// The logs folder of a program: xdgStateHome()/<process name>/Logs. Every
// program has its own, so none writes into or prunes another's logs. An empty
// name means this process's name.
std::string logsDirectory(std::string_view name = {});

}  // namespace platform

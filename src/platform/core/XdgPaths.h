#pragma once
// Where per-user files live on Linux: the XDG base directories, each from its
// variable when that holds an absolute path, else the usual default.

#include <optional>
#include <string>

namespace platform {

std::string homeDirectory();                 // $HOME, else the password database, else "/"
std::string xdgConfigHome();                 // ~/.config
std::string xdgCacheHome();                  // ~/.cache
std::string xdgStateHome();                  // ~/.local/state
std::optional<std::string> xdgRuntimeDir();  // none when unset

}  // namespace platform

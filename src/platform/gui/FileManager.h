#pragma once
// Showing an item in the desktop's file manager.

#include <functional>
#include <string>

namespace platform {

// Asks the file manager (org.freedesktop.FileManager1.ShowItems on the
// session bus) to show `path` selected in its folder; where none answers,
// opens the folder that holds it with the desktop's file manager
// (platform::folderHandler: never this program, even where it is the
// default for folders).
void showItemInFileManager(const std::string& path);

// Tests replace what is done (arguments: the method, "ShowItems" or
// "OpenFolder", and the URI); an empty function restores the real one.
void setFileManagerOverride(std::function<void(const std::string&, const std::string&)> f);

}  // namespace platform

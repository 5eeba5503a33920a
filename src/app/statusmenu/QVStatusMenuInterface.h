#pragma once
// What the application delegate and the main window ask of the status menu
// controller.

#include <string>

class QVStatusMenuInterface {
  public:
    virtual ~QVStatusMenuInterface() = default;
    // The mount road: the password panel for the folder, then its volume.
    virtual void mountFolderAtUrl(const std::string& path) = 0;
    // Unmounts the volume of the folder, if one is mounted; false (after
    // saying so) when it stays mounted because files on it are in use.
    virtual bool ejectVolumeOfFolder(const std::string& /*folderPath*/) { return true; }
    // False where the desktop has no tray: there the menu cannot be reached,
    // so the application must not keep running for it.
    virtual bool isRunningInTray() const { return true; }
};

#pragma once
// What the application delegate asks of the main window
// (QVMainWindowController).

#include <string>
#include <vector>

class QWidget;
class QVStatusMenuInterface;

class QVMainWindowInterface {
  public:
    virtual ~QVMainWindowInterface() = default;

    virtual QWidget* window() = 0;
    virtual void showWindow() = 0;
    virtual void hideWindow() = 0;

    virtual std::string currentVolumePath() const = 0;
    // Selects the folder again (the sidebar's selection changed to it).
    virtual void sourceListDidChangeSelectedItemPath(const std::string& path) = 0;
    // Adds encrypted folders to the sidebar.
    virtual void addVolumes(const std::vector<std::string>& paths) = 0;
    virtual void showInfoPanel() = 0;
    virtual void showNewCryptFolderSheet() = 0;
    // Locks the folder shown in the window (unmount of its QVFileSystem);
    // mounted volumes are not touched.
    virtual void lockCurrentFolder() = 0;
    // Ends a copy that runs in the window, its partial file removed, before
    // the application quits; the folder stays unlocked.
    virtual void stopCopying() {}
    // Handed to the browser controller; nullptr when the status menu goes.
    virtual void setStatusMenuController(QVStatusMenuInterface* controller) = 0;
};

#pragma once
// What the application delegate asks of the status menu controller.

#include <string>

class QVStatusMenuInterface {
  public:
    virtual ~QVStatusMenuInterface() = default;
    // The mount road: the password panel for the folder, then its volume.
    virtual void mountFolderAtUrl(const std::string& path) = 0;
};

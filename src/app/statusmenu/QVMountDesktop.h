#pragma once
// The mount controller in the application: its password panel, its alerts as
// window-modal sheets on the panel, the open panel, the file manager and the
// application's quit, all on the main thread.

#include <memory>

#include "app/statusmenu/QVPasswordPanel.h"
#include "mounting/QVFuseLoopbackController.h"

class QVAppDelegate;
class QVPasswordStore;

class QVMountDesktop : public QVFuseLoopbackControllerHost {
  public:
    explicit QVMountDesktop(QVPasswordPanel* panel) : panel_(panel) {}
    void askForFolder(const std::string& title, const std::string& startDirectory,
                      std::function<void(std::optional<std::string>)> done) override;
    void showAlert(const std::string& title, const std::string& text,
                   const std::vector<std::string>& buttons, std::function<void(int)> done) override;
    void showItemInFileManager(const std::string& path) override;
    void setActivationPolicy(int policy) override;
    void replyToApplicationShouldTerminate(bool terminate) override;
    void addFavouriteVolume(const std::string& mountPath) override;
    void removeFavouriteVolume(const std::string& mountPath) override;

  private:
    QVPasswordPanel* panel_;
};

// The whole of it, as the status menu owns it.
struct QVMountControllerParts {
    std::unique_ptr<QVPasswordPanel> panel;
    std::unique_ptr<QVMountDesktop> desktop;
    std::shared_ptr<QVFuseLoopbackController> controller;
};

// Made for the application's delegate; quitting then unmounts every volume
// first (the delegate's termination handler). `store` may be null.
std::shared_ptr<QVMountControllerParts> makeMountController(QVAppDelegate& delegate,
                                                            QVPasswordStore* store);

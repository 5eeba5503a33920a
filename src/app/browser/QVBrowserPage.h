#pragma once
// The main window's browser page: the column browser with its copy
// presenter (drops import, double click and Export export, row moves ask
// the same conflict question) behind the window's browser interface.
//
//   windowParts.browser = std::make_unique<QVBrowserPage>();

#include <memory>

#include "app/browser/QVBrowserController.h"
#include "app/logic/QVFuseInstaller.h"
#include "app/mainwindow/QVMainWindowController.h"

class QVCopyProgressPresenter;
class QVCopyProgressSheet;

class QVBrowserPage : public QVBrowserInterface {
  public:
    // The probe says whether FUSE is usable (the FUSE note otherwise).
    explicit QVBrowserPage(const QVFuseProbe& probe = QVFuseProbe::system());
    ~QVBrowserPage() override;

    QWidget* view() override { return browser_; }
    void setFileSystem(std::shared_ptr<QVFileSystem> fileSystem) override;
    void reload() override { browser_->reload(); }
    std::vector<std::string> selectedFiles() const override;
    std::string currentDirectory() const override;
    bool selectItemWithPath(const std::string& path) override {
        return browser_->selectItemWithPath(path);
    }
    void editSelectedItem() override { browser_->editSelectedItem(); }
    void setStatusMenu(QVStatusMenuInterface* statusMenu) override {
        browser_->setStatusMenu(statusMenu);
    }
    void setStatusTextField(QLabel* field) override { browser_->setStatusTextField(field); }
    void addContextActions(const std::vector<QAction*>& actions,
                           std::function<void()> validate) override {
        browser_->addContextActions(actions, std::move(validate));
    }
    void setContentsChangedHandler(std::function<void()> handler) override {
        browser_->onContentsChanged = std::move(handler);
    }

    QVBrowserController* browser() const { return browser_; }

  private:
    QVBrowserController* browser_;  // owned by the window once hosted
    QVCopyProgressSheet* sheet_ = nullptr;
    std::unique_ptr<QVCopyProgressPresenter> presenter_;
};

#include "app/browser/QVBrowserPage.h"

#include "app/browser/QVCopyProgressSheet.h"
#include "app/logic/QVCopyProgressPresenter.h"

QVBrowserPage::QVBrowserPage(const QVFuseProbe& probe)
    : browser_(new QVBrowserController(nullptr, {})) {
    // Without a usable FUSE the browser says so in its notes bar.
    browser_->setFuseInstalled(QVFuseInstaller::isFuseInstalled(probe));
}

QVBrowserPage::~QVBrowserPage() {
    browser_->setCopyPresenter(nullptr);
    if (!browser_->parent()) delete browser_;
}

void QVBrowserPage::setFileSystem(std::shared_ptr<QVFileSystem> fileSystem) {
    // The sheet belongs to the window, which hosts the page by now.
    if (!presenter_) {
        sheet_ = new QVCopyProgressSheet(browser_->window());
        presenter_ = std::make_unique<QVCopyProgressPresenter>(*sheet_);
        sheet_->onStop = [this] { presenter_->stopCopying(); };
        browser_->setCopyPresenter(presenter_.get());
    }
    browser_->setFileSystem(std::move(fileSystem));
}

std::vector<std::string> QVBrowserPage::selectedFiles() const {
    std::vector<std::string> paths;
    for (const auto& f : browser_->selectedFiles()) paths.push_back("/" + f->filePath());
    return paths;
}

std::string QVBrowserPage::currentDirectory() const {
    auto dir = browser_->currentDirectory();
    return dir ? "/" + dir->filePath() : std::string();
}

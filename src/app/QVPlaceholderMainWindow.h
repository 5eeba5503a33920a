#pragma once
// The main window until the main window controller is built: a menu bar with
// the application's commands and a list of the folders added to it, so the
// application can be started, shown, hidden and quit.

#include <QMainWindow>
#include <memory>
#include <string>
#include <vector>

#include "app/QVMainWindowInterface.h"

class QListWidget;
class QMenu;
class QVAppDelegate;
class QVUpdateController;

class QVPlaceholderMainWindow : public QMainWindow, public QVMainWindowInterface {
  public:
    explicit QVPlaceholderMainWindow(QVAppDelegate& delegate);
    ~QVPlaceholderMainWindow() override;

    QWidget* window() override { return this; }
    void showWindow() override;
    void hideWindow() override { hide(); }
    std::string currentVolumePath() const override { return current_; }
    void sourceListDidChangeSelectedItemPath(const std::string& path) override;
    void addVolumes(const std::vector<std::string>& paths) override;
    void showInfoPanel() override {}
    void showNewCryptFolderSheet() override {}
    void lockCurrentFolder() override {}
    void setStatusMenuController(QVStatusMenuInterface* controller) override {
        statusMenu_ = controller;
    }

    const std::vector<std::string>& volumes() const { return volumes_; }
    QMenu* tessaroMenu() const { return tessaroMenu_; }

  private:
    QListWidget* list_ = nullptr;
    QMenu* tessaroMenu_ = nullptr;
    std::unique_ptr<QVUpdateController> updateController_;
    std::vector<std::string> volumes_;
    std::string current_;
    QVStatusMenuInterface* statusMenu_ = nullptr;
};

#pragma once
// The mount controller's floating password panel: the folder's users, the
// password, the remember box, and a page for a folder that is mounted
// already. Above other windows; a wrong password shakes it.

#include <QDialog>
#include <functional>
#include <string>

#include "mounting/QVFuseLoopbackController.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QVariantAnimation;

class QVPasswordPanel : public QDialog, public QVPasswordPanelView {
  public:
    struct Actions {
        std::function<void()> apply;   // closePasswordPrompt(true)
        std::function<void()> cancel;  // closePasswordPrompt(false)
        std::function<void()> changeUser;
        std::function<void()> manage;      // manageSelectedFolderInGUI
        std::function<void()> showVolume;  // navigateToSelectedMountedVolume
    };
    QVPasswordPanel(std::function<std::string(const std::string&)> localized,
                    QWidget* parent = nullptr);
    void setActions(Actions actions) { actions_ = std::move(actions); }

    void showPage(int page) override;
    void setLabelText(const std::string& text) override;
    void setUserNames(const std::vector<std::string>& names) override;
    void selectUserName(const std::string& name) override;
    std::optional<std::string> selectedUserName() const override;
    std::string password() const override;
    void setPassword(const std::string& password) override;
    bool rememberPassword() const override;
    void setRememberPassword(bool on) override;
    void setRememberAvailable(bool available, const std::string& reason) override;
    void showPanel() override;
    void bringToFront() override;
    void hidePanel() override;
    void shake() override;
    void setUnlocking(bool running) override;

    QStackedWidget* pages() const { return pages_; }
    QComboBox* userPopup() const { return users_; }
    QLineEdit* passwordField() const { return password_; }
    QCheckBox* rememberBox() const { return remember_; }
    QPushButton* applyButton() const { return apply_; }
    QVariantAnimation* shakeAnimation() const { return shake_; }

  protected:
    void reject() override;

  private:
    void call(const std::function<void()>& f, const char* what);

    Actions actions_;
    QStackedWidget* pages_;
    QLabel* label_;
    QComboBox* users_;
    QLineEdit* password_;
    QCheckBox* remember_;
    QPushButton* apply_;
    QLabel* mountedLabel_;
    QVariantAnimation* shake_;
    bool fillingUsers_ = false;
    bool unlocking_ = false;
    bool rememberAvailable_ = true;
};

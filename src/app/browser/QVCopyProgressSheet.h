#pragma once
// The progress sheet of an import or export: what is copied where, a bar from
// 0 to 100, the bytes done and the time left, and a Stop button. Window-modal
// on the main window, opened with open().

#include <QDialog>
#include <functional>

#include "app/logic/QVCopyProgressPresenter.h"

class QLabel;
class QProgressBar;
class QPushButton;

class QVCopyProgressSheet : public QDialog, public QVCopyProgressView {
  public:
    explicit QVCopyProgressSheet(QWidget* mainWindow);

    // The Stop button.
    std::function<void()> onStop;

    void showProgressSheet() override;
    void hideProgressSheet() override;
    void setProgress(double percent) override;
    void setDescriptionText(const std::string& text) override;
    void setTimeText(const std::string& text) override;
    void openAlert(const platform::Alert& alert, platform::Alert::Completion done) override;

    QProgressBar* progressBar() const { return progressBar_; }
    QLabel* descriptionLabel() const { return description_; }
    QLabel* timeLabel() const { return time_; }
    QPushButton* stopButton() const { return stop_; }

  protected:
    // Escape stops the copy instead of closing the sheet under it.
    void reject() override;

  private:
    // One sheet at a time on the window: while another one (the copy's own
    // question, asked before the sheet came) is up, the sheet waits for it,
    // so that the one on top is always the one that can be answered.
    void openWhenWindowIsFree();
    bool wanted_ = false;

    QLabel* description_;
    QProgressBar* progressBar_;
    QLabel* time_;
    QPushButton* stop_;
};

#pragma once
// The rating prompt's alert as a window-modal sheet on the main window, and
// the software centre's page opened with the desktop's URL handler.

#include <functional>

#include "utilities/RatePrompt.h"

class QWidget;

class QVRatePromptPresenter : public RatePromptPresenter {
  public:
    // `mainWindow` gives the window to attach the sheet to (nullptr: none).
    explicit QVRatePromptPresenter(std::function<QWidget*()> mainWindow);

    bool hasMainWindow() override;
    void showAlert(const AlertTexts& texts, std::function<void(Response)> done) override;
    bool openURL(const std::string& url) override;

  private:
    std::function<QWidget*()> mainWindow_;
};

#pragma once
// The tour's window: a QStackedWidget of six pages with their buttons, and
// the step-count label.

#include <QWidget>
#include <array>
#include <functional>
#include <memory>

#include "app/logic/QVTourController.h"

class QLabel;
class QPushButton;
class QStackedWidget;

class QVTourWindow : public QWidget, public QVTourView {
  public:
    using Localizer = QVTourController::Localizer;

    explicit QVTourWindow(Localizer localized);

    // The controller whose actions the buttons run (not owned).
    void setController(QVTourController* controller) { controller_ = controller; }

    void render(const QVTourState& state) override;
    void showWindow() override;
    void closeWindow() override;

    QStackedWidget* tabView() const { return tabView_; }
    QLabel* noOfStepsLabel() const { return noOfStepsLabel_; }
    QPushButton* step4NextButton() const { return nextButtons_[3]; }
    QPushButton* step4SkipButton() const { return step4SkipButton_; }
    QPushButton* step5NextButton() const { return nextButtons_[4]; }
    QPushButton* step5SkipButton() const { return step5SkipButton_; }
    // The page's next or back button; none on the last or the first page.
    QPushButton* nextButton(int page) const { return nextButtons_[page]; }
    QPushButton* previousButton(int page) const { return previousButtons_[page]; }

  private:
    void run(void (QVTourController::*action)());

    QVTourController* controller_ = nullptr;
    QStackedWidget* tabView_ = nullptr;
    QLabel* noOfStepsLabel_ = nullptr;
    std::array<QPushButton*, QVTourController::kPageCount> nextButtons_{};
    std::array<QPushButton*, QVTourController::kPageCount> previousButtons_{};
    QPushButton* step4SkipButton_ = nullptr;
    QPushButton* step5SkipButton_ = nullptr;
};

// A tour controller with its window, wired together. The window lives as
// long as the controller.
std::unique_ptr<QVTourController> makeTourController(QVTourController::Localizer localized);

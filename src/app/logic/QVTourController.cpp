#include "app/logic/QVTourController.h"

QVTourController::QVTourController(std::shared_ptr<QVTourView> view, Localizer localized)
    : view_(std::move(view)), localized_(std::move(localized)) {
    if (!localized_) localized_ = [](const std::string& key) { return key; };
}

void QVTourController::show() {
    // A second tour starts counting from the start again.
    step_ = 0;
    state_.page = 0;
    view_->showWindow();
    state_.stepCountText = std::to_string(kPageCount);  // the fixed "6"
    state_.step4NextTitle = localized_("next");
    state_.step4SkipEnabled = true;
    state_.step4SkipVisible = true;
    state_.stepCountVisible = false;
    view_->render(state_);
}

void QVTourController::next() {
    // Past the last page there is nothing to step to; the count stays with the page.
    if (state_.page + 1 >= kPageCount) return;
    ++step_;
    ++state_.page;
    state_.stepCountVisible = true;
    view_->render(state_);
}

void QVTourController::previous() {
    if (state_.page == 0) return;
    --step_;
    --state_.page;
    if (step_ == 0) state_.stepCountVisible = false;
    view_->render(state_);
}

void QVTourController::close() {
    view_->closeWindow();
}

#pragma once
// The first-use tour: six pages stepped through one after another. The
// controller keeps the step and what the window shows; the window
// (QVTourWindow) draws it and calls back the actions of its buttons.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// What the tour window shows.
struct QVTourState {
    int page = 0;
    std::string stepCountText;
    bool stepCountVisible = false;
    std::string step4NextTitle;
    bool step4SkipEnabled = true;
    bool step4SkipVisible = true;
};

class QVTourView {
  public:
    virtual ~QVTourView() = default;
    virtual void render(const QVTourState& state) = 0;
    // Visible, in front, focused and centred.
    virtual void showWindow() = 0;
    virtual void closeWindow() = 0;
};

class QVTourController {
  public:
    static constexpr int kPageCount = 6;
    using Localizer = std::function<std::string(const std::string& key)>;

    QVTourController(std::shared_ptr<QVTourView> view, Localizer localized);

    // From the first page again, step 0, the step count hidden.
    void show();
    void next();
    void previous();
    void close();

    int64_t step() const { return step_; }
    const QVTourState& state() const { return state_; }
    QVTourView& view() const { return *view_; }

  private:
    std::shared_ptr<QVTourView> view_;
    Localizer localized_;
    int64_t step_ = 0;
    QVTourState state_;
};

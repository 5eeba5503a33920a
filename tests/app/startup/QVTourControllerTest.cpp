#include "app/logic/QVTourController.h"

#include <gtest/gtest.h>

namespace {

struct FakeView : QVTourView {
    QVTourState shown;
    int windowShows = 0, closes = 0;
    void render(const QVTourState& state) override { shown = state; }
    void showWindow() override { ++windowShows; }
    void closeWindow() override { ++closes; }
};

TEST(QVTourController, StepCountLabelAndStepFollowThePages) {
    auto view = std::make_shared<FakeView>();
    QVTourController tour(view, [](const std::string& key) { return "<" + key + ">"; });
    EXPECT_EQ(tour.step(), 0);

    // Each action, then the step, page and label visibility it leaves.
    struct Move {
        void (QVTourController::*action)();
        int64_t step;
        bool labelVisible;
    };
    const Move moves[] = {{&QVTourController::show, 0, false},
                          {&QVTourController::next, 1, true},
                          {&QVTourController::previous, 0, false},
                          {&QVTourController::next, 1, true},
                          {&QVTourController::next, 2, true},
                          {&QVTourController::previous, 1, true},
                          {&QVTourController::next, 2, true},
                          {&QVTourController::next, 3, true},
                          {&QVTourController::next, 4, true},
                          {&QVTourController::next, 5, true},
                          {&QVTourController::next, 5, true},  // nothing after the last page
                          // A second tour starts from the first page and step 0.
                          {&QVTourController::show, 0, false},
                          {&QVTourController::next, 1, true},
                          {&QVTourController::previous, 0, false},
                          {&QVTourController::previous, 0, false}};
    int i = 0;
    for (const auto& m : moves) {
        SCOPED_TRACE(i++);
        (tour.*m.action)();
        EXPECT_EQ(tour.step(), m.step);
        EXPECT_EQ(view->shown.page, m.step);
        EXPECT_EQ(view->shown.stepCountVisible, m.labelVisible);
    }
    EXPECT_EQ(view->windowShows, 2);
    EXPECT_EQ(view->shown.stepCountText, "6");
    EXPECT_EQ(view->shown.step4NextTitle, "<next>");
    EXPECT_TRUE(view->shown.step4SkipEnabled && view->shown.step4SkipVisible);
    tour.close();
    EXPECT_EQ(view->closes, 1);
}

}  // namespace

#include "app/startup/QVTourWindow.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>

#include "support/QtTestApp.h"

TESSARO_QT_TEST_APP();

namespace {

TEST(QVTourWindow, ButtonsStepThroughThePagesAndShowingAgainStartsOver) {
    auto tour = makeTourController([](const std::string& key) { return "<" + key + ">"; });
    auto& window = dynamic_cast<QVTourWindow&>(tour->view());
    ASSERT_EQ(window.tabView()->count(), 6);

    tour->show();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.tabView()->currentIndex(), 0);
    EXPECT_EQ(window.noOfStepsLabel()->text(), "6");
    EXPECT_TRUE(window.noOfStepsLabel()->isHidden());
    EXPECT_EQ(window.step4NextButton()->text(), "<next>");
    EXPECT_TRUE(window.step4SkipButton()->isEnabled());
    EXPECT_FALSE(window.step4SkipButton()->isHidden());

    QTest::mouseClick(window.nextButton(0), Qt::LeftButton);
    EXPECT_EQ(window.tabView()->currentIndex(), 1);
    EXPECT_FALSE(window.noOfStepsLabel()->isHidden());
    QTest::mouseClick(window.previousButton(1), Qt::LeftButton);
    EXPECT_EQ(window.tabView()->currentIndex(), 0);
    EXPECT_TRUE(window.noOfStepsLabel()->isHidden());

    for (int page = 0; page < 4; ++page) QTest::mouseClick(window.nextButton(page), Qt::LeftButton);
    EXPECT_EQ(window.tabView()->currentIndex(), 4);
    EXPECT_EQ(tour->step(), 4);
    QTest::mouseClick(window.step5SkipButton(), Qt::LeftButton);
    EXPECT_FALSE(window.isVisible());

    // The tour again: first page, step 0, label hidden, and one step is one page.
    tour->show();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(tour->step(), 0);
    EXPECT_EQ(window.tabView()->currentIndex(), 0);
    EXPECT_TRUE(window.noOfStepsLabel()->isHidden());
    QTest::mouseClick(window.nextButton(0), Qt::LeftButton);
    QTest::mouseClick(window.previousButton(1), Qt::LeftButton);
    EXPECT_EQ(tour->step(), 0);
    EXPECT_TRUE(window.noOfStepsLabel()->isHidden());
}

}  // namespace

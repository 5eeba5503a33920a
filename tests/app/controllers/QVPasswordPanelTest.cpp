#include "app/statusmenu/QVPasswordPanel.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QVariantAnimation>

namespace {

TEST(QVPasswordPanel, UsersRememberBoxAndActions) {
    QVPasswordPanel panel([](const std::string& key) { return key; });
    int applies = 0, changes = 0;
    QVPasswordPanel::Actions actions;
    actions.apply = [&] { ++applies; };
    actions.changeUser = [&] { ++changes; };
    panel.setActions(actions);

    // Filling and selecting from code is no user change; choosing is.
    panel.setUserNames({"alice", "bob"});
    panel.selectUserName("bob");
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(panel.selectedUserName(), "bob");
    panel.userPopup()->setCurrentIndex(0);
    EXPECT_EQ(changes, 1);
    panel.setUserNames({});
    EXPECT_EQ(panel.selectedUserName(), std::nullopt);

    panel.setRememberPassword(true);
    EXPECT_TRUE(panel.rememberPassword());
    panel.setRememberAvailable(false, "no keyring");
    EXPECT_FALSE(panel.rememberBox()->isEnabled());
    EXPECT_EQ(panel.rememberBox()->toolTip(), "no keyring");
    EXPECT_FALSE(panel.rememberPassword());

    panel.applyButton()->click();
    EXPECT_EQ(applies, 1);
    EXPECT_TRUE(panel.windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST(QVPasswordPanel, ShakesSidewaysAndReturnsToItsOrigin) {
    QVPasswordPanel panel([](const std::string& key) { return key; });
    panel.resize(400, 200);
    panel.show();
    panel.move(100, 80);
    const QPoint origin = panel.pos();
    panel.shake();
    QVariantAnimation* a = panel.shakeAnimation();
    ASSERT_EQ(a->duration(), 500);
    a->pause();
    a->setCurrentTime(500 / 16);                    // the first swing's far end
    EXPECT_EQ(panel.pos(), origin + QPoint(8, 0));  // 0.02 of 400
    a->setCurrentTime(3 * 500 / 16);
    EXPECT_EQ(panel.pos(), origin - QPoint(8, 0));
    a->setCurrentTime(500);
    EXPECT_EQ(a->state(), QAbstractAnimation::Stopped);
    EXPECT_EQ(panel.pos(), origin);
}

}  // namespace

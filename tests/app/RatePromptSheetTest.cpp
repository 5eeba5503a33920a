#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMessageBox>
#include <QTimer>

#include "app/startup/QVRatePromptPresenter.h"
#include "platform/core/UserDefaults.h"
#include "platform/gui/Alert.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

namespace {

// The prompt's alert is a sheet of the main window, the event loop keeps
// running under it, and each way of closing it sets its key.
TEST(RatePromptSheet, WindowModalWithTheThreeChoices) {
    struct Case {
        int button;  // -1: Escape
        const char* key;
    };
    for (const Case c :
         {Case{0, kRatePromptRatedVersionCheckedKey}, Case{1, kRatePromptDeclinedVersionKey},
          Case{2, kRatePromptLastRemindedKey}, Case{-1, kRatePromptLastRemindedKey}}) {
        SCOPED_TRACE(c.button);
        testsupport::TempDir dir{"rate-sheet"};
        platform::UserDefaults defaults{(dir / "defaults.json").string()};
        QMainWindow window;
        window.show();
        QVRatePromptPresenter presenter([&] { return &window; });
        struct NoStore : RatePromptDelegate {
            bool ratePromptShouldOpenAppStore() override { return false; }
        } delegate;
        RatePrompt prompt({"Tessaro", "1.0", "com.norVane.Tessaro"}, defaults);
        prompt.setPresenter(&presenter);
        prompt.setDelegate(&delegate);
        prompt.promptForRating();

        auto alerts = platform::visibleAlerts();
        ASSERT_EQ(alerts.size(), 1u);
        QMessageBox* box = alerts[0];
        EXPECT_EQ(box->parentWidget(), &window);
        EXPECT_EQ(box->windowModality(), Qt::WindowModal);
        EXPECT_EQ(box->text(), "Rate Tessaro");
        ASSERT_EQ(box->buttons().size(), 3);

        bool fired = false;
        QTimer::singleShot(10, [&] { fired = true; });
        ASSERT_TRUE(testsupport::spinUntil([&] { return fired; }));
        EXPECT_TRUE(prompt.alertVisible());

        if (c.button >= 0) {
            platform::pressAlertButton(box, c.button);
        } else {
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(box, &esc);
        }
        ASSERT_TRUE(testsupport::spinUntil([&] { return !prompt.alertVisible(); }));
        for (auto key : {kRatePromptRatedVersionCheckedKey, kRatePromptDeclinedVersionKey,
                         kRatePromptLastRemindedKey}) {
            EXPECT_EQ(!defaults.objectForKey(key).isNull(), std::string(key) == c.key) << key;
        }
    }
}

}  // namespace

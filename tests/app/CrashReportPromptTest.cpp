#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <optional>

#include "reporter/sdk/VXMSDKController.h"

// After the reporter's headers: Qt's keyword macros would rewrite them.
#include "app/startup/ReporterStart.h"
#include "platform/gui/Alert.h"
#include "support/QtTestApp.h"

namespace {

// The alert asks with the service's texts, on the main window when one is
// shown, and each way of closing it gives its answer; Escape is Don't Send.
TEST(CrashReportPrompt, AsksWithTheServiceTextsAndAnswers) {
    struct Case {
        bool alwaysOffered;
        bool window;
        int button;  // -1: Escape
        VXMPermissionAnswer expected;
    };
    const Case cases[] = {
        {true, true, 0, VXMPermissionAnswer::Send},
        {true, true, 1, VXMPermissionAnswer::AlwaysSend},
        {true, true, 2, VXMPermissionAnswer::DontSend},
        {false, false, 1, VXMPermissionAnswer::DontSend},
        {false, true, -1, VXMPermissionAnswer::DontSend},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.button) + (c.alwaysOffered ? " always" : "") +
                     (c.window ? " window" : ""));
        std::optional<QMainWindow> window;
        if (c.window) window.emplace().show();
        VXMPermissionRequest request{"Send the crash report?", "Tessaro quit unexpectedly.", "Send",
                                     std::nullopt, "Don't Send"};
        if (c.alwaysOffered) request.alwaysSendTitle = "Always Send";
        std::optional<VXMPermissionAnswer> answer;
        app::crashReportPermissionPrompt()->askPermission(
            request, [&](VXMPermissionAnswer a) { answer = a; });

        auto alerts = platform::visibleAlerts();
        ASSERT_EQ(alerts.size(), 1u);
        QMessageBox* box = alerts[0];
        EXPECT_EQ(box->text(), "Send the crash report?");
        EXPECT_EQ(box->informativeText(), "Tessaro quit unexpectedly.");
        if (c.window) {
            EXPECT_EQ(box->parentWidget(), &*window);
            EXPECT_EQ(box->windowModality(), Qt::WindowModal);
        } else {
            EXPECT_EQ(box->parentWidget(), nullptr);
        }
        ASSERT_EQ(box->buttons().size(), c.alwaysOffered ? 3 : 2);
        EXPECT_FALSE(answer);
        if (c.button >= 0) {
            platform::pressAlertButton(box, c.button);
        } else {
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(box, &esc);
        }
        ASSERT_TRUE(testsupport::spinUntil([&] { return answer.has_value(); }));
        EXPECT_EQ(*answer, c.expected);
        ASSERT_TRUE(testsupport::spinUntil([] { return platform::visibleAlerts().empty(); }));
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

#include "app/mainwindow/CustomWindow.h"

namespace {

TEST(CustomWindow, DraggingStopsAtTheTopOfTheAvailableArea) {
    const QRect available(0, 30, 1280, 770);  // a panel above
    struct Case {
        QPoint origin, location, initial, expected;
    } cases[] = {
        {{100, 200}, {50, 40}, {10, 20}, {140, 220}},     // down and right: free
        {{100, 200}, {-500, 20}, {10, 20}, {-410, 200}},  // sideways past the edge: free
        {{100, 200}, {10, -150}, {10, 20}, {100, 30}},    // up: stops at the top
        {{100, 40}, {10, 10}, {10, 20}, {100, 30}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CustomWindow::draggedOrigin(c.origin, c.location, c.initial, available),
                  c.expected);
}

TEST(CustomWindow, FramelessAndMovedByItsBody) {
    CustomWindow w;
    w.resize(200, 100);
    w.move(300, 300);
    w.show();
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    const QPointF press(20, 20);
    QMouseEvent down(QEvent::MouseButtonPress, press, w.mapToGlobal(press), Qt::LeftButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &down);
    EXPECT_EQ(w.initialLocation(), QPoint(20, 20));
    const QPoint before = w.pos();
    const QPointF moved(60, 35);
    QMouseEvent drag(QEvent::MouseMove, moved, w.mapToGlobal(moved), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &drag);
    EXPECT_EQ(w.pos(), before + QPoint(40, 15));
}

}  // namespace

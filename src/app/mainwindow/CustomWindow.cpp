#include "app/mainwindow/CustomWindow.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>

#include "platform/gui/Application.h"

CustomWindow::CustomWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowOpacity(1.0);
    setFocusPolicy(Qt::StrongFocus);
}

QPoint CustomWindow::draggedOrigin(QPoint origin, QPoint location, QPoint initial,
                                   const QRect& available) {
    QPoint next = origin + (location - initial);
    if (next.y() < available.top()) next.setY(available.top());
    return next;
}

void CustomWindow::mousePressEvent(QMouseEvent* e) {
    platform::runGuarded("CustomWindow > mouseDown", [&] {
        initialLocation_ = e->position().toPoint();
        activateWindow();
        // Wayland lets no client place its window: the compositor moves it.
        if (e->button() == Qt::LeftButton &&
            QGuiApplication::platformName().startsWith("wayland") && windowHandle())
            windowHandle()->startSystemMove();
    });
}

void CustomWindow::mouseMoveEvent(QMouseEvent* e) {
    platform::runGuarded("CustomWindow > mouseDragged", [&] {
        if (!(e->buttons() & Qt::LeftButton)) return;
        QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
        const QRect available = s ? s->availableGeometry() : QRect();
        move(draggedOrigin(pos(), e->position().toPoint(), initialLocation_, available));
    });
}

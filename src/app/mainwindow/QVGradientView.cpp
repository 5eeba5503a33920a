#include "app/mainwindow/QVGradientView.h"

#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <cmath>
#include <numbers>

#include "platform/gui/Application.h"

QVGradientView::QVGradientView(QWidget* parent) : QWidget(parent) {}

void QVGradientView::setStartingColor(const QColor& c) {
    starting_ = c;
    update();
}

void QVGradientView::setEndingColor(const QColor& c) {
    ending_ = c;
    update();
}

void QVGradientView::paintEvent(QPaintEvent* e) {
    platform::runGuarded("GradientView > paint", [&] {
        QPainter p(this);
        if (!ending_.isValid() || ending_ == starting_) {
            p.fillRect(e->rect(), starting_);
            return;
        }
        // The gradient line runs through the centre at the angle, long enough
        // to touch the corners; Qt's y axis points down.
        const double a = angle_ * std::numbers::pi / 180.0;
        const double dx = std::cos(a), dy = -std::sin(a);
        const QPointF c = QRectF(rect()).center();
        const double half = (std::abs(dx) * width() + std::abs(dy) * height()) / 2.0;
        QLinearGradient g(c - QPointF(dx, dy) * half, c + QPointF(dx, dy) * half);
        g.setColorAt(0, starting_);
        g.setColorAt(1, ending_);
        p.fillRect(rect(), g);
    });
}

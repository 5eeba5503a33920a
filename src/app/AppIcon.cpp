#include "app/AppIcon.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace app {

// Drawn rather than loaded: Qt reads SVG only with an extra module. The same
// picture as resources/tessaro.svg: a folder with a padlock.
namespace {

// Painted on any device of `size` × `size`; QImage keeps this usable off the
// GUI thread.
void paintIcon(QPaintDevice& device, int size) {
    QPainter p(&device);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 128.0, size / 128.0);
    QPainterPath back;
    back.addRoundedRect(10, 24, 108, 88, 6, 6);
    p.fillPath(back, QColor("#2f6fb3"));
    QPainterPath front;
    front.addRoundedRect(10, 44, 108, 68, 6, 6);
    p.fillPath(front, QColor("#3f8ad8"));
    p.setPen(QPen(Qt::white, 7));
    p.drawArc(QRectF(50, 50, 28, 28), 0, 180 * 16);
    p.drawLine(QPointF(50, 64), QPointF(50, 72));
    p.drawLine(QPointF(78, 64), QPointF(78, 72));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(42, 70, 44, 32), 5, 5);
    p.setBrush(QColor("#2f6fb3"));
    p.drawEllipse(QPointF(64, 84), 5, 5);
    p.drawRoundedRect(QRectF(61.5, 86, 5, 9), 2, 2);
}

}  // namespace

QIcon applicationIcon() {
    QIcon icon;
    for (int size : {16, 32, 64, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        paintIcon(pixmap, size);
        icon.addPixmap(pixmap);
    }
    return icon;
}

QByteArray applicationIconPNG(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    paintIcon(image, size);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) return {};
    return png;
}

}  // namespace app

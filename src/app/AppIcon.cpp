#include "app/AppIcon.h"

#include <QApplication>
#include <QBuffer>
#include <QIconEngine>
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

QIcon paintedIcon() {
    QIcon icon;
    for (int size : {16, 32, 64, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        paintIcon(pixmap, size);
        icon.addPixmap(pixmap);
    }
    return icon;
}

class DeferredStandardIconEngine : public QIconEngine {
  public:
    explicit DeferredStandardIconEngine(QStyle::StandardPixmap which) : which_(which) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return icon().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        return icon().pixmap(size / scale, scale, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return icon().availableSizes(mode, state);
    }
    // Asked while laying out; answered without reading the pictures (every
    // style has its standard icons).
    bool isNull() override { return false; }
    QIconEngine* clone() const override { return new DeferredStandardIconEngine(which_); }
    QString key() const override { return QStringLiteral("tessaro-deferred-standard"); }

  private:
    const QIcon& icon() {
        if (!resolved_) {
            resolved_ = true;
            if (QStyle* style = QApplication::style()) icon_ = style->standardIcon(which_);
        }
        return icon_;
    }

    QStyle::StandardPixmap which_;
    bool resolved_ = false;
    QIcon icon_;
};

}  // namespace

QIcon applicationIcon() {
    // Freed with the application object, before Qt's own statics go.
    static QIcon* drawn = nullptr;
    if (!drawn) {
        drawn = new QIcon(paintedIcon());
        qAddPostRoutine([] {
            delete drawn;
            drawn = nullptr;
        });
    }
    return *drawn;
}

QIcon deferredStandardIcon(QStyle::StandardPixmap which) {
    return QIcon(new DeferredStandardIconEngine(which));
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

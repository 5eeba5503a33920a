#include "app/mainwindow/QVDropView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QUrl>
#include <algorithm>

#include "Logging/LGLog.h"
#include "Logging/LGLogMacros.h"
#include "app/QVAppDelegate.h"
#include "platform/gui/Application.h"
#include "platform/gui/FileNames.h"

namespace {

// The picture: a folder outline with an arrow into it.
QPixmap dropPicture(int w, int h) {
    QPixmap pm(w * 2, h * 2);
    pm.setDevicePixelRatio(2);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(60, 60, 60), 3, Qt::DashLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    const QRectF box(4, h * 0.3, w - 8, h * 0.7 - 4);
    p.drawRoundedRect(box, 10, 10);
    p.setPen(QPen(QColor(60, 60, 60), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const double cx = w / 2.0;
    p.drawLine(QPointF(cx, 4), QPointF(cx, h * 0.72));
    QPainterPath head;
    head.moveTo(cx - h * 0.16, h * 0.56);
    head.lineTo(cx, h * 0.74);
    head.lineTo(cx + h * 0.16, h * 0.56);
    p.drawPath(head);
    return pm;
}

bool offersFolders(const QMimeData* data) {
    return !app::droppedPaths(data).empty();
}

// More than copying: the source lets us link to or take its items.
bool permitsGeneric(Qt::DropActions actions) {
    return actions & (Qt::MoveAction | Qt::LinkAction);
}

}  // namespace

namespace app {

bool acceptAsCopy(QDropEvent* event) {
    if (!(event->possibleActions() & Qt::CopyAction)) {
        event->ignore();
        return false;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return true;
}

std::vector<std::string> droppedPaths(const QMimeData* data) {
    std::vector<std::string> paths;
    if (!data || !data->hasUrls()) return paths;
    for (const QUrl& u : data->urls())
        if (auto path = platform::localPathForUrl(u)) paths.push_back(std::move(*path));
    return paths;
}

}  // namespace app

QVDropView::QVDropView(QWidget* parent) : QVDropView(parent, QSize(180, 120), 0.5) {}

QVDropView::QVDropView(QWidget* parent, QSize pictureSize, double opaqueness)
    : QWidget(parent), pictureSize_(pictureSize), opaqueness_(opaqueness) {
    setAcceptDrops(true);
}

QSizeF QVDropView::pictureSizeForWidth(double) const {
    return pictureSize_;
}

void QVDropView::answerDrag(QDropEvent* e) const {
    if (!highlighted_) return e->ignore();
    // Never a move: the source must keep its folder.
    e->setDropAction(e->possibleActions() & Qt::LinkAction ? Qt::LinkAction : Qt::CopyAction);
    e->accept();
}

void QVDropView::dragEnterEvent(QDragEnterEvent* e) {
    platform::runGuarded("DropView > dragEnter", [&] {
        highlighted_ = offersFolders(e->mimeData()) && permitsGeneric(e->possibleActions());
        answerDrag(e);
        update();
    });
}

void QVDropView::dragMoveEvent(QDragMoveEvent* e) {
    platform::runGuarded("DropView > dragMove", [&] {
        // Each move proposes the keys' action again.
        answerDrag(e);
    });
}

void QVDropView::dragLeaveEvent(QDragLeaveEvent*) {
    platform::runGuarded("DropView > dragLeave", [&] {
        highlighted_ = false;
        update();
    });
}

void QVDropView::dropEvent(QDropEvent* e) {
    platform::runGuarded("DropView > drop", [&] {
        highlighted_ = false;
        update();
        std::vector<std::string> folders;
        if (permitsGeneric(e->possibleActions()))
            for (const std::string& path : app::droppedPaths(e->mimeData()))
                if (QVAppDelegate::fileIsEncryptedFolder(path)) folders.push_back(path);
        if (folders.empty()) {
            e->ignore();
            return;
        }
        e->setDropAction(e->possibleActions() & Qt::LinkAction ? Qt::LinkAction : Qt::CopyAction);
        e->accept();
        LGLogDebug("MWC > dropViewReceivedFiles");
        if (received_) received_(folders);
    });
}

void QVDropView::paintEvent(QPaintEvent*) {
    platform::runGuarded("DropView > paint", [&] {
        QPainter p(this);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        const QSizeF size = pictureSizeForWidth(width());
        const QRectF target((width() - size.width()) / 2, (height() - size.height()) / 2,
                            size.width(), size.height());
        if (picture_.isNull()) picture_ = dropPicture(pictureSize_.width(), pictureSize_.height());
        p.setOpacity(opaqueness_);
        p.drawPixmap(target, picture_, picture_.rect());
        p.setOpacity(1);
        if (highlighted_) {
            p.setPen(QPen(palette().color(QPalette::Highlight), 4));
            p.setBrush(Qt::NoBrush);
            p.drawRect(rect().adjusted(2, 2, -2, -2));
        }
    });
}

QVSidebarDropView::QVSidebarDropView(QWidget* parent)
    : QVDropView(parent, QSize(static_cast<int>(kPictureWidth), static_cast<int>(kPictureHeight)),
                 0.15) {
    setMinimumHeight(static_cast<int>(kPictureHeight) + 8);
}

QSizeF QVSidebarDropView::pictureSizeForWidth(double width) const {
    const double scale = std::min(1.15, width / kPictureWidth);
    return {kPictureWidth * scale, kPictureHeight * scale};
}

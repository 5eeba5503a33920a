#pragma once
// A drag from another program over a widget, then its drop, as the window
// system delivers them: the source offers copy, move and link, and the keys
// held choose the proposed action (Shift: move, Ctrl+Shift: link).

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QWidget>

namespace testsupport {

struct OutsideDrop {
    Qt::DropAction proposed = Qt::IgnoreAction;  // what the keys asked for
    bool moveAccepted = false;
    Qt::DropAction moveAction = Qt::IgnoreAction;  // what the target answered while hovering
    bool dropAccepted = false;
    Qt::DropAction dropAction = Qt::IgnoreAction;  // what the source is told at the end
};

inline OutsideDrop dropFromOutside(QWidget* target, const QMimeData* mime, QPoint at,
                                   Qt::KeyboardModifiers keys) {
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    OutsideDrop r;
    QDragEnterEvent enter(at, offered, mime, Qt::LeftButton, keys);
    r.proposed = enter.proposedAction();
    QCoreApplication::sendEvent(target, &enter);
    QDragMoveEvent move(at, offered, mime, Qt::LeftButton, keys);
    QCoreApplication::sendEvent(target, &move);
    r.moveAccepted = move.isAccepted();
    r.moveAction = move.dropAction();
    QDropEvent drop(QPointF(at), offered, mime, Qt::LeftButton, keys);
    QCoreApplication::sendEvent(target, &drop);
    r.dropAccepted = drop.isAccepted();
    r.dropAction = drop.dropAction();
    return r;
}

}  // namespace testsupport

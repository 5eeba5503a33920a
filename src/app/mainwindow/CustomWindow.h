#pragma once
// A frameless, see-through window that still takes the keyboard and that the
// user moves by dragging anywhere in it. Never dragged above the top of the
// screen's available area; on Wayland the compositor moves it.

#include <QPoint>
#include <QRect>
#include <QWidget>

class CustomWindow : public QWidget {
  public:
    explicit CustomWindow(QWidget* parent = nullptr);

    // Where a window whose frame starts at `origin` goes when the mouse,
    // pressed at `initial`, is now at `location` (both in the window); its
    // top stays at or below `available`'s top. Qt's y axis points down.
    static QPoint draggedOrigin(QPoint origin, QPoint location, QPoint initial,
                                const QRect& available);

    QPoint initialLocation() const { return initialLocation_; }

  protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;

  private:
    QPoint initialLocation_;
};

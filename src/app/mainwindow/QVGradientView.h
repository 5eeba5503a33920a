#pragma once
// A view filled with a two-colour linear gradient at an angle (degrees,
// counter-clockwise from the right; 270 runs from the top down), or with one
// flat colour when both are the same.

#include <QColor>
#include <QWidget>

class QVGradientView : public QWidget {
  public:
    explicit QVGradientView(QWidget* parent = nullptr);

    QColor startingColor() const { return starting_; }
    QColor endingColor() const { return ending_; }
    int angle() const { return angle_; }
    void setStartingColor(const QColor& c);
    void setEndingColor(const QColor& c);
    // Takes effect at the next repaint, which is the caller's.
    void setAngle(int degrees) { angle_ = degrees; }

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    QColor starting_ = QColor::fromRgbF(0.81f, 0.81f, 0.81f);
    QColor ending_ = QColor::fromRgbF(0.65f, 0.65f, 0.65f);
    int angle_ = 270;
};

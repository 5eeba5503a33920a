#pragma once
// Areas onto which encrypted folders are dropped: QVDropView fills the empty
// page of the main window, QVSidebarDropView sits in the sidebar. Folder drops
// (text/uri-list) are accepted when the source allows more than copying; the
// delegate hears only the dropped encrypted folders, so ordinary folders are
// never offered the extension.

#include <QPixmap>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

class QDropEvent;
class QMimeData;

namespace app {
// Items dragged in from another program are copied, never taken: a source
// that honours Move would delete its originals. Accepts the drag as Copy when
// the source allows it, else refuses it; true when accepted.
bool acceptAsCopy(QDropEvent* event);
// The local paths of a drag's file URLs, as bytes (from the URLs' percent-
// encoded form, so a name that is not UTF-8 arrives unchanged); URLs of other
// schemes or hosts are left out.
std::vector<std::string> droppedPaths(const QMimeData* data);
}  // namespace app

class QVDropView : public QWidget {
  public:
    explicit QVDropView(QWidget* parent = nullptr);

    bool isHighlighted() const { return highlighted_; }
    double opaqueness() const { return opaqueness_; }
    // The dropped encrypted folders.
    void setDelegate(std::function<void(const std::vector<std::string>&)> received) {
        received_ = std::move(received);
    }
    // Size of the picture drawn in a view `width` wide.
    virtual QSizeF pictureSizeForWidth(double width) const;

  protected:
    // The picture (`pictureSize` in device-independent pixels) is drawn at
    // the first paint, off the start-up path.
    QVDropView(QWidget* parent, QSize pictureSize, double opaqueness);
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dragLeaveEvent(QDragLeaveEvent* e) override;
    void dropEvent(QDropEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

  private:
    void answerDrag(QDropEvent* e) const;
    QSize pictureSize_;
    QPixmap picture_;
    double opaqueness_;
    bool highlighted_ = false;
    std::function<void(const std::vector<std::string>&)> received_;
};

class QVSidebarDropView : public QVDropView {
  public:
    static constexpr double kPictureWidth = 180;
    static constexpr double kPictureHeight = 86;
    explicit QVSidebarDropView(QWidget* parent = nullptr);
    // min(1.15, width ÷ 180) times 180 × 86.
    QSizeF pictureSizeForWidth(double width) const override;
};

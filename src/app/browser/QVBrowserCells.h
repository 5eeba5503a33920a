#pragma once
// The rows of the folder browser and of the sidebar: a 16 x 16 icon left of a
// one-line label, drawn by Qt's item delegate around our own geometry. The
// geometry is plain functions of the row's rectangle (y grows downwards), so
// it is tested without painting.

#include <QColor>
#include <QRect>
#include <QStyledItemDelegate>

namespace browsercell {

inline constexpr int kIconSize = 16;
inline constexpr int kRowHeight = 20;
inline constexpr int kTextInset = 22;
inline constexpr double kLabelTintAlpha = 0.2;

// x + 4, y + trunc((h - 16) / 2), 16 x 16.
QRect imageRect(const QRect& frame);
// The label's room, where the editor goes: the left 22 cut off.
QRect titleRect(const QRect& frame);
// Where the label is drawn: 22 right and 1 down.
QRect textRect(const QRect& frame);

}  // namespace browsercell

namespace sidebarcell {

inline constexpr int kIconGap = 3;
inline constexpr double kUnselectedIconOpacity = 0.5;

// No image and a non-empty title: a section heading.
bool isGroupCell(bool hasImage, const QString& title);
// The image at x + 10 of the cut-off strip, vertically centred (rounded up).
QRect imageRect(const QRect& frame, const QSize& image);
// (image width + 3) cut off the left (3 without image), then x + 12, y + 2,
// height - 4.
QRect titleRect(const QRect& frame, int imageWidth);
// A heading's text, centred vertically: d = floor((h - textHeight) / 2).
QRect headingRect(const QRect& frame, int textHeight);
double iconOpacity(bool selected);

}  // namespace sidebarcell

// The browser row: optional tint (Qt::BackgroundRole colour at alpha 0.2),
// the icon, the label elided in the middle.
class QVFileSystemBrowserCell : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;
};

// The sidebar row: the folder icon at half opacity, fully opaque (its
// highlighted form) when selected; rows without icon are headings.
class QVSourceImageAndTextCell : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;
};

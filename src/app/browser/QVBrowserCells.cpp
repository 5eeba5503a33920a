#include "app/browser/QVBrowserCells.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QStyle>
#include <cmath>

namespace browsercell {

QRect imageRect(const QRect& f) {
    return {f.x() + 4, f.y() + (f.height() - kIconSize) / 2, kIconSize, kIconSize};
}

QRect titleRect(const QRect& f) {
    return {f.x() + kTextInset, f.y(), f.width() - kTextInset, f.height()};
}

QRect textRect(const QRect& f) {
    return {f.x() + kTextInset, f.y() + 1, f.width() - kTextInset, f.height() - 1};
}

}  // namespace browsercell

namespace sidebarcell {

bool isGroupCell(bool hasImage, const QString& title) {
    return !hasImage && !title.isEmpty();
}

QRect imageRect(const QRect& f, const QSize& image) {
    int dy = static_cast<int>(std::ceil((f.height() - image.height()) / 2.0));
    return {f.x() + 10, f.y() + dy, image.width(), image.height()};
}

QRect titleRect(const QRect& f, int imageWidth) {
    int cut = std::max(imageWidth, 0) + kIconGap;
    return {f.x() + cut + 12, f.y() + 2, f.width() - cut, f.height() - 4};
}

QRect headingRect(const QRect& f, int textHeight) {
    int d = static_cast<int>(std::floor((f.height() - textHeight) / 2.0));
    return {f.x(), f.y() + d, f.width(), f.height() - 2 * d};
}

double iconOpacity(bool selected) {
    return selected ? 1.0 : kUnselectedIconOpacity;
}

}  // namespace sidebarcell

namespace {

// The row's background and selection as the style draws them, without text or icon.
void drawPanel(QPainter* painter, QStyleOptionViewItem opt, const QModelIndex&) {
    const QWidget* widget = opt.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    opt.text.clear();
    opt.icon = QIcon();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
}

void drawLabel(QPainter* painter, const QStyleOptionViewItem& opt, const QRect& rect) {
    QPalette::ColorRole role =
        opt.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text;
    painter->save();
    painter->setFont(opt.font);
    painter->setPen(opt.palette.color(role));
    QString text = opt.fontMetrics.elidedText(opt.text, Qt::ElideMiddle, rect.width());
    painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter, text);
    painter->restore();
}

}  // namespace

void QVFileSystemBrowserCell::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    QIcon icon = opt.icon;
    QVariant tint = index.data(Qt::BackgroundRole);
    opt.backgroundBrush = QBrush();
    drawPanel(painter, opt, index);
    if (tint.canConvert<QColor>()) {
        QColor c = tint.value<QColor>();
        c.setAlphaF(browsercell::kLabelTintAlpha);
        painter->fillRect(opt.rect, c);
    }
    if (!icon.isNull()) icon.paint(painter, browsercell::imageRect(opt.rect));
    drawLabel(painter, opt, browsercell::textRect(opt.rect));
}

QSize QVFileSystemBrowserCell::sizeHint(const QStyleOptionViewItem& option,
                                        const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    return {opt.fontMetrics.horizontalAdvance(opt.text) + browsercell::kTextInset,
            browsercell::kRowHeight};
}

void QVFileSystemBrowserCell::updateEditorGeometry(QWidget* editor,
                                                   const QStyleOptionViewItem& option,
                                                   const QModelIndex&) const {
    editor->setGeometry(browsercell::titleRect(option.rect));
}

void QVSourceImageAndTextCell::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                     const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    QIcon icon = opt.icon;
    bool selected = opt.state & QStyle::State_Selected;
    if (!icon.isNull()) {
        drawPanel(painter, opt, index);
        QSize size(browsercell::kIconSize, browsercell::kIconSize);
        QRect strip(opt.rect.x(), opt.rect.y(), size.width() + sidebarcell::kIconGap,
                    opt.rect.height());
        painter->save();
        painter->setOpacity(sidebarcell::iconOpacity(selected));
        icon.paint(painter, sidebarcell::imageRect(strip, size), Qt::AlignCenter,
                   selected ? QIcon::Selected : QIcon::Normal);
        painter->restore();
        drawLabel(painter, opt, sidebarcell::titleRect(opt.rect, size.width()));
    } else if (sidebarcell::isGroupCell(false, opt.text)) {
        QFont bold = opt.font;
        bold.setBold(true);
        opt.font = bold;
        opt.fontMetrics = QFontMetrics(bold);
        drawLabel(painter, opt, sidebarcell::headingRect(opt.rect, opt.fontMetrics.height()));
    }
}

QSize QVSourceImageAndTextCell::sizeHint(const QStyleOptionViewItem& option,
                                         const QModelIndex& index) const {
    QSize base = QStyledItemDelegate::sizeHint(option, index);
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    int extra =
        opt.icon.isNull() ? sidebarcell::kIconGap : browsercell::kIconSize + sidebarcell::kIconGap;
    return {opt.fontMetrics.horizontalAdvance(opt.text) + extra, base.height()};
}

void QVSourceImageAndTextCell::updateEditorGeometry(QWidget* editor,
                                                    const QStyleOptionViewItem& option,
                                                    const QModelIndex& index) const {
    bool hasIcon = !index.data(Qt::DecorationRole).isNull();
    editor->setGeometry(sidebarcell::titleRect(option.rect, hasIcon ? browsercell::kIconSize : 0));
}

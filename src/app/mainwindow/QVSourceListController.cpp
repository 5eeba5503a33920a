#include "app/mainwindow/QVSourceListController.h"

#include <QApplication>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QIcon>
#include <QListWidget>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QUrl>
#include <algorithm>

#include "Logging/LGLog.h"
#include "Logging/LGLogMacros.h"
#include "app/QVAppDelegate.h"
#include "app/browser/QVBrowserCells.h"
#include "app/mainwindow/QVDropView.h"
#include "platform/core/PathPieces.h"
#include "platform/core/UserDefaults.h"
#include "platform/gui/Application.h"
#include "platform/gui/FileNames.h"

namespace {

constexpr const char* kSavedBookmarksKey = "sidebarSavedBookmarks";
constexpr int kPathRole = Qt::UserRole + 1;
constexpr int kEjectSize = 16;

// The eject button, centred in its column at the row's right end.
QRect ejectRect(const QRect& row) {
    return QRect(row.right() - kEjectSize - 6, row.top() + (row.height() - kEjectSize) / 2,
                 kEjectSize, kEjectSize);
}

// The eject glyph: a triangle over a bar.
void paintEject(QPainter* p, const QRect& r, const QColor& colour) {
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    p->setPen(Qt::NoPen);
    p->setBrush(colour);
    const QPointF tri[3] = {QPointF(r.center().x() + 0.5, r.top() + 2),
                            QPointF(r.right() - 1, r.top() + 10),
                            QPointF(r.left() + 2, r.top() + 10)};
    p->drawPolygon(tri, 3);
    p->drawRect(QRectF(r.left() + 2, r.top() + 12, r.width() - 3, 2.5));
    p->restore();
}

// The "Name" column through the sidebar cell, then the eject button on the
// row under the mouse.
class SidebarDelegate : public QVSourceImageAndTextCell {
  public:
    SidebarDelegate(QVSourceListController& c, QObject* parent)
        : QVSourceImageAndTextCell(parent), c_(c) {}
    QSize sizeHint(const QStyleOptionViewItem& o, const QModelIndex& i) const override {
        QStyleOptionViewItem name = o;
        name.rect = QVSourceListController::nameRect(o.rect);
        const QSize s = QVSourceImageAndTextCell::sizeHint(name, i);
        return {s.width() + QVSourceListController::kEjectColumnWidth,
                std::max(s.height(), QVSourceListController::kRowHeight)};
    }
    void paint(QPainter* p, const QStyleOptionViewItem& o, const QModelIndex& i) const override {
        // The selection spans both columns.
        QStyleOptionViewItem row = o;
        initStyleOption(&row, i);
        row.text.clear();
        row.icon = QIcon();
        const QWidget* view = o.widget;
        QStyle* style = view ? view->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &row, p, view);
        QStyleOptionViewItem name = o;
        name.rect = QVSourceListController::nameRect(o.rect);
        QVSourceImageAndTextCell::paint(p, name, i);
        // Every row has its eject button; the one under the mouse is drawn
        // hovered.
        const bool selected = o.state & QStyle::State_Selected;
        QColor colour = o.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
        if (i.row() != c_.rowWithMouse()) colour.setAlphaF(0.45);
        paintEject(p, ejectRect(o.rect), colour);
    }
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& o,
                              const QModelIndex& i) const override {
        QStyleOptionViewItem name = o;
        name.rect = QVSourceListController::nameRect(o.rect);
        QVSourceImageAndTextCell::updateEditorGeometry(editor, name, i);
    }

  private:
    QVSourceListController& c_;
};

// "sidebarFolder16" and its selected form "sidebarFolder16_selected": the
// style's folder at 16 x 16; the cell dims it on unselected rows.
QIcon sidebarFolderIcon(const QStyle* style) {
    const QPixmap folder = style->standardIcon(QStyle::SP_DirIcon).pixmap(browsercell::kIconSize);
    QIcon icon;
    icon.addPixmap(folder, QIcon::Normal);
    icon.addPixmap(folder, QIcon::Selected);
    return icon;
}

// The list: hover tracking for the eject buttons, reordering by dragging
// rows, and folders dropped from outside.
class SidebarTable : public QListWidget {
  public:
    SidebarTable(QVSourceListController& c, QWidget* parent) : QListWidget(parent), c_(c) {
        setObjectName("sourceTableView");
        setMouseTracking(true);
        setDragEnabled(true);
        setAcceptDrops(true);
        setDropIndicatorShown(true);
        setDragDropMode(QAbstractItemView::DragDrop);
        setDefaultDropAction(Qt::MoveAction);
        setSelectionMode(QAbstractItemView::SingleSelection);
        setItemDelegate(new SidebarDelegate(c, this));
        setFrameShape(QFrame::NoFrame);
        setTextElideMode(Qt::ElideMiddle);
    }

  protected:
    void mouseMoveEvent(QMouseEvent* e) override {
        platform::runGuarded("Sidebar > mouseMove", [&] {
            const QModelIndex i = indexAt(e->position().toPoint());
            c_.setRowWithMouse(i.isValid() ? i.row() : -1);
            QListWidget::mouseMoveEvent(e);
        });
    }
    void leaveEvent(QEvent* e) override {
        platform::runGuarded("Sidebar > leave", [&] {
            c_.setRowWithMouse(-1);
            QListWidget::leaveEvent(e);
        });
    }
    void mousePressEvent(QMouseEvent* e) override {
        platform::runGuarded("Sidebar > mousePress", [&] {
            const QPoint pos = e->position().toPoint();
            const QModelIndex i = indexAt(pos);
            // A click on the eject button ejects without selecting the row.
            if (i.isValid() && e->button() == Qt::LeftButton &&
                ejectRect(visualRect(i)).adjusted(-3, -3, 3, 3).contains(pos)) {
                c_.setRowWithMouse(i.row());
                c_.eject(i.row());
                return;
            }
            QListWidget::mousePressEvent(e);
        });
    }
    void dragEnterEvent(QDragEnterEvent* e) override {
        platform::runGuarded("Sidebar > dragEnter", [&] {
            if (e->source() == this)
                e->acceptProposedAction();
            else if (e->mimeData()->hasUrls())
                app::acceptAsCopy(e);
            else
                e->ignore();
        });
    }
    void dragMoveEvent(QDragMoveEvent* e) override {
        platform::runGuarded("Sidebar > dragMove", [&] {
            QListWidget::dragMoveEvent(e);
            // Drops go between rows, never onto one.
            if (dropIndicatorPosition() == QAbstractItemView::OnItem)
                e->ignore();
            else if (e->source() == this)
                e->accept();
            else if (e->mimeData()->hasUrls())
                app::acceptAsCopy(e);
            else
                e->ignore();
        });
    }
    void dropEvent(QDropEvent* e) override {
        platform::runGuarded("Sidebar > drop", [&] {
            const int row = dropRow(e->position().toPoint());
            if (e->source() == this) {
                std::vector<int> rows;
                for (const QModelIndex& i : selectedIndexes()) rows.push_back(i.row());
                c_.moveRows(rows, row);
                // The rows are moved already: Qt must not remove the sources.
                e->setDropAction(Qt::IgnoreAction);
                e->accept();
                return;
            }
            if (!(e->possibleActions() & Qt::CopyAction) ||
                !c_.dropFolders(app::droppedPaths(e->mimeData())))
                e->ignore();
            else
                app::acceptAsCopy(e);
        });
    }

  private:
    int dropRow(const QPoint& pos) const {
        const QModelIndex i = indexAt(pos);
        if (!i.isValid()) return count();
        return pos.y() > visualRect(i).center().y() ? i.row() + 1 : i.row();
    }
    QVSourceListController& c_;
};

}  // namespace

QVSourceListController::QVSourceListController(platform::UserDefaults& defaults, QWidget* parent)
    : QObject(parent), defaults_(defaults), table_(new SidebarTable(*this, parent)) {
    QObject::connect(table_, &QListWidget::itemSelectionChanged, this, [this] {
        platform::runGuarded("Sidebar > selection", [this] {
            if (!reloading_) tableViewSelectionDidChange();
        });
    });
}

QVSourceListController::~QVSourceListController() = default;

QRect QVSourceListController::nameRect(const QRect& row) {
    return row.adjusted(0, 0, -kEjectColumnWidth, 0);
}

std::string QVSourceListController::displayName(const std::string& path) {
    std::string name(platform::lastComponent(path));
    for (size_t at = 0; at + 4 <= name.size();) {
        if (strncasecmp(name.c_str() + at, ".zel", 4) == 0)
            name.erase(at, 4);
        else
            ++at;
    }
    return name;
}

void QVSourceListController::awakeFromNib() {
    const platform::Value saved = defaults_.objectForKey(kSavedBookmarksKey);
    const platform::Value::Array* list = saved.ifArray();
    if (!list) return;
    for (const platform::Value& element : *list) {
        std::optional<platform::BookmarkData> data = platform::bookmarkDataFromValue(element);
        std::optional<std::string> path =
            data ? platform::resolveBookmarkData(*data) : std::optional<std::string>();
        if (!path || std::find(paths_.begin(), paths_.end(), *path) != paths_.end()) {
            LGLogInfo("SourceListController > awakeFromNib > could not restore item");
            continue;
        }
        paths_.push_back(*path);
        bookmarks_[*path] = *data;
        reloadTable();
        selectRow(0);
        if (delegate_) delegate_->sourceListDidAddNewItemWithPath(*path);
    }
}

void QVSourceListController::reloadTable() {
    reloading_ = true;
    table_->clear();
    const QIcon folderIcon = sidebarFolderIcon(table_->style());
    for (const std::string& path : paths_) {
        auto* item = new QListWidgetItem(platform::displayFileName(displayName(path)), table_);
        // The path as bytes: a text would not give back a name that is not UTF-8.
        item->setData(kPathRole, QByteArray::fromStdString(path));
        item->setToolTip(platform::displayFileName(path));
        item->setIcon(folderIcon);
    }
    // The selection stays with its folder.
    int row = -1;
    if (selected_) {
        auto it = std::find(paths_.begin(), paths_.end(), *selected_);
        if (it != paths_.end()) row = static_cast<int>(it - paths_.begin());
    }
    if (row >= 0) table_->setCurrentRow(row);
    reloading_ = false;
}

void QVSourceListController::selectRow(int row) {
    if (row < 0 || row >= static_cast<int>(paths_.size())) {
        table_->clearSelection();
        table_->setCurrentRow(-1);
        if (selected_) tableViewSelectionDidChange();
        return;
    }
    if (table_->currentRow() == row && table_->item(row)->isSelected() && selected_ == paths_[row])
        return;
    table_->setCurrentRow(row);
    table_->item(row)->setSelected(true);
}

void QVSourceListController::tableViewSelectionDidChange() {
    const QList<QListWidgetItem*> items = table_->selectedItems();
    if (items.isEmpty())
        selected_.reset();
    else
        selected_ = items.first()->data(kPathRole).toByteArray().toStdString();
    if (delegate_)
        delegate_->sourceListDidChangeSelectedItemPath(selected_);
    else
        LGLogInfo("# QVSourceListController > has no delegate");
}

void QVSourceListController::addItemWithPath(const std::string& path) {
    auto it = std::find(paths_.begin(), paths_.end(), path);
    if (it != paths_.end()) {
        LGLogInfo("SourceListController > addItem > already open > ignore");
        selectRow(static_cast<int>(it - paths_.begin()));
        return;
    }
    paths_.push_back(path);
    reloadTable();
    if (!selected_) selectRow(0);
    platform::Error error;
    if (auto data = platform::bookmarkDataForPath(path, &error))
        bookmarks_[path] = std::move(*data);
    else
        LGLogError("sourcelistController > addItemWithPath %s > could not add %s %s", path.c_str(),
                   error.description.c_str(), "");
    saveBookmarks();
    if (delegate_) delegate_->sourceListDidAddNewItemWithPath(path);
}

void QVSourceListController::saveBookmarks() {
    platform::Value::Array list;
    for (const std::string& path : paths_) {
        auto it = bookmarks_.find(path);
        if (it != bookmarks_.end()) list.emplace_back(it->second);
    }
    defaults_.setObject(kSavedBookmarksKey, platform::Value(std::move(list)));
}

void QVSourceListController::setSelectedItemPath(const std::string& path) {
    auto it = std::find(paths_.begin(), paths_.end(), path);
    if (it != paths_.end()) selectRow(static_cast<int>(it - paths_.begin()));
}

void QVSourceListController::setRowWithMouse(int row) {
    if (row == rowWithMouse_) return;
    rowWithMouse_ = row;
    table_->viewport()->update();
}

void QVSourceListController::ejectSelected() {
    if (!selected_) {
        LGLogWarn("QVSourceListController > ejectSelected > nothing selected");
        return;
    }
    auto it = std::find(paths_.begin(), paths_.end(), *selected_);
    if (it != paths_.end()) removeRow(static_cast<int>(it - paths_.begin()));
}

void QVSourceListController::eject(int row) {
    if (row < 0 || row >= static_cast<int>(paths_.size())) {
        LGLogWarn("QVSourceListController > eject > tried to eject row %d", row);
        return;
    }
    removeRow(row);
    rowWithMouse_ = -1;
    table_->viewport()->update();
}

void QVSourceListController::removeRow(int row) {
    const std::string path = paths_[row];
    if (delegate_ && !delegate_->sourceListShallEjectItemWithPath(path)) return;
    const bool wasSelected = selected_ == path;
    paths_.erase(paths_.begin() + row);
    bookmarks_.erase(path);
    if (wasSelected) {
        // The same row again, or the one before when it was the last.
        selected_.reset();
        reloadTable();
        int next = std::min(row, static_cast<int>(paths_.size()) - 1);
        if (next >= 0)
            selectRow(next);
        else
            selectRow(-1);
        if (next < 0 && delegate_) delegate_->sourceListDidChangeSelectedItemPath(std::nullopt);
    } else {
        reloadTable();
    }
    saveBookmarks();
}

void QVSourceListController::moveRows(std::vector<int> rows, int dropRow) {
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    std::vector<std::string> moved;
    for (int r : rows)
        if (r >= 0 && r < static_cast<int>(paths_.size())) moved.push_back(paths_[r]);
    if (moved.empty()) return;
    int insertAt = dropRow;
    for (int r : rows)
        if (r < dropRow) --insertAt;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it)
        if (*it >= 0 && *it < static_cast<int>(paths_.size())) paths_.erase(paths_.begin() + *it);
    insertAt = std::clamp(insertAt, 0, static_cast<int>(paths_.size()));
    paths_.insert(paths_.begin() + insertAt, moved.begin(), moved.end());
    reloadTable();
    saveBookmarks();
}

bool QVSourceListController::dropFolders(const std::vector<std::string>& paths) {
    std::vector<std::string> folders;
    for (const std::string& p : paths)
        if (QVAppDelegate::fileIsEncryptedFolder(p)) folders.push_back(p);
    if (folders.empty() || !delegate_) return false;
    return delegate_->sourceListDidReceiveFolders(folders);
}

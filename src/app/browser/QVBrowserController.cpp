#include "app/browser/QVBrowserController.h"

#include <QAbstractItemView>
#include <QAction>
#include <QChildEvent>
#include <QColumnView>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "Logging/LGLogMacros.h"
#include "app/QVAppDelegate.h"
#include "app/browser/QVBrowserCells.h"
#include "app/browser/QVPreviewController.h"
#include "app/logic/QVCopyProgressPresenter.h"
#include "app/mainwindow/QVDropView.h"
#include "app/statusmenu/QVStatusMenuInterface.h"
#include "platform/core/PathPieces.h"
#include "platform/gui/Application.h"
#include "platform/gui/FilePanel.h"
#include "platform/gui/StringTable.h"

namespace {

bool isRowDrag(const QDropEvent* e) {
    return e->mimeData() &&
           e->mimeData()->hasFormat(QString::fromLatin1(QVBrowserModel::kRowDragType));
}

// A column of the browser: rows dragged inside it move as the user chooses,
// items dragged in from another program are only ever copied.
class BrowserColumn : public QListView {
  public:
    using QListView::QListView;

  protected:
    // The column view hands its columns a new selection model once its scroll
    // has ended, with the same current row; Qt ends an open edit on any
    // current change, which would take New Folder's name editor away.
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override {
        if (current == previous && state() == EditingState) return;
        QListView::currentChanged(current, previous);
    }
    void dragEnterEvent(QDragEnterEvent* e) override {
        handle(e, [&] { QListView::dragEnterEvent(e); });
    }
    void dragMoveEvent(QDragMoveEvent* e) override {
        handle(e, [&] { QListView::dragMoveEvent(e); });
    }
    void dropEvent(QDropEvent* e) override {
        handle(e, [&] { QListView::dropEvent(e); });
    }

  private:
    // The view judges an outside drag as the copy it will be (Qt may answer
    // the proposed action again), and the source hears Copy.
    template <typename F>
    void handle(QDropEvent* e, F base) {
        if (isRowDrag(e)) return base();
        if (!(e->possibleActions() & Qt::CopyAction)) return e->ignore();
        e->setDropAction(Qt::CopyAction);
        base();
        if (e->isAccepted()) app::acceptAsCopy(e);
    }
};

class BrowserColumnView : public QColumnView {
  public:
    using QColumnView::QColumnView;

  protected:
    QAbstractItemView* createColumn(const QModelIndex& index) override {
        auto* column = new BrowserColumn(viewport());
        initializeColumn(column);
        column->setRootIndex(index);
        return column;
    }
};

}  // namespace

QVBrowserController::QVBrowserController(std::shared_ptr<QVFileSystem> fileSystem,
                                         std::string folderRoot, QWidget* parent,
                                         platform::Clock& clock)
    : QWidget(parent), clock_(clock), folderRoot_(std::move(folderRoot)), model_(clock) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    notes_ = new QStackedWidget(this);
    notes_->setFixedHeight(kNotesBarHeight);
    // A note: its text, an optional action button, the close button.
    auto addNote = [&](const QString& text, bool dontShowAgain, const QString& action = {},
                       void(QVBrowserController::*act)() = nullptr) {
        auto* page = new QWidget(notes_);
        auto* row = new QHBoxLayout(page);
        row->setContentsMargins(8, 0, 8, 0);
        row->addWidget(new QLabel(text, page), 1);
        if (act) {
            auto* button = new QPushButton(action, page);
            button->setObjectName("noteAction");
            connect(button, &QPushButton::clicked, this, [this, act] {
                platform::runGuarded("browser note action", [&] { (this->*act)(); });
            });
            row->addWidget(button);
        }
        auto* close = new QPushButton(QStringLiteral("×"), page);
        close->setFlat(true);
        connect(close, &QPushButton::clicked, this, [this, dontShowAgain] {
            platform::runGuarded("browser note close", [&] { closeNote(dontShowAgain); });
        });
        row->addWidget(close);
        notes_->addWidget(page);
    };
    addNote(QStringLiteral("This volume is read-only."), true);
    addNote(QStringLiteral("FUSE is not installed: the folder can be browsed here but not opened "
                           "in the file manager."),
            true);
    addNote(QStringLiteral("Open the folder in the file manager to work with its files."), false,
            QStringLiteral("Open in File Manager"), &QVBrowserController::openInFinder);
    notes_->hide();
    layout->addWidget(notes_);

    view_ = new BrowserColumnView(this);
    view_->setModel(&model_);
    view_->setItemDelegate(new QVFileSystemBrowserCell(view_));
    view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view_->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    view_->setDragEnabled(true);
    view_->setAcceptDrops(true);
    view_->setDropIndicatorShown(true);
    view_->setDragDropMode(QAbstractItemView::DragDrop);
    view_->setDefaultDropAction(Qt::MoveAction);
    preview_ = new QVPreviewController;
    view_->setPreviewWidget(preview_);
    // The columns are the viewport's children; their sizes, arrivals and
    // departures are the browser's column configuration.
    view_->viewport()->installEventFilter(this);
    for (QObject* column : view_->viewport()->children()) column->installEventFilter(this);
    layout->addWidget(view_, 1);

    ownStatus_ = new QLabel(this);
    ownStatus_->setAlignment(Qt::AlignCenter);
    layout->addWidget(ownStatus_);

    exportAction_ = new QAction(QString::fromStdString(platform::localizedString("Export")), this);
    connect(exportAction_, &QAction::triggered, this,
            [this] { platform::runGuarded("browser export", [&] { exportSelection(); }); });
    view_->addAction(exportAction_);
    view_->setContextMenuPolicy(Qt::ActionsContextMenu);

    connect(view_, &QColumnView::clicked, this, [this](const QModelIndex& i) {
        platform::runGuarded("browser click", [&] { browserClicked(i); });
    });
    connect(view_, &QColumnView::doubleClicked, this, [this](const QModelIndex& i) {
        platform::runGuarded("browser double click", [&] { browserDoubleClick(i); });
    });
    connect(view_, &QColumnView::updatePreviewWidget, this, [this](const QModelIndex& i) {
        platform::runGuarded("browser preview", [&] {
            auto fs = model_.fileSystem();
            preview_->setFileSystemVolumePath(fs ? fs->volumePath() : std::nullopt);
            preview_->setCurrentItem(model_.fileForIndex(i));
        });
    });

    model_.showAlert = [this](const platform::Alert& a) { showAlert(a); };
    model_.didReload = [this] { reload(); };
    // The renamed item stays where the user is, selected.
    model_.didRename = [this](const std::string& path) {
        QModelIndex renamed = model_.indexForPath(path);
        if (renamed.isValid()) view_->setCurrentIndex(renamed);
    };

    statusTimer_ = platform::DispatchTimer::create(platform::mainQueue(), clock_);
    statusTimer_->setHandler([this] { updateStatusBar(); });

    setFileSystem(std::move(fileSystem));
}

QVBrowserController::~QVBrowserController() {
    statusTimer_->cancel();
    ++*statusGeneration_;
}

void QVBrowserController::setCopyPresenter(QVCopyProgressPresenter* presenter) {
    presenter_ = presenter;
    if (!presenter_) {
        model_.askConflict = nullptr;
        model_.importFiles = nullptr;
        return;
    }
    presenter_->setFileSystem(fileSystem());
    model_.askConflict = [this](const QVImportExportMessage& q,
                                QVImportExportDelegate::ConflictReply reply) {
        presenter_->askConflict(q, std::move(reply));
    };
    model_.importFiles = [this](const std::vector<std::string>& paths, const std::string& dir) {
        presenter_->importFiles(paths, dir);
        reload();
    };
    presenter_->onImportFinished = [this](const std::string& path) {
        reload();
        selectItemWithPath(path);
        if (onContentsChanged) onContentsChanged();
    };
}

void QVBrowserController::setStatusTextField(QLabel* field) {
    ++*statusGeneration_;
    field_ = field;
    ownStatus_->setVisible(!field);
}

QLabel* QVBrowserController::statusLabel() const {
    return field_ ? field_.data() : ownStatus_;
}

void QVBrowserController::setFileSystem(std::shared_ptr<QVFileSystem> fileSystem) {
    ++*statusGeneration_;  // a line of the folder shown before is stale
    if (!fileSystem) preview_->setCurrentItem(nullptr);
    if (fileSystem && fileSystem->volumePath()) folderRoot_ = *fileSystem->volumePath();
    previewColumn_ = -1;
    model_.setFileSystem(fileSystem);
    if (presenter_) presenter_->setFileSystem(fileSystem);
    reload();
    if (fileSystem) {
        if (!fuseInstalled_)
            showFuseNote();
        else if (statusMenu_)
            showOpenInFinderNote();
    }
    if (onContentsChanged) onContentsChanged();
}

void QVBrowserController::addContextActions(const std::vector<QAction*>& actions,
                                            std::function<void()> validate) {
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    view_->addAction(separator);
    for (QAction* a : actions) view_->addAction(a);
    validateContextActions_ = std::move(validate);
}

void QVBrowserController::reload() {
    std::string selected;
    if (auto file = model_.fileForIndex(view_->currentIndex())) selected = file->filePath();
    model_.reload();
    if (!selected.empty()) {
        QModelIndex again = model_.indexForPath(selected);
        if (again.isValid()) view_->setCurrentIndex(again);
    }
    statusTimer_->scheduleAfter(kStatusDelay);
}

int QVBrowserController::columnOf(const QModelIndex& index) const {
    int column = 0;
    for (QModelIndex p = index.parent(); p.isValid(); p = p.parent()) ++column;
    return column;
}

QModelIndexList QVBrowserController::selectedInColumn(const QModelIndex& current) const {
    QModelIndexList rows;
    if (!view_->selectionModel()) return rows;
    QModelIndex parent = current.isValid() ? current.parent() : QModelIndex();
    for (const QModelIndex& i : view_->selectionModel()->selectedIndexes())
        if (i.parent() == parent) rows.push_back(i);
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    return rows;
}

std::vector<QVFile::Ptr> QVBrowserController::selectedFiles() const {
    std::vector<QVFile::Ptr> files;
    if (!fileSystem()) return files;
    for (const QModelIndex& i : selectedInColumn(view_->currentIndex())) {
        auto file = model_.fileForIndex(i);
        if (!file) break;
        files.push_back(file);
    }
    return files;
}

QVFile::Ptr QVBrowserController::currentDirectory() const {
    if (!fileSystem()) return nullptr;
    QModelIndex current = view_->currentIndex();
    QModelIndexList rows = selectedInColumn(current);
    if (rows.size() == 1) {
        auto file = model_.fileForIndex(rows.front());
        if (file && file->isDirectory()) return file;
    }
    if (auto parent = model_.fileForIndex(current.parent())) return parent;
    return fileSystem()->rootFile();
}

bool QVBrowserController::selectItemWithPath(const std::string& path) {
    auto dir = currentDirectory();
    if (!dir) return false;
    QModelIndex index = model_.indexForPath(path);
    auto file = model_.fileForIndex(index);
    std::string expectedParent = dir->filePath();
    if (!file || platform::parentPath(file->filePath()) != expectedParent) {
        LGLogInfo("BrowserController > selectItemWIthpath > path outside visible cols");
        return false;
    }
    view_->setCurrentIndex(index);
    return true;
}

void QVBrowserController::editSelectedItem() {
    QModelIndexList rows = selectedInColumn(view_->currentIndex());
    if (rows.size() != 1) return;
    // The name is edited in the column that shows it, not in the column view;
    // the preview column and columns closed but not yet deleted share its root.
    for (auto* column : view_->findChildren<QListView*>())
        if (!column->isHidden() && column->rootIndex() == rows.front().parent()) {
            column->setCurrentIndex(rows.front());
            column->edit(rows.front());
            return;
        }
}

void QVBrowserController::browserClicked(const QModelIndex& index) {
    updateStatusBar();
    if (index.isValid()) model_.refresh(index);
    QList<int> widths = view_->columnWidths();
    for (const auto& [column, width] : columnWidthDict_)
        if (column < widths.size()) widths[column] = std::max(kDefaultColumnWidth, width);
    QModelIndexList rows = selectedInColumn(index);
    auto file = rows.size() == 1 ? model_.fileForIndex(rows.front()) : nullptr;
    if (file && !file->isDirectory()) {
        int column = columnOf(rows.front()) + 1;
        while (widths.size() <= column) widths.push_back(kDefaultColumnWidth);
        if (column != previewColumn_) {
            previewColumn_ = column;
            columnWidthDict_[column] = widths[column];
        }
        widths[column] = kPreviewWidth;
    }
    view_->setColumnWidths(widths);
}

bool QVBrowserController::eventFilter(QObject* watched, QEvent* event) {
    platform::runGuarded("browser columns", [&] {
        const bool onViewport = watched == view_->viewport();
        switch (event->type()) {
            case QEvent::ChildAdded:
                if (!onViewport) return;
                static_cast<QChildEvent*>(event)->child()->installEventFilter(this);
                break;
            case QEvent::ChildRemoved:
                if (!onViewport) return;
                break;
            case QEvent::ContextMenu:
                if (validateContextActions_) validateContextActions_();
                return;
            case QEvent::Resize:
            case QEvent::Show:
            case QEvent::Hide:
                if (onViewport) return;
                break;
            default:
                return;
        }
        // Many events arrive for one change (setColumnWidths resizes every
        // column): one look once they are all in.
        if (configurationChangePending_) return;
        configurationChangePending_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                platform::runGuarded("browser column configuration", [this] {
                    configurationChangePending_ = false;
                    browserColumnConfigurationDidChange();
                });
            },
            Qt::QueuedConnection);
    });
    return QWidget::eventFilter(watched, event);
}

int QVBrowserController::lastVisibleColumn() const {
    const QList<int> widths = view_->columnWidths();
    const int right = view_->viewport()->width();
    int x = -view_->horizontalScrollBar()->value(), last = -1;
    for (int i = 0; i < widths.size(); x += widths[i], ++i)
        if (x < right && x + widths[i] > 0) last = i;
    return last;
}

void QVBrowserController::browserColumnConfigurationDidChange() {
    const int last = lastVisibleColumn();
    if (last < 1) return;
    const QList<int> widths = view_->columnWidths();
    for (int column = 0; column < last; ++column)
        if (column != previewColumn_) columnWidthDict_[column] = widths[column];
}

void QVBrowserController::browserDoubleClick(const QModelIndex& index) {
    auto file = model_.fileForIndex(index);
    if (!file || file->isDirectory()) return;
    exportSelection();
}

void QVBrowserController::exportSelection() {
    auto items = selectedFiles();
    if (items.empty()) return;
    platform::FilePanel panel;
    panel.canChooseFiles = false;
    panel.canChooseDirectories = true;
    panel.prompt = platform::localizedString("Export");
    panel.message = platform::localizedString("doubleClickOpenPanelMsg");
    panel.open(window(), [this, items](int result, std::vector<std::string> paths) {
        if (result != platform::FilePanel::kOK || paths.empty()) return;
        if (onExport)
            onExport(items, paths.front());
        else if (presenter_)
            presenter_->exportFiles(items, paths.front());
    });
}

void QVBrowserController::setStatusMenu(QVStatusMenuInterface* statusMenu) {
    statusMenu_ = statusMenu;
    if (statusMenu_ && fuseInstalled_ && fileSystem()) showOpenInFinderNote();
}

void QVBrowserController::openInFinder() {
    if (statusMenu_ && fileSystem() && fileSystem()->volumePath())
        statusMenu_->mountFolderAtUrl(*fileSystem()->volumePath());
}

void QVBrowserController::setNotificationAreaVisible(bool visible) {
    if (visible == notesVisible_) return;
    notesVisible_ = visible;
    notes_->setVisible(visible);
}

void QVBrowserController::showFuseNote() {
    notes_->setCurrentIndex(FuseNote);
    if (!fuseNoteDontShowAgain_) setNotificationAreaVisible(true);
}

void QVBrowserController::showOpenInFinderNote() {
    notes_->setCurrentIndex(OpenInFinderNote);
    setNotificationAreaVisible(true);
}

void QVBrowserController::closeNote(bool byUser) {
    if (notes_->currentIndex() == FuseNote) fuseNoteDontShowAgain_ = byUser;
    setNotificationAreaVisible(false);
}

int QVBrowserController::currentNote() const {
    return notes_->currentIndex();
}

QWidget* QVBrowserController::notePage(Note note) const {
    return notes_->widget(note);
}

std::string QVBrowserController::statusText(int64_t selected, int64_t items, uint64_t folderSize,
                                            uint64_t freeSpace) {
    std::string size = QVAppDelegate::siUnitStringForBytes(static_cast<int64_t>(folderSize));
    std::string free = QVAppDelegate::siUnitStringForBytes(static_cast<int64_t>(freeSpace));
    // "1 item", as English counts; the plural texts where the table lacks
    // the singular ones.
    auto text = [&](const char* many, const char* one) {
        std::string format = platform::localizedString(many);
        return items == 1 ? platform::localizedString(one, platform::kMainStringTable, format)
                          : format;
    };
    if (selected > 0)
        return platform::formatText(text("statusItemsSelectedFormat", "statusItemSelectedFormat"),
                                    {std::to_string(selected), std::to_string(items), size, free});
    return platform::formatText(text("statusItemsAvailableFormat", "statusItemAvailableFormat"),
                                {std::to_string(items), size, free});
}

void QVBrowserController::updateStatusBar() {
    auto fs = fileSystem();
    if (!fs || !fs->isMounted()) return;
    // The counts are read here, on the main thread; only the sizes are
    // computed in the background.
    QModelIndex current = view_->currentIndex();
    int64_t items = 0, selected = 0;
    auto file = model_.fileForIndex(current);
    if (file && file->isDirectory() && selectedInColumn(current).size() == 1) {
        items = model_.rowCount(current);
    } else {
        items = model_.rowCount(current.parent());
        selected = selectedInColumn(current).size();
    }
    uint64_t generation = ++*statusGeneration_;
    std::weak_ptr<uint64_t> alive = statusGeneration_;
    platform::globalQueue(platform::QueuePriority::Background)->async([=, self = this] {
        uint64_t total = 0, free = 0;
        fs->volumeSize(&total, &free);
        uint64_t size = fs->calculateItemSize("");
        std::string text = statusText(selected, items, size, free);
        platform::mainQueue()->async([=] {
            // Locked meanwhile: the line is the window's again. The line is
            // looked up now: the host's field may be gone.
            auto still = alive.lock();
            if (still && *still == generation && fs->isMounted())
                self->statusLabel()->setText(QString::fromStdString(text));
        });
    });
}

void QVBrowserController::showAlert(const platform::Alert& alert) {
    alert.open(window());
}

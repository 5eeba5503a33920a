#include "app/browser/QVBrowserModel.h"

#include <unistd.h>

#include <QApplication>
#include <QMimeData>
#include <QMimeDatabase>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <algorithm>

#include "Logging/LGLogMacros.h"
#include "folder/FolderPaths.h"
#include "platform/core/PathPieces.h"
#include "platform/gui/Application.h"
#include "platform/gui/FileNames.h"
#include "platform/gui/StringTable.h"

struct QVBrowserModel::Node {
    QVFile::Ptr file;  // null for the root
    Node* parent = nullptr;
    int row = 0;
    bool isDirectory = true;
    bool populated = false;
    std::vector<QVFile::Ptr> listing;
    std::vector<std::unique_ptr<Node>> children;

    std::string path() const { return file ? file->filePath() : std::string(); }

    void adopt(std::vector<QVFile::Ptr> files) {
        listing = std::move(files);
        children.clear();
        children.reserve(listing.size());
        for (size_t i = 0; i < listing.size(); ++i) {
            auto child = std::make_unique<Node>();
            child->file = listing[i];
            child->parent = this;
            child->row = static_cast<int>(i);
            child->isDirectory = listing[i]->isDirectory();
            children.push_back(std::move(child));
        }
        populated = true;
    }
};

struct QVBrowserModel::MoveRun {
    std::vector<QVFile::Ptr> items;
    std::string destinationDir;
    size_t next = 0;
    bool skipAll = false, replaceAll = false;
    std::function<void(bool)> done;
};

namespace {

std::string joinPath(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

}  // namespace

QVBrowserModel::QVBrowserModel(platform::Clock& clock, QObject* parent)
    : QAbstractItemModel(parent), clock_(clock), root_(std::make_unique<Node>()) {}

QVBrowserModel::~QVBrowserModel() = default;

void QVBrowserModel::setFileSystem(std::shared_ptr<QVFileSystem> fileSystem) {
    fs_ = std::move(fileSystem);
    reload();
}

std::vector<QVFile::Ptr> QVBrowserModel::visibleContentsOfDirAtPath(const std::string& path) {
    auto now = clock_.now();
    if (now - lastFlushed_ > kCacheLifetime) {
        cache_.clear();
        lastFlushed_ = now;
    }
    if (auto hit = cache_.find(path); hit != cache_.end()) return hit->second;
    if (!isUnlocked()) return {};
    auto listing = fs_->contentsOfDirectoryAtPath(path, false);
    if (!listing) {
        cache_.erase(path);
        return {};
    }
    cache_[path] = *listing;
    return std::move(*listing);
}

void QVBrowserModel::reload() {
    beginResetModel();
    cache_.clear();
    lastFlushed_ = clock_.now();
    root_ = std::make_unique<Node>();
    draggingFiles_.clear();
    endResetModel();
}

void QVBrowserModel::refresh(const QModelIndex& directory) {
    Node* node = nodeFor(directory);
    if (!node->isDirectory || !node->populated) return;
    auto listing = visibleContentsOfDirAtPath(node->path());
    if (listing == node->listing) return;
    if (!node->children.empty()) {
        beginRemoveRows(directory, 0, static_cast<int>(node->children.size()) - 1);
        node->children.clear();
        node->listing.clear();
        endRemoveRows();
    }
    if (listing.empty()) {
        node->listing.clear();
        return;
    }
    beginInsertRows(directory, 0, static_cast<int>(listing.size()) - 1);
    node->adopt(std::move(listing));
    endInsertRows();
}

QVBrowserModel::Node* QVBrowserModel::nodeFor(const QModelIndex& index) const {
    if (!index.isValid()) return root_.get();
    return static_cast<Node*>(index.internalPointer());
}

void QVBrowserModel::populate(Node* node) const {
    if (node->populated || !node->isDirectory) return;
    // Rows appear on first access of their directory, before any view has
    // seen a count of them, so no insert signals are due.
    node->adopt(const_cast<QVBrowserModel*>(this)->visibleContentsOfDirAtPath(node->path()));
}

QVFile::Ptr QVBrowserModel::fileForIndex(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) return nullptr;
    return nodeFor(index)->file;
}

QModelIndex QVBrowserModel::indexForPath(const std::string& path) {
    auto rel = FolderPaths::relative(path);
    if (!rel || rel->empty()) return {};
    QModelIndex at;
    size_t start = 0;
    std::string sofar;
    while (start <= rel->size()) {
        auto slash = rel->find('/', start);
        std::string name = rel->substr(start, slash == std::string::npos ? slash : slash - start);
        sofar = joinPath(sofar, name);
        Node* node = nodeFor(at);
        populate(node);
        auto it = std::find_if(node->children.begin(), node->children.end(),
                               [&](const auto& c) { return c->file->filePath() == sofar; });
        if (it == node->children.end()) return {};
        at = createIndex((*it)->row, 0, it->get());
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return at;
}

bool QVBrowserModel::isValidItemName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos && !FolderPaths::isHiddenName(name);
}

bool QVBrowserModel::isSameOrInside(const std::string& path, const std::string& ancestor) {
    return ancestor.empty() || platform::liesWithin(path, ancestor);  // "" is the folder's root
}

bool QVBrowserModel::renameItem(const QVFile::Ptr& item, const std::string& newName) {
    if (!item || !isUnlocked() || newName == item->fileName()) return false;
    auto alert = [&](const char* title, const char* format) {
        platform::Alert a;
        a.messageText = platform::localizedString(title);
        a.informativeText = platform::formatText(platform::localizedString(format), {newName});
        a.buttons = {platform::localizedString("alertOK")};
        if (showAlert) showAlert(a);
    };
    // A "/" or ".." would carry the item out of its directory, a database
    // name would put it over the folder's configuration.
    if (!isValidItemName(newName)) {
        alert("alertRenameFileInvalidHeading", "alertRenameFileInvalidTextFormat");
        return false;
    }
    std::string target = joinPath(std::string(platform::parentPath(item->filePath())), newName);
    platform::Error error;
    if (fs_->fileExistsAtPath(target) ||
        !fs_->renameFileFromPath(item->filePath(), target, &error)) {
        if (error.code == 0 || error.code == EEXIST)
            alert("alertRenameFileExistsHeading", "alertRenameFileExistsTextFormat");
        else
            LGLogWarn("BrowserController > rename of %s failed: %s", item->filePath().c_str(),
                      error.description.c_str());
        return false;
    }
    // After the editor has closed: the reload replaces every row.
    QTimer::singleShot(0, this, [this, target] {
        platform::runGuarded("browser reload", [&] {
            if (didReload)
                didReload();
            else
                reload();
            if (didRename) didRename(target);
        });
    });
    return true;
}

bool QVBrowserModel::replaceItem(const std::string& from, const std::string& to) {
    // The old item goes aside first and is removed only once the move is done,
    // so a failed move leaves both in place.
    std::string aside = joinPath(
        std::string(platform::parentPath(to)),
        ".tessaro-" + std::to_string(::getpid()) + "-move-" + std::to_string(++asideCounter_));
    if (!fs_->renameFileFromPath(to, aside)) return false;
    if (!fs_->renameFileFromPath(from, to)) {
        fs_->renameFileFromPath(aside, to);
        return false;
    }
    fs_->removeItemAtPath(aside);
    return true;
}

void QVBrowserModel::moveItems(std::vector<QVFile::Ptr> items, const std::string& destinationDir,
                               std::function<void(bool)> done) {
    auto run = std::make_shared<MoveRun>();
    run->items = std::move(items);
    run->destinationDir = destinationDir;
    run->done = std::move(done);
    continueMove(run);
}

void QVBrowserModel::continueMove(const std::shared_ptr<MoveRun>& run) {
    auto finish = [this, run](bool result) {
        draggingFiles_.clear();
        if (didReload)
            didReload();
        else
            reload();
        if (run->done) run->done(result);
    };
    while (run->next < run->items.size() && isUnlocked()) {
        const QVFile::Ptr& item = run->items[run->next];
        const std::string& from = item->filePath();
        std::string to = joinPath(run->destinationDir, item->fileName());
        if (to == from) return finish(false);
        // Into itself, or onto a directory that holds it: a Replace would
        // delete the item being moved.
        if (isSameOrInside(run->destinationDir, from) || isSameOrInside(from, to)) {
            LGLogInfo("BrowserController > move of %s into %s refused", from.c_str(), to.c_str());
            ++run->next;
            continue;
        }
        if (!fs_->fileExistsAtPath(to)) {
            fs_->renameFileFromPath(from, to);
            ++run->next;
            continue;
        }
        if (run->skipAll) {
            ++run->next;
            continue;
        }
        if (run->replaceAll) {
            replaceItem(from, to);
            ++run->next;
            continue;
        }
        if (!askConflict) return finish(true);
        if (didReload)
            didReload();
        else
            reload();
        askConflict(QVImportExportController::conflictQuestion(item->fileName()),
                    [this, run, finish, from, to](QVConflictAnswer answer, bool applyToAll) {
                        if (answer == QVConflictAnswer::Stop) return finish(true);
                        if (answer == QVConflictAnswer::Replace) {
                            replaceItem(from, to);
                            run->replaceAll = applyToAll;
                        } else {
                            run->skipAll = applyToAll;
                        }
                        ++run->next;
                        continueMove(run);
                    });
        return;
    }
    finish(true);
}

// --- QAbstractItemModel

QModelIndex QVBrowserModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0 || parent.column() > 0) return {};
    Node* node = nodeFor(parent);
    if (!isUnlocked()) return {};
    populate(node);
    if (row >= static_cast<int>(node->children.size())) {
        LGLogWarn("browser child of item %s at index %d out of range", node->path().c_str(), row);
        return {};
    }
    return createIndex(row, 0, node->children[static_cast<size_t>(row)].get());
}

QModelIndex QVBrowserModel::parent(const QModelIndex& child) const {
    if (!child.isValid()) return {};
    Node* p = nodeFor(child)->parent;
    if (!p || p == root_.get()) return {};
    return createIndex(p->row, 0, p);
}

int QVBrowserModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0 || !isUnlocked()) return 0;
    Node* node = nodeFor(parent);
    if (!node->isDirectory) return 0;
    populate(node);
    return static_cast<int>(node->children.size());
}

int QVBrowserModel::columnCount(const QModelIndex& parent) const {
    return parent.column() > 0 ? 0 : 1;
}

bool QVBrowserModel::hasChildren(const QModelIndex& parent) const {
    if (parent.column() > 0 || !isUnlocked()) return false;
    return nodeFor(parent)->isDirectory;
}

QIcon QVBrowserModel::iconFor(const QVFile& file) {
    static const QMimeDatabase mimeDb_;
    static std::map<QString, QIcon> iconCache_;
    QString key = file.isDirectory() ? QStringLiteral("inode/directory")
                                     : mimeDb_
                                           .mimeTypeForFile(QString::fromStdString(file.fileName()),
                                                            QMimeDatabase::MatchExtension)
                                           .name();
    if (auto it = iconCache_.find(key); it != iconCache_.end()) return it->second;
    QIcon icon;
    QStyle* style = QApplication::style();
    if (file.isDirectory()) {
        icon = QIcon::fromTheme(QStringLiteral("folder"),
                                style ? style->standardIcon(QStyle::SP_DirIcon) : QIcon());
    } else {
        QMimeType mime = mimeDb_.mimeTypeForName(key);
        icon = QIcon::fromTheme(
            mime.iconName(),
            QIcon::fromTheme(mime.genericIconName(),
                             style ? style->standardIcon(QStyle::SP_FileIcon) : QIcon()));
    }
    iconCache_.emplace(key, icon);
    return icon;
}

QVariant QVBrowserModel::data(const QModelIndex& index, int role) const {
    QVFile::Ptr file = fileForIndex(index);
    if (!file) return {};
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
        case Qt::ToolTipRole:
            return platform::displayFileName(file->fileName());
        case Qt::DecorationRole:
            return iconFor(*file);
        case PathRole:
            return platform::displayFileName(file->filePath());
        default:
            return {};
    }
}

bool QVBrowserModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole) return false;
    auto file = fileForIndex(index);
    // Only a name shown exactly is edited, so the text is its bytes; an
    // unchanged edit renames nothing.
    if (!file || !platform::isExactlyShown(file->fileName())) return false;
    return renameItem(file, value.toString().toStdString());
}

Qt::ItemFlags QVBrowserModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return isUnlocked() ? Qt::ItemIsDropEnabled : Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
    // A name that the text cannot hold exactly is not edited: the edit would
    // rename the item to what the text shows.
    if (!fs_->isNTFSVolume() && platform::isExactlyShown(nodeFor(index)->file->fileName()))
        f |= Qt::ItemIsEditable;
    if (nodeFor(index)->isDirectory)
        f |= Qt::ItemIsDropEnabled;
    else
        f |= Qt::ItemNeverHasChildren;
    return f;
}

QStringList QVBrowserModel::mimeTypes() const {
    return {QString::fromLatin1(kRowDragType), QStringLiteral("text/uri-list")};
}

QMimeData* QVBrowserModel::mimeData(const QModelIndexList& indexes) const {
    draggingFiles_.clear();
    for (const QModelIndex& i : indexes)
        if (auto f = fileForIndex(i)) draggingFiles_.push_back(f);
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(kRowDragType), QByteArray(kRowDragPlaceholder));
    return data;
}

Qt::DropActions QVBrowserModel::supportedDropActions() const {
    return Qt::CopyAction | Qt::MoveAction;
}

Qt::DropActions QVBrowserModel::supportedDragActions() const {
    return Qt::CopyAction | Qt::MoveAction;
}

bool QVBrowserModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int, int,
                                     const QModelIndex&) const {
    if (!data || !isUnlocked() || fs_->isNTFSVolume()) return false;
    if (data->hasFormat(QString::fromLatin1(kRowDragType))) return !draggingFiles_.empty();
    if (!data->hasUrls()) return false;
    std::string folder = fs_->volumePath().value_or(std::string());
    for (const QUrl& url : data->urls()) {
        auto local = platform::localPathForUrl(url);
        if (!local) return false;
        std::string path = *local;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        // The folder's own directory, or one that holds it, cannot go into it.
        if (!folder.empty() && (isSameOrInside(folder, path) || isSameOrInside(path, folder)))
            return false;
    }
    return true;
}

std::string QVBrowserModel::destinationFor(const QModelIndex& parent) const {
    // A drop on a file lands in the file's directory.
    Node* node = nodeFor(parent);
    if (!node->isDirectory && node->parent) node = node->parent;
    return node->path();
}

bool QVBrowserModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                                  const QModelIndex& parent) {
    if (!canDropMimeData(data, action, row, column, parent)) return false;
    std::string destination = destinationFor(parent);
    if (data->hasFormat(QString::fromLatin1(kRowDragType))) {
        auto items = draggingFiles_;
        // The drag has not ended yet: move once the view is done with it.
        QTimer::singleShot(0, this, [this, items, destination] {
            platform::runGuarded("browser move", [&] { moveItems(items, destination); });
        });
        return true;
    }
    std::vector<std::string> paths;
    for (const QUrl& url : data->urls())
        if (auto path = platform::localPathForUrl(url)) paths.push_back(std::move(*path));
    if (importFiles) importFiles(paths, destination);
    return true;
}

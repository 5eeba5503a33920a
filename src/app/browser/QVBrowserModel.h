#pragma once
// The column browser's data over an unlocked folder, read straight through
// the folder handle (no volume is mounted). Listings are cached per directory
// for two minutes; reload() reads everything afresh. Entries keep the order
// in which the handle lists them.
//
// Rows are made on first access of their directory and stay until reset()
// or refresh(); refresh(index) re-reads one directory through the cache and
// replaces its rows when the listing changed (a column opened again after
// the cache expired).
//
// Renames (setData) and moves of browser rows (moveItems) check the names
// and never overwrite an item without the user's Replace. Main thread only.

#include <QAbstractItemModel>
#include <QIcon>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FileSystem/QVFileSystem.h"
#include "app/ImportExport/QVImportExportController.h"
#include "platform/core/Dispatch.h"
#include "platform/gui/Alert.h"

class QVBrowserModel : public QAbstractItemModel {
  public:
    static constexpr std::chrono::seconds kCacheLifetime{120};
    static constexpr const char* kRowDragType = "application/x-tessaro-browser-rows";
    static constexpr const char* kRowDragPlaceholder =
        "This is just a placeholder as our dragged data is in draggingFiles";
    enum Roles { FileRole = Qt::UserRole + 1, PathRole };

    explicit QVBrowserModel(platform::Clock& clock = platform::systemClock(),
                            QObject* parent = nullptr);
    ~QVBrowserModel() override;

    void setFileSystem(std::shared_ptr<QVFileSystem> fileSystem);
    const std::shared_ptr<QVFileSystem>& fileSystem() const { return fs_; }
    bool isUnlocked() const { return fs_ && fs_->isMounted(); }

    // The cached listing of a folder-relative directory ("" the root); an
    // unreadable directory is empty and not cached.
    std::vector<QVFile::Ptr> visibleContentsOfDirAtPath(const std::string& path);
    // Empties the cache and rebuilds every row.
    void reload();
    // Re-reads one directory through the cache; rows change only when the
    // listing did.
    void refresh(const QModelIndex& directory);

    QVFile::Ptr fileForIndex(const QModelIndex& index) const;
    // The row of a folder-relative path, made on the way; invalid when absent.
    QModelIndex indexForPath(const std::string& path);

    // A name a rename or move may give: not empty, no "/", not "." or "..",
    // not the configuration database or its journal in any letter case.
    static bool isValidItemName(const std::string& name);
    // True when `path` is `ancestor` or lies beneath it ("" holds everything).
    static bool isSameOrInside(const std::string& path, const std::string& ancestor);

    // Renames; refused with an alert (through showAlert) for an invalid or
    // taken name. True when renamed.
    bool renameItem(const QVFile::Ptr& item, const std::string& newName);

    // Moves each item, in order, into `destinationDir`: an item onto its own
    // path ends the move with false; an item into itself or onto an
    // ancestor stays where it is; an existing target is replaced only on the
    // user's answer to askConflict (the old item is moved aside and removed
    // after the move). `done` gets the result; the model is reloaded first.
    void moveItems(std::vector<QVFile::Ptr> items, const std::string& destinationDir,
                   std::function<void(bool)> done = {});

    // Hooks the browser sets: alerts on its window, the conflict question of
    // the import/export work, a drop of local files (paths, target dir).
    std::function<void(const platform::Alert&)> showAlert;
    std::function<void(const QVImportExportMessage&, QVImportExportDelegate::ConflictReply)>
        askConflict;
    std::function<void(const std::vector<std::string>&, const std::string&)> importFiles;
    std::function<void()> didReload;
    // After a rename has reloaded the rows, with the item's new path.
    std::function<void(const std::string&)> didRename;

    // Browser rows of a drag that started here.
    const std::vector<QVFile::Ptr>& draggingFiles() const { return draggingFiles_; }

    // QAbstractItemModel
    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDropActions() const override;
    Qt::DropActions supportedDragActions() const override;
    bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                         const QModelIndex& parent) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;

    // The icon of an item: a folder, or the icon of its name's type.
    static QIcon iconFor(const QVFile& file);

  private:
    struct Node;
    Node* nodeFor(const QModelIndex& index) const;
    void populate(Node* node) const;
    std::string destinationFor(const QModelIndex& parent) const;
    struct MoveRun;
    void continueMove(const std::shared_ptr<MoveRun>& run);
    bool replaceItem(const std::string& from, const std::string& to);

    platform::Clock& clock_;
    std::shared_ptr<QVFileSystem> fs_;
    std::map<std::string, std::vector<QVFile::Ptr>> cache_;
    platform::Clock::time_point lastFlushed_{};
    std::unique_ptr<Node> root_;
    mutable std::vector<QVFile::Ptr> draggingFiles_;
    unsigned asideCounter_ = 0;
};

#pragma once
// The sidebar: the encrypted folders added to the window, in display order,
// kept across launches as bookmarks under "sidebarSavedBookmarks" (in that
// order, rewritten after every add, eject and reorder). The selection follows
// its folder's path, not its row. Main thread only.

#include <QObject>
#include <QRect>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/gui/Bookmarks.h"

class QListWidget;
namespace platform {
class UserDefaults;
}

class QVSourceListDelegate {
  public:
    virtual ~QVSourceListDelegate() = default;
    virtual void sourceListDidAddNewItemWithPath(const std::string&) {}
    virtual void sourceListDidChangeSelectedItemPath(const std::optional<std::string>&) {}
    // False keeps the folder.
    virtual bool sourceListShallEjectItemWithPath(const std::string&) { return true; }
    // Folders dropped onto the list from outside (already filtered to
    // encrypted folders); true when taken.
    virtual bool sourceListDidReceiveFolders(const std::vector<std::string>&) { return false; }
};

class QVSourceListController : public QObject {
  public:
    // A row: the "Name" column (QVSourceImageAndTextCell) and the eject
    // button's column at its right end, wide enough for the 12 points the
    // cell's label reaches past its frame.
    static constexpr int kEjectColumnWidth = 36;
    static constexpr int kRowHeight = 24;
    static QRect nameRect(const QRect& row);

    QVSourceListController(platform::UserDefaults& defaults, QWidget* parent);
    ~QVSourceListController() override;

    // Restores the saved folders (the first one ends up selected).
    void awakeFromNib();
    void setDelegate(QVSourceListDelegate* delegate) { delegate_ = delegate; }  // non-owning

    QListWidget* sourceTableView() const { return table_; }
    const std::vector<std::string>& itemsPaths() const { return paths_; }
    const std::optional<std::string>& selectedItemPath() const { return selected_; }

    void addItemWithPath(const std::string& path);
    void setSelectedItemPath(const std::string& path);
    void ejectSelected();
    // The eject button of a row.
    void eject(int row);
    // Moves the rows to the gap before `dropRow` (rows.size() = the end).
    void moveRows(std::vector<int> rows, int dropRow);
    void saveBookmarks();

    // Every ".zel" removed, ignoring case.
    static std::string displayName(const std::string& path);

    // The row whose eject button shows (the mouse is over it), -1 for none.
    int rowWithMouse() const { return rowWithMouse_; }
    void setRowWithMouse(int row);
    bool dropFolders(const std::vector<std::string>& paths);

  private:
    void reloadTable();
    void selectRow(int row);
    void tableViewSelectionDidChange();
    void removeRow(int row);

    platform::UserDefaults& defaults_;
    QListWidget* table_ = nullptr;
    QVSourceListDelegate* delegate_ = nullptr;
    std::vector<std::string> paths_;
    std::map<std::string, platform::BookmarkData> bookmarks_;
    std::optional<std::string> selected_;
    int rowWithMouse_ = -1;
    bool reloading_ = false;
};

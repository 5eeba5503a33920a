#pragma once
// The unlocked folder in the main window's browser page: a column browser
// over QVBrowserModel with a preview column, the notes bar and the status
// line. The main window hosts the widget and wires the copy presenter:
//
//   auto* browser = new QVBrowserController(handle, folderPath, page);
//   browser->setCopyPresenter(&progress);   // drops import, Export/double click export
//   browser->setStatusMenu(statusMenu);     // openInFinder, the open-in-file-manager note
//   browser->setFileSystem(otherHandle);    // on every folder selection
//
// Dragging out of the window to the desktop is not offered: the platform
// has no promised-file drag; export goes through double click and the
// Export action of the context menu. Main thread only.

#include <QPointer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FileSystem/QVFileSystem.h"
#include "app/browser/QVBrowserModel.h"
#include "platform/core/Dispatch.h"

class QAction;
class QColumnView;
class QLabel;
class QStackedWidget;
class QVCopyProgressPresenter;
class QVPreviewController;
class QVStatusMenuInterface;

class QVBrowserController : public QWidget {
  public:
    static constexpr int kPreviewWidth = 300;
    static constexpr int kDefaultColumnWidth = 200;
    static constexpr int kNotesBarHeight = 30;
    static constexpr std::chrono::milliseconds kStatusDelay{100};
    enum Note { NTFSNote = 0, FuseNote = 1, OpenInFinderNote = 2 };

    QVBrowserController(std::shared_ptr<QVFileSystem> fileSystem, std::string folderRoot,
                        QWidget* parent = nullptr,
                        platform::Clock& clock = platform::systemClock());
    ~QVBrowserController() override;

    void setFileSystem(std::shared_ptr<QVFileSystem> fileSystem);
    const std::shared_ptr<QVFileSystem>& fileSystem() const { return model_.fileSystem(); }
    // Empties the cache, reads everything afresh, selects the same path
    // again; the status line follows 0.1 s later.
    void reload();
    std::vector<QVFile::Ptr> selectedFiles() const;
    QVFile::Ptr currentDirectory() const;
    bool selectItemWithPath(const std::string& path);
    void editSelectedItem();

    // Not owned; either may be null.
    void setCopyPresenter(QVCopyProgressPresenter* presenter);
    // The status menu often starts after the first folder is shown: its note
    // then comes with it.
    void setStatusMenu(QVStatusMenuInterface* statusMenu);
    // Whether the file-system extension is there; the notes depend on it.
    void setFuseInstalled(bool installed) { fuseInstalled_ = installed; }

    void openInFinder();
    void showFuseNote();
    void showOpenInFinderNote();
    // byUser: the bar's close button (sets the don't-show-again flag).
    void closeNote(bool byUser);
    bool isNotificationAreaVisible() const { return notesVisible_; }
    int currentNote() const;
    QWidget* notePage(Note note) const;

    // The browser's action: status line, remembered widths, preview width.
    void browserClicked(const QModelIndex& index);
    // A column was added, removed or resized (by the user's grip or by us):
    // the widths of the columns left of the last visible one are remembered,
    // except the preview column's. Runs once per turn of the event loop.
    void browserColumnConfigurationDidChange();
    const std::map<int, int>& rememberedColumnWidths() const { return columnWidthDict_; }
    int previewColumn() const { return previewColumn_; }
    // A file: choose a directory and export the selection into it.
    void browserDoubleClick(const QModelIndex& index);
    void exportSelection();
    void updateStatusBar();

    // "n of m items selected, ..." / "m items, ...".
    static std::string statusText(int64_t selected, int64_t items, uint64_t folderSize,
                                  uint64_t freeSpace);

    QColumnView* columnView() const { return view_; }
    QVBrowserModel& model() { return model_; }
    QVPreviewController* preview() const { return preview_; }
    // Where the status line goes: the host's field (the window's bottom
    // bar), or the browser's own line under the columns when null.
    void setStatusTextField(QLabel* field);
    QLabel* statusLabel() const;
    QAction* exportAction() const { return exportAction_; }
    // Further commands of the context menu, after Export; `validate` runs as
    // the menu opens.
    void addContextActions(const std::vector<QAction*>& actions, std::function<void()> validate);
    // The folder's contents may have changed size: an import ended, another
    // handle is shown.
    std::function<void()> onContentsChanged;
    // Export hook for tests and hosts without a presenter: items and the
    // chosen directory.
    std::function<void(const std::vector<QVFile::Ptr>&, const std::string&)> onExport;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    int lastVisibleColumn() const;
    int columnOf(const QModelIndex& index) const;
    QModelIndexList selectedInColumn(const QModelIndex& current) const;
    void setNotificationAreaVisible(bool visible);
    void showAlert(const platform::Alert& alert);

    platform::Clock& clock_;
    std::string folderRoot_;
    QVBrowserModel model_;
    QColumnView* view_ = nullptr;
    QVPreviewController* preview_ = nullptr;
    QStackedWidget* notes_ = nullptr;
    QLabel* ownStatus_ = nullptr;
    QPointer<QLabel> field_;  // the host's: it may go before the browser
    QAction* exportAction_ = nullptr;
    QVCopyProgressPresenter* presenter_ = nullptr;
    QVStatusMenuInterface* statusMenu_ = nullptr;
    bool fuseInstalled_ = true;
    bool notesVisible_ = false, fuseNoteDontShowAgain_ = false;
    int previewColumn_ = -1;
    bool configurationChangePending_ = false;
    std::map<int, int> columnWidthDict_;
    std::function<void()> validateContextActions_;
    platform::DispatchTimerPtr statusTimer_;
    std::shared_ptr<uint64_t> statusGeneration_ = std::make_shared<uint64_t>(0);
};

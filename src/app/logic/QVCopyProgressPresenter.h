#pragma once
// The browser's side of an import or export: starts the copy, shows the
// progress sheet a second after the start (a copy that ends sooner never
// shows it), keeps its texts current, asks the copy's questions as alerts on
// the window, and handles the end of a run. The widgets are behind
// QVCopyProgressView (QVCopyProgressSheet in the application), so the logic
// here runs in tests without them.
//
//   auto sheet = new QVCopyProgressSheet(mainWindow);
//   QVCopyProgressPresenter progress(*sheet);
//   sheet->onStop = [&] { progress.stopCopying(); };
//   progress.setFileSystem(handle);
//   progress.onImportFinished = [&](const std::string& path) { reload(); select(path); };
//   progress.importFiles(droppedPaths, destination->filePath());     // a drop
//   progress.exportFiles(selectedFiles(), chosenDirectory);           // Export, double click
//
// Main thread only.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ImportExport/QVImportExportController.h"
#include "platform/core/Dispatch.h"
#include "platform/gui/Alert.h"

class QVCopyProgressView {
  public:
    virtual ~QVCopyProgressView() = default;
    // Window-modal on the main window, opened without a nested loop.
    virtual void showProgressSheet() = 0;
    virtual void hideProgressSheet() = 0;
    virtual void setProgress(double percent) = 0;  // 0-100
    virtual void setDescriptionText(const std::string& text) = 0;
    virtual void setTimeText(const std::string& text) = 0;
    // On the sheet when it shows, else on the main window.
    virtual void openAlert(const platform::Alert& alert, platform::Alert::Completion done) = 0;
};

class QVCopyProgressPresenter : public QVImportExportDelegate {
  public:
    static constexpr std::chrono::seconds kSheetDelay{1};
    static constexpr std::chrono::seconds kUpdateInterval{1};

    explicit QVCopyProgressPresenter(QVCopyProgressView& view,
                                     platform::Clock& clock = platform::systemClock(),
                                     platform::DispatchQueuePtr queue = platform::mainQueue());
    ~QVCopyProgressPresenter() override;
    QVCopyProgressPresenter(const QVCopyProgressPresenter&) = delete;
    QVCopyProgressPresenter& operator=(const QVCopyProgressPresenter&) = delete;

    // The browser's handle; a copy that runs is stopped first.
    void setFileSystem(std::shared_ptr<QVFileSystem> fileSystem);
    // Made on first use and kept.
    std::shared_ptr<QVImportExportController> importExporter();

    // Local paths into a folder directory ("" the root); folder items into a
    // local directory. False when nothing started (the copy said why).
    bool importFiles(const std::vector<std::string>& paths, const std::string& targetDir);
    bool exportFiles(const std::vector<QVFile::Ptr>& items, const std::string& destinationDir);
    // The sheet's Stop button.
    void stopCopying();

    const std::string& lastImportTargetPath() const { return lastImportTargetPath_; }
    // End of an import: reload the browser and select this path; the
    // application recomputes the tracked folders' size. End of an export.
    std::function<void(const std::string& selectPath)> onImportFinished;
    std::function<void()> onExportFinished;

    // The texts of a question or alert of the copy.
    static platform::Alert alertFor(const QVImportExportMessage& message);

    // QVImportExportDelegate. askConflict with
    // QVImportExportController::conflictQuestion(name) is also the question
    // of the browser's row moves.
    void importExporterProcessed(int64_t done, int64_t total) override;
    void importExporterDidImportFiles() override;
    void importExporterDidExportFiles() override;
    void askConflict(const QVImportExportMessage& question, ConflictReply reply) override;
    void askAlias(const QVImportExportMessage& question, AliasReply reply) override;
    void showAlert(const QVImportExportMessage& alert, Done done) override;

  private:
    void beginProgress(size_t count, const std::string& destinationName);
    void endProgress();

    QVCopyProgressView& view_;
    platform::Clock& clock_;
    platform::DispatchQueuePtr queue_;
    std::shared_ptr<QVFileSystem> fs_;
    std::shared_ptr<QVImportExportController> importExporter_;
    platform::DispatchTimerPtr sheetTimer_;
    platform::Clock::time_point copyStartTime_{}, lastUpdateTime_{};
    std::string lastImportTargetPath_;
};

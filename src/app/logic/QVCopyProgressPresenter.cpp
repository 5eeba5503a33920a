#include "app/logic/QVCopyProgressPresenter.h"

#include "FileSystem/QVFileSystem.h"
#include "app/logic/QVUnitStrings.h"
#include "folder/FolderPaths.h"
#include "platform/core/PathPieces.h"
#include "platform/gui/StringTable.h"

using platform::formatText;
using platform::localizedString;

namespace {

int buttonIndex(int response) {
    return response - platform::Alert::kFirstButton;
}

}  // namespace

QVCopyProgressPresenter::QVCopyProgressPresenter(QVCopyProgressView& view, platform::Clock& clock,
                                                 platform::DispatchQueuePtr queue)
    : view_(view), clock_(clock), queue_(std::move(queue)) {}

QVCopyProgressPresenter::~QVCopyProgressPresenter() {
    if (sheetTimer_) sheetTimer_->cancel();
    if (importExporter_) importExporter_->setDelegate(nullptr);
}

void QVCopyProgressPresenter::setFileSystem(std::shared_ptr<QVFileSystem> fileSystem) {
    fs_ = std::move(fileSystem);
    if (importExporter_) importExporter_->setFileSystem(fs_);
}

std::shared_ptr<QVImportExportController> QVCopyProgressPresenter::importExporter() {
    if (!importExporter_) {
        importExporter_ = QVImportExportController::create(fs_, queue_, clock_);
        importExporter_->setDelegate(this);
    }
    return importExporter_;
}

bool QVCopyProgressPresenter::importFiles(const std::vector<std::string>& paths,
                                          const std::string& targetDir) {
    auto copier = importExporter();
    if (copier->isRunning()) return copier->importFiles(paths, targetDir);  // says why not
    // The destination's name, or the encrypted folder's own at its root.
    std::string name(platform::lastComponent(FolderPaths::relative(targetDir).value_or(targetDir)));
    if (name.empty() && fs_ && fs_->volumePath())
        name = platform::lastComponent(*fs_->volumePath());
    lastImportTargetPath_ = targetDir;
    beginProgress(paths.size(), name);
    if (copier->importFiles(paths, targetDir)) return true;
    endProgress();
    return false;
}

bool QVCopyProgressPresenter::exportFiles(const std::vector<QVFile::Ptr>& items,
                                          const std::string& destinationDir) {
    auto copier = importExporter();
    if (copier->isRunning()) return copier->exportFiles(items, destinationDir);
    beginProgress(items.size(), std::string(platform::lastComponent(destinationDir)));
    if (copier->exportFiles(items, destinationDir)) return true;
    endProgress();
    return false;
}

void QVCopyProgressPresenter::stopCopying() {
    view_.setTimeText(localizedString("copyProgressTimeStopping"));
    if (importExporter_) importExporter_->stop();
}

void QVCopyProgressPresenter::beginProgress(size_t count, const std::string& destinationName) {
    copyStartTime_ = clock_.now();
    lastUpdateTime_ = {};
    view_.setProgress(0);
    view_.setTimeText("");
    std::string format = localizedString("copyProgressInfoFormat");
    if (count == 1)
        format = localizedString("copyProgressInfoOneFormat", platform::kMainStringTable, format);
    view_.setDescriptionText(formatText(format, {std::to_string(count), destinationName}));
    if (sheetTimer_) sheetTimer_->cancel();
    sheetTimer_ = platform::DispatchTimer::create(queue_, clock_);
    sheetTimer_->setHandler([this] { view_.showProgressSheet(); });
    sheetTimer_->scheduleAfter(kSheetDelay);
}

void QVCopyProgressPresenter::endProgress() {
    if (sheetTimer_) sheetTimer_->cancel();
    sheetTimer_.reset();
    view_.hideProgressSheet();
}

void QVCopyProgressPresenter::importExporterProcessed(int64_t done, int64_t total) {
    const auto now = clock_.now();
    if (now - lastUpdateTime_ <= kUpdateInterval) return;
    const double elapsed = std::chrono::duration<double>(now - copyStartTime_).count();
    const QVCopyProgress p = copyProgressFor(done, total, elapsed);
    view_.setProgress(p.percent);
    view_.setTimeText(formatText(localizedString("copyProgressTimeRemaining"),
                                 {app::siUnitStringForBytes(done), app::siUnitStringForBytes(total),
                                  app::progressTimeStringForSeconds(p.remainingSeconds)}));
    lastUpdateTime_ = now;
}

void QVCopyProgressPresenter::importExporterDidImportFiles() {
    endProgress();
    view_.setProgress(0);
    const std::string select = lastImportTargetPath_;
    lastImportTargetPath_.clear();
    if (onImportFinished) onImportFinished(select);
}

void QVCopyProgressPresenter::importExporterDidExportFiles() {
    endProgress();
    if (onExportFinished) onExportFinished();
}

platform::Alert QVCopyProgressPresenter::alertFor(const QVImportExportMessage& m) {
    platform::Alert a;
    a.messageText = localizedString(m.titleKey);
    if (!m.messageKey.empty()) {
        // The copy's format keys take one argument at most.
        const std::string format = localizedString(m.messageKey);
        a.informativeText = m.arguments.empty() ? format : formatText(format, {m.arguments[0]});
    }
    if (!m.detail.empty())
        a.informativeText += (a.informativeText.empty() ? "" : "\n\n") + m.detail;
    for (const auto& key : m.buttonKeys) a.buttons.push_back(localizedString(key));
    a.escapeButton = 0;  // the default: Stop, Skip or OK
    if (!m.checkBoxKey.empty()) {
        a.showsSuppressionButton = true;
        a.suppressionTitle = localizedString(m.checkBoxKey);
    }
    return a;
}

void QVCopyProgressPresenter::askConflict(const QVImportExportMessage& question,
                                          ConflictReply reply) {
    view_.openAlert(alertFor(question), [reply](int response, bool applyToAll) {
        static constexpr QVConflictAnswer answers[] = {
            QVConflictAnswer::Stop, QVConflictAnswer::Skip, QVConflictAnswer::Replace};
        const int i = buttonIndex(response);
        reply(i >= 0 && i < 3 ? answers[i] : QVConflictAnswer::Stop, applyToAll);
    });
}

void QVCopyProgressPresenter::askAlias(const QVImportExportMessage& question, AliasReply reply) {
    view_.openAlert(alertFor(question), [reply](int response, bool) {
        reply(buttonIndex(response) == 0 ? QVAliasAnswer::Skip : QVAliasAnswer::Stop);
    });
}

void QVCopyProgressPresenter::showAlert(const QVImportExportMessage& alert, Done done) {
    view_.openAlert(alertFor(alert), [done](int, bool) { done(); });
}

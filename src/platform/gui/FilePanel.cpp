#include "platform/gui/FilePanel.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <algorithm>

#include "platform/core/XdgPaths.h"
#include "platform/gui/Application.h"
#include "platform/gui/FileNames.h"

namespace platform {

namespace {

// Qt's dialog chooses files or folders, not both; an encrypted folder is a
// folder that the user picks like a file. Confirming with such folders
// selected chooses them; other folders are entered as usual.
class PanelDialog : public QFileDialog {
  public:
    PanelDialog(QWidget* parent, bool chooseFolders, QStringList folderSuffixes)
        : QFileDialog(parent),
          chooseFolders_(chooseFolders),
          folderSuffixes_(std::move(folderSuffixes)) {}

    void accept() override {
        const QStringList files = selectedFiles();
        const bool allChoosable =
            chooseFolders_ && !files.isEmpty() &&
            std::all_of(files.begin(), files.end(), [this](const QString& f) {
                QFileInfo info(f);
                return info.isDir() &&
                       (folderSuffixes_.isEmpty() ||
                        folderSuffixes_.contains(info.suffix(), Qt::CaseInsensitive));
            });
        if (allChoosable) {
            QDialog::accept();
        } else {
            QFileDialog::accept();
        }
    }

  private:
    bool chooseFolders_;
    QStringList folderSuffixes_;
};

}  // namespace

QFileDialog* FilePanel::open(QWidget* window, Completion completion) const {
    QStringList suffixes;
    for (const auto& t : allowedFileTypes) suffixes << QString::fromStdString(t);
    const bool mixed = !save && canChooseFiles && canChooseDirectories;
    auto* dialog = new PanelDialog(window, mixed, suffixes);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    // Qt's own dialog: a choice of files and folders in one panel, which
    // the desktop's dialogs do not offer.
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setDirectory(QString::fromStdString(directory.empty() ? homeDirectory() : directory));
    if (!title.empty()) dialog->setWindowTitle(QString::fromStdString(title));
    if (!prompt.empty()) dialog->setLabelText(QFileDialog::Accept, QString::fromStdString(prompt));
    if (!message.empty()) {
        if (auto* grid = qobject_cast<QGridLayout*>(dialog->layout())) {
            auto* label = new QLabel(QString::fromStdString(message), dialog);
            label->setWordWrap(true);
            grid->addWidget(label, grid->rowCount(), 0, 1, grid->columnCount());
        }
    }
    if (save) {
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setFileMode(QFileDialog::AnyFile);
        dialog->setOption(QFileDialog::ReadOnly, !canCreateDirectories);
        if (!nameFieldValue.empty()) dialog->selectFile(QString::fromStdString(nameFieldValue));
        if (allowedFileTypes.size() == 1) {
            dialog->setDefaultSuffix(QString::fromStdString(allowedFileTypes.front()));
        }
    } else if (canChooseDirectories && !canChooseFiles) {
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly, true);
    } else {
        dialog->setFileMode(allowsMultipleSelection ? QFileDialog::ExistingFiles
                                                    : QFileDialog::ExistingFile);
    }
    if (!allowedFileTypes.empty()) {
        QStringList patterns;
        for (const auto& t : allowedFileTypes) patterns << "*." + QString::fromStdString(t);
        dialog->setNameFilter(patterns.join(' '));
    }
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, completion](int result) {
        std::vector<std::string> paths;
        if (result == QDialog::Accepted) {
            // Through the local encoding, or the entry the dialog showed:
            // a folder name that is not UTF-8 still names its folder.
            for (const QString& f : dialog->selectedFiles()) paths.push_back(localPathForDialog(f));
        }
        if (completion) {
            runGuarded("FilePanel > completion", [&] {
                completion(result == QDialog::Accepted ? kOK : kCancel, std::move(paths));
            });
        }
    });
    dialog->open();
    return dialog;
}

}  // namespace platform

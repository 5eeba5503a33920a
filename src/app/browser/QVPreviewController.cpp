#include "app/browser/QVPreviewController.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QMimeDatabase>
#include <QVBoxLayout>

#include "app/QVAppDelegate.h"
#include "app/browser/QVBrowserModel.h"
#include "platform/gui/FileNames.h"

namespace {

constexpr int kImageSize = 128;

QString dateText(int64_t seconds, uint32_t nanoseconds) {
    QDateTime when = QDateTime::fromMSecsSinceEpoch(seconds * 1000 + nanoseconds / 1000000);
    return QLocale().toString(when, QLocale::ShortFormat);
}

}  // namespace

QVPreviewController::QVPreviewController(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    imageLabel = new QLabel(this);
    imageLabel->setAlignment(Qt::AlignCenter);
    imageLabel->setMinimumHeight(kImageSize);
    nameLabel = new QLabel(this);
    nameLabel->setAlignment(Qt::AlignCenter);
    nameLabel->setWordWrap(true);
    layout->addWidget(imageLabel);
    layout->addWidget(nameLabel);
    auto* facts = new QFormLayout;
    auto add = [&](const char* title, QLabel*& label) {
        label = new QLabel(this);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        facts->addRow(QString::fromUtf8(title), label);
    };
    add("Kind:", kindLabel);
    add("Size:", sizeLabel);
    add("Created:", createdLabel);
    add("Modified:", modifiedLabel);
    add("Last opened:", lastOpenedLabel);
    layout->addLayout(facts);
    layout->addStretch();
}

void QVPreviewController::setCurrentItem(QVFile::Ptr item) {
    item_ = std::move(item);
    updatePreview();
}

void QVPreviewController::setFileSystemVolumePath(std::optional<std::string> path) {
    volumePath_ = std::move(path);
}

std::string QVPreviewController::birthTimeText(const std::string& diskPath) {
    struct statx st {};
    if (::statx(AT_FDCWD, diskPath.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &st) != 0 ||
        !(st.stx_mask & STATX_BTIME))
        return "--";
    return dateText(st.stx_btime.tv_sec, st.stx_btime.tv_nsec).toStdString();
}

std::string QVPreviewController::kindForName(const std::string& name, bool isDirectory) {
    static const QMimeDatabase db;
    QMimeType type = isDirectory ? db.mimeTypeForName(QStringLiteral("inode/directory"))
                                 : db.mimeTypeForFile(QString::fromStdString(name),
                                                      QMimeDatabase::MatchExtension);
    return type.comment().toStdString();
}

void QVPreviewController::updatePreview() {
    if (!item_) {
        imageLabel->clear();
        for (QLabel* l : {nameLabel, sizeLabel, createdLabel, modifiedLabel, lastOpenedLabel})
            l->clear();
        return;
    }
    imageLabel->setPixmap(QVBrowserModel::iconFor(*item_).pixmap(kImageSize, kImageSize));
    nameLabel->setText(platform::displayFileName(item_->fileName()));
    QString modified = QStringLiteral("--"), created = QStringLiteral("--");
    if (volumePath_) {
        std::string disk = *volumePath_ + "/" + item_->filePath();
        struct stat st {};
        if (::lstat(disk.c_str(), &st) == 0)
            modified = dateText(st.st_mtim.tv_sec, static_cast<uint32_t>(st.st_mtim.tv_nsec));
        created = QString::fromStdString(birthTimeText(disk));
    }
    createdLabel->setText(created);
    modifiedLabel->setText(modified);
    lastOpenedLabel->setText(modified);
    uint64_t size = item_->fileSize() == QVFile::kUnknownSize ? 0 : item_->fileSize();
    sizeLabel->setText(
        QString::fromStdString(QVAppDelegate::siUnitStringForBytes(static_cast<int64_t>(size))));
    std::string kind = kindForName(item_->fileName(), item_->isDirectory());
    if (!kind.empty()) kindLabel->setText(QString::fromStdString(kind));
}

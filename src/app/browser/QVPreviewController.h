#pragma once
// The browser's preview column: one item's icon, name, plaintext size,
// dates and kind. The kind comes from the name's extension alone: the bytes
// on disk are ciphertext. No desktop-wide last-used record exists here, so
// the last-opened date is the modification date.

#include <QWidget>
#include <optional>
#include <string>

#include "FileSystem/QVFile.h"

class QLabel;

class QVPreviewController : public QWidget {
  public:
    explicit QVPreviewController(QWidget* parent = nullptr);

    void setCurrentItem(QVFile::Ptr item);  // shown at once
    const QVFile::Ptr& currentItem() const { return item_; }
    void setFileSystemVolumePath(std::optional<std::string> path);
    void updatePreview();

    // "--" when the file system keeps no birth time.
    static std::string birthTimeText(const std::string& diskPath);
    static std::string kindForName(const std::string& name, bool isDirectory);

    QLabel* imageLabel = nullptr;
    QLabel* nameLabel = nullptr;
    QLabel* sizeLabel = nullptr;
    QLabel* createdLabel = nullptr;
    QLabel* modifiedLabel = nullptr;
    QLabel* lastOpenedLabel = nullptr;
    QLabel* kindLabel = nullptr;

  private:
    QVFile::Ptr item_;
    std::optional<std::string> volumePath_;
};

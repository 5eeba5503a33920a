#pragma once
// File names are bytes; Qt's strings are UTF-16. These are the only ways a
// name crosses between them, so that showing or dropping a name that is not
// UTF-8 never changes it.
//
//   label->setText(platform::displayFileName(file->fileName()));
//   if (!platform::isExactlyShown(name)) flags &= ~Qt::ItemIsEditable;

#include <QString>
#include <optional>
#include <string>
#include <string_view>

class QUrl;

namespace platform {

// True when the bytes are UTF-8, so that the shown text gives them back.
bool isExactlyShown(std::string_view name);
// The name as text; a byte that is not part of UTF-8 is shown as "\xE9".
QString displayFileName(std::string_view name);
// The local path of a "file:" URL from its percent-encoded bytes (a name
// that is not UTF-8 arrives as "%E9"); none for another scheme or host.
std::optional<std::string> localPathForUrl(const QUrl& url);
// A path a Qt file dialog chose: through the local 8-bit encoding where that
// names an existing item; otherwise each component that does not round-trip
// is matched against the directory's entries as the dialog showed them.
std::string localPathForDialog(const QString& path);

}  // namespace platform

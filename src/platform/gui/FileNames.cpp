#include "platform/gui/FileNames.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QFile>
#include <QUrl>

namespace platform {

namespace {

// The length of the UTF-8 sequence at `i`, 0 when it is not one (overlong
// forms, surrogates and code points past U+10FFFF included).
size_t utf8SequenceAt(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    size_t n;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
        n = 2, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (b(i + k) & 0x3F);
    }
    static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

bool isExactlyShown(std::string_view name) {
    for (size_t i = 0; i < name.size();) {
        const size_t n = utf8SequenceAt(name, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

QString displayFileName(std::string_view name) {
    QString text;
    for (size_t i = 0; i < name.size();) {
        const size_t n = utf8SequenceAt(name, i);
        if (n == 0) {
            text += QStringLiteral("\\x%1").arg(static_cast<unsigned char>(name[i]), 2, 16,
                                                QLatin1Char('0'));
            ++i;
            continue;
        }
        text += QString::fromUtf8(name.data() + i, static_cast<qsizetype>(n));
        i += n;
    }
    return text;
}

std::optional<std::string> localPathForUrl(const QUrl& url) {
    if (!url.isLocalFile()) return std::nullopt;
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QByteArray bytes =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (bytes.isEmpty() || bytes.contains('\0')) return std::nullopt;
    return bytes.toStdString();
}

std::string localPathForDialog(const QString& path) {
    const std::string direct = QFile::encodeName(path).toStdString();
    if (direct.empty() || direct.front() != '/' || exists(direct)) return direct;
    std::string resolved;
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        std::string next = resolved + "/" + QFile::encodeName(part).toStdString();
        if (!exists(next)) {
            // The dialog showed the entry through a lossy decoding: find the
            // one entry that it showed under this text.
            std::string match;
            int matches = 0;
            if (DIR* dir = ::opendir(resolved.empty() ? "/" : resolved.c_str())) {
                while (const dirent* e = ::readdir(dir))
                    if (QFile::decodeName(e->d_name) == part) {
                        match = e->d_name;
                        ++matches;
                    }
                ::closedir(dir);
            }
            if (matches != 1) return direct;
            next = resolved + "/" + match;
        }
        resolved = std::move(next);
    }
    return resolved.empty() ? direct : resolved;
}

}  // namespace platform

#pragma once
// Pieces the import's and the export's steps share; inside the copy engine only.

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/ImportExport/QVImportExportDelegate.h"

namespace importexport {

inline void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The real path of `path` without following its last component (a link is
// judged as itself); "" when its directory cannot be resolved.
inline std::string realPathOf(const std::string& path, bool followLast) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (followLast) {
        fs::path p = fs::canonical(path, ec);
        return ec ? std::string() : p.string();
    }
    fs::path p(path);
    while (p.has_relative_path() && !p.has_filename()) p = p.parent_path();
    fs::path parent = fs::canonical(fs::absolute(p, ec).parent_path(), ec);
    if (ec) return std::string();
    return (parent / p.filename()).string();
}

inline QVImportExportMessage alert(std::string title, std::string message,
                                   std::vector<std::string> args = {}) {
    QVImportExportMessage m;
    m.titleKey = std::move(title);
    m.messageKey = std::move(message);
    m.arguments = std::move(args);
    m.buttonKeys = {"alertOK"};
    return m;
}

// The system's alert for an error of a local file.
inline QVImportExportMessage systemAlert(std::string title, int err, const std::string& path) {
    QVImportExportMessage m;
    m.titleKey = std::move(title);
    m.detail = path + ": " + std::strerror(err);
    m.buttonKeys = {"alertOK"};
    return m;
}

// Only the permission bits travel: never set-id bits, ownership or flags.
constexpr mode_t kCopiedModeBits = S_IRWXU | S_IRWXG | S_IRWXO;

}  // namespace importexport

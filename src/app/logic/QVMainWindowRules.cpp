#include "app/logic/QVMainWindowRules.h"

#include "Logging/LGLog.h"
#include "Logging/LGLogMacros.h"
#include "platform/gui/StringTable.h"

bool toolbarItemEnabled(QVWindowAction action, const QVValidationState& s) {
    switch (action) {
        case QVWindowAction::Delete:
            return s.W && s.P && s.M && s.S;
        case QVWindowAction::NewFolder:
            return s.W && s.M && s.P;
        case QVWindowAction::Eject:
        case QVWindowAction::Info:
            return s.P && s.F;
        default:
            return true;
    }
}

bool menuItemEnabled(QVWindowAction action, const QVValidationState& s) {
    switch (action) {
        case QVWindowAction::Delete:
            return s.W && s.M && s.S;
        case QVWindowAction::NewFolder:
            return s.M && s.W;
        case QVWindowAction::Eject:
        case QVWindowAction::Info:
            return s.M;
        default:
            return true;
    }
}

std::string newFolderPath(const std::string& directory, const std::string& baseName,
                          const std::function<bool(const std::string&)>& exists) {
    std::string dir = directory;
    if (dir.empty() || dir.back() != '/') dir += '/';
    std::string candidate = dir + baseName;
    for (long n = 1; exists(candidate); ++n) {
        candidate = dir + baseName + platform::formatText(" %ld", {std::to_string(n)});
        if (n == 49) {
            LGLogError("Browser > createNewFolder > broke infinite loop for name creation");
            break;
        }
    }
    return candidate;
}

#pragma once
// The main window's rules that need no widget: when its toolbar and menu
// items are enabled, and where a new folder of the browser goes.

#include <functional>
#include <string>

// The conditions of the enabled states: W a handle is held and not on an
// NTFS volume, M it is unlocked, S the browser has a selection, P the
// new-folder sheet is not the key window, F the sidebar has a selection.
struct QVValidationState {
    bool W = false, M = false, S = false, P = false, F = false;
};
enum class QVWindowAction { Delete, NewFolder, Eject, Info, Open, CreateEncryptedFolder };
bool toolbarItemEnabled(QVWindowAction action, const QVValidationState& s);
bool menuItemEnabled(QVWindowAction action, const QVValidationState& s);

// Where a new folder goes in `directory`: "newFolderName", then its forms
// " 1" to " 48" while taken; " 49" is taken without asking.
std::string newFolderPath(const std::string& directory, const std::string& baseName,
                          const std::function<bool(const std::string&)>& exists);

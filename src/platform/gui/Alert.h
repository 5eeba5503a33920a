#pragma once
// Alerts, as sheets on a window or on their own, always opened without a
// nested event loop: the completion runs later on the main thread, timers
// and main-queue tasks keep running while the alert is up.
//
//   platform::Alert a;
//   a.messageText = localizedString("alertFolderNotEncryptedTitle");
//   a.buttons = {localizedString("OK")};
//   a.open(window, [](int response, bool suppressed) { ... });

#include <functional>
#include <string>
#include <vector>

class QMessageBox;
class QWidget;

namespace platform {

struct Alert {
    enum class Style { Warning, Informational, Critical };
    // Responses: the n-th button (from 0) answers kFirstButton + n.
    static constexpr int kFirstButton = 1000;
    static constexpr int kSecondButton = 1001;
    static constexpr int kThirdButton = 1002;

    std::string messageText;
    std::string informativeText;
    // The first is the default button (Return); none gives one "OK".
    std::vector<std::string> buttons;
    Style style = Style::Warning;
    // The cancelling button (index), which Escape and closing the alert
    // answer: Cancel, No, Don't…, Later, Stop, Skip, never a destructive one.
    // Unset, a single button is its own; with several Escape answers nothing.
    int escapeButton = -1;
    bool showsSuppressionButton = false;
    std::string suppressionTitle;  // "" = "Do not show this message again"
    bool suppressionChecked = false;

    using Completion = std::function<void(int response, bool suppressed)>;

    // Window-modal on `window` (a sheet), application-modal without one.
    // The box deletes itself once answered. Returns it (tests press buttons).
    QMessageBox* open(QWidget* window, Completion completion = {}) const;
};

// The visible alerts that Alert::open opened.
std::vector<QMessageBox*> visibleAlerts();

// Presses button `index` (from 0) of `box` as the user would.
void pressAlertButton(QMessageBox* box, int index);

}  // namespace platform

#include "app/startup/QVRatePromptPresenter.h"

#include <QWidget>

#include "Logging/LGLogMacros.h"
#include "platform/desktop/URLHandlers.h"
#include "platform/gui/Alert.h"

QVRatePromptPresenter::QVRatePromptPresenter(std::function<QWidget*()> mainWindow)
    : mainWindow_(std::move(mainWindow)) {}

bool QVRatePromptPresenter::hasMainWindow() {
    QWidget* w = mainWindow_ ? mainWindow_() : nullptr;
    return w && w->isVisible();
}

void QVRatePromptPresenter::showAlert(const AlertTexts& texts, std::function<void(Response)> done) {
    platform::Alert alert;
    alert.messageText = texts.title;
    alert.informativeText = texts.message;
    alert.style = platform::Alert::Style::Informational;
    alert.buttons = {texts.rateButton, texts.cancelButton};
    alert.escapeButton = 1;
    if (!texts.remindButton.empty()) {
        alert.buttons.push_back(texts.remindButton);
        alert.escapeButton = 2;  // Escape: remind me later
    }
    alert.open(mainWindow_ ? mainWindow_() : nullptr, [done](int response, bool) {
        switch (response) {
            case platform::Alert::kFirstButton:
                done(Response::Rate);
                break;
            case platform::Alert::kSecondButton:
                done(Response::Decline);
                break;
            default:
                done(Response::Remind);
                break;
        }
    });
}

bool QVRatePromptPresenter::openURL(const std::string& url) {
    platform::Error error;
    if (platform::openURL(url, &error)) return true;
    LGLogWarn("Could not open the ratings page %s: %s", url.c_str(), error.description.c_str());
    return false;
}

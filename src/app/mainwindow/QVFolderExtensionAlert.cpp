#include "app/mainwindow/QVFolderExtensionAlert.h"

#include "app/logic/QVFolderExtensionOffer.h"
#include "platform/gui/Alert.h"
#include "platform/gui/StringTable.h"

namespace app {

void offerFolderExtension(std::vector<std::string> paths, platform::UserDefaults& defaults,
                          QWidget* window, std::function<void(std::vector<std::string>)> done) {
    auto ask = [window](std::function<void(bool)> answer) {
        platform::Alert alert;
        alert.messageText = platform::localizedString("appendFileExtensionAlertTitle");
        alert.informativeText = platform::localizedString("appendFileExtensionAlertMsg");
        alert.buttons = {platform::localizedString("appendFileExtensionAlertAppend"),
                         platform::localizedString("appendFileExtensionAlertCancel")};
        alert.escapeButton = 1;
        alert.open(window, [answer = std::move(answer)](int response, bool) {
            answer(response == platform::Alert::kFirstButton);
        });
    };
    offerFolderExtension(std::move(paths), defaults, std::move(ask), std::move(done));
}

}  // namespace app

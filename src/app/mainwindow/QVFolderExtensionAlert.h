#pragma once
// The ".zel" offer (app/logic/QVFolderExtensionOffer.h) with its question as a
// window-modal alert on `window`; Escape declines.

#include <functional>
#include <string>
#include <vector>

class QWidget;
namespace platform {
class UserDefaults;
}

namespace app {
// `done` runs on the main thread once answered; at once when nothing is asked.
void offerFolderExtension(std::vector<std::string> paths, platform::UserDefaults& defaults,
                          QWidget* window, std::function<void(std::vector<std::string>)> done);
}  // namespace app

#pragma once
// The offer to append ".zel" to encrypted folders added without it, shared by
// the main window and the mount controller. Asked at most once per call; the
// answer holds for every later folder of the same call. Declining is
// remembered per folder ("dontAskToAddExtension-<uuid>").

#include <functional>
#include <string>
#include <vector>

namespace platform {
class UserDefaults;
}

namespace app {
// Asks whether to append the extension; `answer(true)` appends. The question
// may be answered later; the offer waits for it.
using FolderExtensionQuestion = std::function<void(std::function<void(bool append)> answer)>;

// `done` gets the paths to use, in order (renamed ones under their new
// name), once answered; at once when nothing is asked.
void offerFolderExtension(std::vector<std::string> paths, platform::UserDefaults& defaults,
                          FolderExtensionQuestion ask,
                          std::function<void(std::vector<std::string>)> done);
}  // namespace app

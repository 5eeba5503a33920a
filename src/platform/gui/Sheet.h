#pragma once
// A dialog as a sheet: window-modal on its window, opened without a nested
// event loop; `didEnd` gets the code the dialog finished with (done(code),
// accept() = 1, reject() = 0) on the main thread. The dialog stays owned by
// the caller and can be shown again.

#include <functional>

class QDialog;
class QWidget;

namespace platform {

void beginSheet(QDialog* sheet, QWidget* window, std::function<void(int returnCode)> didEnd = {});

}  // namespace platform

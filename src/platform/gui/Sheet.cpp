#include "platform/gui/Sheet.h"

#include <QDialog>

#include "platform/gui/Application.h"

namespace platform {

void beginSheet(QDialog* sheet, QWidget* window, std::function<void(int returnCode)> didEnd) {
    if (window && sheet->parentWidget() != window) {
        sheet->setParent(window, sheet->windowFlags() | Qt::Sheet);
    }
    sheet->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    // One end handler per opening: the previous one goes.
    QObject::disconnect(sheet, &QDialog::finished, nullptr, nullptr);
    if (didEnd) {
        QObject::connect(sheet, &QDialog::finished, sheet, [didEnd](int code) {
            runGuarded("Sheet > didEnd", [&] { didEnd(code); });
        });
    }
    sheet->open();
}

}  // namespace platform

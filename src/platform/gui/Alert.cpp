#include "platform/gui/Alert.h"

#include <algorithm>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include "platform/gui/Application.h"

namespace platform {

namespace {
constexpr char kAlertProperty[] = "tessaroAlert";
constexpr char kIndexProperty[] = "tessaroAlertButton";

// An alert opened for a window that is not on the screen yet is mapped
// before its window: the window manager places it by a window that is not
// there and, for a hidden one, gives it a frame of its own. Once the window
// is on the screen the alert is mapped again, over it, as its modal dialog.
class ReopenWhenMapped : public QObject {
  public:
    ReopenWhenMapped(QMessageBox* box, QWidget* window) : QObject(box), box_(box), window_(window) {
        if (window->isVisible() && window->windowHandle())
            window->windowHandle()->installEventFilter(this);
        else
            window->installEventFilter(this);
    }

    static bool isMapped(QWidget* window) {
        return window->isVisible() && window->windowHandle() && window->windowHandle()->isExposed();
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_ && event->type() == QEvent::Show) {
            watched->removeEventFilter(this);
            if (QWindow* handle = window_->windowHandle()) handle->installEventFilter(this);
        } else if (watched != window_ && event->type() == QEvent::Expose &&
                   static_cast<QWindow*>(watched)->isExposed()) {
            watched->removeEventFilter(this);
            QMessageBox* box = box_;
            QTimer::singleShot(0, box, [box] {
                if (!box->isVisible()) return;  // answered meanwhile
                box->hide();
                box->open();
            });
            deleteLater();
        }
        return false;
    }

  private:
    QMessageBox* box_;
    QWidget* window_;
};
}  // namespace

QMessageBox* Alert::open(QWidget* window, Completion completion) const {
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setProperty(kAlertProperty, true);
    box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    box->setText(QString::fromStdString(messageText));
    box->setInformativeText(QString::fromStdString(informativeText));
    switch (style) {
        case Style::Warning:
            box->setIcon(QMessageBox::Warning);
            break;
        case Style::Informational:
            box->setIcon(QMessageBox::Information);
            break;
        case Style::Critical:
            box->setIcon(QMessageBox::Critical);
            break;
    }
    std::vector<std::string> titles = buttons;
    if (titles.empty()) titles.push_back("OK");
    const int esc = titles.size() == 1 ? 0
                    : escapeButton >= 0 && static_cast<size_t>(escapeButton) < titles.size()
                        ? escapeButton
                        : -1;
    std::vector<QPushButton*> made;
    for (size_t i = 0; i < titles.size(); ++i) {
        // Roles only order the buttons: which one Escape answers is set below,
        // and Qt must find no other (it would take a lone Reject button).
        const int index = static_cast<int>(i);
        auto role = index == esc && i > 0 ? QMessageBox::RejectRole
                    : i == 0              ? QMessageBox::AcceptRole
                                          : QMessageBox::ActionRole;
        QPushButton* b = box->addButton(QString::fromStdString(titles[i]), role);
        b->setProperty(kIndexProperty, index);
        made.push_back(b);
    }
    box->setDefaultButton(made.front());
    box->setEscapeButton(esc >= 0 ? made[static_cast<size_t>(esc)] : nullptr);
    if (showsSuppressionButton) {
        auto* check = new QCheckBox(QString::fromStdString(
            suppressionTitle.empty() ? "Do not show this message again" : suppressionTitle));
        check->setChecked(suppressionChecked);
        box->setCheckBox(check);
    }
    QObject::connect(box, &QMessageBox::buttonClicked, box,
                     [box, completion](QAbstractButton* clicked) {
                         const int index = clicked->property(kIndexProperty).toInt();
                         const bool suppressed = box->checkBox() && box->checkBox()->isChecked();
                         if (completion) {
                             runGuarded("Alert > completion",
                                        [&] { completion(kFirstButton + index, suppressed); });
                         }
                     });
    if (auto* info = box->findChild<QLabel*>("qt_msgbox_informativelabel")) {
        // The box takes the width of its title alone, and a long message then
        // stands in a narrow column of many lines: a line holds some fifty
        // characters at least.
        const QFontMetrics fm(info->font());
        int widest = 0;
        for (const QString& line : info->text().split('\n'))
            widest = std::max(widest, fm.horizontalAdvance(line));
        info->setMinimumWidth(std::min(widest, fm.averageCharWidth() * 56));
    }
    if (window && !ReopenWhenMapped::isMapped(window->window()))
        new ReopenWhenMapped(box, window->window());
    box->open();
    return box;
}

std::vector<QMessageBox*> visibleAlerts() {
    std::vector<QMessageBox*> out;
    for (QWidget* w : QApplication::allWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->isVisible() && box->property(kAlertProperty).toBool()) out.push_back(box);
    }
    return out;
}

void pressAlertButton(QMessageBox* box, int index) {
    for (QAbstractButton* b : box->buttons()) {
        if (b->property(kIndexProperty).toInt() == index) {
            b->click();
            return;
        }
    }
}

}  // namespace platform

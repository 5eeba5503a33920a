#include "app/browser/QVCopyProgressSheet.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "platform/gui/Application.h"
#include "platform/gui/Sheet.h"
#include "platform/gui/StringTable.h"

QVCopyProgressSheet::QVCopyProgressSheet(QWidget* mainWindow)
    : QDialog(mainWindow),
      description_(new QLabel(this)),
      progressBar_(new QProgressBar(this)),
      time_(new QLabel(this)),
      stop_(new QPushButton(QString::fromStdString(platform::localizedString("stop")), this)) {
    setWindowModality(Qt::WindowModal);
    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);
    description_->setWordWrap(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(stop_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(description_);
    layout->addWidget(progressBar_);
    layout->addWidget(time_);
    layout->addLayout(buttons);
    setMinimumWidth(420);
    connect(stop_, &QPushButton::clicked, this, [this] {
        platform::runGuarded("QVCopyProgressSheet > stop", [this] {
            if (onStop) onStop();
        });
    });
}

void QVCopyProgressSheet::showProgressSheet() {
    wanted_ = true;
    openWhenWindowIsFree();
}

void QVCopyProgressSheet::openWhenWindowIsFree() {
    if (!wanted_ || isVisible()) return;
    const QObjectList none;
    for (QObject* child : parentWidget() ? parentWidget()->children() : none) {
        auto* other = qobject_cast<QDialog*>(child);
        if (!other || other == this || !other->isVisible() || !other->isModal()) continue;
        // Looked at again once that one is answered (and closed).
        connect(
            other, &QDialog::finished, this,
            [this] { QTimer::singleShot(0, this, [this] { openWhenWindowIsFree(); }); },
            Qt::SingleShotConnection);
        return;
    }
    platform::beginSheet(this, parentWidget());
}

void QVCopyProgressSheet::hideProgressSheet() {
    wanted_ = false;
    if (isVisible()) done(1);
}

void QVCopyProgressSheet::setProgress(double percent) {
    progressBar_->setValue(static_cast<int>(std::lround(std::clamp(percent, 0.0, 100.0))));
}

void QVCopyProgressSheet::setDescriptionText(const std::string& text) {
    description_->setText(QString::fromStdString(text));
}

void QVCopyProgressSheet::setTimeText(const std::string& text) {
    time_->setText(QString::fromStdString(text));
}

void QVCopyProgressSheet::openAlert(const platform::Alert& alert,
                                    platform::Alert::Completion done) {
    alert.open(isVisible() ? this : parentWidget(), std::move(done));
}

void QVCopyProgressSheet::reject() {
    platform::runGuarded("QVCopyProgressSheet > escape", [this] {
        if (onStop) onStop();
    });
}

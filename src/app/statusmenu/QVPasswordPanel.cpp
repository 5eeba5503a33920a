#include "app/statusmenu/QVPasswordPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <cmath>

#include "platform/gui/Application.h"

namespace {
QString q(const std::string& s) {
    return QString::fromStdString(s);
}
}  // namespace

QVPasswordPanel::QVPasswordPanel(std::function<std::string(const std::string&)> localized,
                                 QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint) {
    auto text = [&](const char* key) { return q(localized(key)); };
    setWindowTitle("Tessaro");
    pages_ = new QStackedWidget(this);

    auto* ask = new QWidget;
    label_ = new QLabel;
    label_->setWordWrap(true);
    users_ = new QComboBox;
    password_ = new QLineEdit;
    password_->setEchoMode(QLineEdit::Password);
    remember_ = new QCheckBox(text("passwordPanelRemember"));
    auto* form = new QFormLayout;
    form->addRow(text("passwordPanelUser"), users_);
    form->addRow(text("passwordPanelPassword"), password_);
    form->addRow(QString(), remember_);
    auto* buttons = new QDialogButtonBox;
    apply_ = buttons->addButton(text("passwordPanelUnlock"), QDialogButtonBox::AcceptRole);
    apply_->setDefault(true);
    auto* manage = buttons->addButton(text("passwordPanelManage"), QDialogButtonBox::ActionRole);
    auto* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    auto* askLayout = new QVBoxLayout(ask);
    askLayout->addWidget(label_);
    askLayout->addLayout(form);
    askLayout->addWidget(buttons);

    auto* mounted = new QWidget;
    mountedLabel_ = new QLabel(text("passwordPanelAlreadyMounted"));
    mountedLabel_->setWordWrap(true);
    auto* mountedButtons = new QDialogButtonBox;
    auto* show =
        mountedButtons->addButton(text("passwordPanelShowVolume"), QDialogButtonBox::AcceptRole);
    auto* close = mountedButtons->addButton(QDialogButtonBox::Close);
    auto* mountedLayout = new QVBoxLayout(mounted);
    mountedLayout->addWidget(mountedLabel_);
    mountedLayout->addWidget(mountedButtons);

    pages_->addWidget(ask);
    pages_->addWidget(mounted);
    (new QVBoxLayout(this))->addWidget(pages_);

    connect(apply_, &QPushButton::clicked, this, [this] { call(actions_.apply, "apply"); });
    connect(manage, &QPushButton::clicked, this, [this] { call(actions_.manage, "manage"); });
    connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
    connect(show, &QPushButton::clicked, this, [this] { call(actions_.showVolume, "show"); });
    connect(close, &QPushButton::clicked, this, [this] { reject(); });
    connect(users_, &QComboBox::currentIndexChanged, this, [this] {
        if (!fillingUsers_) call(actions_.changeUser, "changeUser");
    });

    // Origin, then 0.02 of the width to either side four times, back: 0.5 s.
    shake_ = new QVariantAnimation(this);
    shake_->setDuration(500);
    shake_->setStartValue(0.0);
    shake_->setEndValue(1.0);
    connect(shake_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        const double t = v.toDouble();
        const int dx = static_cast<int>(std::lround(std::sin(t * 8.0 * M_PI) * 0.02 * width()));
        // Wayland places no windows: the content moves instead.
        if (QGuiApplication::platformName() == "wayland")
            pages_->move(dx, pages_->y());
        else
            move(property("shakeOrigin").toPoint() + QPoint(dx, 0));
    });
    connect(shake_, &QVariantAnimation::finished, this, [this] {
        if (QGuiApplication::platformName() == "wayland")
            pages_->move(0, pages_->y());
        else
            move(property("shakeOrigin").toPoint());
    });
}

void QVPasswordPanel::call(const std::function<void()>& f, const char* what) {
    if (f) platform::runGuarded(what, f);
}

void QVPasswordPanel::reject() {
    if (actions_.cancel)
        call(actions_.cancel, "cancel");
    else
        hide();
}

void QVPasswordPanel::showPage(int page) {
    pages_->setCurrentIndex(page);
}
void QVPasswordPanel::setLabelText(const std::string& text) {
    label_->setText(q(text));
}
void QVPasswordPanel::setUserNames(const std::vector<std::string>& names) {
    fillingUsers_ = true;
    users_->clear();
    for (const auto& n : names) users_->addItem(q(n));
    fillingUsers_ = false;
}
void QVPasswordPanel::selectUserName(const std::string& name) {
    fillingUsers_ = true;
    users_->setCurrentIndex(users_->findText(q(name)));
    fillingUsers_ = false;
}
std::optional<std::string> QVPasswordPanel::selectedUserName() const {
    if (users_->currentIndex() < 0) return std::nullopt;
    return users_->currentText().toStdString();
}
std::string QVPasswordPanel::password() const {
    return password_->text().toStdString();
}
void QVPasswordPanel::setPassword(const std::string& password) {
    password_->setText(q(password));
}
bool QVPasswordPanel::rememberPassword() const {
    return remember_->isEnabled() && remember_->isChecked();
}
void QVPasswordPanel::setRememberPassword(bool on) {
    remember_->setChecked(on);
}
void QVPasswordPanel::setRememberAvailable(bool available, const std::string& reason) {
    rememberAvailable_ = available;
    remember_->setEnabled(available && !unlocking_);
    remember_->setToolTip(q(reason));
    if (!available) remember_->setChecked(false);
}
void QVPasswordPanel::showPanel() {
    show();
    bringToFront();
}
void QVPasswordPanel::bringToFront() {
    raise();
    activateWindow();
    password_->setFocus();
}
void QVPasswordPanel::hidePanel() {
    hide();
}
void QVPasswordPanel::shake() {
    if (shake_->state() == QAbstractAnimation::Running) return;
    setProperty("shakeOrigin", pos());
    shake_->start();
}

void QVPasswordPanel::setUnlocking(bool running) {
    unlocking_ = running;
    for (QWidget* w : std::initializer_list<QWidget*>{users_, password_, apply_})
        w->setEnabled(!running);
    remember_->setEnabled(!running && rememberAvailable_);
}

#include "app/mainwindow/QVNewFolderSheet.h"

#include <pwd.h>
#include <unistd.h>

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <chrono>

#include "Logging/LGLog.h"
#include "Logging/LGLogMacros.h"
#include "app/QVPasswordStore.h"
#include "platform/core/Dispatch.h"
#include "platform/core/UserDefaults.h"
#include "platform/gui/Alert.h"
#include "platform/gui/Application.h"
#include "platform/gui/FilePanel.h"
#include "platform/gui/Sheet.h"
#include "platform/gui/StringTable.h"

using platform::localizedString;

namespace {

QLabel* warningImage(QWidget* parent) {
    auto* l = new QLabel(parent);
    l->setPixmap(parent->style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(16, 16));
    l->setFixedSize(16, 16);
    l->hide();
    return l;
}

QWidget* withImage(QLineEdit* field, QLabel* image) {
    auto* row = new QWidget;
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);
    h->addWidget(field, 1);
    h->addWidget(image);
    return row;
}

std::string fullUserName() {
    const passwd* pw = ::getpwuid(::getuid());
    if (!pw || !pw->pw_gecos) return "";
    std::string gecos = pw->pw_gecos;
    return gecos.substr(0, gecos.find(','));
}

}  // namespace

QVNewFolderSheet::QVNewFolderSheet(platform::UserDefaults& defaults, platform::Clock& clock,
                                   Created created, QWidget* parent)
    : QDialog(parent),
      defaults_(defaults),
      clock_(clock),
      created_(std::move(created)),
      alive_(std::make_shared<QVNewFolderSheet*>(this)) {
    setObjectName("createCryptFolderPanel");
    setWindowTitle("New Encrypted Folder");
    setFixedWidth(440);
    auto* v = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    user_ = new QLineEdit;
    display_ = new QLineEdit;
    password_ = new QLineEdit;
    confirm_ = new QLineEdit;
    password_->setEchoMode(QLineEdit::Password);
    confirm_->setEchoMode(QLineEdit::Password);
    missingUser_ = warningImage(this);
    missingPassword_ = warningImage(this);
    mismatch_ = warningImage(this);
    // The image alone does not say what is wrong.
    missingUser_->setToolTip(QStringLiteral("Enter a user name."));
    missingPassword_->setToolTip(QStringLiteral("Enter a password."));
    mismatch_->setToolTip(QStringLiteral("The password and its confirmation differ."));
    form->addRow("User name:", withImage(user_, missingUser_));
    form->addRow("Display name:", display_);
    form->addRow("Password:", withImage(password_, missingPassword_));
    form->addRow("Confirm:", withImage(confirm_, mismatch_));
    v->addLayout(form);

    auto* disclosure = new QHBoxLayout;
    triangle_ = new QToolButton;
    triangle_->setCheckable(true);
    triangle_->setArrowType(Qt::RightArrow);
    triangle_->setAutoRaise(true);
    summary_ = new QLabel;
    summary_->setObjectName("cryptFolderCurrentEncryptionField");
    disclosure->addWidget(triangle_);
    disclosure->addWidget(new QLabel("Encryption"));
    disclosure->addWidget(summary_, 1);
    v->addLayout(disclosure);
    settings_ = new QWidget;
    auto* sf = new QFormLayout(settings_);
    sf->setContentsMargins(0, 0, 0, 0);
    cipher_ = new QComboBox;
    hash_ = new QComboBox;
    sf->addRow("Cipher:", cipher_);
    sf->addRow("Password hash:", hash_);
    v->addWidget(settings_);
    v->addStretch(1);

    auto* buttons = new QHBoxLayout;
    auto* cancel = new QPushButton(QString::fromStdString(localizedString("Cancel")));
    ok_ = new QPushButton(QString::fromStdString(localizedString("OK")));
    ok_->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    buttons->addWidget(ok_);
    v->addLayout(buttons);
    setFixedHeight(kExpandedHeight);

    auto guarded = [](const char* what, std::function<void()> f) {
        return [what, f = std::move(f)] { platform::runGuarded(what, f); };
    };
    connect(cancel, &QPushButton::clicked, this,
            guarded("NewFolder > cancel", [this] { closeSheet(false); }));
    connect(ok_, &QPushButton::clicked, this,
            guarded("NewFolder > ok", [this] { closeSheet(true); }));
    connect(triangle_, &QToolButton::clicked, this,
            guarded("NewFolder > disclose", [this] { toggleEncryptionSettings(true); }));
    connect(password_, &QLineEdit::textChanged, this,
            guarded("NewFolder > password", [this] { missingPassword_->hide(); }));
    connect(user_, &QLineEdit::textChanged, this,
            guarded("NewFolder > user", [this] { missingUser_->hide(); }));
    connect(confirm_, &QLineEdit::textChanged, this, guarded("NewFolder > confirm", [this] {
                if (password_->text().startsWith(confirm_->text()))
                    mismatch_->hide();
                else if (missingPassword_->isHidden())
                    mismatch_->show();
            }));
    toggleEncryptionSettings(false);  // start with the choices hidden
}

std::string QVNewFolderSheet::summaryText() const {
    return platform::formatText(
        "(%@ / %@)", {cipher_->currentText().toStdString(), hash_->currentText().toStdString()});
}

void QVNewFolderSheet::showSheet(QWidget* window) {
    if (!filled_) {
        filled_ = true;
        for (const auto& n : creator_.availableEncryptionNames())
            cipher_->addItem(QString::fromStdString(n));
        for (const auto& n : creator_.availableHashNames())
            hash_->addItem(QString::fromStdString(n));
        auto preselect = [this](QComboBox* box, const char* key) {
            const int i =
                box->findText(QString::fromStdString(defaults_.stringForKey(key).value_or("")));
            box->setCurrentIndex(i >= 0 ? i : 0);
        };
        preselect(cipher_, "createNewEncryptedFolderEncryptionName");
        preselect(hash_, "createNewEncryptedFolderHashName");
        user_->setText(QString::fromStdString(app::loginUserName()));
        display_->setText(QString::fromStdString(fullUserName()));
    }
    password_->clear();
    confirm_->clear();
    summary_->setText(QString::fromStdString(summaryText()));
    window_ = window;
    std::weak_ptr<QVNewFolderSheet*> alive = alive_;
    platform::beginSheet(this, window, [alive](int code) {
        if (auto self = alive.lock(); self && *self)
            platform::runGuarded("NewFolder > end", [&] { (*self)->didEndSheet(code); });
    });
    password_->setFocus();
}

void QVNewFolderSheet::toggleEncryptionSettings(bool fromButton) {
    if (height() >= kExpandedThreshold) {
        setFixedHeight(kCollapsedHeight);
        settings_->hide();
        if (!fromButton) triangle_->setChecked(false);
        triangle_->setArrowType(Qt::RightArrow);
        summary_->setText(QString::fromStdString(summaryText()));
        summary_->show();
    } else {
        setFixedHeight(kExpandedHeight);
        std::weak_ptr<QVNewFolderSheet*> alive = alive_;
        platform::dispatchAfter(
            std::chrono::microseconds(62500), platform::mainQueue(),
            [alive] {
                if (auto self = alive.lock(); self && *self) (*self)->settings_->show();
            },
            clock_);
        if (!fromButton) triangle_->setChecked(true);
        triangle_->setArrowType(Qt::DownArrow);
        summary_->hide();
    }
}

bool QVNewFolderSheet::validateCryptFolderSheet() {
    bool ok = true;
    if (password_->text() != confirm_->text()) {
        mismatch_->show();
        ok = false;
    }
    if (password_->text().isEmpty()) {
        missingPassword_->show();
        mismatch_->hide();
        ok = false;
    }
    if (user_->text().isEmpty()) {
        missingUser_->show();
        ok = false;
    }
    if (display_->text().isEmpty()) display_->setText(user_->text());
    return ok;
}

void QVNewFolderSheet::closeSheet(bool ok) {
    if (!ok) {
        done(0);
        return;
    }
    if (!validateCryptFolderSheet()) return;
    creator_.setSelectedEncryptionName(cipher_->currentText().toStdString());
    creator_.setSelectedHashName(hash_->currentText().toStdString());
    creator_.setUserNameForDisplay(display_->text().toStdString());
    done(1);
}

void QVNewFolderSheet::didEndSheet(int code) {
    hide();
    if (code != 1) return;
    platform::FilePanel panel;
    panel.save = true;
    panel.canCreateDirectories = true;
    panel.message = localizedString("createCryptFolderSaveMsg");
    panel.title = panel.message;
    panel.allowedFileTypes = {"zel"};
    std::weak_ptr<QVNewFolderSheet*> alive = alive_;
    panel.open(window_, [alive](int result, std::vector<std::string> paths) {
        auto self = alive.lock();
        if (!self || !*self || result != platform::FilePanel::kOK || paths.empty()) return;
        platform::runGuarded("NewFolder > save", [&] { (*self)->createAt(paths.front()); });
    });
}

void QVNewFolderSheet::createAt(const std::string& chosen) {
    std::string path = chosen;
    if (path.size() < 4 || path.compare(path.size() - 4, 4, ".zel") != 0) path += ".zel";
    const std::string user = user_->text().toStdString();
    const std::string password = password_->text().toStdString();
    password_->clear();
    confirm_->clear();
    if (creator_.createEncryptedFolderAtPath(path, user, password)) {
        if (created_) created_(path, user, password);
        return;
    }
    LGLogError("MainController > didEndSaveSheet > could not create encrypted folder");
    platform::Alert alert;
    alert.messageText = localizedString("alertCreateCryptFolderFailedTitle");
    alert.informativeText = localizedString("alertCreateCryptFolderFailedMsg");
    alert.buttons = {localizedString("OK")};
    alert.open(window_);
}

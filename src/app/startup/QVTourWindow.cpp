#include "app/startup/QVTourWindow.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "platform/gui/Application.h"

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

QVTourWindow::QVTourWindow(Localizer localized) {
    auto text = [&](const std::string& key) { return qs(localized ? localized(key) : key); };
    setWindowTitle(text("tourWindowTitle"));
    auto* layout = new QVBoxLayout(this);
    tabView_ = new QStackedWidget(this);
    layout->addWidget(tabView_);

    for (int page = 0; page < QVTourController::kPageCount; ++page) {
        auto* pane = new QWidget(tabView_);
        auto* paneLayout = new QVBoxLayout(pane);
        const std::string n = std::to_string(page + 1);
        auto* title = new QLabel(text("tourStep" + n + "Title"), pane);
        QFont font = title->font();
        font.setBold(true);
        title->setFont(font);
        auto* body = new QLabel(text("tourStep" + n + "Text"), pane);
        body->setWordWrap(true);
        paneLayout->addWidget(title);
        paneLayout->addWidget(body, 1);

        auto* buttons = new QHBoxLayout;
        if (page > 0) {
            previousButtons_[page] = new QPushButton(text("previous"), pane);
            connect(previousButtons_[page], &QPushButton::clicked, this,
                    [this] { run(&QVTourController::previous); });
            buttons->addWidget(previousButtons_[page]);
        }
        buttons->addStretch(1);
        if (page == 3 || page == 4) {
            auto* skip = new QPushButton(text("skip"), pane);
            connect(skip, &QPushButton::clicked, this, [this] { run(&QVTourController::close); });
            buttons->addWidget(skip);
            (page == 3 ? step4SkipButton_ : step5SkipButton_) = skip;
        }
        if (page + 1 < QVTourController::kPageCount) {
            nextButtons_[page] = new QPushButton(text("next"), pane);
            connect(nextButtons_[page], &QPushButton::clicked, this,
                    [this] { run(&QVTourController::next); });
            buttons->addWidget(nextButtons_[page]);
        } else {
            auto* done = new QPushButton(text("done"), pane);
            connect(done, &QPushButton::clicked, this, [this] { run(&QVTourController::close); });
            buttons->addWidget(done);
        }
        paneLayout->addLayout(buttons);
        tabView_->addWidget(pane);
    }

    noOfStepsLabel_ = new QLabel(this);
    noOfStepsLabel_->setAlignment(Qt::AlignCenter);
    layout->addWidget(noOfStepsLabel_);
    resize(520, 360);
}

void QVTourWindow::run(void (QVTourController::*action)()) {
    platform::runGuarded("QVTourWindow > button", [&] {
        if (controller_) (controller_->*action)();
    });
}

void QVTourWindow::render(const QVTourState& state) {
    tabView_->setCurrentIndex(state.page);
    noOfStepsLabel_->setText(qs(state.stepCountText));
    noOfStepsLabel_->setVisible(state.stepCountVisible);
    step4NextButton()->setText(qs(state.step4NextTitle));
    step4SkipButton_->setEnabled(state.step4SkipEnabled);
    step4SkipButton_->setVisible(state.step4SkipVisible);
}

void QVTourWindow::showWindow() {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
    raise();
    activateWindow();
}

void QVTourWindow::closeWindow() {
    close();
}

std::unique_ptr<QVTourController> makeTourController(QVTourController::Localizer localized) {
    auto window = std::make_shared<QVTourWindow>(localized);
    auto controller = std::make_unique<QVTourController>(window, std::move(localized));
    window->setController(controller.get());
    return controller;
}

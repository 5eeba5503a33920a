#include "app/ImportExport/QVCopyRun.h"

#include <exception>

#include "Logging/LGLogMacros.h"

QVCopyRun::QVCopyRun(Owner& owner, platform::DispatchQueuePtr queue, platform::Clock& clock,
                     std::chrono::milliseconds stepDelay,
                     std::chrono::steady_clock::duration budget)
    : owner_(owner),
      queue_(std::move(queue)),
      clock_(clock),
      stepDelay_(stepDelay),
      budget_(budget) {}

QVCopyRun::~QVCopyRun() {
    if (timer_) timer_->cancel();
}

void QVCopyRun::begin() {
    ++run_;
    phase_ = Phase::Running;
    conflictReply_.reset();
    conflictForAll_.reset();
    aliasForAll_.reset();
    step();
}

void QVCopyRun::stop() {
    if (phase_ == Phase::Running)
        phase_ = Phase::Stopping;
    else if (phase_ == Phase::Asking)
        phase_ = Phase::StopAsked;
}

void QVCopyRun::abort() {
    if (isRunning()) phase_ = Phase::Aborting;
}

void QVCopyRun::end() {
    phase_ = Phase::Idle;
    ++run_;
    if (timer_) timer_->cancel(), timer_.reset();
}

void QVCopyRun::scheduleStep() {
    if (frame_ && !owner_.fileInHand() &&
        std::chrono::steady_clock::now() - frame_->start < budget_) {
        frame_->again = true;
        return;
    }
    if (!timer_) {
        timer_ = platform::DispatchTimer::create(queue_, clock_);
        timer_->setHandler([this, life = owner_.lifetime()] {
            if (auto keep = life.lock()) step();
        });
    }
    timer_->scheduleAfter(stepDelay_);
}

// A file that goes on after a full chunk always waits for the timer.
void QVCopyRun::step() {
    if (frame_) return;
    StepFrame frame{std::chrono::steady_clock::now()};
    frame_ = &frame;
    try {
        do {
            frame.again = false;
            if (isRunning() && phase_ != Phase::Asking && phase_ != Phase::StopAsked)
                owner_.stepOnce();
        } while (frame.again);
    } catch (const std::exception& e) {
        // The run ends as after Stop.
        LGLogError("QVImportExport > step > %s", e.what());
        frame_ = nullptr;
        owner_.stepFailed();
        return;
    }
    frame_ = nullptr;
}

QVImportExportMessage copyConflictQuestion(const std::string& name) {
    QVImportExportMessage q;
    q.titleKey = "alertFileExistsHeading";
    q.messageKey = "alertFileExistsTextFormat";
    q.arguments = {name};
    q.buttonKeys = {"alertFileExistsStop", "alertFileExistsSkip", "alertFileExistsReplace"};
    q.checkBoxKey = "alertApplyForAll";
    return q;
}

uint64_t QVCopyRun::ask() {
    if (phase_ == Phase::Running)
        phase_ = Phase::Asking;
    else if (phase_ == Phase::Stopping)
        phase_ = Phase::StopAsked;
    return run_;
}

bool QVCopyRun::answered(uint64_t run) {
    if (run != run_) return false;
    if (phase_ == Phase::Asking)
        phase_ = Phase::Running;
    else if (phase_ == Phase::StopAsked)
        phase_ = Phase::Stopping;
    else
        return false;
    return true;
}

std::optional<QVConflictAnswer> QVCopyRun::conflictAnswer(QVImportExportDelegate* delegate,
                                                          const std::string& name) {
    if (conflictForAll_) return conflictForAll_;
    if (conflictReply_) {
        auto [answer, all] = *conflictReply_;
        conflictReply_.reset();
        if (answer == QVConflictAnswer::Replace && all) conflictForAll_ = answer;
        return answer;
    }
    if (!delegate) return QVConflictAnswer::Stop;
    const QVImportExportMessage q = copyConflictQuestion(name);
    const uint64_t run = ask();
    delegate->askConflict(q, [this, life = owner_.lifetime(), run](QVConflictAnswer a, bool all) {
        auto keep = life.lock();
        if (!keep || !answered(run)) return;
        conflictReply_ = std::make_pair(a, all);
        scheduleStep();
    });
    return std::nullopt;
}

std::optional<QVAliasAnswer> QVCopyRun::aliasAnswer(QVImportExportDelegate* delegate,
                                                    std::function<void(QVAliasAnswer)> answered) {
    if (aliasForAll_ || !delegate) return QVAliasAnswer::Skip;
    QVImportExportMessage q;
    q.titleKey = "alertAliasHeading";
    q.messageKey = "alertAliasText";
    q.buttonKeys = {"skip", "stop"};
    const uint64_t run = ask();
    delegate->askAlias(
        q, [this, life = owner_.lifetime(), run, answered = std::move(answered)](QVAliasAnswer a) {
            auto keep = life.lock();
            if (!keep || !this->answered(run)) return;
            if (a == QVAliasAnswer::Skip) aliasForAll_ = a;
            answered(a);
        });
    return std::nullopt;
}

void QVCopyRun::alertThen(QVImportExportDelegate* delegate, const QVImportExportMessage& alert,
                          std::function<void()> then) {
    if (!delegate || isQuiet()) {
        then();
        return;
    }
    const uint64_t run = ask();
    auto done = std::make_shared<bool>(false);
    delegate->showAlert(alert, [this, life = owner_.lifetime(), run, then = std::move(then), done] {
        auto keep = life.lock();
        if (!keep || *done || !answered(run)) return;
        *done = true;
        then();
    });
}

// The course of a copy run without any file: steps, questions, Stop and
// answers that come late, twice, or for a run that ended.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "app/ImportExport/QVCopyRun.h"
#include "platform/core/Dispatch.h"
#include "support/ManualClock.h"

namespace {

using Phase = QVCopyRun::Phase;
using namespace std::chrono_literals;

struct Owner final : QVCopyRun::Owner, std::enable_shared_from_this<Owner> {
    testsupport::ManualClock clock;
    QVCopyRun run{*this, platform::mainQueue(), clock, 1ms, std::chrono::hours(1)};
    std::function<void()> onStep;
    int steps = 0;
    bool file = false;
    void stepOnce() override {
        ++steps;
        if (onStep) onStep();
    }
    bool fileInHand() const override { return file; }
    void stepFailed() override {}
    std::weak_ptr<void> lifetime() override { return weak_from_this(); }
    void tick() {
        clock.advance(1ms);
        platform::pumpMainQueue();
    }
};

// Keeps each question's reply for the test to give.
struct Delegate : QVImportExportDelegate {
    ConflictReply conflict;
    AliasReply alias;
    Done alert;
    int asked = 0;
    void askConflict(const QVImportExportMessage&, ConflictReply r) override {
        ++asked;
        conflict = std::move(r);
    }
    void askAlias(const QVImportExportMessage&, AliasReply r) override {
        ++asked;
        alias = std::move(r);
    }
    void showAlert(const QVImportExportMessage&, Done d) override {
        ++asked;
        alert = std::move(d);
    }
};

TEST(QVCopyRun, StopWhileAQuestionIsOpenEndsTheRunAtItsAnswer) {
    auto o = std::make_shared<Owner>();
    Delegate d;
    o->onStep = [&] {
        if (o->steps == 1) {
            EXPECT_FALSE(o->run.conflictAnswer(&d, "a"));
        }
    };
    o->run.begin();
    EXPECT_EQ(o->run.phase(), Phase::Asking);
    o->run.stop();
    EXPECT_EQ(o->run.phase(), Phase::StopAsked);
    o->tick();
    o->run.step();  // nothing steps while the question is open
    EXPECT_EQ(o->steps, 1);

    d.conflict(QVConflictAnswer::Replace, false);
    EXPECT_EQ(o->run.phase(), Phase::Stopping);
    o->onStep = [&] { EXPECT_TRUE(o->run.isStopping()); };
    o->tick();
    EXPECT_EQ(o->steps, 2);
    EXPECT_EQ(o->run.conflictAnswer(&d, "a"), QVConflictAnswer::Replace);  // the answer given
    EXPECT_EQ(d.asked, 1);
}

TEST(QVCopyRun, AnswersOfAnEndedRunOrGivenTwiceDoNothing) {
    auto o = std::make_shared<Owner>();
    Delegate d;
    int thens = 0;
    o->run.begin();
    o->run.alertThen(&d, {}, [&] { ++thens; });
    QVImportExportDelegate::Done old = d.alert;
    o->run.end();
    o->run.begin();
    old();  // the run it was asked in is over
    EXPECT_EQ(thens, 0);
    EXPECT_EQ(o->run.phase(), Phase::Running);

    o->run.alertThen(&d, {}, [&] { ++thens; });
    EXPECT_EQ(o->run.phase(), Phase::Asking);
    d.alert();
    EXPECT_EQ(o->run.phase(), Phase::Running);
    EXPECT_FALSE(o->run.conflictAnswer(&d, "b"));
    d.alert();  // again, while another question is open
    EXPECT_EQ(thens, 1);
    EXPECT_EQ(o->run.phase(), Phase::Asking);
    d.conflict(QVConflictAnswer::Skip, false);
    d.conflict(QVConflictAnswer::Replace, true);  // twice: the second is ignored
    EXPECT_EQ(o->run.conflictAnswer(&d, "b"), QVConflictAnswer::Skip);

    // Torn down: an alert is passed as if answered, and no answer counts.
    o->run.abort();
    EXPECT_TRUE(o->run.isQuiet());
    o->run.alertThen(&d, {}, [&] { ++thens; });
    EXPECT_EQ(thens, 2);
}

// Replace with "apply to all", and Skip for links, hold until the run ends.
TEST(QVCopyRun, AnswersForAllHoldForTheirRunOnly) {
    auto o = std::make_shared<Owner>();
    Delegate d;
    QVAliasAnswer got = QVAliasAnswer::Stop;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        d.asked = 0;
        o->run.begin();
        EXPECT_FALSE(o->run.conflictAnswer(&d, "x"));
        d.conflict(QVConflictAnswer::Replace, true);
        EXPECT_EQ(o->run.conflictAnswer(&d, "x"), QVConflictAnswer::Replace);
        o->run.forgetConflictAnswer();
        EXPECT_EQ(o->run.conflictAnswer(&d, "y"), QVConflictAnswer::Replace);
        EXPECT_FALSE(o->run.aliasAnswer(&d, [&](QVAliasAnswer a) { got = a; }));
        d.alias(QVAliasAnswer::Skip);
        EXPECT_EQ(got, QVAliasAnswer::Skip);
        EXPECT_EQ(o->run.aliasAnswer(&d, {}), QVAliasAnswer::Skip);
        EXPECT_EQ(d.asked, 2);
        o->run.end();
    }
    EXPECT_EQ(o->run.aliasAnswer(nullptr, {}), QVAliasAnswer::Skip);
}

// Within the budget the next item follows at once; a file in hand waits for
// the timer, and so does everything with no budget.
TEST(QVCopyRun, StepsFollowAtOnceWithinTheBudgetElseByTheTimer) {
    auto o = std::make_shared<Owner>();
    o->onStep = [&] {
        if (o->steps < 4) o->run.scheduleStep();
    };
    o->run.begin();
    EXPECT_EQ(o->steps, 4);

    o->steps = 0;
    o->file = true;
    o->run.step();
    EXPECT_EQ(o->steps, 1);
    for (int i = 2; i <= 4; ++i) {
        o->tick();
        EXPECT_EQ(o->steps, i);
    }

    o->steps = 0;
    o->file = false;
    o->run.setStepBudget({});
    o->run.step();
    EXPECT_EQ(o->steps, 1);
    o->run.end();  // the timer with it
    o->tick();
    EXPECT_EQ(o->steps, 1);
}

}  // namespace

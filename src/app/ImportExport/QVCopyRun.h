#pragma once
// The course of one copy, whichever its direction: when its steps run, the
// questions and alerts it waits on, and Stop. The copying itself is the
// owner's (QVImportExportController's) `stepOnce`.
//
// A step follows the one before by a one-shot timer; while a step has run for
// less than its budget and no file is in hand, the next item follows at once
// (small items are many). Every answer carries the run it was asked in: one
// that comes after its run ended, or twice, does nothing.
//
// Everything runs on the owner's queue.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/ImportExport/QVImportExportDelegate.h"
#include "platform/core/Dispatch.h"

class QVCopyRun {
  public:
    enum class Phase {
        Idle,       // no run
        Running,    // steps follow one another
        Asking,     // a question or an alert is open; its answer goes on
        StopAsked,  // Stop came while a question was open; its answer ends the run
        Stopping,   // Stop: the file in hand ends at its next step, no new item starts
        Aborting,   // torn down: the file in hand goes, nothing is asked or said
    };

    // What the run steps. It outlives the run (the run is its member).
    class Owner {
      public:
        // One item, or one chunk of the file in hand.
        virtual void stepOnce() = 0;
        // A file is in hand: its next chunk waits for the timer.
        virtual bool fileInHand() const = 0;
        // An exception left a step (out of memory, most likely).
        virtual void stepFailed() = 0;
        // Held while a step runs; a late answer finds it gone.
        virtual std::weak_ptr<void> lifetime() = 0;

      protected:
        ~Owner() = default;
    };

    QVCopyRun(Owner& owner, platform::DispatchQueuePtr queue, platform::Clock& clock,
              std::chrono::milliseconds stepDelay, std::chrono::steady_clock::duration budget);
    ~QVCopyRun();
    QVCopyRun(const QVCopyRun&) = delete;
    QVCopyRun& operator=(const QVCopyRun&) = delete;

    Phase phase() const { return phase_; }
    bool isRunning() const { return phase_ != Phase::Idle; }
    // No new item starts; the file in hand ends at its next step.
    bool isStopping() const { return phase_ == Phase::Stopping || phase_ == Phase::Aborting; }
    // Torn down: alerts are skipped as if answered, nothing is said at the end.
    bool isQuiet() const { return phase_ == Phase::Aborting; }

    // A new run with nothing answered yet; its first step at once.
    void begin();
    // The user's Stop; also the Stop of a question's answer.
    void stop();
    // A handle change or the owner's end: stops without asking or saying.
    void abort();
    // The run is over: no step, no answer of it counts any more.
    void end();

    // The next step: at once within the running step's budget, else by the timer.
    void scheduleStep();
    void step();
    // Zero: one item per step.
    void setStepBudget(std::chrono::steady_clock::duration d) { budget_ = d; }
    std::chrono::steady_clock::duration stepBudget() const { return budget_; }

    // The answer about an existing item named `name`: Replace for the rest of
    // the run once "apply to all" came with it, else the answer given since
    // the item was asked about, else Stop without a delegate. nullopt while
    // the question is open; its answer schedules the step again.
    std::optional<QVConflictAnswer> conflictAnswer(QVImportExportDelegate* delegate,
                                                   const std::string& name);
    // The item the answer was for is done.
    void forgetConflictAnswer() { conflictReply_.reset(); }
    // The question about a link, asked once per run: Skip holds for the rest
    // of it; without a delegate, Skip. nullopt while it is open; `answered`
    // then gets the answer.
    std::optional<QVAliasAnswer> aliasAnswer(QVImportExportDelegate* delegate,
                                             std::function<void(QVAliasAnswer)> answered);
    // `then` once the alert is answered; at once without a delegate or when
    // the run is torn down.
    void alertThen(QVImportExportDelegate* delegate, const QVImportExportMessage& alert,
                   std::function<void()> then);

  private:
    // The step running now, on its own stack.
    struct StepFrame {
        std::chrono::steady_clock::time_point start;
        bool again = false;
    };

    // A question of this run is open.
    uint64_t ask();
    // True once per question of a run still running; the run goes on, or
    // stops when Stop came meanwhile.
    bool answered(uint64_t run);

    Owner& owner_;
    platform::DispatchQueuePtr queue_;
    platform::Clock& clock_;
    const std::chrono::milliseconds stepDelay_;
    std::chrono::steady_clock::duration budget_;
    platform::DispatchTimerPtr timer_;
    StepFrame* frame_ = nullptr;
    Phase phase_ = Phase::Idle;
    uint64_t run_ = 0;  // generation: answers of an earlier run are ignored
    std::optional<std::pair<QVConflictAnswer, bool>> conflictReply_;
    std::optional<QVConflictAnswer> conflictForAll_;
    std::optional<QVAliasAnswer> aliasForAll_;
};

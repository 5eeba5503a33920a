#pragma once
// The system-log sink: each message becomes one syslog(3) entry, its text as
// is, at a priority chosen by the message's flag.

#include <memory>

#include "Logging/LGAbstractLogger.h"

class LGASLLogger final : public LGAbstractLogger {
  public:
    // The one instance of the process.
    static const std::shared_ptr<LGASLLogger>& sharedInstance();
    // A further instance: nullptr once the shared one exists.
    static std::shared_ptr<LGASLLogger> make();

    // Flag 1 (error) → 2 (critical), 2 (warning) → 3 (error), 4 (info) → 4
    // (warning), anything else → 5 (notice).
    static int priorityForFlag(int flag);

    void logMessage(const LGLogMessagePtr& message) override;

  private:
    LGASLLogger();
};

#include "Logging/LGASLLogger.h"

#include <syslog.h>

#include <atomic>

namespace {
std::atomic<bool> sharedMade{false};
}

LGASLLogger::LGASLLogger() : LGAbstractLogger("tessaro.logging.aslLogger") {
    // No identity: syslog takes the program's name.
    openlog(nullptr, 0, LOG_USER);
}

const std::shared_ptr<LGASLLogger>& LGASLLogger::sharedInstance() {
    static auto* instance = [] {
        sharedMade = true;
        return new std::shared_ptr<LGASLLogger>(new LGASLLogger);
    }();
    return *instance;
}

std::shared_ptr<LGASLLogger> LGASLLogger::make() {
    if (sharedMade) return nullptr;
    return sharedInstance();
}

int LGASLLogger::priorityForFlag(int flag) {
    switch (flag) {
        case 1:
            return LOG_CRIT;
        case 2:
            return LOG_ERR;
        case 4:
            return LOG_WARNING;
        default:
            return LOG_NOTICE;
    }
}

void LGASLLogger::logMessage(const LGLogMessagePtr& message) {
    LGText text =
        formatter_ ? formatter_->formatLogMessage(message) : LGLogMessage::textOf(message);
    if (!text) return;
    syslog(priorityForFlag(message->logFlag()), "%s", text->c_str());
}

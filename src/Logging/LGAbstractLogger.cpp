#include "Logging/LGAbstractLogger.h"

#include <mutex>

#include "platform/core/Console.h"

namespace {

std::mutex handlerMutex;
lg::AssertionHandler& handlerSlot() {
    static auto* h = new lg::AssertionHandler;
    return *h;
}

}  // namespace

lg::AssertionHandler lg::setAssertionHandler(AssertionHandler handler) {
    std::lock_guard lk(handlerMutex);
    return std::exchange(handlerSlot(), std::move(handler));
}

void lg::assertionFailure(const char* description) {
    AssertionHandler h;
    {
        std::lock_guard lk(handlerMutex);
        h = handlerSlot();
    }
    if (h) {
        h(description);
        return;
    }
    platform::consoleLog("*** Assertion failure: %s", description);
    std::abort();
}

LGAbstractLogger::LGAbstractLogger(std::string loggerName)
    : loggerQueue_(platform::DispatchQueue::serial(loggerName)),
      loggerName_(std::move(loggerName)) {
    loggerQueue_->setSpecific(this, this);
}

LGAbstractLogger::~LGAbstractLogger() = default;

// Both look at the innermost queue only: a sink called through a sync hop from
// the logging queue is on its own queue, not on the logging queue.
bool LGAbstractLogger::isOnGlobalLoggingQueue() const {
    auto* q = platform::DispatchQueue::current();
    return q && q->specific(LGLog::globalLoggingQueueIdentityKey()) != nullptr;
}

bool LGAbstractLogger::isOnInternalLoggerQueue() const {
    auto* q = platform::DispatchQueue::current();
    return q && q->specific(this) != nullptr;
}

void LGAbstractLogger::checkSettingAccess() const {
    if (isOnGlobalLoggingQueue()) lg::assertionFailure(lg::kCoreArchitectureFailure);
    if (isOnInternalLoggerQueue()) lg::assertionFailure(lg::kDirectIvarAccess);
}

void LGAbstractLogger::hopToLoggerQueue(platform::Task change) {
    auto self = shared_from_this();
    LGLog::loggingQueue()->async([self, change = std::move(change)]() mutable {
        self->loggerQueue_->async([self, change = std::move(change)] {
            LGInsideLoggingScope inside;
            change();
        });
    });
}

void LGAbstractLogger::changeSetting(platform::Task change) {
    checkSettingAccess();
    hopToLoggerQueue(std::move(change));
}

void LGAbstractLogger::changeOrRunNow(platform::Task change) {
    if (isOnInternalLoggerQueue()) {
        change();
        return;
    }
    if (isOnGlobalLoggingQueue()) lg::assertionFailure(lg::kCoreArchitectureFailure);
    hopToLoggerQueue(std::move(change));
}

LGLogFormatterPtr LGAbstractLogger::logFormatter() {
    return readSetting([this] { return formatter_; });
}

void LGAbstractLogger::setLogFormatter(LGLogFormatterPtr formatter) {
    changeSetting([this, formatter = std::move(formatter)] {
        if (formatter == formatter_) return;
        if (formatter_) formatter_->willRemoveFromLogger(this);
        formatter_ = formatter;
        if (formatter_) formatter_->didAddToLogger(this);
    });
}

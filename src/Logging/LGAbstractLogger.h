#pragma once
// Base of every sink: owns the sink's serial queue and its formatter, and
// keeps the settings discipline: a setting is read or changed by a hop onto
// the global logging queue and from there onto the sink's queue, so that a
// change takes its place in the stream of messages.

#include <memory>
#include <string>
#include <utility>

#include "Logging/LGAssert.h"
#include "Logging/LGLog.h"

class LGAbstractLogger : public LGLogger, public std::enable_shared_from_this<LGAbstractLogger> {
  public:
    // `loggerName` labels the sink's queue.
    explicit LGAbstractLogger(std::string loggerName);
    ~LGAbstractLogger() override;

    void logMessage(const LGLogMessagePtr& message) override {}
    platform::DispatchQueuePtr loggerQueue() override { return loggerQueue_; }
    std::string loggerName() override { return loggerName_; }

    LGLogFormatterPtr logFormatter() override;
    void setLogFormatter(LGLogFormatterPtr formatter) override;

    bool isOnGlobalLoggingQueue() const;
    bool isOnInternalLoggerQueue() const;

  protected:
    // Reads a setting: global logging queue, then the sink's queue.
    template <class F>
    auto readSetting(F read) {
        checkSettingAccess();
        decltype(read()) value{};
        LGLog::loggingQueue()->sync([&] { loggerQueue_->sync([&] { value = read(); }); });
        return value;
    }
    // Changes a setting asynchronously along the same two hops.
    void changeSetting(platform::Task change);
    // Colour setters and the like: at once when already on the sink's queue,
    // else as changeSetting (firing the core assertion on the logging queue).
    void changeOrRunNow(platform::Task change);
    // Fires the assertions of the discipline.
    void checkSettingAccess() const;

    LGLogFormatterPtr formatter_;  // only on the sink's queue
    platform::DispatchQueuePtr loggerQueue_;

  private:
    // The two asynchronous hops, the second marked as inside logging.
    void hopToLoggerQueue(platform::Task change);

    std::string loggerName_;
};

#pragma once
// The file sink: appends each message as a line to the current log file of
// its manager and rolls to a new file when the current one has grown too
// large or too old.

#include <cstdint>
#include <memory>

#include "Logging/LGAbstractLogger.h"
#include "Logging/LGLogFileManager.h"
#include "platform/core/Dispatch.h"

class LGFileLogger final : public LGAbstractLogger {
  public:
    static constexpr std::uint64_t kDefaultMaximumFileSize = 1024 * 1024;
    static constexpr double kDefaultRollingFrequency = 60 * 60 * 24;

    // A new default manager (default directory) when `manager` is null. Ages
    // and the rolling timer follow `clock`.
    static std::shared_ptr<LGFileLogger> make(std::shared_ptr<LGLogFileManager> manager = nullptr,
                                              platform::Clock& clock = platform::systemClock());
    ~LGFileLogger() override;

    // 0 disables rolling by size.
    std::uint64_t maximumFileSize();
    void setMaximumFileSize(std::uint64_t bytes);
    // Seconds; 0 or less disables rolling by age.
    double rollingFrequency();
    void setRollingFrequency(double seconds);

    void rollLogFile();
    const std::shared_ptr<LGLogFileManager>& logFileManager() const { return logFileManager_; }

    void logMessage(const LGLogMessagePtr& message) override;
    void willRemoveLogger() override;

  private:
    LGFileLogger(std::shared_ptr<LGLogFileManager> manager, platform::Clock& clock);

    // All on the sink's queue.
    LGLogFileInfoPtr currentLogFileInfo();
    int currentLogFileHandle();
    void scheduleTimerToRollLogFileDueToAge();
    void maybeRollLogFileDueToAge();
    void maybeRollLogFileDueToSize();
    void rollLogFileNow();

    std::shared_ptr<LGLogFileManager> logFileManager_;
    platform::Clock& clock_;
    LGLogFileInfoPtr currentLogFileInfo_;
    int currentLogFileHandle_ = -1;
    std::uint64_t position_ = 0;
    platform::DispatchTimerPtr rollingTimer_;
    std::uint64_t maximumFileSize_ = kDefaultMaximumFileSize;
    double rollingFrequency_ = kDefaultRollingFrequency;
};

#pragma once
// Sinks and helpers shared by the logging tests.

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Logging/LGLog.h"
#include "support/CaptureStderr.h"
#include "support/TempDir.h"

// Records every message's text, and whether it came on the sink's own queue.
class RecordingSink : public LGLogger {
  public:
    explicit RecordingSink(std::string name = "tessaro.test.recording") : name_(std::move(name)) {}

    void logMessage(const LGLogMessagePtr& message) override {
        if (onMessage) onMessage(message);
        std::lock_guard lk(m_);
        lines_.push_back(message->logMsg());
        labels_.push_back(platform::DispatchQueue::currentLabel());
        messages_.push_back(message);
    }
    std::string loggerName() override { return name_; }

    std::vector<std::string> lines() {
        std::lock_guard lk(m_);
        return lines_;
    }
    std::vector<std::string> labels() {
        std::lock_guard lk(m_);
        return labels_;
    }
    std::vector<LGLogMessagePtr> messages() {
        std::lock_guard lk(m_);
        return messages_;
    }
    std::size_t count() {
        std::lock_guard lk(m_);
        return lines_.size();
    }

    std::function<void(const LGLogMessagePtr&)> onMessage;  // runs before recording

  private:
    std::string name_;
    std::mutex m_;
    std::vector<std::string> lines_, labels_;
    std::vector<LGLogMessagePtr> messages_;
};

// Leaves the dispatcher without sinks, before and after each test.
inline void resetLogging() {
    LGLog::removeAllLoggers();
    LGLog::flushLog();
    LGLog::setProcessorCountForTesting(platform::processorCount());
}

using testsupport::captureStderr;

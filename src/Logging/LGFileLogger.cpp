#include "Logging/LGFileLogger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/core/Console.h"

std::shared_ptr<LGFileLogger> LGFileLogger::make(std::shared_ptr<LGLogFileManager> manager,
                                                 platform::Clock& clock) {
    if (!manager) manager = LGLogFileManagerDefault::make();
    return std::shared_ptr<LGFileLogger>(new LGFileLogger(std::move(manager), clock));
}

LGFileLogger::LGFileLogger(std::shared_ptr<LGLogFileManager> manager, platform::Clock& clock)
    : LGAbstractLogger("tessaro.logging.fileLogger"),
      logFileManager_(std::move(manager)),
      clock_(clock) {
    formatter_ = std::make_shared<LGLogFileFormatterDefault>();
}

LGFileLogger::~LGFileLogger() {
    if (currentLogFileHandle_ >= 0) {
        ::fsync(currentLogFileHandle_);
        ::close(currentLogFileHandle_);
    }
    if (rollingTimer_) rollingTimer_->cancel();
}

std::uint64_t LGFileLogger::maximumFileSize() {
    return readSetting([this] { return maximumFileSize_; });
}

void LGFileLogger::setMaximumFileSize(std::uint64_t bytes) {
    changeSetting([this, bytes] {
        maximumFileSize_ = bytes;
        maybeRollLogFileDueToSize();
    });
}

double LGFileLogger::rollingFrequency() {
    return readSetting([this] { return rollingFrequency_; });
}

void LGFileLogger::setRollingFrequency(double seconds) {
    changeSetting([this, seconds] {
        rollingFrequency_ = seconds;
        maybeRollLogFileDueToAge();
    });
}

void LGFileLogger::rollLogFile() {
    changeOrRunNow([this] { rollLogFileNow(); });
}

void LGFileLogger::willRemoveLogger() {
    rollLogFileNow();
}

LGLogFileInfoPtr LGFileLogger::currentLogFileInfo() {
    if (currentLogFileInfo_) return currentLogFileInfo_;
    auto infos = logFileManager_->sortedLogFileInfos();
    if (!infos.empty() && !infos.front()->isArchived()) {
        auto& newest = infos.front();
        bool tooBig = maximumFileSize_ > 0 && newest->fileSize() >= maximumFileSize_;
        bool tooOld = rollingFrequency_ > 0 && newest->age(clock_) >= rollingFrequency_;
        if (tooBig || tooOld) {
            newest->setIsArchived(true);
            logFileManager_->didArchiveLogFile(newest->filePath());
        } else {
            currentLogFileInfo_ = newest;
        }
    }
    if (!currentLogFileInfo_) {
        std::string path = logFileManager_->createNewLogFile();
        if (!path.empty()) currentLogFileInfo_ = LGLogFileInfo::logFileWithPath(path);
    }
    return currentLogFileInfo_;
}

int LGFileLogger::currentLogFileHandle() {
    if (currentLogFileHandle_ >= 0) return currentLogFileHandle_;
    auto info = currentLogFileInfo();
    if (!info) return -1;
    int fd = ::open(info->filePath().c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    off_t end = ::lseek(fd, 0, SEEK_END);
    position_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    currentLogFileHandle_ = fd;
    scheduleTimerToRollLogFileDueToAge();
    return fd;
}

void LGFileLogger::scheduleTimerToRollLogFileDueToAge() {
    if (rollingTimer_) {
        rollingTimer_->cancel();
        rollingTimer_.reset();
    }
    if (!currentLogFileInfo_ || rollingFrequency_ <= 0) return;
    auto due =
        currentLogFileInfo_->creationDate() + std::chrono::duration_cast<platform::Clock::duration>(
                                                  std::chrono::duration<double>(rollingFrequency_));
    rollingTimer_ = platform::DispatchTimer::create(loggerQueue_, clock_);
    std::weak_ptr<LGAbstractLogger> weak = weak_from_this();
    rollingTimer_->setHandler([this, weak] {
        LGInsideLoggingScope inside;
        if (auto self = weak.lock()) maybeRollLogFileDueToAge();
    });
    rollingTimer_->scheduleAt(due);
}

void LGFileLogger::maybeRollLogFileDueToAge() {
    if (rollingFrequency_ > 0 && currentLogFileInfo_ &&
        currentLogFileInfo_->age(clock_) >= rollingFrequency_)
        rollLogFileNow();
    else
        scheduleTimerToRollLogFileDueToAge();
}

void LGFileLogger::maybeRollLogFileDueToSize() {
    if (maximumFileSize_ > 0 && currentLogFileHandle_ >= 0 && position_ >= maximumFileSize_)
        rollLogFileNow();
}

void LGFileLogger::rollLogFileNow() {
    if (currentLogFileHandle_ < 0) return;
    ::fsync(currentLogFileHandle_);
    ::close(currentLogFileHandle_);
    currentLogFileHandle_ = -1;
    position_ = 0;
    if (currentLogFileInfo_) {
        currentLogFileInfo_->setIsArchived(true);
        logFileManager_->didRollAndArchiveLogFile(currentLogFileInfo_->filePath());
        currentLogFileInfo_.reset();
    }
    if (rollingTimer_) {
        rollingTimer_->cancel();
        rollingTimer_.reset();
    }
}

void LGFileLogger::logMessage(const LGLogMessagePtr& message) {
    LGText text =
        formatter_ ? formatter_->formatLogMessage(message) : LGLogMessage::textOf(message);
    if (!text) return;
    int fd = currentLogFileHandle();
    if (fd < 0) return;  // lost; the next message tries again
    bool newline = text->empty() || text->back() != '\n';
    struct iovec v[2] = {{const_cast<char*>(text->data()), text->size()},
                         {const_cast<char*>("\n"), 1}};
    if (platform::writeFully(fd, v, newline ? 2 : 1)) {
        position_ += text->size() + (newline ? 1 : 0);
    } else {
        // A full disk may have taken part of the line: take it back, so that a
        // line is in the file whole or not at all and the next one starts clean.
        const auto whole = static_cast<off_t>(position_);
        if (::ftruncate(fd, whole) == 0) ::lseek(fd, whole, SEEK_SET);
    }
    maybeRollLogFileDueToSize();
}

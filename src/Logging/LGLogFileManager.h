#pragma once
// The logs directory of the file sink: naming and creating log files, listing
// them, the "archived" mark (an extended attribute) and pruning; and the
// default line format of log files.

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Logging/LGLog.h"
#include "platform/core/Dispatch.h"

// One log file. Attributes are read once, on first use.
class LGLogFileInfo {
  public:
    using time_point = std::chrono::system_clock::time_point;

    // Name of the mark; Linux puts user attributes in the "user." namespace.
    static constexpr const char* kArchivedAttributeName = "user.tessaro.log.archived";

    static std::shared_ptr<LGLogFileInfo> logFileWithPath(std::string filePath);
    explicit LGLogFileInfo(std::string filePath);

    const std::string& filePath() const { return filePath_; }
    const std::string& fileName();
    // nullopt when the file can't be examined.
    const std::optional<struct stat>& fileAttributes();
    // Birth time where the file system keeps one, else the modification time.
    time_point creationDate();
    time_point modificationDate();
    std::uint64_t fileSize();
    // Seconds since the creation date.
    double age(const platform::Clock& clock = platform::systemClock());

    bool isArchived();
    void setIsArchived(bool archived);

    // Moves the file to `newName` in the same directory; the info takes the
    // new path even when the move fails (reported on the console).
    void renameFile(const std::string& newName);
    // Drops the cached name, attributes and dates.
    void reset();

    bool hasExtendedAttributeWithName(const std::string& name) const;
    void addExtendedAttributeWithName(const std::string& name);
    void removeExtendedAttributeWithName(const std::string& name);

    bool operator==(const LGLogFileInfo& other) const { return filePath_ == other.filePath_; }
    // Orderings that put the later date first.
    static bool reverseCompareByCreationDate(LGLogFileInfo& a, LGLogFileInfo& b);
    static bool reverseCompareByModificationDate(LGLogFileInfo& a, LGLogFileInfo& b);

    std::string description();

  private:
    void loadDates();

    std::string filePath_;
    std::optional<std::string> fileName_;
    bool attributesLoaded_ = false;
    std::optional<struct stat> fileAttributes_;
    std::optional<time_point> creationDate_, modificationDate_;
    std::uint64_t fileSize_ = 0;  // 0 counts as not yet read
};

using LGLogFileInfoPtr = std::shared_ptr<LGLogFileInfo>;

// What the file sink needs of a manager.
class LGLogFileManager {
  public:
    virtual ~LGLogFileManager() = default;
    // Newest first.
    virtual std::vector<LGLogFileInfoPtr> sortedLogFileInfos() = 0;
    // Path of a new, empty log file; "" when none could be made.
    virtual std::string createNewLogFile() = 0;
    virtual void didArchiveLogFile(const std::string& path) {}
    virtual void didRollAndArchiveLogFile(const std::string& path) {}
};

class LGLogFileManagerDefault : public LGLogFileManager,
                                public std::enable_shared_from_this<LGLogFileManagerDefault> {
  public:
    // `logsDirectory` empty: the default directory.
    static std::shared_ptr<LGLogFileManagerDefault> make(std::string logsDirectory = {});

    // platform::logsDirectory(): $XDG_STATE_HOME/<process name>/Logs.
    static std::string defaultLogsDirectory();
    // Made (with its parents) when missing. A failure to make it or a new
    // file in it goes to the console once; until a file can be made again,
    // later failures are silent (every message would report it otherwise).
    std::string logsDirectory();

    std::size_t maximumNumberOfLogFiles() const;
    // 0 disables pruning. A changed value prunes on the logging queue.
    void setMaximumNumberOfLogFiles(std::size_t n);

    // "log-" + six upper-case hex digits, at least 10 characters.
    static bool isLogFile(const std::string& fileName);

    std::vector<std::string> unsortedLogFilePaths();
    std::vector<std::string> unsortedLogFileNames();
    std::vector<LGLogFileInfoPtr> unsortedLogFileInfos();
    std::vector<LGLogFileInfoPtr> sortedLogFileInfos() override;
    std::vector<std::string> sortedLogFilePaths();
    std::vector<std::string> sortedLogFileNames();

    std::string createNewLogFile() override;
    // Keeps the newest maximumNumberOfLogFiles archived files besides the
    // file being written, which is never deleted.
    void deleteOldLogFiles();
    // The first six characters of a new upper-case UUID string.
    virtual std::string generateShortUUID();

  protected:
    explicit LGLogFileManagerDefault(std::string logsDirectory);

  private:
    [[gnu::format(printf, 2, 3)]] void reportFailureOnce(const char* format, ...);

    std::string logsDirectory_;
    mutable std::mutex m_;
    bool failureReported_ = false;
    std::size_t maximumNumberOfLogFiles_ = 5;
    std::string lastCreated_;
};

// "yyyy/MM/dd HH:mm:ss:SSS" (local time), two spaces, the message.
class LGLogFileFormatterDefault : public LGLogFormatter {
  public:
    using DateFormatter = std::function<std::string(std::chrono::system_clock::time_point)>;
    explicit LGLogFileFormatterDefault(DateFormatter dateFormatter = nullptr);
    LGText formatLogMessage(const LGLogMessagePtr& message) override;
    static std::string defaultDate(std::chrono::system_clock::time_point t);

  private:
    DateFormatter dateFormatter_;
};

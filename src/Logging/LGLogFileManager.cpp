#include "Logging/LGLogFileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

#include "Logging/LGTimestamp.h"
#include "platform/core/Console.h"
#include "platform/core/PathPieces.h"
#include "platform/core/XdgPaths.h"

namespace fs = std::filesystem;
using time_point = std::chrono::system_clock::time_point;

namespace {

time_point fromTimespec(std::int64_t sec, std::uint32_t nsec) {
    return time_point(std::chrono::duration_cast<time_point::duration>(
        std::chrono::seconds(sec) + std::chrono::nanoseconds(nsec)));
}

std::string formatTime(time_point t) {
    char buf[64];
    std::snprintf(
        buf, sizeof buf, "%lld.%09lld",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count()),
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count() %
            1000000000));
    return buf;
}

}  // namespace

// ---- LGLogFileInfo -----------------------------------------------------------

std::shared_ptr<LGLogFileInfo> LGLogFileInfo::logFileWithPath(std::string filePath) {
    return std::make_shared<LGLogFileInfo>(std::move(filePath));
}

LGLogFileInfo::LGLogFileInfo(std::string filePath) : filePath_(std::move(filePath)) {}

const std::string& LGLogFileInfo::fileName() {
    if (!fileName_) fileName_ = std::string(platform::lastComponent(filePath_));
    return *fileName_;
}

const std::optional<struct stat>& LGLogFileInfo::fileAttributes() {
    if (!attributesLoaded_) {
        struct stat st;
        if (::stat(filePath_.c_str(), &st) == 0) fileAttributes_ = st;
        attributesLoaded_ = true;
    }
    return fileAttributes_;
}

void LGLogFileInfo::loadDates() {
    if (creationDate_) return;
    struct statx sx;
    if (::statx(AT_FDCWD, filePath_.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) == 0) {
        modificationDate_ = fromTimespec(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
        creationDate_ = (sx.stx_mask & STATX_BTIME)
                            ? fromTimespec(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec)
                            : *modificationDate_;
    } else {
        modificationDate_ = creationDate_ = time_point();
    }
}

time_point LGLogFileInfo::creationDate() {
    loadDates();
    return *creationDate_;
}

time_point LGLogFileInfo::modificationDate() {
    loadDates();
    return *modificationDate_;
}

std::uint64_t LGLogFileInfo::fileSize() {
    if (fileSize_ == 0) {
        struct stat st;
        if (::stat(filePath_.c_str(), &st) == 0) fileSize_ = static_cast<std::uint64_t>(st.st_size);
    }
    return fileSize_;
}

double LGLogFileInfo::age(const platform::Clock& clock) {
    return std::chrono::duration<double>(clock.now() - creationDate()).count();
}

bool LGLogFileInfo::isArchived() {
    return hasExtendedAttributeWithName(kArchivedAttributeName);
}

void LGLogFileInfo::setIsArchived(bool archived) {
    if (archived)
        addExtendedAttributeWithName(kArchivedAttributeName);
    else
        removeExtendedAttributeWithName(kArchivedAttributeName);
}

void LGLogFileInfo::renameFile(const std::string& newName) {
    if (newName == fileName()) return;
    std::string newPath = (fs::path(filePath_).parent_path() / newName).string();
    std::error_code ec;
    fs::rename(filePath_, newPath, ec);
    if (ec)
        platform::consoleLog("LGLogFileInfo: Error renaming file (%s): %s", fileName().c_str(),
                             ec.message().c_str());
    filePath_ = newPath;
    reset();
}

void LGLogFileInfo::reset() {
    fileName_.reset();
    attributesLoaded_ = false;
    fileAttributes_.reset();
    creationDate_.reset();
    modificationDate_.reset();
}

bool LGLogFileInfo::hasExtendedAttributeWithName(const std::string& name) const {
    return ::getxattr(filePath_.c_str(), name.c_str(), nullptr, 0) >= 0;
}

void LGLogFileInfo::addExtendedAttributeWithName(const std::string& name) {
    int r = ::setxattr(filePath_.c_str(), name.c_str(), "", 0, 0);
    if (r < 0)
        platform::consoleLog("LGLogFileInfo: setxattr(%s, %s): error = %i", name.c_str(),
                             fileName().c_str(), errno);
}

void LGLogFileInfo::removeExtendedAttributeWithName(const std::string& name) {
    int r = ::removexattr(filePath_.c_str(), name.c_str());
    if (r < 0 && errno != ENODATA)
        platform::consoleLog("LGLogFileInfo: removexattr(%s, %s): error = %i", name.c_str(),
                             fileName().c_str(), errno);
}

bool LGLogFileInfo::reverseCompareByCreationDate(LGLogFileInfo& a, LGLogFileInfo& b) {
    return a.creationDate() > b.creationDate();
}

bool LGLogFileInfo::reverseCompareByModificationDate(LGLogFileInfo& a, LGLogFileInfo& b) {
    return a.modificationDate() > b.modificationDate();
}

std::string LGLogFileInfo::description() {
    const auto& attrs = fileAttributes();
    std::string s = "{\n";
    s += "    age = " + std::to_string(age()) + ";\n";
    s += "    creationDate = " + formatTime(creationDate()) + ";\n";
    s += "    fileAttributes = ";
    s += attrs ? "{mode = " + std::to_string(attrs->st_mode) +
                     "; size = " + std::to_string(attrs->st_size) + ";}"
               : std::string("(null)");
    s += ";\n";
    s += "    fileName = \"" + fileName() + "\";\n";
    s += "    filePath = \"" + filePath_ + "\";\n";
    s += "    fileSize = " + std::to_string(fileSize()) + ";\n";
    s += std::string("    isArchived = ") + (isArchived() ? "1" : "0") + ";\n";
    s += "    modificationDate = " + formatTime(modificationDate()) + ";\n";
    s += "}";
    return s;
}

// ---- LGLogFileManagerDefault -------------------------------------------------

std::shared_ptr<LGLogFileManagerDefault> LGLogFileManagerDefault::make(std::string logsDirectory) {
    return std::shared_ptr<LGLogFileManagerDefault>(
        new LGLogFileManagerDefault(std::move(logsDirectory)));
}

LGLogFileManagerDefault::LGLogFileManagerDefault(std::string logsDirectory)
    : logsDirectory_(logsDirectory.empty() ? defaultLogsDirectory() : std::move(logsDirectory)) {}

std::string LGLogFileManagerDefault::defaultLogsDirectory() {
    return platform::logsDirectory();
}

std::string LGLogFileManagerDefault::logsDirectory() {
    std::error_code ec;
    if (!fs::is_directory(logsDirectory_, ec)) {
        fs::create_directories(logsDirectory_, ec);
        if (ec)
            reportFailureOnce("LGFileLogManagerDefault: Error creating logsDirectory: %s",
                              ec.message().c_str());
    }
    return logsDirectory_;
}

void LGLogFileManagerDefault::reportFailureOnce(const char* format, ...) {
    {
        std::lock_guard lk(m_);
        if (std::exchange(failureReported_, true)) return;
    }
    char text[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    platform::consoleLogText(text);
}

std::size_t LGLogFileManagerDefault::maximumNumberOfLogFiles() const {
    std::lock_guard lk(m_);
    return maximumNumberOfLogFiles_;
}

void LGLogFileManagerDefault::setMaximumNumberOfLogFiles(std::size_t n) {
    {
        std::lock_guard lk(m_);
        if (n == maximumNumberOfLogFiles_) return;
        maximumNumberOfLogFiles_ = n;
    }
    LGLog::loggingQueue()->async([self = shared_from_this()] { self->deleteOldLogFiles(); });
}

bool LGLogFileManagerDefault::isLogFile(const std::string& fileName) {
    if (fileName.size() < 10 || fileName.compare(0, 4, "log-") != 0) return false;
    for (int i = 4; i < 10; ++i)
        if (!std::strchr("0123456789ABCDEF", fileName[i]) || fileName[i] == '\0') return false;
    return true;
}

std::vector<std::string> LGLogFileManagerDefault::unsortedLogFileNames() {
    std::vector<std::string> names;
    std::string dir = logsDirectory();
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent* e = ::readdir(d))
        if (isLogFile(e->d_name)) names.emplace_back(e->d_name);
    ::closedir(d);
    return names;
}

std::vector<std::string> LGLogFileManagerDefault::unsortedLogFilePaths() {
    std::vector<std::string> paths;
    for (auto& n : unsortedLogFileNames()) paths.push_back((fs::path(logsDirectory_) / n).string());
    return paths;
}

std::vector<LGLogFileInfoPtr> LGLogFileManagerDefault::unsortedLogFileInfos() {
    std::vector<LGLogFileInfoPtr> infos;
    for (auto& p : unsortedLogFilePaths()) infos.push_back(LGLogFileInfo::logFileWithPath(p));
    return infos;
}

std::vector<LGLogFileInfoPtr> LGLogFileManagerDefault::sortedLogFileInfos() {
    auto infos = unsortedLogFileInfos();
    // Equal creation dates fall back to modification date and name, so that
    // every caller sees the same order.
    std::sort(infos.begin(), infos.end(), [](const LGLogFileInfoPtr& a, const LGLogFileInfoPtr& b) {
        if (a->creationDate() != b->creationDate()) return a->creationDate() > b->creationDate();
        if (a->modificationDate() != b->modificationDate())
            return a->modificationDate() > b->modificationDate();
        return a->filePath() > b->filePath();
    });
    return infos;
}

std::vector<std::string> LGLogFileManagerDefault::sortedLogFilePaths() {
    std::vector<std::string> v;
    for (auto& i : sortedLogFileInfos()) v.push_back(i->filePath());
    return v;
}

std::vector<std::string> LGLogFileManagerDefault::sortedLogFileNames() {
    std::vector<std::string> v;
    for (auto& i : sortedLogFileInfos()) v.push_back(i->fileName());
    return v;
}

std::string LGLogFileManagerDefault::generateShortUUID() {
    uuid_t u;
    uuid_generate(u);
    char text[37];
    uuid_unparse_upper(u, text);
    return std::string(text, 6);
}

std::string LGLogFileManagerDefault::createNewLogFile() {
    std::string dir = logsDirectory();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = (fs::path(dir) / ("log-" + generateShortUUID() + ".txt")).string();
        // Exclusive create: a file that appeared meanwhile is never reused.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            reportFailureOnce("LGLogFileManagerDefault: Error creating log file %s: %s",
                              path.c_str(), std::strerror(errno));
            return {};
        }
        ::close(fd);
        {
            std::lock_guard lk(m_);
            lastCreated_ = path;
            failureReported_ = false;
        }
        deleteOldLogFiles();
        return path;
    }
    return {};
}

void LGLogFileManagerDefault::deleteOldLogFiles() {
    std::size_t max;
    std::string lastCreated;
    {
        std::lock_guard lk(m_);
        max = maximumNumberOfLogFiles_;
        lastCreated = lastCreated_;
    }
    if (max == 0) return;
    auto infos = sortedLogFileInfos();
    // The file being written is the newest unarchived one; with equal
    // creation dates it need not come first, so look for it.
    auto live = std::find_if(infos.begin(), infos.end(),
                             [](const LGLogFileInfoPtr& i) { return !i->isArchived(); });
    if (live != infos.end()) infos.erase(live);
    infos.erase(
        std::remove_if(infos.begin(), infos.end(),
                       [&](const LGLogFileInfoPtr& i) { return i->filePath() == lastCreated; }),
        infos.end());
    for (std::size_t i = max; i < infos.size(); ++i) ::unlink(infos[i]->filePath().c_str());
}

// ---- LGLogFileFormatterDefault -------------------------------------------------

LGLogFileFormatterDefault::LGLogFileFormatterDefault(DateFormatter dateFormatter)
    : dateFormatter_(std::move(dateFormatter)) {}

namespace {

// "yyyy/MM/dd HH:mm:ss:SSS", cut to 39 bytes like every stamp before it.
std::string_view fileStamp(std::chrono::system_clock::time_point t) {
    thread_local lg_detail::LGTimestampCache cache(
        [](char* out, std::size_t size, const std::tm& tm) {
            return std::snprintf(out, size, "%04d/%02d/%02d %02d:%02d:%02d:", tm.tm_year + 1900,
                                 tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        });
    return cache.stamp(t).substr(0, 39);
}

}  // namespace

std::string LGLogFileFormatterDefault::defaultDate(std::chrono::system_clock::time_point t) {
    return std::string(fileStamp(t));
}

LGText LGLogFileFormatterDefault::formatLogMessage(const LGLogMessagePtr& message) {
    // One allocation for the line: the stamp goes straight into it.
    const std::string& text = message->logMsg();
    std::string line;
    if (dateFormatter_) {
        line = dateFormatter_(message->timestamp());
        line.reserve(line.size() + 2 + text.size());
    } else {
        std::string_view stamp = fileStamp(message->timestamp());
        line.reserve(stamp.size() + 2 + text.size());
        line.append(stamp);
    }
    line.append("  ").append(text);
    return std::make_shared<const std::string>(std::move(line));
}

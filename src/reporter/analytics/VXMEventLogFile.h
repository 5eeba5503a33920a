#pragma once
// One append-only log file of a fragment. Each append is one write() on an
// O_APPEND descriptor, so lines from two handles never interleave.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/core/Error.h"
#include "platform/core/UniqueFd.h"
#include "reporter/analytics/VXMEventLogEvent.h"

class VXMEventLogFile {
  public:
    // Prepares the file (a directory in the way is removed, a missing file
    // created, an existing one continued) and opens it for appending;
    // nullptr on failure.
    static std::unique_ptr<VXMEventLogFile> open(const std::string& path);
    static std::unique_ptr<VXMEventLogFile> open(const std::string& name,
                                                 const std::string& directory);
    virtual ~VXMEventLogFile() = default;

    bool openFileHandleForWriting(platform::Error* error);
    bool openFileHandleForReading(platform::Error* error);
    void closeFileHandle();
    bool appendData(std::string_view data, platform::Error* error);
    bool resetFile(platform::Error* error);
    // The whole file; the handle is open for appending again afterwards.
    std::optional<std::string> readFromFile(platform::Error* error);

    const std::string& path() const { return path_; }
    uint64_t fileSize() const { return size_; }
    bool isOpen() const { return fd_.ok(); }

  protected:
    explicit VXMEventLogFile(std::string path) : path_(std::move(path)) {}
    bool prepare();

  private:
    std::string path_;
    platform::UniqueFd fd_;
    bool writing_ = false;
    uint64_t size_ = 0;
};

class VXMEventLogEventFile final : public VXMEventLogFile {
  public:
    static std::unique_ptr<VXMEventLogEventFile> open(const std::string& path);
    bool appendEvent(const VXMEventLogEvent& event, platform::Error* error) {
        return appendData(event.eventData(), error);
    }

  private:
    using VXMEventLogFile::VXMEventLogFile;
};

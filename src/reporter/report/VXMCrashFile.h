#pragma once
// A crash-time record read back at the next start, and the packed Session
// report built from it. The record is untrusted input: any record that is
// incomplete or whose sections do not have the shape the crash handler
// writes is invalid and gives no report; nothing in it can make the builder
// fail other than by saying so.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/Value.h"
#include "reporter/proto/session.pb-c.h"
#include "reporter/report/VXMImageSymbols.h"
#include "reporter/report/VXMStackFrame.h"
#include "reporter/report/VXMThread.h"

// Image UUID text (32 lower-case hexadecimal characters) to that image's base
// address in the running process.
using VXMUUIDMap = std::map<std::string, uint64_t>;

class VXMCrashFile {
  public:
    // The record at `path`: every section merged into one dictionary plus
    // "file_lines"; nullopt when the file cannot be opened.
    static std::optional<platform::Value> parse(const std::string& path);

    // Reads the record at `path`; a file that cannot be read is an invalid
    // record.
    explicit VXMCrashFile(const std::string& path);
    // A record already read; `path` is where it came from (the log ring lies
    // beside it).
    VXMCrashFile(platform::Value record, std::string path);

    const platform::Value& record() const { return record_; }
    const std::string& path() const { return path_; }
    // The record path with the extension "vxmlog".
    std::string logFilePath() const;

    // All sections present, each of the shape the crash handler writes, and
    // as many lines read as the schema expects.
    bool isValid() const;

    // The session identifier without dashes, in lower case.
    std::string identifier() const;
    std::optional<std::chrono::system_clock::time_point> crashedOnDate() const;
    std::optional<std::string> bundleVersion() const;
    std::optional<std::string> bundleShortVersionString() const;
    std::optional<std::string> osVersion() const;
    std::optional<std::string> osBuildVersion() const;
    std::optional<std::string> objcSelectorName() const;
    std::optional<std::string> deviceId() const;
    std::optional<std::string> vendorId() const;
    std::optional<std::string> advertisingId() const;
    std::optional<std::string> fontToken() const;
    // In lower case.
    std::optional<std::string> mainExecutableUUID() const;
    // Every binary image's UUID in lower case, in record order.
    const std::vector<std::string>& binaryImageUUIDs() const;
    // The "binary_images" entries as recorded (ascending base addresses).
    const platform::Value::Array& sortedBinaryImageData() const;
    // The custom attributes with their values percent-decoded; a pair whose
    // value does not decode is left out.
    std::vector<std::pair<std::string, std::string>> customKeys() const;
    Vexmor__Architecture architecture() const;

    // Set by the pipeline before symbolication.
    const std::optional<std::string>& processingExecutableUUID() const {
        return processingExecutableUUID_;
    }
    void setProcessingExecutableUUID(std::optional<std::string> uuid) {
        processingExecutableUUID_ = std::move(uuid);
    }
    bool executablesMatch() const { return executablesMatch_; }

    // Rebuilds the threads and the exception backtrace, giving every frame
    // that lies in an image of `map` the symbol the running process has at
    // the same place.
    void symbolicateWithUUIDMap(const VXMUUIDMap& map);
    const std::vector<std::shared_ptr<VXMThread>>& threads() const { return threads_; }
    // The symbolicated exception frames; empty when the record has none.
    const std::vector<std::shared_ptr<VXMStackFrame>>& exceptionBacktrace() const {
        return exceptionFrames_;
    }

    // The packed Session of a valid record; nullopt for an invalid one.
    // Without an earlier symbolication the frames keep their bare addresses.
    std::optional<std::vector<uint8_t>> packedSession();
    // Writes the packed Session alone to `path` (created or truncated, mode
    // 0644); true when the whole message was written.
    bool writeVXMFileToPath(const std::string& path);

  private:
    std::shared_ptr<VXMStackFrame> frameFromRecord(const platform::Value& frame,
                                                   const VXMUUIDMap& map, bool returnAddress) const;
    void symbolicateFrame(VXMStackFrame& frame, const VXMUUIDMap& map, bool returnAddress) const;
    // The symbol table of the image loaded here at `base`, read once.
    const VXMImageSymbols* symbolTableOf(uint64_t base) const;

    platform::Value record_;
    std::string path_;
    std::optional<std::string> processingExecutableUUID_;
    bool executablesMatch_ = false;
    bool symbolicated_ = false;
    mutable std::optional<std::vector<std::string>> imageUUIDs_;
    mutable std::map<uint64_t, std::shared_ptr<const VXMImageSymbols>> symbolTables_;
    std::vector<std::shared_ptr<VXMThread>> threads_;
    std::vector<std::shared_ptr<VXMStackFrame>> exceptionFrames_;
};

// UTF-8 decoding that keeps what it can: every ill-formed sequence becomes
// one U+FFFD, so a log ring cut inside a character loses one character.
std::string VXMDecodeUTF8Leniently(const uint8_t* bytes, size_t length);

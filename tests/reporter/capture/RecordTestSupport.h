#pragma once
// An in-memory file for the record writer, read back as text.

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "reporter/VXMFile.h"

namespace reportertest {

class MemoryRecord {
  public:
    MemoryRecord() : fd_(memfd_create("record", 0)) { VXMFileInit(&file_, fd_); }
    ~MemoryRecord() { close(fd_); }
    MemoryRecord(const MemoryRecord&) = delete;
    MemoryRecord& operator=(const MemoryRecord&) = delete;

    VXMFile* file() { return &file_; }
    std::string text() const {
        std::string out;
        char chunk[4096];
        ssize_t n;
        off_t at = 0;
        while ((n = pread(fd_, chunk, sizeof(chunk), at)) > 0) {
            out.append(chunk, static_cast<size_t>(n));
            at += n;
        }
        return out;
    }

  private:
    int fd_;
    VXMFile file_;
};

}  // namespace reportertest

// Crash-time records come back from disk at the next start and may be cut
// or damaged: the reader must survive anything, and whatever text the writer
// writes must read back as written (or as its cut prefix).

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "reporter/VXMFile.h"
#include "reporter/VXMFileRead.h"
#include "reporter/VXMSafe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VXMFile file;
    VXMFileInitWithBytes(&file, data, size);
    platform::Value record = VXMFileReadRecord(&file);
    if (record["file_lines"].uint64Value() > 22) abort();

    static int fd = memfd_create("fuzz-record", 0);
    if (fd < 0) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) return 0;
    VXMFile out;
    VXMFileInit(&out, fd);
    VXMFileWriteSectionStart(&out, "k");
    VXMFileWriteString(&out, text.c_str());
    VXMFileWriteSectionEnd(&out);
    std::string written;
    char chunk[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(fd, chunk, sizeof(chunk), at)) > 0) {
        written.append(chunk, static_cast<size_t>(n));
        at += n;
    }
    VXMFile back;
    VXMFileInitWithBytes(&back, written.data(), written.size());
    platform::Value reread = VXMFileReadRecord(&back);
    if (reread["file_lines"].uint64Value() != 1) abort();
    std::string value = reread["k"].stringValue();
    if (value != "(invalid UTF8)" && text.compare(0, value.size(), value) != 0) abort();
    return 0;
}

#include "reporter/VXMFile.h"

#include <unistd.h>

#include <cstring>

#include "platform/core/FullIO.h"
#include "reporter/VXMSafe.h"

namespace {

// Async-signal-safe for one piece. Write errors are ignored: the record stays short.
void writeAll(VXMFile* file, const char* bytes, size_t length) {
    (void)platform::writeFully(file->fd, bytes, length);
}

void collectionStart(VXMFile* file, char bracket) {
    if (file->entryWritten) {
        char two[2] = {',', bracket};
        writeAll(file, two, 2);
    } else {
        writeAll(file, &bracket, 1);
    }
    file->depth++;
    file->entryWritten = false;
}

void collectionEnd(VXMFile* file, char bracket) {
    writeAll(file, &bracket, 1);
    if (file->depth > 0) file->depth--;
    // A closed collection is itself an entry of the one around it; at the top
    // the next section starts a fresh line.
    file->entryWritten = file->depth != 0;
}

void entrySeparator(VXMFile* file) {
    if (file->entryWritten) writeAll(file, ",", 1);
}

// Output chunk for escaped strings.
struct Chunk {
    explicit Chunk(VXMFile* f) : file(f) {}
    VXMFile* file;
    char bytes[256];
    size_t used = 0;
    void put(const char* s, size_t n) {
        if (used + n > sizeof(bytes)) flush();
        memcpy(bytes + used, s, n);
        used += n;
    }
    void flush() {
        writeAll(file, bytes, used);
        used = 0;
    }
};

size_t utf8SequenceLength(uint8_t lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    return 1;
}

}  // namespace

void VXMFileInit(VXMFile* file, int fd) {
    file->fd = fd;
    file->depth = 0;
    file->entryWritten = false;
    file->readAhead = 0;
    file->bytes = nullptr;
    file->length = 0;
    file->position = 0;
    file->bufferUsed = 0;
    file->bufferPosition = 0;
}

void VXMFileInitWithBytes(VXMFile* file, const void* bytes, size_t length) {
    VXMFileInit(file, -1);
    file->bytes = static_cast<const uint8_t*>(bytes);
    file->length = length;
}

void VXMFileWriteSectionStart(VXMFile* file, const char* name) {
    VXMFileWriteHashStart(file);
    VXMFileWriteHashKey(file, name);
}

void VXMFileWriteSectionEnd(VXMFile* file) {
    VXMFileWriteHashEnd(file);
    writeAll(file, "\n", 1);
}

void VXMFileWriteHashStart(VXMFile* file) {
    collectionStart(file, '{');
}
void VXMFileWriteHashEnd(VXMFile* file) {
    collectionEnd(file, '}');
}
void VXMFileWriteArrayStart(VXMFile* file) {
    collectionStart(file, '[');
}
void VXMFileWriteArrayEnd(VXMFile* file) {
    collectionEnd(file, ']');
}

void VXMFileWriteHashKey(VXMFile* file, const char* key) {
    entrySeparator(file);
    VXMFileWriteString(file, key);
    writeAll(file, ":", 1);
    file->entryWritten = false;
}

void VXMFileWriteHashEntryUint64(VXMFile* file, const char* key, uint64_t value) {
    VXMFileWriteHashKey(file, key);
    VXMFileWriteUint64(file, value);
    file->entryWritten = true;
}

void VXMFileWriteHashEntryInt64(VXMFile* file, const char* key, int64_t value) {
    VXMFileWriteHashKey(file, key);
    if (value < 0) writeAll(file, "-", 1);
    VXMFileWriteUint64(file,
                       value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
    file->entryWritten = true;
}

void VXMFileWriteHashEntryString(VXMFile* file, const char* key, const char* text) {
    VXMFileWriteHashKey(file, key);
    VXMFileWriteString(file, text);
    file->entryWritten = true;
}

void VXMFileWriteHashEntryBoolean(VXMFile* file, const char* key, bool flag) {
    VXMFileWriteHashKey(file, key);
    if (flag)
        writeAll(file, "true", 4);
    else
        writeAll(file, "false", 5);
    file->entryWritten = true;
}

void VXMFileWriteArrayEntryUint64(VXMFile* file, uint64_t value) {
    entrySeparator(file);
    VXMFileWriteUint64(file, value);
    file->entryWritten = true;
}

void VXMFileWriteArrayEntryString(VXMFile* file, const char* text) {
    entrySeparator(file);
    VXMFileWriteString(file, text);
    file->entryWritten = true;
}

void VXMFileWriteUint64(VXMFile* file, uint64_t value) {
    char digits[20];
    size_t n = sizeof(digits);
    do {
        digits[--n] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    writeAll(file, digits + n, sizeof(digits) - n);
}

void VXMFileWriteString(VXMFile* file, const char* text) {
    VXMFileWriteStringBounded(file, text, SIZE_MAX);
}

void VXMFileWriteStringBounded(VXMFile* file, const char* text, size_t length) {
    if (!text) {
        text = "(null)";
        length = 6;
    }
    Chunk out(file);
    out.put("\"", 1);
    size_t written = 0;  // bytes between the quotes, escapes included
    for (size_t i = 0; i < length && text[i];) {
        auto c = static_cast<uint8_t>(text[i]);
        char escaped[6];
        const char* unit = text + i;
        size_t unitLength = 1;
        size_t consumed = 1;
        if (c == '"' || c == '\\') {
            escaped[0] = '\\';
            escaped[1] = static_cast<char>(c);
            unit = escaped;
            unitLength = 2;
        } else if (c < 0x20) {
            static const char hex[] = "0123456789abcdef";
            const char* shortForm = c == '\n'   ? "\\n"
                                    : c == '\t' ? "\\t"
                                    : c == '\r' ? "\\r"
                                                : nullptr;
            if (shortForm) {
                unit = shortForm;
                unitLength = 2;
            } else {
                memcpy(escaped, "\\u00", 4);
                escaped[4] = hex[c >> 4];
                escaped[5] = hex[c & 15];
                unit = escaped;
                unitLength = 6;
            }
        } else if (c >= 0x80) {
            // Keep a UTF-8 character whole so a cut never splits one.
            size_t n = utf8SequenceLength(c);
            size_t k = 1;
            while (k < n && i + k < length && (static_cast<uint8_t>(text[i + k]) & 0xC0) == 0x80)
                ++k;
            unitLength = consumed = k;
        }
        if (written + unitLength > VXMStringLimit) break;
        out.put(unit, unitLength);
        written += unitLength;
        i += consumed;
    }
    out.put("\"", 1);
    out.flush();
}

void VXMCrashHandlerSafeWriteSchema(VXMFile* file) {
    VXMFileWriteSectionStart(file, "schema");
    VXMFileWriteHashStart(file);
    VXMFileWriteHashEntryUint64(file, "version", VXMRecordVersion);
    VXMFileWriteHashEntryUint64(file, "expected_lines", VXMRecordExpectedLines);
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

void VXMFrameSafeWriteData(const VXMFrame* frame, VXMFile* file) {
    VXMFileWriteHashStart(file);
    VXMFileWriteHashEntryUint64(file, "address", frame->address);
    if (frame->context) VXMFileWriteHashEntryUint64(file, "context", frame->context);
    if (frame->type) VXMFileWriteHashEntryUint64(file, "type", frame->type);
    if (frame->fileName) {
        VXMFileWriteHashEntryString(file, "file", frame->fileName);
        VXMFileWriteHashEntryUint64(file, "line", frame->lineNumber);
    }
    if (frame->symbol) VXMFileWriteHashEntryString(file, "symbol", frame->symbol);
    VXMFileWriteHashEnd(file);
}

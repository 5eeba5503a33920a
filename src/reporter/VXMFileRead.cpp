#include "reporter/VXMFileRead.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "reporter/VXMSafe.h"

namespace {

// Nesting deeper than this is no record of ours; refusing it keeps a hostile
// file from exhausting the stack.
constexpr int kMaxDepth = platform::Value::kMaxDepth;
constexpr size_t kMaxSections = 22;

int nextByte(VXMFile* file) {
    if (file->bytes) return file->position < file->length ? file->bytes[file->position++] : -1;
    if (file->bufferPosition == file->bufferUsed) {
        if (file->fd < 0) return -1;
        ssize_t n;
        do {
            n = read(file->fd, file->buffer, sizeof(file->buffer));
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return -1;
        file->bufferUsed = static_cast<size_t>(n);
        file->bufferPosition = 0;
    }
    return file->buffer[file->bufferPosition++];
}

void appendUTF8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (cp >> 18));
        *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes the escapes the writer produces (and the rest of JSON's); nullopt
// for a malformed one.
std::optional<std::string> unescape(const std::string& raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
            continue;
        }
        if (++i >= raw.size()) return std::nullopt;
        switch (raw[i]) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                auto unit = [&](size_t at) -> int32_t {
                    if (at + 4 > raw.size()) return -1;
                    int32_t v = 0;
                    for (size_t k = 0; k < 4; ++k) {
                        int d = hexDigit(raw[at + k]);
                        if (d < 0) return -1;
                        v = v * 16 + d;
                    }
                    return v;
                };
                int32_t cp = unit(i + 1);
                if (cp < 0) return std::nullopt;
                i += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    if (i + 2 >= raw.size() || raw[i + 1] != '\\' || raw[i + 2] != 'u')
                        return std::nullopt;
                    int32_t low = unit(i + 3);
                    if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    i += 6;
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return std::nullopt;
                }
                appendUTF8(&out, static_cast<uint32_t>(cp));
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return out;
}

std::optional<platform::Value> readObject(VXMFile* file, int depth);

std::optional<platform::Value> readHash(VXMFile* file, int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    VXMFileReadPastWhiteSpace(file);
    if (!VXMFileReadExpectedCharacter(file, '{')) return std::nullopt;
    platform::Value::Dictionary hash;
    for (;;) {
        VXMFileReadPastWhiteSpace(file);
        char c = VXMFileReadPeek(file);
        if (c == '}') {
            VXMFileReadAdvance(file);
            return platform::Value(std::move(hash));
        }
        if (c == ',') {
            VXMFileReadAdvance(file);
            continue;
        }
        if (c != '"') return std::nullopt;  // also the end of input: a cut line
        std::optional<std::string> key = VXMFileReadString(file);
        if (!key) return std::nullopt;
        VXMFileReadPastWhiteSpace(file);
        if (!VXMFileReadExpectedCharacter(file, ':')) return std::nullopt;
        std::optional<platform::Value> value = readObject(file, depth + 1);
        if (!value) return std::nullopt;
        hash.set(std::move(*key), std::move(*value));
    }
}

std::optional<platform::Value> readArray(VXMFile* file, int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    VXMFileReadAdvance(file);  // past '['
    platform::Value::Array array;
    for (;;) {
        VXMFileReadPastWhiteSpace(file);
        char c = VXMFileReadPeek(file);
        if (c == ']') {
            VXMFileReadAdvance(file);
            return platform::Value(std::move(array));
        }
        if (c == ',') {
            VXMFileReadAdvance(file);
            continue;
        }
        if (c == 0) return std::nullopt;
        std::optional<platform::Value> value = readObject(file, depth + 1);
        if (!value) return std::nullopt;
        array.push_back(std::move(*value));
    }
}

bool readWord(VXMFile* file, const char* word) {
    for (const char* p = word; *p; ++p)
        if (!VXMFileReadExpectedCharacter(file, *p)) return false;
    return true;
}

std::optional<platform::Value> readObject(VXMFile* file, int depth) {
    VXMFileReadPastWhiteSpace(file);
    char c = VXMFileReadPeek(file);
    if (c == '"') {
        std::optional<std::string> text = VXMFileReadString(file);
        if (!text) return std::nullopt;
        return platform::Value(std::move(*text));
    }
    if ((c >= '0' && c <= '9') || c == '-') {
        // Numbers are unsigned 64-bit, except the few that carry a sign
        // (signal codes), which fit a signed 64-bit value; more than that
        // is not a number of ours.
        const bool negative = c == '-';
        if (negative) {
            VXMFileReadAdvance(file);
            c = VXMFileReadPeek(file);
            if (c < '0' || c > '9') return std::nullopt;
        }
        uint64_t value = 0;
        while (c >= '0' && c <= '9') {
            auto digit = static_cast<uint64_t>(c - '0');
            if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
            value = value * 10 + digit;
            VXMFileReadAdvance(file);
            c = VXMFileReadPeek(file);
        }
        if (!negative) return platform::Value(value);
        if (value > uint64_t{INT64_MAX} + 1) return std::nullopt;
        return platform::Value(static_cast<int64_t>(0 - value));
    }
    if (c == '[') return readArray(file, depth);
    if (c == '{') return readHash(file, depth);
    if (c == 't')
        return readWord(file, "true") ? std::optional(platform::Value(true)) : std::nullopt;
    if (c == 'f')
        return readWord(file, "false") ? std::optional(platform::Value(false)) : std::nullopt;
    return std::nullopt;
}

}  // namespace

void VXMFileReadAdvance(VXMFile* file) {
    int c = nextByte(file);
    // A NUL byte inside the file ends the input as the end of file does.
    file->readAhead = c < 0 ? 0 : static_cast<char>(c);
}

char VXMFileReadPeek(const VXMFile* file) {
    return file->readAhead;
}

bool VXMFileReadExpectedCharacter(VXMFile* file, char expected) {
    if (file->readAhead != expected || expected == 0) return false;
    VXMFileReadAdvance(file);
    return true;
}

void VXMFileReadPastWhiteSpace(VXMFile* file) {
    for (;;) {
        char c = file->readAhead;
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
        VXMFileReadAdvance(file);
    }
}

std::optional<std::string> VXMFileReadString(VXMFile* file) {
    if (file->readAhead != '"') return std::nullopt;
    std::string raw;
    bool escaped = false;
    for (;;) {
        int c = nextByte(file);
        if (c < 0) return std::nullopt;
        if (c == '"' && !escaped) break;
        if (raw.size() == VXMStringLimit) return std::nullopt;
        escaped = !escaped && c == '\\';
        raw += static_cast<char>(c);
    }
    VXMFileReadAdvance(file);
    std::optional<std::string> text = unescape(raw);
    if (!text || !VXMIsValidUTF8(*text)) return std::string("(invalid UTF8)");
    return text;
}

std::optional<platform::Value> VXMFileReadHash(VXMFile* file) {
    return readHash(file, 0);
}

std::optional<platform::Value> VXMFileReadObject(VXMFile* file) {
    return readObject(file, 0);
}

std::optional<platform::Value> VXMFileReadSection(VXMFile* file) {
    VXMFileReadAdvance(file);
    std::optional<platform::Value> section = readHash(file, 0);
    if (!section) return std::nullopt;
    // The rest of the line belongs to this section.
    while (file->readAhead != '\n' && file->readAhead != 0) {
        if (file->readAhead != ' ' && file->readAhead != '\t' && file->readAhead != '\r')
            return std::nullopt;
        VXMFileReadAdvance(file);
    }
    return section;
}

platform::Value VXMFileReadRecord(VXMFile* file) {
    platform::Value record = platform::Value::dictionary();
    uint64_t lines = 0;
    while (lines < kMaxSections) {
        std::optional<platform::Value> section = VXMFileReadSection(file);
        if (!section || !section->isDictionary()) break;
        for (const auto& [key, value] : *section->ifDictionary()) record.set(key, value);
        ++lines;
    }
    record.set("file_lines", platform::Value(lines));
    return record;
}

std::optional<platform::Value> VXMFileReadRecordAtPath(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    auto* file = new VXMFile;
    VXMFileInit(file, fd);
    platform::Value record = VXMFileReadRecord(file);
    delete file;
    close(fd);
    return record;
}

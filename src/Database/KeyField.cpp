// The stored form of a key-record blob: "<length>;<Ascii85 text>".

#include <cstring>
#include <vector>

#include "Crypto/Base85Coder.h"
#include "Database/MoxConfigDatabase.h"

std::string MoxEncodeKeyField(const uint8_t* data, uint32_t length) {
    std::vector<char> text(CBase85Coder::EncodeBound(length));
    CBase85Coder coder;
    if (!coder.Encode(data, length, text.data(), (unsigned)text.size())) return {};
    // The coder doubles every apostrophe for SQL literals; bound values keep
    // them single, which is what a literal stored.
    std::string out = std::to_string(length) + ";";
    for (const char* c = text.data(); *c; ++c) {
        out += *c;
        if (c[0] == '\'' && c[1] == '\'') ++c;
    }
    explicit_bzero(text.data(), text.size());
    return out;
}

long MoxDecodeKeyField(const char* field, uint8_t* out, size_t capacity) {
    if (!field || !out) return -1;
    // Length: 1 to 5 decimal digits, no sign, then the semicolon.
    long length = 0;
    const char* p = field;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (p - field >= 5) return -1;
        length = length * 10 + (*p - '0');
    }
    if (p == field || *p != ';' || (size_t)length > capacity) return -1;
    const char* text = p + 1;
    if (text[0] != '<' || text[1] != '~' || !std::strstr(text, "~>")) return -1;
    unsigned written = 0;
    CBase85Coder coder;
    if (!coder.Decode(text, out, (unsigned)capacity, &written) || written != (unsigned)length) {
        std::memset(out, 0, capacity);
        return -1;
    }
    return length;
}

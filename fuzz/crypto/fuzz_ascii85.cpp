// Ascii85 text comes from folder databases, which anyone can edit: decoding
// arbitrary text must never overrun, and encoding must round-trip.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Crypto/Base85Coder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Decode: the first byte picks the output capacity, the rest is the text.
    if (size > 0) {
        unsigned capacity = data[0] % 64;
        std::vector<char> text(data + 1, data + size);
        text.push_back('\0');
        std::vector<uint8_t> out(capacity);
        unsigned written = 0;
        CBase85Coder coder;
        coder.Decode(text.data(), out.data(), capacity, &written);
        if (written > capacity) abort();
    }

    // Encode, undo the SQL doubling of apostrophes, decode: the same bytes.
    std::vector<char> encoded(CBase85Coder::EncodeBound(size));
    CBase85Coder coder;
    if (!coder.Encode(data, size, encoded.data(), encoded.size())) abort();
    std::string text(encoded.data());
    for (size_t i = 0; (i = text.find("''", i)) != std::string::npos; ++i) text.erase(i, 1);
    std::vector<uint8_t> back(size);
    unsigned written = 0;
    if (!coder.Decode(text.c_str(), back.data(), size, &written)) abort();
    if (written != size || (size && memcmp(back.data(), data, size) != 0)) abort();

    // One byte short (no room for the NUL) fails and leaves nothing but zeros.
    std::vector<char> small(strlen(encoded.data()), 'x');
    if (coder.Encode(data, size, small.data(), small.size())) abort();
    for (char c : small)
        if (c != 0) abort();
    return 0;
}

// Decoding of one stored key-record blob ("<length>;<Ascii85 text>") from an
// arbitrary row value, into each of the fixed field sizes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Database/MoxConfigDatabase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string field(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
    static uint8_t big[kMoxBlobSize];
    static uint8_t small[kMoxPvBlobSize];
    long n = MoxDecodeKeyField(field.c_str(), big, sizeof big);
    if (n > (long)sizeof big) std::abort();
    n = MoxDecodeKeyField(field.c_str(), small, sizeof small);
    if (n > (long)sizeof small) std::abort();
    if (n >= 0) {
        // What decodes must encode back to a text that decodes to the same bytes.
        std::string again = MoxEncodeKeyField(small, (uint32_t)n);
        static uint8_t check[kMoxPvBlobSize];
        if (MoxDecodeKeyField(again.c_str(), check, sizeof check) != n) std::abort();
        for (long i = 0; i < n; ++i)
            if (check[i] != small[i]) std::abort();
    }
    return 0;
}

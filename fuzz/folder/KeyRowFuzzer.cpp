// Decoding of one Keys row as FindKeys sees it: the input is split at NUL
// bytes into the ten column texts (missing ones are null), and each blob
// field is also decoded alone into the fixed field sizes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Database/MoxConfigDatabase.h"

namespace {

void checkField(const char* field) {
    static uint8_t big[kMoxBlobSize];
    static uint8_t small[kMoxPvBlobSize];
    if (MoxDecodeKeyField(field, big, sizeof big) > (long)sizeof big) std::abort();
    long n = MoxDecodeKeyField(field, small, sizeof small);
    if (n > (long)sizeof small) std::abort();
    if (n >= 0) {
        // What decodes must encode back to a text that decodes to the same bytes.
        std::string again = MoxEncodeKeyField(small, (uint32_t)n);
        static uint8_t check[kMoxPvBlobSize];
        if (MoxDecodeKeyField(again.c_str(), check, sizeof check) != n) std::abort();
        if (std::memcmp(check, small, (size_t)n) != 0) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> parts;
    size_t at = 0;
    while (parts.size() < 10 && at <= input.size()) {
        size_t nul = input.find('\0', at);
        if (nul == std::string::npos) nul = input.size();
        parts.push_back(input.substr(at, nul - at));
        at = nul + 1;
    }
    const char* columns[10] = {};
    for (size_t i = 0; i < parts.size(); ++i) columns[i] = parts[i].c_str();
    static MoxKeyData key;
    if (MoxDecodeKeyRow(columns, &key)) {
        if (key.KeySpec.length > kMoxBlobSize || key.EK.length > kMoxBlobSize ||
            key.PV.length > kMoxPvBlobSize || key.KeyId[kMoxKeyIdSize - 1] != 0)
            std::abort();
    }
    checkField(input.c_str());
    for (const char* c : columns)
        if (c) checkField(c);
    return 0;
}

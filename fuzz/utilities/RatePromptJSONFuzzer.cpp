// The rating prompt's text scan of a store answer: the first byte picks the
// key, the rest is the body as the lookup service sends it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "utilities/RatePrompt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const char* const keys[] = {"bundleId", "trackId", "version", "primaryGenreId", "a"};
    const std::string json(reinterpret_cast<const char*>(data + 1), size - 1);
    auto value = RatePrompt::valueForKeyInJSON(keys[data[0] % 5], json);
    // Escapes only ever shorten the text, except \u, whose UTF-8 is never
    // longer than its six bytes.
    if (value && value->size() > json.size()) std::abort();
    return 0;
}

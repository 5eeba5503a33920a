// The shared MIME database's globs2 and aliases files, as any package or the
// user may write them: the first byte picks the extension looked up.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/desktop/MimeDatabase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const char* const extensions[] = {"a", "tar.gz", "C", "", "x"};
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto globs = platform::parseMimeGlobs(text);
    for (const auto& glob : globs)
        if (glob.weight < 0 || glob.weight > 999 || glob.type.empty() || glob.pattern.empty())
            std::abort();
    platform::MimeDatabase db({globs}, platform::parseMimeAliases(text));
    if (auto type = db.typeForExtension(extensions[data[0] % 5]))
        if (db.extensionsForType(*type).empty()) std::abort();
    return 0;
}

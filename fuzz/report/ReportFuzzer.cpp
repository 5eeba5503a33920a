// Arbitrary bytes as a crash-time record through the whole report builder:
// reading, validation, symbolication against this process and packing. A
// record gives a report exactly when it is valid, and every report unpacks.

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "reporter/VXMFile.h"
#include "reporter/VXMFileRead.h"
#include "reporter/proto/session.pb-c.h"
#include "reporter/report/VXMCrashFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VXMFile file;
    VXMFileInitWithBytes(&file, data, size);
    VXMCrashFile crash(VXMFileReadRecord(&file), "/nonexistent/fuzz.vxmrecord");
    const bool valid = crash.isValid();

    // Every recorded image "is" this program now, so frames of any address
    // go through the translation and the lookup.
    Dl_info self{};
    dladdr(reinterpret_cast<void*>(&LLVMFuzzerTestOneInput), &self);
    VXMUUIDMap map;
    for (const std::string& uuid : crash.binaryImageUUIDs()) {
        map[uuid] = reinterpret_cast<uintptr_t>(self.dli_fbase);
    }
    crash.setProcessingExecutableUUID(crash.mainExecutableUUID());
    crash.symbolicateWithUUIDMap(map);

    std::optional<std::vector<uint8_t>> packed = crash.packedSession();
    if (packed.has_value() != valid) abort();
    if (packed) {
        Vexmor__Session* session = vexmor__session__unpack(nullptr, packed->size(), packed->data());
        if (!session) abort();
        vexmor__session__free_unpacked(session, nullptr);
    }

    // The log ring decoder's output is UTF-8 that decodes to itself.
    const std::string once = VXMDecodeUTF8Leniently(data, size);
    const std::string twice =
        VXMDecodeUTF8Leniently(reinterpret_cast<const uint8_t*>(once.data()), once.size());
    if (once != twice) abort();
    return 0;
}

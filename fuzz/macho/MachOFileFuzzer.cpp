// Every reader entry point over arbitrary bytes, as a mapped file would give them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "reporter/macho/VXMMachO.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t touched = 0;
    VXMMachOEnumerateSlicesAtAddress(data, size, [&](const VXMMachOSliceInfo& info) {
        VXMMachOSliceInfo slice = info;
        VXMMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t cmd, uint32_t, const uint8_t* c) {
            VXMMachOVersion v;
            VXMMachOGetMinimumOSVersion(c, &v);
            VXMMachOGetLinkedSDKVersion(c, &v);
            touched += VXMMachOGetEncrypted(c);
            if (const uint8_t* uuid = VXMMachOGetUUID(c))
                touched += VXMMachONormalizeUUID(uuid).size();
            if (const char* path = VXMMachOGetDylibPath(c)) touched += std::strlen(path);
            touched += cmd;
        });
        uintptr_t eh = 0, unwind = 0;
        VXMMachOSliceGetUnwindInformation(&slice, &eh, &unwind);
        touched += std::strlen(VXMMachOSliceGetArchitectureName(&slice));
    });
    return touched == SIZE_MAX ? 1 : 0;
}

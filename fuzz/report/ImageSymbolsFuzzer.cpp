// The image symbol reader over arbitrary bytes, as a file on disk could hold.
#include <cstddef>
#include <cstdint>

#include "reporter/report/VXMImageSymbols.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VXMImageSymbols table = VXMImageSymbols::fromBytes(data, size);
    size_t touched = table.uuid().size() + table.firstLoadAddress();
    for (uint64_t address : {uint64_t{0}, uint64_t{0x1000}, uint64_t{0x401000}, ~uint64_t{0}}) {
        if (auto symbol = table.lookup(address)) touched += symbol->name.size();
    }
    return touched == SIZE_MAX ? 1 : 0;
}

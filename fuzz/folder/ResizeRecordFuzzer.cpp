// The resize record a file may carry in an extended attribute (a folder
// handed over can carry any bytes there): what parses must describe a
// rewrite that stays inside the old length.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "folder/SectorIO.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sector_io::ResizeRecord r;
    if (!sector_io::parseResizeRecord(data, size, &r)) return 0;
    if (r.pos % sector_io::kSectorSize != 0 || r.pos > r.oldSize ||
        r.oldLength > r.oldSize - r.pos || r.oldLength > sector_io::kSectorSize ||
        r.old + r.oldLength != data + size)
        std::abort();
    return 0;
}

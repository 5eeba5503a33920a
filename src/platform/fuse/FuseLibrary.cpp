#define FUSE_USE_VERSION 35

#include "platform/fuse/FuseLibrary.h"

#include <fuse.h>

namespace platform {

std::string fuseLibraryVersion() {
    const char* version = fuse_pkgversion();
    return version ? version : "";
}

}  // namespace platform

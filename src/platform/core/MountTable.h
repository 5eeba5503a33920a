#pragma once
// Mounts as the kernel tells them, never by asking a mounted file system
// (a volume may hang, or not serve yet).

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct MountEntry {
    std::string device;  // "major:minor"
    std::string point;   // the path, as the kernel resolved it
};

// The entries of a /proc/<pid>/mountinfo text, in its order: of two mounts
// on one point the later is the one seen. The kernel writes space, tab,
// newline and backslash in a field as octal escapes ("My\040Files"); they
// are undone. Lines too short to hold a mount point are skipped.
std::vector<MountEntry> parseMountInfo(std::string_view text);

// The mounts of this process; none when the table cannot be read.
std::vector<MountEntry> mountTable();

// Whether `sx` (filled with any mask) is the root of a mount. A kernel that
// does not tell answers false.
inline bool isMountRoot(const struct statx& sx) {
    return (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
           (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

}  // namespace platform

#include "platform/core/MountTable.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(MountTable, FieldsAreUnescapedAndShortLinesSkipped) {
    const std::string text =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "90 22 0:52 / /media/u/My\\040Files-decrypted rw - fuse /dev/fuse rw\n"
        "91 22 0:53 / /tmp/tab\\011and\\134back\\012line rw - tmpfs tmpfs rw\n"
        "92 22 0:54 / /tmp/not\\08octal rw - tmpfs tmpfs rw\n"
        "93 22 0:55 /\n"
        "94 22 0:56 / /tmp/end\\04";  // no line end, a cut escape
    const auto entries = platform::parseMountInfo(text);
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].device, "8:1");
    EXPECT_EQ(entries[0].point, "/");
    EXPECT_EQ(entries[1].device, "0:52");
    EXPECT_EQ(entries[1].point, "/media/u/My Files-decrypted");
    EXPECT_EQ(entries[2].point, "/tmp/tab\tand\\back\nline");
    EXPECT_EQ(entries[3].point, "/tmp/not\\08octal");
    EXPECT_EQ(entries[4].point, "/tmp/end\\04");
    EXPECT_TRUE(platform::parseMountInfo("").empty());
}

TEST(MountTable, TheRealTableAndStatxAgreeOnTheRoot) {
    const auto entries = platform::mountTable();
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                            [](const platform::MountEntry& e) { return e.point == "/proc"; }));
    struct statx sx;
    ASSERT_EQ(::statx(AT_FDCWD, "/proc", AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx), 0);
    if (!(sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)) GTEST_SKIP() << "kernel does not tell";
    EXPECT_TRUE(platform::isMountRoot(sx));
    ASSERT_EQ(::statx(AT_FDCWD, "/proc/self", 0, STATX_TYPE, &sx), 0);
    EXPECT_FALSE(platform::isMountRoot(sx));
}

}  // namespace

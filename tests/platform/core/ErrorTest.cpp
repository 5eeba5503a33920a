#include "platform/core/Error.h"

#include <gtest/gtest.h>

namespace {

// Only an errno reaches the kernel or a POSIX caller: a failure must keep
// its code where it has one and never turn into 0 (success).
TEST(Error, ErrnoOrEIONeverReadsAsSuccess) {
    struct Case {
        const char* what;
        platform::Error error;
        int expected;
    };
    const Case cases[] = {
        {"POSIX code", platform::Error::posix(ENOENT), ENOENT},
        {"POSIX without a code", platform::Error{platform::kPOSIXErrorDomain, 0, "odd"}, EIO},
        {"negative code", platform::Error{platform::kPOSIXErrorDomain, -2, "odd"}, EIO},
        {"another domain", platform::Error{"MoxErrorDomain", 4313, "unreadable"}, EIO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(platform::errnoOrEIO(c.error), c.expected);
        EXPECT_EQ(platform::posixOrEIO(c.error).code, c.expected);
        EXPECT_TRUE(platform::posixOrEIO(c.error).isPOSIX());
    }
    EXPECT_EQ(platform::posixOrEIO(platform::Error::posix(EACCES, "why")).description, "why");
    EXPECT_EQ(platform::errnoOrEIO(0), EIO);
    EXPECT_EQ(platform::errnoOrEIO(ENOSPC), ENOSPC);
}

}  // namespace

#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>

#include "platform/fuse/MountRoot.h"
#include "support/TempDir.h"

using platform::UserDefaults;

namespace {

// Sets an environment variable for one scope.
struct ScopedEnv {
    std::string name;
    std::optional<std::string> old;
    ScopedEnv(std::string n, const char* value) : name(std::move(n)) {
        if (const char* o = getenv(name.c_str())) old = o;
        value ? setenv(name.c_str(), value, 1) : unsetenv(name.c_str());
    }
    ~ScopedEnv() { old ? setenv(name.c_str(), old->c_str(), 1) : unsetenv(name.c_str()); }
};

}  // namespace

TEST(MountRoot, ConfiguredThenMediaThenRuntimeDirectory) {
    testsupport::TempDir dir;
    UserDefaults defaults((dir / "defaults.json").string());
    // A user without a /media folder of their own.
    ScopedEnv user("USER", "tessaro-test-nobody");
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/4242");
        EXPECT_EQ(platform::mountRoot(defaults), "/run/user/4242/Tessaro");
    }
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
        EXPECT_EQ(platform::mountRoot(defaults), "/tmp/Tessaro-" + std::to_string(getuid()));
    }
    ASSERT_TRUE(defaults.setObject("mountRoot", (dir / "volumes").string()));
    EXPECT_EQ(platform::mountRoot(defaults), (dir / "volumes").string());
    // The setting survives a new reader of the same file.
    UserDefaults again((dir / "defaults.json").string());
    EXPECT_EQ(platform::mountRoot(again), (dir / "volumes").string());
}

TEST(MountRoot, VolumeNamesKeepTheFolderNamePattern) {
    std::set<std::string> taken;
    auto isTaken = [&](const std::string& p) { return taken.count(p) > 0; };
    struct Case {
        const char* folder;
        const char* want;
    } cases[] = {
        {"/home/a/Docs.zel", "/r/Docs-decrypted"},
        {"/home/a/Docs.ZEL/", "/r/Docs-decrypted"},
        {"/home/a/My.zel.zel", "/r/My-decrypted"},
        {"/home/a/plain", "/r/plain-decrypted"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::mountPathForFolder("/r", c.folder, "decrypted", isTaken), c.want)
            << c.folder;
    // Same name again: -1, then -2, always appended to the base.
    for (const char* want : {"/r/Docs-decrypted", "/r/Docs-decrypted-1", "/r/Docs-decrypted-2"}) {
        std::string p = platform::mountPathForFolder("/r", "/x/Docs.zel", "decrypted", isTaken);
        EXPECT_EQ(p, want);
        taken.insert(p);
    }
}

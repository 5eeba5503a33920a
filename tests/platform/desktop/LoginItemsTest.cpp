#include "platform/desktop/LoginItems.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "support/TempDir.h"

namespace {

using platform::LoginItems;

TEST(LoginItems, OurEntryOnlyToggledTwiceRestoresTheState) {
    testsupport::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    const auto autostart = config / "autostart";
    std::filesystem::create_directories(autostart);
    testsupport::writeFile(autostart / "other.desktop",
                           "[Desktop Entry]\nType=Application\nName=Other\nExec=other\n");

    EXPECT_FALSE(LoginItems::isLoginItem());
    EXPECT_FALSE(LoginItems::remove());
    ASSERT_TRUE(LoginItems::add("/opt/My Apps/Tessaro $1"));
    EXPECT_TRUE(LoginItems::isLoginItem());
    const std::string entry = testsupport::readFile(LoginItems::entryPath());
    EXPECT_NE(entry.find("Exec=\"/opt/My Apps/Tessaro \\\\$1\"\n"), std::string::npos) << entry;
    EXPECT_EQ(std::system(("desktop-file-validate '" + LoginItems::entryPath() + "'").c_str()), 0);
    ASSERT_TRUE(LoginItems::remove());
    EXPECT_FALSE(LoginItems::isLoginItem());
    EXPECT_FALSE(std::filesystem::exists(LoginItems::entryPath()));
    EXPECT_EQ(testsupport::readFile(autostart / "other.desktop"),
              "[Desktop Entry]\nType=Application\nName=Other\nExec=other\n");

    // Hidden counts as absent; someone else's file under our name is never touched.
    testsupport::writeFile(LoginItems::entryPath(),
                           "[Desktop Entry]\nType=Application\nName=T\nExec=t\nHidden=true\n"
                           "X-Tessaro-LoginItem=true\n");
    EXPECT_FALSE(LoginItems::isLoginItem());
    const std::string foreign = "[Desktop Entry]\nType=Application\nName=T\nExec=t\n";
    testsupport::writeFile(LoginItems::entryPath(), foreign);
    EXPECT_FALSE(LoginItems::add("/usr/bin/Tessaro"));
    EXPECT_FALSE(LoginItems::remove());
    EXPECT_EQ(testsupport::readFile(LoginItems::entryPath()), foreign);
}

TEST(LoginItems, AProgramAnEntryCannotNameIsRefused) {
    testsupport::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    for (const char* program : {"/opt/bin\xff/app", "/opt/a\nExec=/bin/evil", "/opt/a\rb"}) {
        EXPECT_FALSE(LoginItems::add(program)) << program;
        EXPECT_FALSE(std::filesystem::exists(LoginItems::entryPath())) << program;
    }
    // Nor is a loop of links in place of our entry replaced.
    std::filesystem::create_directories(config / "autostart");
    std::filesystem::create_symlink("tessaro.desktop", LoginItems::entryPath());
    EXPECT_FALSE(LoginItems::add("/usr/bin/tessaro"));
    EXPECT_TRUE(std::filesystem::is_symlink(LoginItems::entryPath()));
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "platform/archive/ZipArchive.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// Name, Unix mode and content of every entry, as Python's zipfile reads them.
std::string listing(const fs::path& zip) {
    std::string script =
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "assert z.testzip() is None\n"
        "for i in z.infolist():\n"
        "    print(i.filename, oct(i.external_attr >> 16), z.read(i).decode())\n";
    std::string command = "python3 -c '" + script + "' " + zip.string();
    return testsupport::commandOutput(command);
}

}  // namespace

TEST(ZipArchive, FolderBecomesTheTopEntry) {
    testsupport::TempDir dir;
    fs::path bundle = dir / "App.app.dSYM";
    fs::create_directories(bundle / "Contents/Resources/DWARF");
    writeFile(bundle / "Contents/Info.plist", "plist");
    writeFile(bundle / "Contents/Resources/DWARF/App", std::string(100000, 'd'));
    chmod((bundle / "Contents/Resources/DWARF/App").c_str(), 0755);
    fs::create_symlink("Resources/DWARF/App", bundle / "Contents/link");

    platform::Error error;
    ASSERT_TRUE(platform::zipWithParent(bundle.string() + "/", (dir / "a.zip").string(), &error))
        << error.description;
    EXPECT_EQ(listing(dir / "a.zip"),
              "App.app.dSYM/ 0o40755 \n"
              "App.app.dSYM/Contents/ 0o40755 \n"
              "App.app.dSYM/Contents/Info.plist 0o100644 plist\n"
              "App.app.dSYM/Contents/Resources/ 0o40755 \n"
              "App.app.dSYM/Contents/link 0o120777 Resources/DWARF/App\n"
              "App.app.dSYM/Contents/Resources/DWARF/ 0o40755 \n"
              "App.app.dSYM/Contents/Resources/DWARF/App 0o100755 " +
                  std::string(100000, 'd') + "\n");
    EXPECT_LT(fs::file_size(dir / "a.zip"), 10000u);  // deflated

    // A link in place of the folder packs the folder under the link's name.
    fs::create_directory_symlink(bundle, dir / "Linked.dSYM");
    ASSERT_TRUE(platform::zipWithParent((dir / "Linked.dSYM").string(), (dir / "b.zip").string()));
    EXPECT_NE(listing(dir / "b.zip").find("Linked.dSYM/Contents/Info.plist 0o100644 plist\n"),
              std::string::npos);
}

TEST(ZipArchive, FailuresLeaveNothingBehind) {
    testsupport::TempDir dir;
    fs::create_directories(dir / "with-fifo");
    writeFile(dir / "with-fifo/file", "x");
    ASSERT_EQ(mkfifo((dir / "with-fifo/pipe").c_str(), 0644), 0);
    writeFile(dir / "existing.zip", "keep me");

    struct Case {
        const char* name;
        fs::path source, zip;
    };
    const Case cases[] = {
        {"missing source", dir / "missing", dir / "1.zip"},
        {"special file inside", dir / "with-fifo", dir / "2.zip"},
        {"zip folder missing", dir / "with-fifo/file", dir / "no/3.zip"},
        {"zip exists", dir / "with-fifo/file", dir / "existing.zip"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::Error error;
        EXPECT_FALSE(platform::zipWithParent(c.source.string(), c.zip.string(), &error));
        EXPECT_FALSE(error.description.empty());
        if (c.zip.filename() != "existing.zip") {
            EXPECT_FALSE(fs::exists(c.zip));
        }
    }
    EXPECT_EQ(readFile(dir / "existing.zip"), "keep me");
}

#include <gtest/gtest.h>

#include <filesystem>

#include "reporter/macho/MachOBuilder.h"
#include "run/RunTool.h"
#include "run/VXMMachOBinary.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

std::string machoData(const std::string& name) {
    return std::string(TESSARO_SOURCE_DIR) + "/tests/reporter/macho/data/" + name;
}

}  // namespace

TEST(RunTexts, NumberAndTruthOfStrings) {
    const struct {
        const char* text;
        int64_t integer;
        bool truth;
    } cases[] = {
        {"", 0, false},
        {"0", 0, false},
        {"  42abc", 42, true},
        {"\t-17", -17, true},
        {"+0009", 9, true},
        {"3.2", 3, true},
        {"0.9", 0, false},
        {"YES", 0, true},
        {"yes", 0, true},
        {"true", 0, true},
        {"T", 0, true},
        {"NO", 0, false},
        {"false", 0, false},
        {"-0", 0, false},
        {"00y", 0, true},
        {" x1", 0, false},
        {"99999999999999999999", INT64_MAX, true},
        {"-99999999999999999999", INT64_MIN, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(run::integerValue(c.text), c.integer);
        EXPECT_EQ(run::boolValue(c.text), c.truth);
    }
}

TEST(RunTexts, KeyAndSecretRules) {
    const std::string key40(40, 'a');
    const struct {
        std::string key;
        bool valid;
    } keys[] = {
        {key40, true},
        {std::string(39, 'a'), false},
        {std::string(41, 'a'), false},
        {std::string(38, 'a') + "\xc3\xa9\xc3\xa9", true},   // 40 characters, 42 bytes
        {std::string(39, 'a') + "\xf0\x9f\x98\x80", false},  // an emoji is two UTF-16 units
        {std::string(38, 'a') + "\xf0\x9f\x98\x80", true},
        {std::string(39, 'a') + "\n", false},
        {std::string(39, 'a') + "\r", false},
        {std::string(39, 'a') + "\xc2\x85", false},  // NEL
        {std::string(39, 'a') + "\xff", false},      // not UTF-8
    };
    for (const auto& c : keys) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(run::isValidAPIKey(c.key), c.valid);
    }
    EXPECT_EQ(run::buildSecretFromArgument(std::string(64, 's').c_str()), std::string(64, 's'));
    EXPECT_EQ(run::buildSecretFromArgument(std::string(63, 's').c_str()), "");
    EXPECT_EQ(run::buildSecretFromArgument(std::string(65, 's').c_str()), "");
    EXPECT_EQ(run::buildSecretFromArgument((std::string(62, 's') + "\r\n").c_str()), "");
    EXPECT_EQ(run::buildSecretFromArgument(nullptr), "");

    const char* argv[] = {"run", "KEY", "-debug", "YES"};
    EXPECT_TRUE(run::debugFromArguments(4, argv));
    const char* off[] = {"run", "KEY", "-debug", "NO"};
    EXPECT_FALSE(run::debugFromArguments(4, off));
    EXPECT_FALSE(run::debugFromArguments(2, argv));
}

TEST(RunTexts, DebugFromTheUserDefaults) {
    testsupport::TempDir dir("tessaro-run-defaults");
    const std::string yes = "YES", no = "NO";
    const struct {
        const char* name;
        std::vector<const char*> args;
        std::optional<platform::Value> stored;
        bool debug;
    } cases[] = {
        {"nothing", {"run", "KEY"}, std::nullopt, false},
        {"stored true", {"run", "KEY"}, platform::Value(true), true},
        {"stored text", {"run", "KEY"}, platform::Value(yes), true},
        {"stored number", {"run", "KEY"}, platform::Value(int64_t{1}), true},
        {"stored false", {"run", "KEY"}, platform::Value(false), false},
        {"stored NO", {"run", "KEY"}, platform::Value(no), false},
        // The argument domain comes first, either way.
        {"argument over stored", {"run", "KEY", "-debug", "NO"}, platform::Value(true), false},
        {"argument alone", {"run", "KEY", "-debug", "YES"}, std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::UserDefaults stored((dir.path() / c.name / "defaults.json").string());
        if (c.stored) {
            ASSERT_TRUE(stored.setObject("debug", *c.stored));
        }
        EXPECT_EQ(
            run::debugFromUserDefaults(static_cast<int>(c.args.size()), c.args.data(), stored),
            c.debug);
    }
}

TEST(RunTexts, DigestsAndPaths) {
    // RFC 1321 and FIPS 180 test vectors.
    EXPECT_EQ(run::md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(run::md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(run::sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(run::joinPath("/a/", "b"), "/a//b");
    std::string uuid = run::newUUIDString();
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_EQ(uuid.find_first_of("abcdef"), std::string::npos);
    EXPECT_EQ(run::searchPathsToArray("\"/a b\" /c"), (std::vector<std::string>{"/a", "b", "/c"}));
}

TEST(RunTexts, ToolInformation) {
    EXPECT_EQ(run::toolShortVersion(), "1.3.11");
    EXPECT_EQ(run::toolBuildVersion(), "143");
    EXPECT_EQ(run::toolInfo()["CFBundleIdentifier"].stringValue(), "com.vexmor.run");
    EXPECT_EQ(run::toolInfo()["CFBundleName"].stringValue(), "${PRODUCT_NAME}");
    EXPECT_EQ(run::toolInfo()["CFBundleExecutable"].stringValue(), "${EXECUTABLE_NAME}");
    EXPECT_EQ(run::defaultAPIOrigin({{"VEXMOR_API_ORIGIN", "http://127.0.0.1:9/"}}),
              "http://127.0.0.1:9");
}

TEST(RunChecks, DeploymentTargets) {
    const struct {
        uint32_t major, minor;
        bool unsupported;
    } mac[] = {{10, 5, true},  {10, 6, false}, {10, 9, false},
               {11, 0, false}, {0, 0, true},   {9, 9, true}};
    for (const auto& c : mac) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
        EXPECT_EQ(run::OSXDeploymentTargetIsUnsupported(c.major, c.minor), c.unsupported);
    }
    const struct {
        uint32_t major;
        const char* target;  // IPHONEOS_DEPLOYMENT_TARGET, null when unset
        bool unsupported;
    } ios[] = {{0, "3.2", true}, {0, "4.0", false},   {0, nullptr, true},
               {3, "9.0", true}, {4, nullptr, false}, {17, "3.0", false}};
    for (const auto& c : ios) {
        SCOPED_TRACE(std::to_string(c.major) + (c.target ? c.target : "-"));
        run::Environment env;
        if (c.target) env["IPHONEOS_DEPLOYMENT_TARGET"] = c.target;
        EXPECT_EQ(run::iOSDeploymentTargetIsUnsupported(c.major, env), c.unsupported);
    }
}

TEST(RunChecks, ProcessHierarchyStartsWithThisProcess) {
    auto names = run::processNamesInHierarchy();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names.front(), "test_run");
    EXPECT_TRUE(run::isProcessNameInHierarchy("test_run"));
    EXPECT_FALSE(run::isProcessNameInHierarchy("test_ru"));
}

TEST(MachOObjects, BinariesAndSlices) {
    auto fat = VXMMachOBinary::MachOBinaryWithPath(machoData("fat-x86_64-arm64"));
    ASSERT_TRUE(fat);
    ASSERT_EQ(fat->slices().size(), 2u);
    std::vector<std::pair<std::string, std::string>> pairs;
    fat->enumerateUUIDs([&](const std::optional<std::string>& uuid, const std::string& arch) {
        pairs.emplace_back(uuid.value_or("-"), arch);
    });
    EXPECT_EQ(pairs, (std::vector<std::pair<std::string, std::string>>{
                         {"4c4c449b55553144a16fb0394385a9fb", "x86_64"},
                         {"4c4c44d555553144a1fe1708b7cd3d3f", "arm64"}}));
    // LC_BUILD_VERSION is the only version command of these slices.
    EXPECT_EQ(fat->slices()[0]->minimumOSVersion(), (VXMMachOVersion{10, 15, 0}));
    EXPECT_EQ(fat->slices()[0]->linkedSDKVersion(), (VXMMachOVersion{11, 3, 0}));
    EXPECT_EQ(fat->slices()[1]->minimumOSVersion(), (VXMMachOVersion{11, 0, 0}));
    EXPECT_EQ(fat->slices()[1]->linkedDylibs(),
              (std::vector<std::string>{"@rpath/libfixture.dylib", "/usr/lib/libSystem.B.dylib"}));
    EXPECT_EQ(fat->sliceForArchitecture("arm64"), fat->slices()[1]);
    // SHA-1 of the arm64 UUID followed by the x86_64 one.
    EXPECT_EQ(fat->instanceIdentifier(), "75bd0944d4f3e20e142815ebc1e84535690f926a");
    EXPECT_NE(fat->slices()[0]->unwindInfoData(), 0u);

    auto thin = VXMMachOBinary::MachOBinaryWithPath(machoData("thin-x86_64-10.9"));
    ASSERT_TRUE(thin);
    EXPECT_EQ(thin->sliceForArchitecture("arm64"), nullptr);
    EXPECT_EQ(thin->slices()[0]->minimumOSVersion(), (VXMMachOVersion{10, 9, 0}));

    testsupport::TempDir dir;
    machofixture::Thin bare;
    testsupport::writeFile(dir / "bare", bare.bytes());
    auto none = VXMMachOBinary::MachOBinaryWithPath((dir / "bare").string());
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->slices()[0]->uuid());
    EXPECT_EQ(none->slices()[0]->minimumOSVersion(), VXMMachOVersion{});
    EXPECT_EQ(none->instanceIdentifier(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

    // Damaged: read up to the damage, a bad command skipped, and said so.
    machofixture::Thin broken;
    broken.commands = {machofixture::uuidCommand(machofixture::uuidBytes(1)),
                       machofixture::dylibCommand(kVXMLoadCommandLoadDylib, "/lib/a")};
    broken.commands[1].replace(8, 4, "\xff\0\0\0", 4);  // name offset out of range
    testsupport::writeFile(dir / "bad-dylib", broken.bytes());
    broken.ncmds = 5;
    testsupport::writeFile(dir / "broken", broken.bytes());
    for (const char* name : {"bad-dylib", "broken"}) {
        SCOPED_TRACE(name);
        auto damaged = VXMMachOBinary::MachOBinaryWithPath((dir / name).string());
        ASSERT_TRUE(damaged);
        EXPECT_FALSE(damaged->isComplete());
        ASSERT_EQ(damaged->slices().size(), 1u);
        EXPECT_FALSE(damaged->slices()[0]->isComplete());
        EXPECT_EQ(damaged->slices()[0]->uuid(), "0112233445566778899aabbccddeef00");
        EXPECT_TRUE(damaged->slices()[0]->linkedDylibs().empty());
    }
    EXPECT_TRUE(fat->isComplete());
    EXPECT_TRUE(none->isComplete());

    // Refused: not a regular file, or too short.
    testsupport::writeFile(dir / "short", std::string(15, 'x'));
    for (const char* name : {"short", "missing", ""}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(VXMMachOBinary::MachOBinaryWithPath(*name ? (dir / name).string() : ""));
    }
    EXPECT_FALSE(VXMMachOBinary::MachOBinaryWithPath(dir.path().string()));
}

TEST(MachOObjects, DSYMBundles) {
    testsupport::TempDir dir;
    fs::path bundle = dir / "App.app.dSYM";
    fs::create_directories(bundle / "Contents/Resources/DWARF");
    EXPECT_FALSE(VXMdSYM::dSYMWithPath(bundle.string()));  // no DWARF file yet
    fs::copy_file(machoData("thin-x86_64-10.9"), bundle / "Contents/Resources/DWARF/App");
    testsupport::writeFile(bundle / "Contents/Info.plist",
                           "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                           "<string>com.apple.xcode.dsym.com.example.app</string></dict></plist>");
    auto dsym = VXMdSYM::dSYMWithPath(bundle.string());
    ASSERT_TRUE(dsym);
    EXPECT_EQ(dsym->bundleIdentifier(), "com.example.app");
    EXPECT_EQ(dsym->executablePath(), (bundle / "Contents/Resources/DWARF/App").string());
    int slices = 0;
    dsym->enumerateUUIDs([&](const std::optional<std::string>& uuid, const std::string& arch) {
        ++slices;
        EXPECT_EQ(uuid, "4c4c446755553144a1108f42c8c316c9");
        EXPECT_EQ(arch, "x86_64");
    });
    EXPECT_EQ(slices, 1);
    EXPECT_FALSE(VXMdSYM::dSYMWithPath((dir / "missing.dSYM").string()));
}

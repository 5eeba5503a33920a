#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>

#include "reporter/macho/MachOBuilder.h"
#include "reporter/macho/VXMMachO.h"
#include "support/TempDir.h"

using namespace machofixture;

namespace {

struct SliceFacts {
    std::string arch;
    std::string uuid;
    std::vector<std::string> dylibs;
    VXMMachOVersion minimum;
    VXMMachOVersion sdk;
    bool walkComplete = false;
    std::vector<uint32_t> commandOffsets;  // from the header
};

// What the reader finds in `bytes`; nullopt when it refuses the slices.
std::optional<std::vector<SliceFacts>> read(const std::string& bytes) {
    std::vector<SliceFacts> out;
    bool ok = VXMMachOEnumerateSlicesAtAddress(
        reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
        [&](const VXMMachOSliceInfo& info) {
            VXMMachOSliceInfo slice = info;
            SliceFacts f;
            f.walkComplete = VXMMachOSliceEnumerateLoadCommands(
                &slice, [&](uint32_t cmd, uint32_t, const uint8_t* command) {
                    f.commandOffsets.push_back(uint32_t(command - slice.header));
                    if (cmd == kVXMLoadCommandUUID)
                        f.uuid = VXMMachONormalizeUUID(VXMMachOGetUUID(command));
                    if (cmd == kVXMLoadCommandLoadDylib) {
                        const char* path = VXMMachOGetDylibPath(command);
                        f.dylibs.push_back(path ? path : "<refused>");
                    }
                    VXMMachOGetMinimumOSVersion(command, &f.minimum);
                    VXMMachOGetLinkedSDKVersion(command, &f.sdk);
                });
            f.arch = VXMMachOSliceGetArchitectureName(&slice);
            out.push_back(f);
        });
    if (!ok) return std::nullopt;
    return out;
}

std::string run(const std::string& command) {
    return testsupport::commandOutput(command);
}

std::string dataFile(const std::string& name) {
    return std::string(TESSARO_TEST_DATA) + "/" + name;
}

VXMMachOVersion parseVersion(const std::string& text) {
    VXMMachOVersion v;
    std::sscanf(text.c_str(), "%u.%u.%u", &v.major, &v.minor, &v.patch);
    return v;
}

}  // namespace

// Facts of the committed images, as llvm-objdump and llvm-dwarfdump report them.
TEST(MachOReader, RealImagesAgreeWithLLVMTools) {
    struct Expected {
        std::string file;
        std::vector<std::string> archs;
        std::vector<std::string> uuids;
        std::vector<VXMMachOVersion> minimum;
    };
    const std::vector<Expected> cases = {
        {"thin-x86_64-10.9",
         {"x86_64"},
         {"4c4c44675555314"
          "4a1108f42c8c316c9"},
         {{10, 9, 0}}},
        {"fat-x86_64-arm64",
         {"x86_64", "arm64"},
         {"4c4c449b55553144a16fb0394385a9fb", "4c4c44d555553144a1fe1708b7cd3d3f"},
         {{10, 15, 0}, {11, 0, 0}}},
    };
    bool haveTools = !run("command -v llvm-objdump-14 llvm-dwarfdump-14").empty();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        VXMMachOFile file;
        ASSERT_TRUE(VXMMachOFileInitWithPath(&file, dataFile(c.file).c_str()));
        std::string bytes(reinterpret_cast<const char*>(file.data), file.size);
        VXMMachOFileDestroy(&file);
        EXPECT_EQ(file.fd, -1);
        auto slices = read(bytes);
        ASSERT_TRUE(slices);
        ASSERT_EQ(slices->size(), c.archs.size());
        for (size_t i = 0; i < slices->size(); ++i) {
            const auto& s = (*slices)[i];
            EXPECT_TRUE(s.walkComplete);
            EXPECT_EQ(s.arch, c.archs[i]);
            EXPECT_EQ(s.uuid, c.uuids[i]);
            EXPECT_EQ(s.minimum, c.minimum[i]);
            EXPECT_EQ(s.commandOffsets.front(), 32u);
            EXPECT_EQ(s.dylibs.back(), "/usr/lib/libSystem.B.dylib");
        }
        if (!haveTools) continue;

        // UUIDs and architectures through llvm-dwarfdump.
        std::string dump = run("llvm-dwarfdump-14 --uuid " + dataFile(c.file));
        std::regex uuidLine(R"(UUID: ([0-9A-F-]{36}) \((\S+)\))");
        size_t i = 0;
        for (std::sregex_iterator it(dump.begin(), dump.end(), uuidLine), end; it != end;
             ++it, ++i) {
            ASSERT_LT(i, slices->size());
            std::string uuid = (*it)[1];
            uuid.erase(std::remove(uuid.begin(), uuid.end(), '-'), uuid.end());
            for (auto& ch : uuid) ch = char(std::tolower(ch));
            EXPECT_EQ((*slices)[i].uuid, uuid);
            EXPECT_EQ((*slices)[i].arch, (*it)[2].str());
        }
        EXPECT_EQ(i, slices->size());

        // Minimum OS, SDK and linked libraries through llvm-objdump, per slice.
        for (size_t k = 0; k < slices->size(); ++k) {
            const auto& s = (*slices)[k];
            std::string headers = run("llvm-objdump-14 --macho --private-headers --arch=" + s.arch +
                                      " " + dataFile(c.file));
            std::smatch m;
            ASSERT_TRUE(std::regex_search(headers, m,
                                          std::regex(R"((?:version|minos) (\d+\.\d+(?:\.\d+)?))")));
            EXPECT_EQ(s.minimum, parseVersion(m[1]));
            ASSERT_TRUE(std::regex_search(headers, m, std::regex(R"(\n\s+sdk (\d+\.\d+))")));
            EXPECT_EQ(s.sdk, parseVersion(m[1]));
            std::vector<std::string> dylibs;
            std::regex dylib(R"(cmd LC_LOAD_DYLIB\n\s+cmdsize \d+\n\s+name (\S+) \(offset)");
            for (std::sregex_iterator it(headers.begin(), headers.end(), dylib), end; it != end;
                 ++it)
                dylibs.push_back((*it)[1]);
            EXPECT_EQ(s.dylibs, dylibs);
        }
    }
}

TEST(MachOReader, BuiltImages) {
    Thin mac64;
    mac64.commands = {uuidCommand(uuidBytes(0x01)),
                      versionMinCommand(kVXMLoadCommandVersionMinMacOSX, 0x000A0700, 0x000A0900),
                      dylibCommand(kVXMLoadCommandLoadDylib, "/usr/lib/libz.1.dylib"),
                      dylibCommand(kVXMLoadCommandLoadWeakDylib, "/usr/lib/libweak.dylib")};
    Thin i386 = mac64;
    i386.cpuType = 7;
    i386.wide = false;
    i386.commands[0] = uuidCommand(uuidBytes(0x02));
    Thin arm64;
    arm64.cpuType = 0x0100000C;
    arm64.cpuSubtype = 0;
    arm64.commands = {buildVersionCommand(1, packVersion(11, 0), packVersion(12, 3, 1))};
    Thin arm64e = arm64;
    arm64e.cpuSubtype = 0x80000002;
    Thin armv7s;
    armv7s.cpuType = 12;
    armv7s.cpuSubtype = 11;
    armv7s.wide = false;
    armv7s.commands = {
        versionMinCommand(kVXMLoadCommandVersionMinIPhoneOS, packVersion(6, 1), packVersion(7, 0)),
        versionMinCommand(kVXMLoadCommandVersionMinIPhoneOS, packVersion(5, 0), packVersion(7, 0))};
    Thin unknownCpu;
    unknownCpu.cpuType = 0x42;

    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::string> archs;
        std::string firstUUID;
        VXMMachOVersion minimum, sdk;
        uint32_t firstCommandOffset;
    };
    const std::vector<Case> cases = {
        {"thin 64-bit, capability bits in the subtype",
         mac64.bytes(),
         {"x86_64"},
         "0112233445566778899aabbccddeef00",
         {10, 7, 0},
         {10, 9, 0},
         32},
        {"thin 32-bit",
         i386.bytes(),
         {"i386"},
         "02132435465768798a9bacbdcedff001",
         {10, 7, 0},
         {10, 9, 0},
         28},
        {"fat in record order",
         fat({{7, 3, i386.bytes()}, {0x01000007, 3, mac64.bytes()}}),
         {"i386", "x86_64"},
         "02132435465768798a9bacbdcedff001",
         {10, 7, 0},
         {10, 9, 0},
         28},
        {"build version only", arm64.bytes(), {"arm64"}, "", {11, 0, 0}, {12, 3, 1}, 32},
        {"arm64e", arm64e.bytes(), {"arm64e"}, "", {11, 0, 0}, {12, 3, 1}, 32},
        {"later version command wins", armv7s.bytes(), {"armv7s"}, "", {5, 0, 0}, {7, 0, 0}, 28},
        {"unknown cpu", unknownCpu.bytes(), {"unknown"}, "", {}, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto slices = read(c.bytes);
        ASSERT_TRUE(slices);
        std::vector<std::string> archs;
        for (const auto& s : *slices) archs.push_back(s.arch);
        EXPECT_EQ(archs, c.archs);
        const auto& first = slices->front();
        EXPECT_TRUE(first.walkComplete);
        EXPECT_EQ(first.uuid, c.firstUUID);
        EXPECT_EQ(first.minimum, c.minimum);
        EXPECT_EQ(first.sdk, c.sdk);
        if (c.firstCommandOffset) {
            EXPECT_EQ(first.commandOffsets.front(), c.firstCommandOffset);
        }
    }
    auto thin = read(mac64.bytes());
    EXPECT_EQ(thin->front().dylibs, std::vector<std::string>{"/usr/lib/libz.1.dylib"});
}

// Malformed input: every case is refused or cut short where the damage starts,
// never read past its end
// (the copies below are exact-size heap blocks, so ASan sees any overrun).
TEST(MachOReader, MalformedImages) {
    Thin good;
    good.commands = {uuidCommand(uuidBytes(1)), dylibCommand(kVXMLoadCommandLoadDylib, "/a")};
    const std::string goodBytes = good.bytes();

    auto withCommands = [](std::vector<std::string> commands, int64_t ncmds = -1,
                           int64_t sizeofcmds = -1) {
        Thin t;
        t.commands = std::move(commands);
        t.ncmds = ncmds;
        t.sizeofcmds = sizeofcmds;
        return t.bytes();
    };
    std::string fatHeaderOnly;
    putBig32(fatHeaderOnly, 0xCAFEBABE);
    putBig32(fatHeaderOnly, 2);
    fatHeaderOnly += std::string(20, '\0');  // one record of two
    std::string hugeCount = fatHeaderOnly;
    hugeCount.replace(4, 4, "\xff\xff\xff\xff", 4);
    std::string sliceOutside = fat({{7, 3, goodBytes}});
    sliceOutside.resize(sliceOutside.size() - 1);
    std::string sliceOffsetHuge = fat({{7, 3, goodBytes}});
    sliceOffsetHuge.replace(16, 4, "\xff\xff\xff\x00", 4);
    std::string cmdsize4 = command(kVXMLoadCommandUUID, std::string(16, 'u'));
    cmdsize4.replace(4, 4, "\x04\0\0\0", 4);
    std::string pastEnd = command(kVXMLoadCommandUUID, std::string(16, 'u'));
    pastEnd.replace(4, 4, "\x00\x10\0\0", 4);
    std::string shortUUID = command(kVXMLoadCommandUUID, std::string(8, 'u'));
    std::string nameOffsetOutside = dylibCommand(kVXMLoadCommandLoadDylib, "/lib");
    nameOffsetOutside.replace(8, 4, "\xff\0\0\0", 4);
    std::string nameUnterminated = dylibCommand(kVXMLoadCommandLoadDylib, "/lib/abcd");
    std::fill(nameUnterminated.begin() + 24, nameUnterminated.end(), 'x');
    std::string shortVersion = command(kVXMLoadCommandBuildVersion, std::string(4, 'v'));

    struct Case {
        const char* name;
        std::string bytes;
        bool refused;       // no slices at all
        bool walkComplete;  // of the first slice
        size_t commandsSeen;
        std::string uuid;
        std::vector<std::string> dylibs;
    };
    const std::vector<Case> cases = {
        {"well-formed", goodBytes, false, true, 2, "0112233445566778899aabbccddeef00", {"/a"}},
        {"truncated fat header", fatHeaderOnly, true, false, 0, "", {}},
        {"huge fat count", hugeCount, true, false, 0, "", {}},
        {"slice past the end", sliceOutside, true, false, 0, "", {}},
        {"slice offset past the end", sliceOffsetHuge, true, false, 0, "", {}},
        {"fat magic only", std::string("\xca\xfe\xba\xbe", 4), true, false, 0, "", {}},
        {"thin header cut short", goodBytes.substr(0, 20), false, false, 0, "", {}},
        // The walk is bounded by the file: the commands before a cut count.
        {"file cut inside its last command",
         goodBytes.substr(0, goodBytes.size() - 1),
         false,
         false,
         1,
         "0112233445566778899aabbccddeef00",
         {}},
        {"sizeofcmds a few bytes short",
         withCommands({uuidCommand(uuidBytes(1)), dylibCommand(kVXMLoadCommandLoadDylib, "/a")}, -1,
                      30),
         false,
         true,
         2,
         "0112233445566778899aabbccddeef00",
         {"/a"}},
        {"cmdsize 4", withCommands({cmdsize4}), false, false, 0, "", {}},
        {"cmdsize past the area", withCommands({pastEnd}), false, false, 0, "", {}},
        {"more commands than the area holds",
         withCommands({uuidCommand(uuidBytes(1))}, 1000),
         false,
         false,
         1,
         "0112233445566778899aabbccddeef00",
         {}},
        {"UUID command too short", withCommands({shortUUID}), false, true, 1, "", {}},
        {"dylib name offset outside",
         withCommands({nameOffsetOutside}),
         false,
         true,
         1,
         "",
         {"<refused>"}},
        {"dylib name unterminated",
         withCommands({nameUnterminated}),
         false,
         true,
         1,
         "",
         {"<refused>"}},
        {"build version too short", withCommands({shortVersion}), false, true, 1, "", {}},
        {"not Mach-O", std::string(64, 'z'), false, false, 0, "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto slices = read(c.bytes);
        if (c.refused) {
            EXPECT_FALSE(slices);
            continue;
        }
        ASSERT_TRUE(slices);
        ASSERT_EQ(slices->size(), 1u);
        const auto& s = slices->front();
        EXPECT_EQ(s.walkComplete, c.walkComplete);
        EXPECT_EQ(s.commandOffsets.size(), c.commandsSeen);
        EXPECT_EQ(s.uuid, c.uuid);
        EXPECT_EQ(s.dylibs, c.dylibs);
        EXPECT_EQ(s.minimum, VXMMachOVersion{});
    }
}

TEST(MachOReader, FileMapping) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "15", std::string(15, '\xcf'));
    testsupport::writeFile(dir / "16", std::string("\xcf\xfa\xed\xfe") + std::string(12, '\0'));
    VXMMachOFile file;
    EXPECT_FALSE(VXMMachOFileInitWithPath(&file, (dir / "15").c_str()));
    EXPECT_FALSE(VXMMachOFileInitWithPath(&file, dir.path().c_str()));
    EXPECT_FALSE(VXMMachOFileInitWithPath(&file, (dir / "missing").c_str()));
    EXPECT_FALSE(VXMMachOFileInitWithPath(&file, nullptr));
    EXPECT_EQ(file.fd, -1);
    ASSERT_TRUE(VXMMachOFileInitWithPath(&file, (dir / "16").c_str()));
    EXPECT_EQ(file.size, 16u);
    int slices = 0;
    EXPECT_TRUE(VXMMachOFileEnumerateSlices(&file, [&](const VXMMachOSliceInfo& s) {
        ++slices;
        VXMMachOSliceInfo copy = s;
        EXPECT_FALSE(
            VXMMachOSliceEnumerateLoadCommands(&copy, [](uint32_t, uint32_t, const uint8_t*) {}));
    }));
    EXPECT_EQ(slices, 1);
    VXMMachOFileDestroy(&file);
}

TEST(MachOReader, UnwindSectionsAndHelpers) {
    VXMMachOFile file;
    ASSERT_TRUE(VXMMachOFileInitWithPath(&file, dataFile("thin-x86_64-10.9").c_str()));
    VXMMachOFileEnumerateSlices(&file, [&](const VXMMachOSliceInfo& info) {
        VXMMachOSliceInfo slice = info;
        uintptr_t eh = 7, unwind = 7;
        VXMMachOSliceGetUnwindInformation(&slice, &eh, &unwind);
        // File offsets 0x594 and 0x15d0, as llvm-objdump --section-headers shows.
        EXPECT_EQ(unwind - reinterpret_cast<uintptr_t>(file.data), 0x594u);
        EXPECT_EQ(eh - reinterpret_cast<uintptr_t>(file.data), 0x15d0u);
        EXPECT_TRUE(VXMMachOSliceIs64Bit(&slice));
    });
    VXMMachOFileDestroy(&file);

    EXPECT_EQ(VXMMachOVersionFromPacked(0x000A0900), (VXMMachOVersion{10, 9, 0}));
    EXPECT_EQ(VXMMachOVersionFromPacked(0x000E0203), (VXMMachOVersion{14, 2, 3}));
    // The running program is no Mach-O image; the host architecture still has a name.
    VXMMachOSliceInfo current = VXMMachOSliceGetCurrent();
    EXPECT_EQ(current.header, nullptr);
    EXPECT_STRNE(VXMMachOSliceGetArchitectureName(&current), "unknown");
    EXPECT_EQ(VXMMachOSliceGetExecutablePath(&current), nullptr);
}

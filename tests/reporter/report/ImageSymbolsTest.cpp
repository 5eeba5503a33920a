// Function names from an image's own symbol table, checked against nm and
// readelf on this test program's file.

#include "reporter/report/VXMImageSymbols.h"

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace {

// Internal: the dynamic table, and so dladdr, cannot name it.
__attribute__((noinline, used)) int hiddenTarget(int x) {
    asm volatile("" ::: "memory");
    return x * 3 + 1;
}

}  // namespace

TEST(ImageSymbols, NamesInternalFunctionsOfTheRunningImageLikeNm) {
    const auto address = reinterpret_cast<uintptr_t>(&hiddenTarget);
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(address), &info), 0);
    EXPECT_EQ(info.dli_sname, nullptr);  // why the file's own table is read

    auto table = VXMImageSymbols::fromFile("/proc/self/exe");
    ASSERT_NE(table, nullptr);
    ASSERT_FALSE(table->empty());
    const uint64_t link =
        address - reinterpret_cast<uintptr_t>(info.dli_fbase) + table->firstLoadAddress();
    auto symbol = table->lookup(link + 2);
    ASSERT_TRUE(symbol);
    EXPECT_EQ(symbol->start, link);

    // nm's line for the same address: "<address> t <name>".
    char hex[32];
    snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(link));
    const std::string line =
        testsupport::firstOutputLine("nm --defined-only /proc/" + std::to_string(getpid()) +
                                     "/exe | grep '^" + hex + " [tT] .*hiddenTarget'");
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(symbol->name, line.substr(line.rfind(' ') + 1));

    // The build-id as readelf prints it, cut to the 16 bytes of a UUID.
    const std::string note =
        testsupport::firstOutputLine("readelf -n /proc/" + std::to_string(getpid()) +
                                     "/exe | grep 'Build ID' | sed 's/.*Build ID: //'");
    ASSERT_GE(note.size(), 32u);
    EXPECT_EQ(table->uuid(), note.substr(0, 32));

    EXPECT_FALSE(table->lookup(0));
}

TEST(ImageSymbols, DamagedFilesGiveAnEmptyTable) {
    const std::string whole = testsupport::readFile("/proc/self/exe");
    ASSERT_GT(whole.size(), sizeof(Elf64_Ehdr));
    auto withHeader = [&](auto change) {
        std::string bytes = whole;
        auto* header = reinterpret_cast<Elf64_Ehdr*>(bytes.data());
        change(header);
        return bytes;
    };
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"not ELF", "#!/bin/sh\necho hello\n"},
        {"header cut short", whole.substr(0, 40)},
        {"sections cut off", whole.substr(0, 4096)},
        {"section table past the end",
         withHeader([](Elf64_Ehdr* h) { h->e_shoff = ~Elf64_Off{0} - 8; })},
        {"section entries too small", withHeader([](Elf64_Ehdr* h) { h->e_shentsize = 4; })},
        {"32-bit class", withHeader([](Elf64_Ehdr* h) { h->e_ident[EI_CLASS] = ELFCLASS32; })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VXMImageSymbols table = VXMImageSymbols::fromBytes(
            reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size());
        EXPECT_TRUE(table.empty());
        EXPECT_FALSE(table.lookup(0x1000));
    }
    testsupport::TempDir dir("image-symbols");
    EXPECT_EQ(VXMImageSymbols::fromFile((dir / "missing").string()), nullptr);
    EXPECT_EQ(VXMImageSymbols::fromFile(dir.path().string()), nullptr);  // a directory
}

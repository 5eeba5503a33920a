#pragma once
// Writes small Mach-O images for tests: thin 32/64-bit images with chosen load
// commands, and fat files that gather such images. Little-endian hosts only,
// like the images it imitates.

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace machofixture {

inline void put32(std::string& out, uint32_t v) {
    out.append(reinterpret_cast<char*>(&v), 4);
}
inline void putBig32(std::string& out, uint32_t v) {
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(b, 4);
}

inline uint32_t packVersion(uint32_t major, uint32_t minor, uint32_t patch = 0) {
    return (major << 16) | (minor << 8) | patch;
}

// A load command: cmd, cmdsize (payload plus 8, padded to `align`), payload.
inline std::string command(uint32_t cmd, const std::string& payload, size_t align = 8) {
    size_t size = (payload.size() + 8 + align - 1) / align * align;
    std::string out;
    put32(out, cmd);
    put32(out, static_cast<uint32_t>(size));
    out += payload;
    out.resize(size, '\0');
    return out;
}

inline std::string uuidCommand(const std::string& sixteenBytes) {
    return command(0x1B, sixteenBytes);
}

inline std::string versionMinCommand(uint32_t cmd, uint32_t version, uint32_t sdk) {
    std::string p;
    put32(p, version);
    put32(p, sdk);
    return command(cmd, p);
}

inline std::string buildVersionCommand(uint32_t platform, uint32_t minos, uint32_t sdk) {
    std::string p;
    put32(p, platform);
    put32(p, minos);
    put32(p, sdk);
    put32(p, 0);  // no tool records
    return command(0x32, p);
}

inline std::string dylibCommand(uint32_t cmd, const std::string& name) {
    std::string p;
    put32(p, 24);  // name offset from the command start
    put32(p, 2);   // timestamp
    put32(p, packVersion(1, 0));
    put32(p, packVersion(1, 0));
    p += name;
    p.push_back('\0');
    return command(cmd, p);
}

struct Thin {
    uint32_t cpuType = 0x01000007;
    uint32_t cpuSubtype = 3;
    bool wide = true;
    uint32_t fileType = 2;  // executable
    std::vector<std::string> commands;
    // Overrides for malformed images; unset means computed.
    int64_t ncmds = -1;
    int64_t sizeofcmds = -1;

    std::string bytes() const {
        std::string area;
        for (const auto& c : commands) area += c;
        std::string out;
        put32(out, wide ? 0xFEEDFACF : 0xFEEDFACE);
        put32(out, cpuType);
        put32(out, cpuSubtype);
        put32(out, fileType);
        put32(out, ncmds >= 0 ? uint32_t(ncmds) : uint32_t(commands.size()));
        put32(out, sizeofcmds >= 0 ? uint32_t(sizeofcmds) : uint32_t(area.size()));
        put32(out, 0);  // flags
        if (wide) put32(out, 0);
        return out + area;
    }
};

struct FatArch {
    uint32_t cpuType;
    uint32_t cpuSubtype;
    std::string image;
};

// A fat file with each image at a 4096-byte aligned offset.
inline std::string fat(const std::vector<FatArch>& archs) {
    std::string out;
    putBig32(out, 0xCAFEBABE);
    putBig32(out, static_cast<uint32_t>(archs.size()));
    size_t offset = 4096;
    std::vector<size_t> offsets;
    for (const auto& a : archs) {
        offsets.push_back(offset);
        offset += (a.image.size() + 4095) / 4096 * 4096;
    }
    for (size_t i = 0; i < archs.size(); ++i) {
        putBig32(out, archs[i].cpuType);
        putBig32(out, archs[i].cpuSubtype);
        putBig32(out, static_cast<uint32_t>(offsets[i]));
        putBig32(out, static_cast<uint32_t>(archs[i].image.size()));
        putBig32(out, 12);  // 2^12 alignment
    }
    for (size_t i = 0; i < archs.size(); ++i) {
        out.resize(offsets[i], '\0');
        out += archs[i].image;
    }
    return out;
}

inline std::string uuidBytes(uint8_t first) {
    std::string b(16, '\0');
    for (int i = 0; i < 16; ++i) b[i] = char(first + i * 0x11);
    return b;
}

}  // namespace machofixture

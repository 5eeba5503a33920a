#pragma once
// Function names from an image's own symbol table, read from its file at
// symbolication time: the dynamic table that dladdr sees holds only exported
// symbols, so static and internal functions of the application would stay
// nameless. The file is untrusted bytes: every offset is checked.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class VXMImageSymbols {
  public:
    struct Symbol {
        std::string name;
        uint64_t start = 0;  // link-time address
    };

    // An ELF image held in memory; an image without a symbol table gives an
    // empty table.
    static VXMImageSymbols fromBytes(const uint8_t* bytes, size_t size);
    // The file at `path`; null when it cannot be read or is no ELF image.
    static std::shared_ptr<const VXMImageSymbols> fromFile(const std::string& path);

    // The function whose range holds the link-time `address`.
    std::optional<Symbol> lookup(uint64_t address) const;
    // The link-time address of the image's first byte in memory (the lowest
    // loadable segment), to turn a running address into a link-time one.
    uint64_t firstLoadAddress() const { return firstLoadAddress_; }
    // The first 16 bytes of the GNU build-id as 32 lower-case hexadecimal
    // characters (zero-padded when shorter), "" without one: the image's UUID.
    const std::string& uuid() const { return uuid_; }
    bool empty() const { return functions_.empty(); }

  private:
    struct Function {
        uint64_t start;
        uint64_t size;
        std::string name;
    };
    std::vector<Function> functions_;  // sorted by start
    uint64_t firstLoadAddress_ = 0;
    std::string uuid_;
};

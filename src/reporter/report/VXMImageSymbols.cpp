#include "reporter/report/VXMImageSymbols.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "reporter/VXMSafe.h"

namespace {

// A view of the file whose reads fail instead of leaving it.
struct Image {
    const uint8_t* bytes;
    size_t size;

    template <typename T>
    bool read(uint64_t offset, T* out) const {
        if (offset > size || size - offset < sizeof(T)) return false;
        memcpy(out, bytes + offset, sizeof(T));
        return true;
    }
    bool holds(uint64_t offset, uint64_t length) const {
        return offset <= size && length <= size - offset;
    }
};

bool sectionHeader(const Image& image, const Elf64_Ehdr& header, unsigned index, Elf64_Shdr* out) {
    if (index >= header.e_shnum || header.e_shentsize < sizeof(Elf64_Shdr)) return false;
    uint64_t at = 0;
    if (__builtin_add_overflow(header.e_shoff, uint64_t{index} * header.e_shentsize, &at))
        return false;
    return image.read(at, out);
}

// The build-id of one note area, when it holds one.
std::string buildIdIn(const Image& image, uint64_t offset, uint64_t length, uint64_t alignment) {
    if (!image.holds(offset, length)) return {};
    const uint64_t align = alignment >= 8 ? 8 : 4;
    auto up = [align](uint64_t v) { return (v + align - 1) & ~(align - 1); };
    const uint64_t end = offset + length;
    while (end - offset >= sizeof(Elf64_Nhdr)) {
        Elf64_Nhdr note;
        if (!image.read(offset, &note)) return {};
        const uint64_t name = offset + sizeof(note);
        const uint64_t desc = up(name + note.n_namesz);
        const uint64_t next = up(desc + note.n_descsz);
        if (next > end || next <= offset) return {};
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
            memcmp(image.bytes + name, "GNU", 4) == 0 && note.n_descsz > 0) {
            uint8_t id[16] = {};
            memcpy(id, image.bytes + desc, std::min<size_t>(note.n_descsz, sizeof(id)));
            char text[33];
            VXMSafeHexToString(id, sizeof(id), text);
            return text;
        }
        offset = next;
    }
    return {};
}

}  // namespace

VXMImageSymbols VXMImageSymbols::fromBytes(const uint8_t* bytes, size_t size) {
    VXMImageSymbols table;
    const Image image{bytes, size};
    Elf64_Ehdr header;
    if (!bytes || !image.read(0, &header) || memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB)
        return table;

    uint64_t lowest = UINT64_MAX;
    for (unsigned i = 0; i < header.e_phnum && header.e_phentsize >= sizeof(Elf64_Phdr); ++i) {
        Elf64_Phdr segment;
        uint64_t at = 0;
        if (__builtin_add_overflow(header.e_phoff, uint64_t{i} * header.e_phentsize, &at) ||
            !image.read(at, &segment))
            break;
        if (segment.p_type == PT_LOAD)
            lowest = std::min(lowest, segment.p_vaddr & ~uint64_t{0xFFF});
        if (segment.p_type == PT_NOTE && table.uuid_.empty())
            table.uuid_ = buildIdIn(image, segment.p_offset, segment.p_filesz, segment.p_align);
    }
    table.firstLoadAddress_ = lowest == UINT64_MAX ? 0 : lowest;

    // The full table when the file has one, else the dynamic one.
    Elf64_Shdr symbols{}, names{};
    bool found = false;
    for (uint32_t wanted : {uint32_t{SHT_SYMTAB}, uint32_t{SHT_DYNSYM}}) {
        for (unsigned i = 0; i < header.e_shnum && !found; ++i) {
            Elf64_Shdr section;
            if (!sectionHeader(image, header, i, &section) || section.sh_type != wanted) continue;
            if (sectionHeader(image, header, section.sh_link, &names) &&
                names.sh_type == SHT_STRTAB && image.holds(section.sh_offset, section.sh_size) &&
                image.holds(names.sh_offset, names.sh_size)) {
                symbols = section;
                found = true;
            }
        }
        if (found) break;
    }
    if (!found) return table;

    const uint64_t count = symbols.sh_size / sizeof(Elf64_Sym);
    for (uint64_t i = 0; i < count; ++i) {
        Elf64_Sym symbol;
        if (!image.read(symbols.sh_offset + i * sizeof(Elf64_Sym), &symbol)) break;
        if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF ||
            symbol.st_size == 0 || symbol.st_name >= names.sh_size)
            continue;
        const char* name = reinterpret_cast<const char*>(bytes + names.sh_offset + symbol.st_name);
        const size_t length = strnlen(name, names.sh_size - symbol.st_name);
        if (length == 0 || length == names.sh_size - symbol.st_name) continue;  // unterminated
        table.functions_.push_back({symbol.st_value, symbol.st_size, std::string(name, length)});
    }
    // Aliases share a start: the first of them stays, the table is ordered.
    std::stable_sort(table.functions_.begin(), table.functions_.end(),
                     [](const Function& a, const Function& b) { return a.start < b.start; });
    return table;
}

std::shared_ptr<const VXMImageSymbols> VXMImageSymbols::fromFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
        close(fd);
        return nullptr;
    }
    const auto size = static_cast<size_t>(info.st_size);
    void* mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (mapping == MAP_FAILED) return nullptr;
    auto table =
        std::make_shared<VXMImageSymbols>(fromBytes(static_cast<const uint8_t*>(mapping), size));
    munmap(mapping, size);
    return table;
}

std::optional<VXMImageSymbols::Symbol> VXMImageSymbols::lookup(uint64_t address) const {
    auto after = std::upper_bound(functions_.begin(), functions_.end(), address,
                                  [](uint64_t a, const Function& f) { return a < f.start; });
    // Functions may nest (a cold part inside a range): the nearest start
    // whose range holds the address wins.
    for (auto it = after; it != functions_.begin();) {
        --it;
        if (address - it->start < it->size) return Symbol{it->name, it->start};
        if (after - it > 8) break;
    }
    return std::nullopt;
}

#pragma once
// Mach-O files as objects: a mapped binary with its architecture slices, the
// facts of each slice, and a dSYM bundle with its DWARF file.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reporter/macho/VXMMachO.h"

class VXMMachOSlice {
  public:
    // Reads the slice's load commands. Slices hold addresses into their
    // binary's mapping and must not outlive it.
    explicit VXMMachOSlice(const VXMMachOSliceInfo& slice);
    static std::shared_ptr<VXMMachOSlice> runningSlice();

    std::string architectureName() const;
    // 32 lower-case hexadecimal digits; none without an LC_UUID command.
    const std::optional<std::string>& uuid() const { return uuid_; }
    const std::vector<std::string>& linkedDylibs() const { return linkedDylibs_; }
    // 0.0.0 until a version command is found.
    const VXMMachOVersion& minimumOSVersion() const { return minimumOSVersion_; }
    const VXMMachOVersion& linkedSDKVersion() const { return linkedSDKVersion_; }
    uintptr_t ehFrameData() const;
    uintptr_t unwindInfoData() const;
    // False when a Mach-O slice's load commands could not all be read: the
    // walk ended at a damaged command, or a damaged command was skipped. What
    // came before the damage is kept.
    bool isComplete() const { return complete_; }

  private:
    VXMMachOSliceInfo slice_;
    std::optional<std::string> uuid_;
    std::vector<std::string> linkedDylibs_;
    VXMMachOVersion minimumOSVersion_;
    VXMMachOVersion linkedSDKVersion_;
    bool complete_ = true;
};

class VXMMachOBinary {
  public:
    // Null unless the path is a regular file of at least 16 bytes. A damaged
    // file still gives a binary: with no slices when its slice table is
    // damaged, and slices read up to the damage otherwise (see isComplete).
    static std::shared_ptr<VXMMachOBinary> MachOBinaryWithPath(const std::string& path);
    ~VXMMachOBinary();
    VXMMachOBinary(const VXMMachOBinary&) = delete;
    VXMMachOBinary& operator=(const VXMMachOBinary&) = delete;

    const std::vector<std::shared_ptr<VXMMachOSlice>>& slices() const { return slices_; }
    const std::string& path() const { return path_; }
    // True when every slice and all of its load commands could be read.
    bool isComplete() const { return complete_; }
    // (UUID, architecture name) per slice, in file order.
    void enumerateUUIDs(const std::function<void(const std::optional<std::string>&,
                                                 const std::string&)>& block) const;
    std::shared_ptr<VXMMachOSlice> sliceForArchitecture(const std::string& name) const;
    // SHA-1 of the slices' UUIDs concatenated in architecture-name order, as
    // 40 lower-case hexadecimal digits.
    const std::string& instanceIdentifier();

  private:
    VXMMachOBinary() = default;

    std::string path_;
    VXMMachOFile file_;
    std::vector<std::shared_ptr<VXMMachOSlice>> slices_;
    std::optional<std::string> instanceIdentifier_;
    bool complete_ = true;
};

class VXMdSYM {
  public:
    // Null unless the path is a folder whose "Contents/Resources/DWARF" holds
    // at least one entry; the first entry by name becomes the binary.
    static std::shared_ptr<VXMdSYM> dSYMWithPath(const std::string& path);

    const std::string& bundlePath() const { return bundlePath_; }
    const std::shared_ptr<VXMMachOBinary>& binary() const { return binary_; }
    // The bundle's identifier without a leading "com.apple.xcode.dsym.".
    std::optional<std::string> bundleIdentifier() const;
    const std::string& executablePath() const { return executablePath_; }
    void enumerateUUIDs(const std::function<void(const std::optional<std::string>&,
                                                 const std::string&)>& block) const;

  private:
    std::string bundlePath_;
    std::string executablePath_;
    std::shared_ptr<VXMMachOBinary> binary_;
};

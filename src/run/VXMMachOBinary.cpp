#include "run/VXMMachOBinary.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/core/Files.h"
#include "platform/core/Value.h"
#include "run/RunTool.h"

namespace {

bool hasThinMagic(const VXMMachOSliceInfo& slice) {
    if (!slice.header || slice.size < 4) return false;
    uint32_t magic;
    std::memcpy(&magic, slice.header, 4);
    return magic == kVXMMachOMagic32 || magic == kVXMMachOCigam32 || magic == kVXMMachOMagic64 ||
           magic == kVXMMachOCigam64;
}

}  // namespace

VXMMachOSlice::VXMMachOSlice(const VXMMachOSliceInfo& slice) : slice_(slice) {
    bool complete = VXMMachOSliceEnumerateLoadCommands(
        &slice_, [this](uint32_t cmd, uint32_t, const uint8_t* command) {
            switch (cmd) {
                case kVXMLoadCommandLoadDylib:
                    if (const char* path = VXMMachOGetDylibPath(command))
                        linkedDylibs_.emplace_back(path);
                    else
                        complete_ = false;  // skipped, not the whole slice
                    break;
                case kVXMLoadCommandUUID:
                    if (const uint8_t* bytes = VXMMachOGetUUID(command))
                        uuid_ = VXMMachONormalizeUUID(bytes);
                    break;
                // Binaries for macOS 10.14 and later and every arm64 binary
                // carry only LC_BUILD_VERSION.
                case kVXMLoadCommandVersionMinMacOSX:
                case kVXMLoadCommandVersionMinIPhoneOS:
                case kVXMLoadCommandBuildVersion: {
                    VXMMachOVersion minimum, sdk;
                    if (VXMMachOGetMinimumOSVersion(command, &minimum) &&
                        VXMMachOGetLinkedSDKVersion(command, &sdk)) {
                        minimumOSVersion_ = minimum;
                        linkedSDKVersion_ = sdk;
                    }
                    break;
                }
                default:
                    break;
            }
        });
    if (!complete && hasThinMagic(slice_)) complete_ = false;
}

std::shared_ptr<VXMMachOSlice> VXMMachOSlice::runningSlice() {
    return std::make_shared<VXMMachOSlice>(VXMMachOSliceGetCurrent());
}

std::string VXMMachOSlice::architectureName() const {
    return VXMMachOSliceGetArchitectureName(&slice_);
}

uintptr_t VXMMachOSlice::ehFrameData() const {
    VXMMachOSliceInfo slice = slice_;
    uintptr_t eh = 0;
    VXMMachOSliceGetUnwindInformation(&slice, &eh, nullptr);
    return eh;
}

uintptr_t VXMMachOSlice::unwindInfoData() const {
    VXMMachOSliceInfo slice = slice_;
    uintptr_t unwind = 0;
    VXMMachOSliceGetUnwindInformation(&slice, nullptr, &unwind);
    return unwind;
}

std::shared_ptr<VXMMachOBinary> VXMMachOBinary::MachOBinaryWithPath(const std::string& path) {
    std::shared_ptr<VXMMachOBinary> binary(new VXMMachOBinary);
    binary->path_ = path;
    if (path.empty() || !VXMMachOFileInitWithPath(&binary->file_, path.c_str())) return nullptr;
    bool slicesComplete = true;
    bool enumerated = VXMMachOFileEnumerateSlices(&binary->file_, [&](const VXMMachOSliceInfo& s) {
        auto slice = std::make_shared<VXMMachOSlice>(s);
        slicesComplete = slicesComplete && slice->isComplete();
        binary->slices_.push_back(std::move(slice));
    });
    binary->complete_ = enumerated && slicesComplete;
    return binary;
}

VXMMachOBinary::~VXMMachOBinary() {
    slices_.clear();
    VXMMachOFileDestroy(&file_);
}

void VXMMachOBinary::enumerateUUIDs(
    const std::function<void(const std::optional<std::string>&, const std::string&)>& block) const {
    for (const auto& slice : slices_) block(slice->uuid(), slice->architectureName());
}

std::shared_ptr<VXMMachOSlice> VXMMachOBinary::sliceForArchitecture(const std::string& name) const {
    for (const auto& slice : slices_)
        if (slice->architectureName() == name) return slice;
    return nullptr;
}

const std::string& VXMMachOBinary::instanceIdentifier() {
    if (!instanceIdentifier_) {
        std::vector<std::shared_ptr<VXMMachOSlice>> sorted = slices_;
        std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
            return a->architectureName() < b->architectureName();
        });
        std::string uuids;
        for (const auto& slice : sorted) uuids += slice->uuid().value_or("");
        instanceIdentifier_ = run::sha1Hex(uuids);
    }
    return *instanceIdentifier_;
}

std::shared_ptr<VXMdSYM> VXMdSYM::dSYMWithPath(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (path.empty() || !fs::is_directory(path, ec)) return nullptr;
    fs::path dwarf = fs::path(path) / "Contents/Resources/DWARF";
    if (!fs::is_directory(dwarf, ec)) return nullptr;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(dwarf, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    if (entries.empty()) return nullptr;
    std::sort(entries.begin(), entries.end());
    auto dsym = std::make_shared<VXMdSYM>();
    dsym->bundlePath_ = path;
    dsym->executablePath_ = entries.front().string();
    dsym->binary_ = VXMMachOBinary::MachOBinaryWithPath(dsym->executablePath_);
    return dsym;
}

std::optional<std::string> VXMdSYM::bundleIdentifier() const {
    auto bytes = platform::readRegularFile(bundlePath_ + "/Contents/Info.plist");
    if (!bytes) return std::nullopt;
    auto info = platform::Value::fromPlist(*bytes);
    if (!info) return std::nullopt;
    const std::string* id = (*info)["CFBundleIdentifier"].ifString();
    if (!id) return std::nullopt;
    static constexpr std::string_view kPrefix = "com.apple.xcode.dsym.";
    if (id->rfind(kPrefix, 0) == 0) return id->substr(kPrefix.size());
    return *id;
}

void VXMdSYM::enumerateUUIDs(
    const std::function<void(const std::optional<std::string>&, const std::string&)>& block) const {
    if (binary_) binary_->enumerateUUIDs(block);
}

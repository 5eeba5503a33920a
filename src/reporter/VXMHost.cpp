#include "reporter/VXMHost.h"

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/core/Files.h"
#include "platform/core/PathPieces.h"
#include "reporter/VXMContext.h"
#include "reporter/VXMFile.h"
#include "reporter/VXMSafe.h"

namespace {

std::string readTextFile(const std::string& path) {
    return platform::readRegularFile(path).value_or(std::string());
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    size_t start = 0;
    while (start < s.size() && (s[start] == ' ' || s[start] == '\t')) ++start;
    return s.substr(start);
}

std::string withoutQuotesAndBackslashes(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p)
        if (*p != '"' && *p != '\\') out += *p;
    return out;
}

std::mutex defaultsMutex;
VXMDefaultsStore defaultsStore;

// The installation UUID, made once per installation.
std::mutex installMutex;
std::string installUUID;
bool installCreated = false;

VXMBundleInfo bundleInfo;
bool bundleInfoSet = false;
std::mutex bundleMutex;

const char* architectureName() {
#if defined(__x86_64__)
    return "x86_64";
#elif defined(__aarch64__)
    return "arm64";
#endif
}

uint64_t cachedPageSize = 0;

}  // namespace

// ---- host ----

void VXMHostSetDefaultsStore(VXMDefaultsStore store) {
    std::lock_guard<std::mutex> lock(defaultsMutex);
    defaultsStore = std::move(store);
}

std::optional<std::string> VXMUserDefaultsString(const std::string& key) {
    std::lock_guard<std::mutex> lock(defaultsMutex);
    return defaultsStore.get ? defaultsStore.get(key) : std::nullopt;
}

void VXMUserDefaultsSetString(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(defaultsMutex);
    if (defaultsStore.set) defaultsStore.set(key, value);
}

uint64_t VXMHostGetPageSize() {
    if (cachedPageSize) return cachedPageSize;
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) {
        VXMSafeLogToStderr("sysconf failed while trying to get the page size\n");
        return 4096;
    }
    cachedPageSize = static_cast<uint64_t>(page);
    return cachedPageSize;
}

std::string VXMHostInstallationUUID() {
    std::lock_guard<std::mutex> lock(installMutex);
    if (installUUID.empty()) {
        auto stored = VXMUserDefaultsString("com.vexmor.iuuid");
        if (stored && !stored->empty()) {
            installUUID = *stored;
        } else {
            installUUID = VXMGenerateUUID();
            VXMUserDefaultsSetString("com.vexmor.iuuid", installUUID);
            installCreated = true;
        }
    }
    return installUUID;
}

bool VXMHostShouldGenerateInstallEvent() {
    VXMHostInstallationUUID();
    std::lock_guard<std::mutex> lock(installMutex);
    return installCreated;
}

void VXMHostDataInit(VXMHostData* host) {
    VXMHostGetPageSize();
    utsname names{};
    uname(&names);
    std::string product = trimmed(readTextFile("/sys/devices/virtual/dmi/id/product_name"));
    host->model = VXMDupNSString(product.empty() ? names.machine : product);
    host->machine = VXMDupString(names.machine);

    std::string locale;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv(variable);
        if (value && *value) {
            locale = value;
            break;
        }
    }
    locale = locale.substr(0, locale.find_first_of(".@"));
    host->locale = VXMDupNSString(locale.empty() ? "C" : locale);

    int major = 0, minor = 0, patch = 0;
    if (sscanf(names.release, "%d.%d.%d", &major, &minor, &patch) < 1)
        VXMDebugLog("[Vexmor] [Host] Unable to determine OS version");
    char version[48];
    snprintf(version, sizeof(version), "%d.%d.%d", major, minor, patch);
    host->osVersion = VXMDupString(version);
    host->osBuild = VXMDupString(names.release);
    host->platform = VXMDupString(names.sysname);
    host->platformCode = VXMHostPlatformLinux;
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    host->cores = cores > 0 ? static_cast<uint32_t>(cores) : 0;

    std::string cpu;
    std::istringstream cpuinfo(readTextFile("/proc/cpuinfo"));
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            cpu = trimmed(line.substr(line.find(':') + 1));
            break;
        }
    }
    host->cpu = VXMDupNSString(cpu);
    host->jailbroken = false;
    host->vendorInternal = false;

    std::string documents;
    const char* home = getenv("HOME");
    if (const char* xdg = getenv("XDG_DOCUMENTS_DIR"); xdg && *xdg) documents = xdg;
    struct stat info {};
    if ((documents.empty() || stat(documents.c_str(), &info) != 0) && home) {
        documents = std::string(home) + "/Documents";
        if (stat(documents.c_str(), &info) != 0) documents = home;
    }
    host->documentsPath = VXMDupNSString(documents);

    host->installId = VXMDupNSString(VXMHostInstallationUUID());
    if (host->identifierFlags & VXMCollectDeviceIdentifier) {
        std::string id = VXMHostMachineIdentifier(VXMExecutableGetBundleIdentifier());
        if (!id.empty()) host->deviceId = VXMDupNSString(id);
    }
}

std::string VXMHostMachineIdentifier(const std::string& applicationIdentifier) {
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::string id = trimmed(readTextFile(path));
        if (id.empty()) continue;
        // The machine identifier itself must not leave the machine: only a
        // keyed hash of it, which differs from one application to another.
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (!HMAC(EVP_sha256(), applicationIdentifier.data(),
                  static_cast<int>(applicationIdentifier.size()),
                  reinterpret_cast<const unsigned char*>(id.data()), id.size(), digest, &size))
            return {};
        return VXMNSDataToNSString(std::vector<uint8_t>(digest, digest + size));
    }
    return {};
}

void VXMHostSafeWriteData(const VXMHostData* host, const VXMDeviceState* device, VXMFile* file) {
    VXMFileWriteSectionStart(file, "host");
    VXMFileWriteHashStart(file);
    VXMFileWriteHashEntryString(file, "model", host->model);
    VXMFileWriteHashEntryString(file, "machine", host->machine);
    VXMFileWriteHashEntryString(file, "locale", host->locale);
    VXMFileWriteHashEntryString(file, "os_build", host->osBuild);
    VXMFileWriteHashEntryString(file, "os_version", host->osVersion);
    VXMFileWriteHashEntryString(file, "platform", host->platform);
    VXMFileWriteHashEntryUint64(file, "platform_code", host->platformCode);
    VXMFileWriteHashEntryUint64(file, "cores", host->cores);
    VXMFileWriteHashEntryString(file, "cpu", host->cpu);
    VXMFileWriteHashEntryBoolean(file, "vendor_internal", host->vendorInternal);
    if (device) {
        VXMFileWriteHashEntryUint64(file, "device_orientation", device->deviceOrientation);
        VXMFileWriteHashEntryUint64(file, "ui_orientation", device->uiOrientation);
        VXMFileWriteHashEntryString(file, "battery_level", device->batteryLevel.load());
        VXMFileWriteHashEntryUint64(file, "charging_state", device->chargingState);
        VXMFileWriteHashEntryBoolean(file, "proximity_on", device->proximityOn);
        VXMFileWriteHashEntryBoolean(file, "is_backgrounded", device->backgrounded);
    }
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

void VXMHostWriteDiskUsage(const VXMHostData* host, VXMFile* file) {
    VXMFileWriteSectionStart(file, "storage");
    VXMFileWriteHashStart(file);
    struct statfs info {};
    if (host->documentsPath && statfs(host->documentsPath, &info) == 0) {
        uint64_t block = static_cast<uint64_t>(info.f_bsize);
        VXMFileWriteHashEntryUint64(file, "free", block * info.f_bavail);
        VXMFileWriteHashEntryUint64(file, "total", block * info.f_blocks);
    }
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

std::optional<std::string> VXMHostGetOSVersionNameWithOSVersion() {
    if (!VXMContextIsInitialized()) return std::nullopt;
    const VXMHostData& host = vxmContext.readOnly->host;
    std::string text = std::string(host.osVersion ? host.osVersion : "") + "/" +
                       (host.osBuild ? host.osBuild : "");
    return withoutQuotesAndBackslashes(text.c_str());
}

std::optional<std::string> VXMHostGetModel() {
    if (!VXMContextIsInitialized() || !vxmContext.readOnly->host.model) return std::nullopt;
    return withoutQuotesAndBackslashes(vxmContext.readOnly->host.model);
}

uint32_t VXMHostState() {
    if (!VXMContextIsInitialized()) return 0;
    const VXMReadOnlyContext* context = vxmContext.readOnly;
    uint32_t state = 0;
    if (context->process.debuggerAttached) state |= VXMDeviceDebuggerAttached;
    if (context->host.jailbroken) state |= VXMDeviceJailbroken;
    if (context->process.libraryInjection) state |= VXMDeviceInjectedLibraries;
    return state;
}

bool VXMHostIsVendorInternal() {
    return false;
}

bool VXMHostGetFeatureSwitchValue(const std::string& key, const platform::Value& dictionary) {
    const bool* flag = dictionary[key].ifBool();
    return flag && *flag;
}

std::optional<std::string> VXMHostExtensionPointIdentifier() {
    const platform::Value info = VXMExecutableBundleInfo().info;
    if (!info.contains("NSExtension")) return std::nullopt;
    const platform::Value& extension = info["NSExtension"];
    if (!extension.isDictionary()) {
        VXMDebugLog("[Vexmor] NSExtension Info.plist entry is mal-formed");
        return std::nullopt;
    }
    if (!extension.contains("NSExtensionPointIdentifier")) return std::nullopt;
    const std::string* identifier = extension["NSExtensionPointIdentifier"].ifString();
    if (!identifier) {
        VXMDebugLog("[Vexmor] NSExtensionPointIdentifier Info.plist entry is mal-formed");
        return std::nullopt;
    }
    return *identifier;
}

bool VXMHostIsAppExtension() {
    return VXMHostExtensionPointIdentifier().has_value();
}

bool VXMHostSignedForDistribution() {
    return VXMHostGetFeatureSwitchValue("VexmorSignedForDistribution",
                                        VXMExecutableBundleInfo().info);
}

bool VXMHostEnableBetaDistribution() {
    if (VXMHostIsAppExtension() || !VXMHostSignedForDistribution()) return false;
    return VXMExecutableGetDeliveryMechansim() != 4;
}

std::optional<std::string> VXMHostCustomEndpoint(const platform::Value& infoDictionary) {
    if (const std::string* endpoint = infoDictionary["VexmorAPIEndpoint"].ifString())
        return *endpoint;
    if (const char* endpoint = getenv("VexmorAPIEndpoint")) return std::string(endpoint);
    return std::nullopt;
}

uint64_t VXMHostGetiTunesMetadataItemId() {
    if (!VXMContextIsInitialized()) return 0;
    VXMWritableContext* writable = vxmContext.writable;
    if (uint64_t cached = writable->itemIdentifier.load()) return cached;
    VXMBundleInfo bundle = VXMExecutableBundleInfo();
    const std::string parent(platform::parentPath(bundle.path));
    std::string bytes = readTextFile(parent + "/iTunesMetadata.plist");
    std::optional<uint64_t> found;
    if (!bytes.empty()) {
        if (auto metadata = platform::Value::fromPlist(std::string_view(bytes)))
            if ((*metadata)["itemId"].isNumber()) found = (*metadata)["itemId"].toUInt64();
    }
    if (!found && bundle.info["VexmorConversionId"].isNumber())
        found = bundle.info["VexmorConversionId"].toUInt64();
    if (found) VXMContextQueueSync([&] { writable->itemIdentifier.store(*found); });
    return writable->itemIdentifier.load();
}

bool VXMHostConversionTrackingIsEnabled() {
    return VXMContextIsInitialized() && vxmContext.readOnly->conversionTrackingEnabled;
}

// ---- process ----

std::string VXMProcessCreateProcessName(uint32_t pid) {
    std::string name = readTextFile("/proc/" + std::to_string(pid) + "/comm");
    if (name.empty()) return "unknown";
    if (name.back() == '\n') name.pop_back();
    return name;
}

bool VXMProcessDebuggerAttached() {
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        VXMSafeLogToStderr("unable to read the process status while looking for a tracer\n");
        return false;
    }
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof(buffer) - 1);
    close(fd);
    if (n <= 0) return false;
    buffer[n] = '\0';
    const char* field = strstr(buffer, "TracerPid:");
    if (!field) return false;
    field += 10;
    while (*field == ' ' || *field == '\t') ++field;
    return *field >= '1' && *field <= '9';
}

void VXMProcessDataInit(VXMProcessData* process) {
    process->pid = static_cast<uint32_t>(getpid());
    process->name = VXMDupNSString(VXMProcessCreateProcessName(process->pid));
    process->parentPid = static_cast<uint32_t>(getppid());
    process->parentName = VXMDupNSString(VXMProcessCreateProcessName(process->parentPid));
    process->debuggerAttached = VXMProcessDebuggerAttached();
    const char* preload = getenv("LD_PRELOAD");
    process->libraryInjection = preload && *preload;
}

void VXMProcessUpdateExteralProcesses(std::atomic<VXMExternalProcessList*>* list) {
    std::vector<VXMExternalProcess> found;
    if (DIR* dir = opendir("/proc")) {
        while (dirent* entry = readdir(dir)) {
            char* end = nullptr;
            unsigned long pid = strtoul(entry->d_name, &end, 10);
            if (!*entry->d_name || *end) continue;
            std::string name = readTextFile(std::string("/proc/") + entry->d_name + "/comm");
            if (name.empty()) continue;  // gone meanwhile
            if (name.back() == '\n') name.pop_back();
            found.push_back({static_cast<uint32_t>(pid), strdup(name.c_str())});
        }
        closedir(dir);
    }
    auto* fresh = static_cast<VXMExternalProcessList*>(calloc(1, sizeof(VXMExternalProcessList)));
    fresh->count = static_cast<uint32_t>(found.size());
    fresh->entries =
        static_cast<VXMExternalProcess*>(calloc(found.size() + 1, sizeof(VXMExternalProcess)));
    std::copy(found.begin(), found.end(), fresh->entries);
    VXMExternalProcessList* old = list->exchange(fresh);
    if (old) {
        for (uint32_t i = 0; i < old->count; ++i) free(old->entries[i].name);
        free(old->entries);
        free(old);
    }
}

void VXMProcessDataSafeWriteProcessData(const VXMProcessData* process, VXMFile* file) {
    VXMFileWriteSectionStart(file, "process_info");
    VXMFileWriteHashStart(file);
    VXMFileWriteHashEntryUint64(file, "pid", process->pid);
    VXMFileWriteHashEntryString(file, "name", process->name);
    VXMFileWriteHashEntryUint64(file, "parent_pid", process->parentPid);
    VXMFileWriteHashEntryString(file, "parent_name", process->parentName);
    VXMFileWriteHashEntryBoolean(file, "debugger", process->debuggerAttached);
    VXMFileWriteHashEntryBoolean(file, "dyld_insert", process->libraryInjection);
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

void VXMProcessDataSafeWriteExternalProcessesData(const std::atomic<VXMExternalProcessList*>* list,
                                                  VXMFile* file) {
    VXMFileWriteSectionStart(file, "external_process_info");
    VXMFileWriteArrayStart(file);
    const VXMExternalProcessList* processes = list ? list->load() : nullptr;
    if (processes) {
        for (uint32_t i = 0; i < processes->count; ++i) {
            VXMFileWriteHashStart(file);
            VXMFileWriteHashEntryUint64(file, "pid", processes->entries[i].pid);
            VXMFileWriteHashEntryString(file, "name", processes->entries[i].name);
            VXMFileWriteHashEnd(file);
        }
    }
    VXMFileWriteArrayEnd(file);
    VXMFileWriteSectionEnd(file);
}

// ---- binary images ----

bool VXMBinaryImageBuildID(uint64_t loadBias, const void* programHeaders, uint16_t count,
                           uint8_t out[16]) {
    const auto* headers = static_cast<const ElfW(Phdr)*>(programHeaders);
    for (uint16_t i = 0; i < count; ++i) {
        if (headers[i].p_type != PT_NOTE) continue;
        const uint64_t align = headers[i].p_align >= 8 ? 8 : 4;
        uint64_t at = loadBias + headers[i].p_vaddr;
        const uint64_t end = at + headers[i].p_memsz;
        auto up = [align](uint64_t v) { return (v + align - 1) & ~(align - 1); };
        while (at + sizeof(ElfW(Nhdr)) <= end) {
            ElfW(Nhdr) note;
            if (!VXMReadMemory(at, &note, sizeof(note))) break;
            uint64_t name = at + sizeof(note);
            uint64_t desc = up(name + note.n_namesz);
            uint64_t next = up(desc + note.n_descsz);
            if (next > end || next <= at) break;
            char owner[4] = {};
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                VXMReadMemory(name, owner, 4) && memcmp(owner, "GNU", 4) == 0 &&
                note.n_descsz > 0) {
                memset(out, 0, 16);
                return VXMReadMemory(desc, out, std::min<uint64_t>(note.n_descsz, 16));
            }
            at = next;
        }
    }
    return false;
}

namespace {

struct ScannedImage {
    std::string path;
    uint64_t base;
    uint64_t size;
    bool hasUUID;
    uint8_t uuid[16];
};

std::string mainExecutablePath() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "(uninitialized)";
    path[n] = '\0';
    return path;
}

// Base (the ELF header, else the lowest segment) and size of an image from
// its program headers; false when it loads nothing.
bool imageSpan(uint64_t loadBias, const ElfW(Phdr) * headers, size_t count, uint64_t* base,
               uint64_t* size) {
    uint64_t low = UINT64_MAX, high = 0, header = UINT64_MAX;
    for (size_t i = 0; i < count; ++i) {
        const auto& ph = headers[i];
        if (ph.p_type != PT_LOAD) continue;
        low = std::min<uint64_t>(low, ph.p_vaddr);
        high = std::max<uint64_t>(high, ph.p_vaddr + ph.p_memsz);
        if (ph.p_offset == 0 && header == UINT64_MAX) header = ph.p_vaddr;
    }
    if (low == UINT64_MAX) return false;
    *base = loadBias + (header != UINT64_MAX ? header : low);
    *size = loadBias + high - *base;
    return true;
}

std::vector<ScannedImage> scanImages() {
    std::vector<ScannedImage> images;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            auto* out = static_cast<std::vector<ScannedImage>*>(data);
            ScannedImage image{};
            if (!imageSpan(info->dlpi_addr, info->dlpi_phdr, info->dlpi_phnum, &image.base,
                           &image.size))
                return 0;
            const bool main = out->empty() && (!info->dlpi_name || !*info->dlpi_name);
            image.path =
                main ? mainExecutablePath()
                     : (info->dlpi_name && *info->dlpi_name ? info->dlpi_name : "(uninitialized)");
            if (!VXMIsValidUTF8(image.path)) image.path = "(path invalid)";
            image.hasUUID = VXMBinaryImageBuildID(info->dlpi_addr, info->dlpi_phdr,
                                                  info->dlpi_phnum, image.uuid);
            out->push_back(image);
            return 0;
        },
        &images);
    return images;
}

VXMBinaryImage* makeImage(const ScannedImage& scanned) {
    auto* image = static_cast<VXMBinaryImage*>(calloc(1, sizeof(VXMBinaryImage)));
    image->path = strdup(scanned.path.c_str());
    image->baseAddress = scanned.base;
    image->size = scanned.size;
    memcpy(image->uuidBytes, scanned.uuid, 16);
    image->uuid = scanned.hasUUID ? image->uuidBytes : nullptr;
    return image;
}

}  // namespace

void VXMBinaryImageInsert(VXMBinaryImageList* list, VXMBinaryImage* image) {
    // Readers walk the list without locks: link the node fully, then publish.
    VXMBinaryImage* previous = nullptr;
    VXMBinaryImage* current = list->head.load();
    while (current && current->baseAddress <= image->baseAddress) {
        previous = current;
        current = current->next;
    }
    image->next = current;
    if (previous)
        __atomic_store_n(&previous->next, image, __ATOMIC_RELEASE);
    else
        list->head.store(image);
}

void VXMBinaryImageRefresh(VXMBinaryImageList* list) {
    std::vector<ScannedImage> images = scanImages();
    VXMContextQueueSync([&] {
        for (const ScannedImage& scanned : images) {
            bool known = false;
            for (VXMBinaryImage* i = list->head.load(); i && !known; i = i->next)
                known = i->baseAddress == scanned.base;
            if (!known) VXMBinaryImageInsert(list, makeImage(scanned));
        }
    });
}

void VXMBinaryImageDataInit(VXMBinaryImageList* list) {
    list->head.store(nullptr);
    VXMBinaryImageRefresh(list);
}

void VXMBinaryImageSafeWriteImageData(const VXMBinaryImage* image, VXMFile* file) {
    const char* path = nullptr;
    if (!image->path)
        VXMFileWriteHashEntryString(file, "path", nullptr);
    else if (VXMReadString(reinterpret_cast<uintptr_t>(image->path), &path, 1024)) {
        VXMFileWriteHashKey(file, "path");
        VXMFileWriteStringBounded(file, path, 1024);
        file->entryWritten = true;
    } else
        VXMFileWriteHashEntryString(file, "path", "(string unreadable)");
    char uuid[33];
    VXMSafeUUIDToString(image->uuid, uuid);
    VXMFileWriteHashEntryString(file, "uuid", uuid);
    VXMFileWriteHashEntryUint64(file, "address", image->baseAddress);
    VXMFileWriteHashEntryUint64(file, "size", image->size);
}

namespace {

bool listHasBase(const VXMBinaryImageList* list, uint64_t base) {
    const VXMBinaryImage* next = list ? list->head.load() : nullptr;
    while (next) {
        VXMBinaryImage copy;
        if (!VXMReadMemory(reinterpret_cast<uintptr_t>(next), &copy, sizeof(copy))) return false;
        if (copy.baseAddress == base) return true;
        next = copy.next;
    }
    return false;
}

// Nothing tells us when a library is opened after start-up, so the crash
// handler also walks the dynamic linker's own list of loaded objects and
// writes, after the known images, every one the list lacks. Only safe reads:
// the linker may have been changing its list when the crash came.
void writeLateImages(const VXMBinaryImageList* list, VXMFile* file) {
    constexpr size_t kMaxHeaders = 64;
    const link_map* entry = nullptr;
    if (!VXMReadMemory(reinterpret_cast<uintptr_t>(&_r_debug.r_map), &entry, sizeof(entry))) return;
    for (int seen = 0; entry && seen < 4096; ++seen) {
        link_map object;
        if (!VXMReadMemory(reinterpret_cast<uintptr_t>(entry), &object, sizeof(object))) return;
        entry = object.l_next;
        // A shared object's ELF header sits at its load bias.
        const uint64_t bias = object.l_addr;
        ElfW(Ehdr) header;
        if (!bias || !VXMReadMemory(bias, &header, sizeof(header)) ||
            memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
            header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0 ||
            header.e_phnum > kMaxHeaders)
            continue;
        ElfW(Phdr) headers[kMaxHeaders];
        if (!VXMReadMemory(bias + header.e_phoff, headers, header.e_phnum * sizeof(ElfW(Phdr))))
            continue;
        VXMBinaryImage image;
        if (!imageSpan(bias, headers, header.e_phnum, &image.baseAddress, &image.size) ||
            listHasBase(list, image.baseAddress))
            continue;
        image.path = object.l_name;  // checked when written
        if (VXMBinaryImageBuildID(bias, headers, header.e_phnum, image.uuidBytes))
            image.uuid = image.uuidBytes;
        VXMFileWriteHashStart(file);
        VXMBinaryImageSafeWriteImageData(&image, file);
        VXMFileWriteHashEnd(file);
    }
}

}  // namespace

void VXMBinaryImageSafeWriteData(const VXMBinaryImageList* list, VXMFile* file,
                                 bool addLoadedObjects) {
    VXMFileWriteSectionStart(file, "binary_images");
    VXMFileWriteArrayStart(file);
    const VXMBinaryImage* next = list ? list->head.load() : nullptr;
    while (next) {
        VXMBinaryImage copy;
        if (!VXMReadMemory(reinterpret_cast<uintptr_t>(next), &copy, sizeof(copy))) break;
        // The copy's UUID pointer still names the original node's bytes.
        VXMFileWriteHashStart(file);
        VXMBinaryImageSafeWriteImageData(&copy, file);
        VXMFileWriteHashEnd(file);
        next = copy.next;
    }
    if (addLoadedObjects) writeLateImages(list, file);
    VXMFileWriteArrayEnd(file);
    VXMFileWriteSectionEnd(file);
}

std::map<std::string, uint64_t> VXMBinaryImageMap(const VXMBinaryImageList* list) {
    std::map<std::string, uint64_t> map;
    for (const VXMBinaryImage* i = list ? list->head.load() : nullptr; i; i = i->next)
        if (i->uuid) map.emplace(VXMUUIDToNSString(i->uuid), i->baseAddress);
    return map;
}

// ---- executable ----

void VXMExecutableSetBundleInfo(const VXMBundleInfo& info) {
    std::lock_guard<std::mutex> lock(bundleMutex);
    bundleInfo = info;
    bundleInfoSet = true;
}

VXMBundleInfo VXMExecutableBundleInfo() {
    std::lock_guard<std::mutex> lock(bundleMutex);
    VXMBundleInfo info = bundleInfo;
    const std::string executable = mainExecutablePath();
    if (!bundleInfoSet) info.identifier = platform::lastComponent(executable);
    if (info.path.empty()) info.path = platform::parentPath(executable);
    return info;
}

std::string VXMExecutableGetBundleIdentifier() {
    std::string id = VXMExecutableBundleInfo().identifier;
    std::replace(id.begin(), id.end(), '/', '_');
    return id;
}

std::string VXMExecutableGetBundleVersion() {
    std::string v = VXMExecutableBundleInfo().version;
    return v.empty() ? "0" : v;
}

std::string VXMExecutableGetShortBundleVersion() {
    std::string v = VXMExecutableBundleInfo().shortVersion;
    return v.empty() ? "0.0" : v;
}

std::string VXMExecutableGetApplicationName() {
    VXMBundleInfo info = VXMExecutableBundleInfo();
    if (!info.displayName.empty()) return info.displayName;
    if (!info.name.empty()) return info.name;
    return VXMExecutableGetBundleVersion();
}

void VXMExecutableDataInit(VXMExecutableData* executable) {
    std::vector<ScannedImage> images = scanImages();
    if (!images.empty()) {
        const ScannedImage& main = images.front();
        executable->image.path = VXMDupNSString(main.path);
        executable->image.baseAddress = main.base;
        executable->image.size = main.size;
        memcpy(executable->image.uuidBytes, main.uuid, 16);
        executable->image.uuid = main.hasUUID ? executable->image.uuidBytes : nullptr;
    }
    executable->bundleIdentifier = VXMDupNSString(VXMExecutableGetBundleIdentifier());
    executable->version = VXMDupNSString(VXMExecutableGetBundleVersion());
    executable->displayVersion = VXMDupNSString(VXMExecutableGetShortBundleVersion());
    executable->applicationName = VXMDupNSString(VXMExecutableGetApplicationName());
    executable->architecture = VXMDupString(architectureName());
    // An ELF file holds one architecture: one slice.
    executable->archs = VXMDupString(architectureName());
    executable->uuids = VXMDupNSString(VXMUUIDToNSString(executable->image.uuid));
    char version[32];
    snprintf(version, sizeof(version), "%d.%d.%d", __GLIBC__, __GLIBC_MINOR__, 0);
    executable->sdkVersion = VXMDupString(version);
    executable->minimumOSVersion = VXMDupString(version);
}

void VXMExecutableSafeWriteData(const VXMExecutableData* executable, const char* devPlatform,
                                const char* devPlatformVersion, VXMFile* file) {
    VXMFileWriteSectionStart(file, "executable");
    VXMFileWriteHashStart(file);
    VXMBinaryImageSafeWriteImageData(&executable->image, file);
    VXMFileWriteHashEntryBoolean(file, "encrypted", executable->image.encrypted);
    VXMFileWriteHashEntryString(file, "bundle_id", executable->bundleIdentifier);
    VXMFileWriteHashEntryString(file, "version", executable->version);
    VXMFileWriteHashEntryString(file, "display_version", executable->displayVersion);
    VXMFileWriteHashEntryString(file, "architecture", executable->architecture);
    VXMFileWriteHashEntryString(file, "uuids", executable->uuids);
    VXMFileWriteHashEntryString(file, "archs", executable->archs);
    VXMFileWriteHashEntryString(file, "dev_platform", devPlatform);
    VXMFileWriteHashEntryString(file, "dev_platform_version", devPlatformVersion);
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

std::optional<std::map<std::string, std::string>> VXMExecutableGetExecutableSlices() {
    if (!VXMContextIsInitialized()) return std::nullopt;
    const VXMExecutableData& e = vxmContext.readOnly->executable;
    auto split = [](const char* text) {
        std::vector<std::string> parts;
        std::string s = text ? text : "";
        size_t start = 0;
        for (size_t at; (at = s.find(':', start)) != std::string::npos; start = at + 1)
            parts.push_back(s.substr(start, at - start));
        parts.push_back(s.substr(start));
        return parts;
    };
    auto archs = split(e.archs), uuids = split(e.uuids);
    if (archs.size() != uuids.size()) return std::nullopt;
    std::map<std::string, std::string> slices;
    for (size_t i = 0; i < archs.size(); ++i) slices[archs[i]] = uuids[i];
    return slices;
}

std::string VXMExecutableGetMinimumSDKVersion() {
    if (!VXMContextIsInitialized() || !vxmContext.readOnly->executable.minimumOSVersion)
        return "0.0.0";
    return vxmContext.readOnly->executable.minimumOSVersion;
}

std::string VXMExecutableGetBuiltSDKVersion() {
    if (!VXMContextIsInitialized() || !vxmContext.readOnly->executable.sdkVersion) return "0.0.0";
    return vxmContext.readOnly->executable.sdkVersion;
}

uint32_t VXMExecutableGetDeliveryMechansim() {
    if (!VXMContextIsInitialized()) return 0;
    if (vxmContext.readOnly->executable.image.encrypted) return 4;
    return VXMHostSignedForDistribution() ? 3 : 1;
}

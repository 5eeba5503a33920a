#pragma once
// Facts about the host, the process, the main executable and every loaded
// image, gathered at start-up into the crash context so the crash handler
// only copies them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/core/Value.h"

struct VXMFile;

// Identifier-collection flags: bit 0 asks for the machine identifier.
inline constexpr uint32_t VXMCollectDeviceIdentifier = 1;

struct VXMHostData {
    const char* model = nullptr;
    const char* machine = nullptr;
    const char* locale = nullptr;
    const char* osBuild = nullptr;
    const char* osVersion = nullptr;  // "%d.%d.%d"
    const char* platform = nullptr;
    uint32_t platformCode = 0;
    uint32_t cores = 0;
    const char* cpu = nullptr;
    bool jailbroken = false;
    bool vendorInternal = false;
    const char* documentsPath = nullptr;
    uint32_t identifierFlags = 0;
    const char* deviceId = nullptr;
    const char* vendorId = nullptr;
    const char* advertisingId = nullptr;
    const char* installId = nullptr;
    const char* fontToken = nullptr;
};

struct VXMProcessData {
    uint32_t pid = 0;
    const char* name = nullptr;
    uint32_t parentPid = 0;
    const char* parentName = nullptr;
    bool debuggerAttached = false;
    bool libraryInjection = false;
};

struct VXMExternalProcess {
    uint32_t pid = 0;
    char* name = nullptr;
};

struct VXMExternalProcessList {
    uint32_t count = 0;
    VXMExternalProcess* entries = nullptr;
};

struct VXMBinaryImage {
    const char* path = nullptr;
    uint64_t baseAddress = 0;  // the image's ELF header
    uint64_t size = 0;         // span of its loaded segments
    bool encrypted = false;
    const uint8_t* uuid = nullptr;  // uuidBytes when the image has a build-id
    uint8_t uuidBytes[16] = {};
    VXMBinaryImage* next = nullptr;
};

struct VXMBinaryImageList {
    std::atomic<VXMBinaryImage*> head{nullptr};
};

struct VXMExecutableData {
    VXMBinaryImage image;
    const char* bundleIdentifier = nullptr;
    const char* version = nullptr;
    const char* displayVersion = nullptr;
    const char* applicationName = nullptr;
    const char* architecture = nullptr;
    const char* archs = nullptr;  // every slice's architecture joined by ":"
    const char* uuids = nullptr;  // every slice's UUID joined by ":"
    const char* sdkVersion = nullptr;
    const char* minimumOSVersion = nullptr;
};

// What a desktop bundle's information dictionary gives elsewhere; the
// application sets it before the context is created. `info` holds the
// reporter's own keys ("VexmorConversionTracking",
// "VexmorSignedForDistribution", "VexmorAPIEndpoint", "VexmorConversionId",
// "NSExtension"); `path` is the application's folder (default: the
// executable's).
struct VXMBundleInfo {
    std::string identifier;
    std::string version;
    std::string shortVersion;
    std::string displayName;
    std::string name;
    std::string path;
    platform::Value info = platform::Value::dictionary();
};
void VXMExecutableSetBundleInfo(const VXMBundleInfo& info);
VXMBundleInfo VXMExecutableBundleInfo();

// Device state bits (DeviceState of the report).
enum : uint32_t {
    VXMDeviceJailbroken = 2,
    VXMDeviceDebuggerAttached = 4,
    VXMDeviceInjectedLibraries = 32
};

// Device state kept in the writable context.
struct VXMDeviceState {
    uint32_t deviceOrientation = 1;
    uint32_t uiOrientation = 1;
    std::atomic<char*> batteryLevel{nullptr};
    uint32_t chargingState = 0;
    bool proximityOn = false;
    bool backgrounded = false;
};

// Where the reporter keeps its user defaults (the front points it at the
// application's); without one, values last for the run only.
struct VXMDefaultsStore {
    std::function<std::optional<std::string>(const std::string&)> get;
    std::function<void(const std::string&, const std::string&)> set;
};
void VXMHostSetDefaultsStore(VXMDefaultsStore store);
std::optional<std::string> VXMUserDefaultsString(const std::string& key);
void VXMUserDefaultsSetString(const std::string& key, const std::string& value);

// The Session schema's platform code of this system.
inline constexpr uint32_t VXMHostPlatformLinux = 5;

void VXMHostDataInit(VXMHostData* host);
// The device identifier: HMAC-SHA-256 of the machine identifier
// (/etc/machine-id) keyed with the application's identifier, in lower-case
// hexadecimal; "" when the machine has none.
std::string VXMHostMachineIdentifier(const std::string& applicationIdentifier);
void VXMHostSafeWriteData(const VXMHostData* host, const VXMDeviceState* device, VXMFile* file);
void VXMHostWriteDiskUsage(const VXMHostData* host, VXMFile* file);
uint64_t VXMHostGetPageSize();
// The installation UUID kept under "com.vexmor.iuuid" in the user defaults.
std::string VXMHostInstallationUUID();
bool VXMHostShouldGenerateInstallEvent();
std::optional<std::string> VXMHostGetOSVersionNameWithOSVersion();
std::optional<std::string> VXMHostGetModel();
uint32_t VXMHostState();
bool VXMHostIsVendorInternal();
std::optional<std::string> VXMHostExtensionPointIdentifier();
bool VXMHostIsAppExtension();
bool VXMHostSignedForDistribution();
bool VXMHostEnableBetaDistribution();
// "VexmorAPIEndpoint" of the dictionary, else of the process environment.
std::optional<std::string> VXMHostCustomEndpoint(const platform::Value& infoDictionary);
// The store item identifier (cached once found), 0 when there is none.
uint64_t VXMHostGetiTunesMetadataItemId();
bool VXMHostGetFeatureSwitchValue(const std::string& key, const platform::Value& dictionary);
bool VXMHostConversionTrackingIsEnabled();

void VXMProcessDataInit(VXMProcessData* process);
// The command name of `pid`, "unknown" when it cannot be read.
std::string VXMProcessCreateProcessName(uint32_t pid);
void VXMProcessUpdateExteralProcesses(std::atomic<VXMExternalProcessList*>* list);
void VXMProcessDataSafeWriteProcessData(const VXMProcessData* process, VXMFile* file);
void VXMProcessDataSafeWriteExternalProcessesData(const std::atomic<VXMExternalProcessList*>* list,
                                                  VXMFile* file);
// True when a tracer is attached (safe at crash time).
bool VXMProcessDebuggerAttached();

// Scans the loaded images into the list; a later call adds images loaded
// since (there is no load notification to subscribe to).
void VXMBinaryImageDataInit(VXMBinaryImageList* list);
void VXMBinaryImageRefresh(VXMBinaryImageList* list);
// Inserts before the first image with a greater base address.
void VXMBinaryImageInsert(VXMBinaryImageList* list, VXMBinaryImage* image);
// With `addLoadedObjects`, also every object the dynamic linker has loaded
// that the list lacks (opened after start-up), after the list's images.
void VXMBinaryImageSafeWriteData(const VXMBinaryImageList* list, VXMFile* file,
                                 bool addLoadedObjects = false);
void VXMBinaryImageSafeWriteImageData(const VXMBinaryImage* image, VXMFile* file);
std::map<std::string, uint64_t> VXMBinaryImageMap(const VXMBinaryImageList* list);
// The first 16 bytes of the ELF build-id of the loaded image whose program
// headers are given (zero-padded when shorter); false when it has none.
bool VXMBinaryImageBuildID(uint64_t loadBias, const void* programHeaders, uint16_t count,
                           uint8_t out[16]);

void VXMExecutableDataInit(VXMExecutableData* executable);
void VXMExecutableSafeWriteData(const VXMExecutableData* executable, const char* devPlatform,
                                const char* devPlatformVersion, VXMFile* file);
std::string VXMExecutableGetBundleIdentifier();
std::string VXMExecutableGetBundleVersion();
std::string VXMExecutableGetShortBundleVersion();
std::string VXMExecutableGetApplicationName();
std::optional<std::map<std::string, std::string>> VXMExecutableGetExecutableSlices();
std::string VXMExecutableGetMinimumSDKVersion();
std::string VXMExecutableGetBuiltSDKVersion();
uint32_t VXMExecutableGetDeliveryMechansim();

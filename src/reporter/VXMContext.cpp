#include "reporter/VXMContext.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform/core/Dispatch.h"
#include "reporter/VXMFile.h"
#include "reporter/VXMSafe.h"

VXMContext vxmContext;

class VXMContextQueue {
  public:
    explicit VXMContextQueue(const char* label) : queue(platform::DispatchQueue::serial(label)) {}
    platform::DispatchQueuePtr queue;
};

namespace {

constexpr auto kStartupWait = std::chrono::seconds(5);

}  // namespace

void VXMContextQueueSync(const std::function<void()>& work) {
    VXMWritableContext* writable = vxmContext.writable;
    if (writable && writable->queue)
        writable->queue->queue->sync(work);
    else
        work();
}

void VXMContextInit(VXMReadOnlyContext* context, VXMWritableContext* writable,
                    const VXMContextSetup& setup) {
    context->apiKey = VXMDupNSString(setup.apiKey);
    context->sessionIdentifier = VXMDupNSString(setup.sessionIdentifier);
    context->recordPath = VXMDupNSString(setup.recordPath);
    context->markerPath = VXMDupNSString(setup.markerPath);
    context->generator = VXMGenerator;
    writable->logging.sessionLogPath = VXMDupNSString(setup.sessionLogPath);
    writable->logging.crashLogPath = VXMDupNSString(setup.crashLogPath);
    context->startTime = static_cast<uint64_t>(time(nullptr));
    context->build.configuration = VXMDupNSString(setup.environment.configuration);
    context->build.compiler = VXMDupNSString(setup.environment.compiler);
    context->build.arc = setup.environment.arc;
    context->build.debug = setup.environment.debug;
    context->build.osVersionFirst = setup.environment.osVersionFirst;
    context->build.osVersionSecond = setup.environment.osVersionSecond;
    if (!setup.conversionTrackingIdentifier.empty())
        context->host.advertisingId = VXMDupNSString(setup.conversionTrackingIdentifier);
    context->writeRegisters = true;
    context->conversionTrackingEnabled =
        VXMHostGetFeatureSwitchValue("VexmorConversionTracking", VXMExecutableBundleInfo().info);
    if (context->conversionTrackingEnabled) writable->conversionCallback = setup.conversionCallback;
    writable->externalProcesses.store(nullptr);
    writable->devPlatformName.store(nullptr);
    writable->devPlatformVersion.store(nullptr);
    writable->itemIdentifier.store(0);
    writable->device.batteryLevel.store(nullptr);
    writable->device.deviceOrientation = 1;
    writable->device.uiOrientation = 1;
    writable->device.chargingState = 0;
    writable->device.proximityOn = false;
    writable->device.backgrounded = false;
}

VXMWritableContext* VXMContextCreate(const VXMContextSetup& setup) {
    if (vxmContext.writable) return nullptr;
    VXMSafeReadInit();  // before anything reads memory the safe way
    const size_t page = static_cast<size_t>(VXMHostGetPageSize());
    VXMAllocator* allocator = VXMAllocatorCreate(VXMSignalStackSize + sizeof(VXMWritableContext),
                                                 4 * page + sizeof(VXMReadOnlyContext));
    vxmContext.allocator = allocator;

    void* readOnlyMemory =
        VXMAllocatorSafeAllocate(allocator, sizeof(VXMReadOnlyContext), VXMAllocationReadOnly);
    void* stack = VXMAllocatorSafeAllocate(allocator, VXMSignalStackSize, VXMAllocationWritable);
    void* writableMemory =
        VXMAllocatorSafeAllocate(allocator, sizeof(VXMWritableContext), VXMAllocationWritable);
    if (!readOnlyMemory || !stack || !writableMemory) return nullptr;
    auto* readOnly = new (readOnlyMemory) VXMReadOnlyContext();
    auto* writable = new (writableMemory) VXMWritableContext();
    readOnly->signal.stack = stack;
    vxmContext.readOnly = readOnly;
    vxmContext.writable = writable;

    VXMContextInit(readOnly, writable, setup);
    for (int& spare : readOnly->spareDescriptors) spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    readOnly->host.identifierFlags = setup.identifierFlags;
    readOnly->machException.mask = 0;  // no exception ports to take over here
    VXMSignalInit(&readOnly->signal);
    writable->queue = new VXMContextQueue(VXMContextQueueLabel);

    // Each start-up task fills its own part of the context.
    platform::DispatchGroup group;
    auto global = platform::globalQueue(platform::QueuePriority::Default);
    group.async(global, [readOnly] { VXMHostDataInit(&readOnly->host); });
    group.async(global, [readOnly] { VXMProcessDataInit(&readOnly->process); });
    group.async(global, [readOnly] { VXMExecutableDataInit(&readOnly->executable); });
    group.async(global, [writable] { VXMBinaryImageDataInit(&writable->binaryImages); });
    group.async(global, [writable] { VXMExceptionInitialize(&writable->exception); });
    group.async(global, [writable] { VXMLoggingDataInit(&writable->logging); });
    if (!group.waitFor(kStartupWait)) {
        VXMDebugLog("[Vexmor] [Context] Delayed initialization - disabling memory protection");
    } else if (!VXMAllocatorProtect(allocator)) {
        VXMDebugLog("[Vexmor] [Context] Memory protection failed");
    }
    writable->initialized.fetch_add(1);
    return writable;
}

void VXMContextSafeReleaseSpareDescriptors(const VXMReadOnlyContext* context) {
    for (int spare : context->spareDescriptors)
        if (spare >= 0) close(spare);
}

bool VXMContextIsInitialized() {
    VXMWritableContext* writable = vxmContext.writable;
    return writable && (writable->initialized.load(std::memory_order_seq_cst) & 1);
}

void VXMContextSafeWriteData(const VXMReadOnlyContext* context, VXMFile* file) {
    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        VXMSafeLogToStderr("[Context] Unable to determine current time\n");
        now = 0;
    }
    VXMFileWriteSectionStart(file, "identity");
    VXMFileWriteHashStart(file);
    VXMFileWriteHashEntryString(file, "generator", context->generator);
    VXMFileWriteHashEntryString(file, "api_key", context->apiKey);
    VXMFileWriteHashEntryString(file, "identifier", context->sessionIdentifier);
    VXMFileWriteHashEntryUint64(file, "started_at", context->startTime);
    VXMFileWriteHashEntryUint64(file, "ended_at", static_cast<uint64_t>(now));
    const VXMHostData& host = context->host;
    if (host.deviceId) VXMFileWriteHashEntryString(file, "device_id", host.deviceId);
    if (host.vendorId) VXMFileWriteHashEntryString(file, "vendor_id", host.vendorId);
    if (host.advertisingId) VXMFileWriteHashEntryString(file, "advertising_id", host.advertisingId);
    if (host.installId) VXMFileWriteHashEntryString(file, "install_id", host.installId);
    if (host.fontToken) VXMFileWriteHashEntryString(file, "font_token", host.fontToken);
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);

    VXMFileWriteSectionStart(file, "build");
    VXMFileWriteHashStart(file);
    VXMFileWriteHashEntryString(file, "config", context->build.configuration);
    VXMFileWriteHashEntryString(file, "compiler", context->build.compiler);
    VXMFileWriteHashEntryBoolean(file, "debug", context->build.debug);
    VXMFileWriteHashEntryBoolean(file, "arc", context->build.arc);
    VXMFileWriteHashEntryUint64(file, "os_max",
                                static_cast<uint32_t>(context->build.osVersionSecond));
    VXMFileWriteHashEntryUint64(file, "os_min",
                                static_cast<uint32_t>(context->build.osVersionFirst));
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

void VXMContextCheckHandlers() {
    VXMExceptionCheckHandlers();
    VXMSignalCheckHandlers();
}

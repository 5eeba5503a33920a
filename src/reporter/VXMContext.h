#pragma once
// The crash context: everything the crash handler writes, prepared at
// start-up in guarded memory. The read-only part is write-protected once
// start-up is done; the writable part holds what changes while the
// application runs (images, the last exception, breadcrumbs, device state).
//
//   VXMExecutableSetBundleInfo(bundle);          // optional, before creation
//   VXMContextSetup setup;                       // paths in the crash-file folder:
//   setup.recordPath = dir + "/" + N + ".vxmrecord";   // N = VXMNormalizeUUID(session)
//   setup.markerPath = dir + "/crash_marker";
//   setup.sessionLogPath = dir + "/session.vxmlog";
//   setup.crashLogPath = dir + "/" + N + ".vxmlog";
//   VXMContextCreate(setup);                     // installs signal and terminate capture
//
// From then on a fatal signal or an uncaught exception writes the record,
// creates the marker, renames the session log to the crash log and ends the
// process by the original signal. VXMFileReadRecordAtPath reads it back.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "reporter/VXMAllocator.h"
#include "reporter/VXMCrashHandler.h"
#include "reporter/VXMException.h"
#include "reporter/VXMHost.h"
#include "reporter/VXMLogging.h"
#include "reporter/VXMMachException.h"
#include "reporter/VXMSignal.h"

struct VXMFile;

inline constexpr const char* VXMGenerator = "Vexmor Mac SDK/2.2.5";
inline constexpr const char* VXMContextQueueLabel = "com.vexmor.context-queue";
// The record's descriptor and one for the /proc files read while writing it.
inline constexpr int VXMSpareDescriptorCount = 2;

struct VXMBuildFacts {
    int32_t osVersionFirst = 0;
    int32_t osVersionSecond = 0;
    const char* configuration = nullptr;
    bool arc = false;
    const char* compiler = nullptr;
    bool debug = false;
};

struct VXMReadOnlyContext {
    const char* recordPath = nullptr;
    const char* markerPath = nullptr;
    const char* apiKey = nullptr;
    const char* generator = nullptr;
    const char* sessionIdentifier = nullptr;
    uint64_t startTime = 0;
    VXMHostData host;
    VXMProcessData process;
    VXMExecutableData executable;
    VXMMachExceptionRecord machException;
    VXMSignalRecord signal;
    VXMBuildFacts build;
    bool writeRegisters = true;
    bool conversionTrackingEnabled = false;
    // Descriptors held from start-up and closed first at crash time, so a
    // process whose descriptor table has filled up (a leak, a common cause
    // of crashes) can still open the record and read /proc while writing it.
    int spareDescriptors[VXMSpareDescriptorCount] = {-1, -1};
};

class VXMContextQueue;

struct VXMWritableContext {
    VXMContextQueue* queue = nullptr;
    std::atomic<uint8_t> initialized{0};
    std::atomic<uint8_t> crashHandled{0};
    VXMExceptionData exception;
    VXMBinaryImageList binaryImages;
    VXMLoggingData logging;
    std::atomic<VXMExternalProcessList*> externalProcesses{nullptr};
    VXMDeviceState device;
    std::atomic<uint64_t> itemIdentifier{0};
    std::function<void()> conversionCallback;
    std::atomic<char*> devPlatformName{nullptr};
    std::atomic<char*> devPlatformVersion{nullptr};
    // Who writes the record: the first crashing thread to take the owner.
    std::atomic<int32_t> crashOwner{0};
    std::atomic<uint32_t> crashDone{0};
    VXMThreadSnapshot threads;
};

struct VXMContext {
    VXMReadOnlyContext* readOnly = nullptr;
    VXMWritableContext* writable = nullptr;
    VXMAllocator* allocator = nullptr;
};

extern VXMContext vxmContext;

// The build environment the front passes in.
struct VXMEnvironment {
    int32_t osVersionFirst = 0;
    int32_t osVersionSecond = 0;
    std::string configuration;
    bool arc = false;
    std::string compiler;
    bool debug = false;
};

struct VXMContextSetup {
    std::string apiKey;
    std::string sessionIdentifier;
    std::string recordPath;
    std::string markerPath;
    uint32_t identifierFlags = 0;
    std::string sessionLogPath;
    std::string crashLogPath;
    std::string conversionTrackingIdentifier;
    VXMEnvironment environment;
    std::function<void()> conversionCallback;
    uint32_t machExceptionMask = 0;
};

// Builds the context, installs the catchers and returns the writable part
// (null when the context exists already).
VXMWritableContext* VXMContextCreate(const VXMContextSetup& setup);
void VXMContextInit(VXMReadOnlyContext* context, VXMWritableContext* writable,
                    const VXMContextSetup& setup);
bool VXMContextIsInitialized();
// Closes the spare descriptors (crash time only; async-signal-safe).
void VXMContextSafeReleaseSpareDescriptors(const VXMReadOnlyContext* context);
void VXMContextSafeWriteData(const VXMReadOnlyContext* context, VXMFile* file);
void VXMContextCheckHandlers();

// Runs `work` on the context queue and waits for it; every change of the
// writable context goes through here.
void VXMContextQueueSync(const std::function<void()>& work);

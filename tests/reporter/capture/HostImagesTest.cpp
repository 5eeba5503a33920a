// Facts gathered at start-up: images with their build-ids, host, process,
// and the crash-time sections written from them.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "RecordTestSupport.h"
#include "reporter/VXMContext.h"
#include "reporter/VXMCrashHandler.h"
#include "reporter/VXMException.h"
#include "reporter/VXMFileRead.h"
#include "reporter/VXMHost.h"
#include "reporter/VXMSafe.h"
#include "support/TempDir.h"

using platform::Value;
using reportertest::MemoryRecord;

namespace {

// The build-id as readelf prints it, the oracle for our own reading.
std::string readelfBuildID(const std::string& path) {
    std::string command = "readelf -n '" + path + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {};
    char line[512];
    std::string id;
    while (fgets(line, sizeof(line), pipe)) {
        std::string text = line;
        size_t at = text.find("Build ID: ");
        if (at != std::string::npos) {
            id = text.substr(at + 10);
            while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
        }
    }
    pclose(pipe);
    return id;
}

// Start-up facts live for the whole run; a test gives them an allocator of
// their own and drops it at the end.
class ScratchContext {
  public:
    ScratchContext() : allocator_(VXMAllocatorCreate(4096, 256 * 1024)) {
        vxmContext.allocator = allocator_;
    }
    ~ScratchContext() {
        vxmContext.allocator = nullptr;
        VXMAllocatorDestroy(allocator_);
    }

  private:
    VXMAllocator* allocator_;
};

void freeImages(VXMBinaryImageList* list) {
    for (VXMBinaryImage* i = list->head.exchange(nullptr); i;) {
        VXMBinaryImage* next = i->next;
        free(const_cast<char*>(i->path));
        free(i);
        i = next;
    }
}

void freeProcesses(std::atomic<VXMExternalProcessList*>* list) {
    VXMExternalProcessList* old = list->exchange(nullptr);
    for (uint32_t i = 0; old && i < old->count; ++i) free(old->entries[i].name);
    if (old) free(old->entries);
    free(old);
}

Value readBack(const std::string& text) {
    VXMFile file;
    VXMFileInitWithBytes(&file, text.data(), text.size());
    return VXMFileReadRecord(&file);
}

}  // namespace

TEST(BinaryImages, LoadedImagesCarryTheirBuildIDAsUUID) {
    auto list = std::make_unique<VXMBinaryImageList>();
    VXMBinaryImageDataInit(list.get());
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::map<std::string, const VXMBinaryImage*> byPath;
    uint64_t previous = 0;
    for (const VXMBinaryImage* i = list->head.load(); i; i = i->next) {
        byPath[i->path] = i;
        EXPECT_GE(i->baseAddress, previous);  // ascending
        previous = i->baseAddress;
    }
    ASSERT_TRUE(byPath.count(self));
    int checked = 0;
    for (const auto& [path, image] : byPath) {
        if (path.front() != '/') continue;  // the vDSO has no file
        std::string expected = readelfBuildID(path);
        if (expected.empty()) {
            EXPECT_EQ(image->uuid, nullptr) << path;
            continue;
        }
        ASSERT_NE(image->uuid, nullptr) << path;
        EXPECT_EQ(VXMUUIDToNSString(image->uuid), expected.substr(0, 32)) << path;
        ++checked;
    }
    EXPECT_GE(checked, 2);  // this program and at least libc

    // Our own code lies inside the image that holds it.
    auto here = reinterpret_cast<uint64_t>(&readelfBuildID);
    const VXMBinaryImage* main = byPath[self];
    EXPECT_GE(here, main->baseAddress);
    EXPECT_LT(here, main->baseAddress + main->size);
    EXPECT_EQ(VXMBinaryImageMap(list.get())[VXMUUIDToNSString(main->uuid)], main->baseAddress);

    size_t before = byPath.size();
    VXMBinaryImageRefresh(list.get());  // nothing new loaded: nothing added
    size_t after = 0;
    for (const VXMBinaryImage* i = list->head.load(); i; i = i->next) ++after;
    EXPECT_EQ(after, before);
    freeImages(list.get());
}

TEST(BinaryImages, ALibraryOpenedAfterStartUpIsInTheSection) {
    auto list = std::make_unique<VXMBinaryImageList>();
    VXMBinaryImageDataInit(list.get());
    void* late = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(late, nullptr) << dlerror();
    Dl_info info{};
    ASSERT_NE(dladdr(dlsym(late, "zlibVersion"), &info), 0);
    const std::string path = info.dli_fname;

    for (bool addLoaded : {false, true}) {
        MemoryRecord record;
        VXMBinaryImageSafeWriteData(list.get(), record.file(), addLoaded);
        const Value images = readBack(record.text())["binary_images"];
        size_t known = 0;
        for (const VXMBinaryImage* i = list->head.load(); i; i = i->next) ++known;
        std::map<std::string, Value> byPath;
        for (size_t i = 0; i < images.size(); ++i) {
            EXPECT_EQ(byPath.count(images[i]["path"].stringValue()), 0u)
                << "written twice: " << images[i]["path"].stringValue();
            byPath[images[i]["path"].stringValue()] = images[i];
        }
        if (!addLoaded) {
            EXPECT_EQ(images.size(), known);
            EXPECT_EQ(byPath.count(path), 0u);
            continue;
        }
        // Exactly the late library is added, with its span and build-id.
        ASSERT_EQ(images.size(), known + 1);
        ASSERT_EQ(byPath.count(path), 1u);
        const Value& z = byPath[path];
        EXPECT_EQ(z["address"].uint64Value(), reinterpret_cast<uint64_t>(info.dli_fbase));
        auto inside = reinterpret_cast<uint64_t>(dlsym(late, "zlibVersion"));
        EXPECT_GT(z["address"].uint64Value() + z["size"].uint64Value(), inside);
        std::string expected = readelfBuildID(path);
        if (!expected.empty()) {
            EXPECT_EQ(z["uuid"].stringValue(), expected.substr(0, 32));
        }
    }
    dlclose(late);
    freeImages(list.get());
}

TEST(BinaryImages, InsertionOrderAndTheSection) {
    VXMBinaryImageList list;
    const uint8_t uuid[16] = {0xab, 0xcd};
    VXMBinaryImage a{"/a \"quoted\"", 0x2000, 0x10, false, uuid, {}, nullptr};
    VXMBinaryImage b{nullptr, 0x1000, 0x20, false, nullptr, {}, nullptr};
    VXMBinaryImage c{"/c", 0x2000, 0x30, false, nullptr, {}, nullptr};
    for (VXMBinaryImage* i : {&a, &b, &c}) VXMBinaryImageInsert(&list, i);
    EXPECT_EQ(list.head.load(), &b);
    EXPECT_EQ(b.next, &a);  // equal addresses keep their arrival order
    EXPECT_EQ(a.next, &c);

    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* guard = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    c.path = static_cast<const char*>(guard);
    MemoryRecord record;
    VXMBinaryImageSafeWriteData(&list, record.file());
    EXPECT_EQ(record.text(),
              "{\"binary_images\":["
              "{\"path\":\"(null)\",\"uuid\":\"(invalid)\",\"address\":4096,\"size\":32},"
              "{\"path\":\"/a "
              "\\\"quoted\\\"\",\"uuid\":\"abcd0000000000000000000000000000\",\"address\":8192,"
              "\"size\":16},"
              "{\"path\":\"(string "
              "unreadable)\",\"uuid\":\"(invalid)\",\"address\":8192,\"size\":48}]}\n");
    munmap(guard, page);
}

TEST(HostAndProcess, DeviceIdentifierIsAKeyedHashOfTheMachineIdentifier) {
    if (!std::filesystem::exists("/etc/machine-id")) GTEST_SKIP() << "no /etc/machine-id";
    const std::string machine = testsupport::firstOutputLine("cat /etc/machine-id");
    ASSERT_FALSE(machine.empty());
    std::string previous;
    for (const char* application : {"com.norvane.tessaro", "com.norvane.tessaro_probe"}) {
        SCOPED_TRACE(application);
        const std::string id = VXMHostMachineIdentifier(application);
        // openssl as the oracle.
        const std::string expected = testsupport::firstOutputLine(
            "printf %s \"$(cat /etc/machine-id)\" | openssl dgst -sha256 -hmac '" +
            std::string(application) + "' -r | cut -d' ' -f1");
        EXPECT_EQ(id, expected);
        EXPECT_EQ(id, VXMHostMachineIdentifier(application));  // the same on every run
        EXPECT_EQ(id.find(machine), std::string::npos);
        EXPECT_NE(id, previous);  // each application has its own
        previous = id;
    }
}

TEST(HostAndProcess, FactsOfThisMachineAndProcess) {
    ScratchContext scratch;
    VXMHostData host;
    host.identifierFlags = VXMCollectDeviceIdentifier;
    VXMHostDataInit(&host);
    utsname names{};
    uname(&names);
    int major = 0, minor = 0;
    sscanf(names.release, "%d.%d", &major, &minor);
    EXPECT_EQ(std::string(host.osVersion)
                  .rfind(std::to_string(major) + "." + std::to_string(minor) + ".", 0),
              0u);
    EXPECT_STREQ(host.osBuild, names.release);
    EXPECT_STREQ(host.platform, "Linux");
    EXPECT_STREQ(host.machine, names.machine);
    EXPECT_EQ(host.cores, static_cast<uint32_t>(sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_EQ(std::string(host.installId).size(), 36u);
    if (std::filesystem::exists("/etc/machine-id")) {
        ASSERT_NE(host.deviceId, nullptr);
        EXPECT_EQ(host.deviceId, VXMHostMachineIdentifier(VXMExecutableGetBundleIdentifier()));
    }

    VXMDeviceState device;
    MemoryRecord record;
    VXMHostSafeWriteData(&host, &device, record.file());
    VXMHostWriteDiskUsage(&host, record.file());
    VXMProcessData process;
    VXMProcessDataInit(&process);
    VXMProcessDataSafeWriteProcessData(&process, record.file());
    std::atomic<VXMExternalProcessList*> processes{nullptr};
    VXMProcessUpdateExteralProcesses(&processes);
    VXMProcessDataSafeWriteExternalProcessesData(&processes, record.file());
    VXMProcessWriteStats(record.file());

    Value back = readBack(record.text());
    ASSERT_EQ(back["file_lines"].uint64Value(), 5u) << record.text();
    EXPECT_EQ(back["host"]["battery_level"].stringValue(), "(null)");
    EXPECT_EQ(back["host"]["platform_code"].uint64Value(), 5u);  // LINUX
    EXPECT_GT(back["storage"]["total"].uint64Value(), 0u);
    EXPECT_EQ(back["process_info"]["pid"].uint64Value(), static_cast<uint64_t>(getpid()));
    EXPECT_EQ(back["process_info"]["parent_pid"].uint64Value(), static_cast<uint64_t>(getppid()));
    EXPECT_EQ(back["process_info"]["name"].stringValue(), VXMProcessCreateProcessName(getpid()));
    bool foundSelf = false;
    for (const Value& p : *back["external_process_info"].ifArray())
        foundSelf = foundSelf || p["pid"].uint64Value() == static_cast<uint64_t>(getpid());
    EXPECT_TRUE(foundSelf);
    for (const char* key :
         {"active", "inactive", "wired", "freeMem", "virtual", "resident", "user_time", "sys_time"})
        EXPECT_TRUE(back["process_stats"].contains(key)) << key;
    EXPECT_GT(back["process_stats"]["resident"].uint64Value(), 0u);
    EXPECT_EQ(VXMProcessCreateProcessName(0x7fffffff), "unknown");
    freeProcesses(&processes);
}

TEST(Threads, ListingAndNames) {
    int32_t tids[VXMMaxThreads];
    uint32_t count = VXMProcessListThreads(tids, VXMMaxThreads);
    size_t expected = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        ++expected;
    EXPECT_EQ(count, expected);
    auto self = static_cast<int32_t>(syscall(SYS_gettid));
    EXPECT_NE(std::find(tids, tids + count, self), tids + count);
    pthread_setname_np(pthread_self(), "probe \"name\"");
    char name[VXMThreadNameLimit];
    VXMProcessGetThreadName(self, name);
    EXPECT_STREQ(name, "probe \"name\"");
    VXMProcessGetThreadName(0x7fffffff, name);
    EXPECT_STREQ(name, "");
}

TEST(Exceptions, RecordedExceptionsAndTheirSection) {
    auto data = std::make_unique<VXMExceptionData>();
    MemoryRecord none;
    VXMExceptionSafeWriteData(data.get(), none.file());
    EXPECT_EQ(none.text(), "{\"exception\":{}}\n");

    try {
        throw std::runtime_error("bad \"input\"");
    } catch (...) {
        VXMExceptionRecordCurrent(data.get());
    }
    EXPECT_STREQ(data->name.load(), "std::runtime_error");
    EXPECT_STREQ(data->reason.load(), "bad%20%22input%22");
    EXPECT_GT(data->frameCount.load(), 1u);

    auto* frames = static_cast<VXMFrame*>(calloc(2, sizeof(VXMFrame)));
    frames[0].address = 1;
    frames[1].address = 2;
    VXMRecordException(data.get(), "name", "why", frames, 2);
    MemoryRecord two;
    VXMExceptionSafeWriteData(data.get(), two.file());
    EXPECT_EQ(two.text(),
              "{\"exception\":{\"name\":\"name\",\"reason\":\"why\",\"backtrace\":[{\"address\":1},"
              "{\"address\":2}]}}\n");
    VXMRecordException(data.get(), nullptr, nullptr, nullptr, 0);
}

VXMBundleInfo bundleWith(Value info) {
    VXMBundleInfo bundle;
    bundle.info = std::move(info);
    return bundle;
}

TEST(HostAndProcess, BundleQuestions) {
    using D = platform::Value::Dictionary;
    struct Case {
        const char* name;
        VXMBundleInfo bundle;
        std::optional<std::string> extension;
        bool signedForDistribution;
        bool beta;
    } cases[] = {
        {"plain", {}, std::nullopt, false, false},
        {"signed", bundleWith(Value(D{{"VexmorSignedForDistribution", true}})), std::nullopt, true,
         true},
        {"signed extension",
         bundleWith(Value(
             D{{"VexmorSignedForDistribution", true},
               {"NSExtension", Value(D{{"NSExtensionPointIdentifier", "com.example.point"}})}})),
         "com.example.point", true, false},
        {"extension entry of the wrong type", bundleWith(Value(D{{"NSExtension", "text"}})),
         std::nullopt, false, false},
        {"identifier of the wrong type",
         bundleWith(Value(D{{"NSExtension", Value(D{{"NSExtensionPointIdentifier", 3}})}})),
         std::nullopt, false, false},
        {"a non-boolean switch is off",
         bundleWith(Value(D{{"VexmorSignedForDistribution", "YES"}})), std::nullopt, false, false},
    };
    for (const Case& c : cases) {
        VXMExecutableSetBundleInfo(c.bundle);
        EXPECT_EQ(VXMHostExtensionPointIdentifier(), c.extension) << c.name;
        EXPECT_EQ(VXMHostIsAppExtension(), c.extension.has_value()) << c.name;
        EXPECT_EQ(VXMHostSignedForDistribution(), c.signedForDistribution) << c.name;
        EXPECT_EQ(VXMHostEnableBetaDistribution(), c.beta) << c.name;
    }

    VXMBundleInfo versioned;
    versioned.identifier = "com.norvane/tessaro";
    versioned.version = "7";
    VXMExecutableSetBundleInfo(versioned);
    EXPECT_EQ(VXMExecutableGetBundleIdentifier(), "com.norvane_tessaro");
    EXPECT_EQ(VXMExecutableGetShortBundleVersion(), "0.0");
    EXPECT_EQ(VXMExecutableGetApplicationName(), "7");
    VXMBundleInfo named;
    named.name = "Tessaro";
    VXMExecutableSetBundleInfo(named);
    EXPECT_EQ(VXMExecutableGetBundleVersion(), "0");
    EXPECT_EQ(VXMExecutableGetApplicationName(), "Tessaro");
    EXPECT_EQ(VXMExecutableBundleInfo().path,
              std::filesystem::read_symlink("/proc/self/exe").parent_path().string());

    EXPECT_EQ(VXMHostCustomEndpoint(Value(D{{"VexmorAPIEndpoint", "https://a.example"}})),
              "https://a.example");
    setenv("VexmorAPIEndpoint", "https://b.example", 1);
    EXPECT_EQ(VXMHostCustomEndpoint(Value::dictionary()), "https://b.example");
    unsetenv("VexmorAPIEndpoint");
    EXPECT_EQ(VXMHostCustomEndpoint(Value::dictionary()), std::nullopt);
    EXPECT_FALSE(VXMHostGetFeatureSwitchValue("missing", Value::dictionary()));
    EXPECT_EQ(VXMHostGetiTunesMetadataItemId(), 0u);  // no context yet
    EXPECT_FALSE(VXMHostConversionTrackingIsEnabled());
    VXMExecutableSetBundleInfo({});
}

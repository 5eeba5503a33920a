#include "reporter/report/VXMCrashFile.h"
#include "platform/core/Files.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iterator>
#include <new>

#include "platform/core/Files.h"
#include "reporter/VXMFileRead.h"
#include "reporter/VXMSafe.h"

using platform::Value;

namespace {

// ---- Text helpers -------------------------------------------------------

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// ---- Record access ------------------------------------------------------

std::optional<std::string> stringAt(const Value& hash, std::string_view key) {
    if (const std::string* text = hash[key].ifString()) return *text;
    return std::nullopt;
}

std::optional<uint64_t> numberAt(const Value& hash, std::string_view key) {
    const Value& value = hash[key];
    if (!value.isInteger()) return std::nullopt;
    return value.toUInt64();
}

std::optional<bool> boolAt(const Value& hash, std::string_view key) {
    if (const bool* flag = hash[key].ifBool()) return *flag;
    return std::nullopt;
}

std::optional<std::string> unescapedAt(const Value& hash, std::string_view key) {
    std::optional<std::string> text = stringAt(hash, key);
    if (!text) return std::nullopt;
    return VXMPercentUnescape(*text);
}

bool isArrayOf(const Value& value, bool (Value::*test)() const) {
    const Value::Array* array = value.ifArray();
    if (!array) return false;
    for (const Value& element : *array) {
        if (!(element.*test)()) return false;
    }
    return true;
}

// The sections whose value is a hash.
constexpr const char* kHashSections[] = {
    "schema",  "mach_exception", "signal",    "identity",         "build",         "process_info",
    "host",    "executable",     "exception", "thread_state",     "process_stats", "runtime",
    "storage", "user",           "log",       "custom_attributes"};

// Reads the whole file; nullopt when it cannot be opened or read, or is not
// a regular file (a FIFO would block the reader).
std::optional<std::string> readWholeFile(const std::string& path) {
    return platform::readRegularFile(path);
}

// ---- Message storage ----------------------------------------------------

// Owns everything the generated structures point to while one Session is
// built and packed.
class Arena {
  public:
    char* text(std::string value) {
        texts_.push_back(std::move(value));
        return texts_.back().data();
    }
    ProtobufCBinaryData bytes(std::string value) {
        size_t length = value.size();
        return {length, reinterpret_cast<uint8_t*>(text(std::move(value)))};
    }
    template <typename T>
    T* make(void (*init)(T*)) {
        auto message = std::make_shared<T>();
        init(message.get());
        owned_.push_back(message);
        return message.get();
    }
    template <typename T>
    T** list(std::vector<T*> elements, size_t* count) {
        auto stored = std::make_shared<std::vector<T*>>(std::move(elements));
        owned_.push_back(stored);
        *count = stored->size();
        return stored->empty() ? nullptr : stored->data();
    }

  private:
    std::deque<std::string> texts_;
    std::vector<std::shared_ptr<void>> owned_;
};

using Frame = Vexmor__Session__Event__Application__Execution__Thread__Frame;
using Thread = Vexmor__Session__Event__Application__Execution__Thread;
using BinaryImage = Vexmor__Session__Event__Application__Execution__BinaryImage;
using Process = Vexmor__Session__Application__Process;
using CustomAttribute = Vexmor__CustomAttribute;
using DeviceIdentifier = Vexmor__Session__Device__Identifier;

Frame* packFrame(Arena& arena, const VXMStackFrame& source) {
    Frame* frame = arena.make(vexmor__session__event__application__execution__thread__frame__init);
    frame->pc = source.address();
    if (source.symbol()) frame->symbol = arena.text(*source.symbol());
    if (source.fileName()) frame->file = arena.text(*source.fileName());
    frame->has_offset = 1;
    frame->offset = source.offset();
    frame->has_address_offset = 1;
    frame->address_offset = source.offset();
    frame->has_importance = 1;
    frame->importance = source.importance();
    return frame;
}

Frame** packFrames(Arena& arena, const std::vector<std::shared_ptr<VXMStackFrame>>& frames,
                   size_t* count) {
    std::vector<Frame*> packed;
    packed.reserve(frames.size());
    for (const auto& frame : frames) packed.push_back(packFrame(arena, *frame));
    return arena.list(std::move(packed), count);
}

}  // namespace

// ---- UTF-8 --------------------------------------------------------------

std::string VXMDecodeUTF8Leniently(const uint8_t* bytes, size_t length) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(length);
    size_t i = 0;
    while (i < length) {
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        size_t need;
        uint8_t low = 0x80, high = 0xBF;  // range of the first continuation byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            out += kReplacement;
            ++i;
            continue;
        }
        // The longest well-formed start of a sequence is replaced as one.
        size_t taken = 1;
        bool complete = true;
        for (size_t k = 0; k < need; ++k) {
            if (i + taken >= length) {
                complete = false;
                break;
            }
            const uint8_t next = bytes[i + taken];
            const uint8_t lo = k == 0 ? low : 0x80;
            const uint8_t hi = k == 0 ? high : 0xBF;
            if (next < lo || next > hi) {
                complete = false;
                break;
            }
            ++taken;
        }
        if (complete) {
            out.append(reinterpret_cast<const char*>(bytes + i), taken);
        } else {
            out += kReplacement;
        }
        i += taken;
    }
    return out;
}

// ---- VXMCrashFile -------------------------------------------------------

std::optional<Value> VXMCrashFile::parse(const std::string& path) {
    return VXMFileReadRecordAtPath(path);
}

VXMCrashFile::VXMCrashFile(const std::string& path)
    : record_(parse(path).value_or(Value())), path_(path) {}

VXMCrashFile::VXMCrashFile(Value record, std::string path)
    : record_(std::move(record)), path_(std::move(path)) {}

std::string VXMCrashFile::logFilePath() const {
    return std::filesystem::path(path_).replace_extension("vxmlog").string();
}

bool VXMCrashFile::isValid() const {
    const Value& r = record_;
    if (!r.isDictionary()) return false;
    std::optional<uint64_t> lines = numberAt(r, "file_lines");
    std::optional<uint64_t> expected = numberAt(r["schema"], "expected_lines");
    if (!lines || !expected || *lines != *expected) return false;
    for (const char* name : kHashSections) {
        if (!r[name].isDictionary()) return false;
    }
    if (!isArrayOf(r["external_process_info"], &Value::isDictionary)) return false;
    if (!isArrayOf(r["binary_images"], &Value::isDictionary)) return false;
    if (!isArrayOf(r["thread_names"], &Value::isString)) return false;
    if (!isArrayOf(r["dispatch_queue_names"], &Value::isString)) return false;
    if (!isArrayOf(r["threads"], &Value::isArray)) return false;
    for (const Value& thread : *r["threads"].ifArray()) {
        if (!isArrayOf(thread, &Value::isDictionary)) return false;
    }
    const Value& backtrace = r["exception"]["backtrace"];
    if (!backtrace.isNull() && !isArrayOf(backtrace, &Value::isDictionary)) return false;
    return true;
}

std::string VXMCrashFile::identifier() const {
    return VXMNormalizeUUID(stringAt(record_["identity"], "identifier").value_or(""));
}

std::optional<std::chrono::system_clock::time_point> VXMCrashFile::crashedOnDate() const {
    std::optional<uint64_t> seconds = numberAt(record_["identity"], "ended_at");
    if (!seconds) return std::nullopt;
    return std::chrono::system_clock::time_point(
        std::chrono::seconds(static_cast<int64_t>(*seconds)));
}

std::optional<std::string> VXMCrashFile::bundleVersion() const {
    return stringAt(record_["executable"], "version");
}

std::optional<std::string> VXMCrashFile::bundleShortVersionString() const {
    return stringAt(record_["executable"], "display_version");
}

std::optional<std::string> VXMCrashFile::osVersion() const {
    return stringAt(record_["host"], "os_version");
}

std::optional<std::string> VXMCrashFile::osBuildVersion() const {
    return stringAt(record_["host"], "os_build");
}

std::optional<std::string> VXMCrashFile::objcSelectorName() const {
    return stringAt(record_["runtime"], "objc_selector");
}

std::optional<std::string> VXMCrashFile::deviceId() const {
    return stringAt(record_["identity"], "device_id");
}

std::optional<std::string> VXMCrashFile::vendorId() const {
    return stringAt(record_["identity"], "vendor_id");
}

std::optional<std::string> VXMCrashFile::advertisingId() const {
    return stringAt(record_["identity"], "advertising_id");
}

std::optional<std::string> VXMCrashFile::fontToken() const {
    return stringAt(record_["identity"], "font_token");
}

std::optional<std::string> VXMCrashFile::mainExecutableUUID() const {
    std::optional<std::string> uuid = stringAt(record_["executable"], "uuid");
    if (!uuid) return std::nullopt;
    return lowerCase(*uuid);
}

const std::vector<std::string>& VXMCrashFile::binaryImageUUIDs() const {
    if (!imageUUIDs_) {
        imageUUIDs_.emplace();
        for (const Value& image : sortedBinaryImageData()) {
            if (std::optional<std::string> uuid = stringAt(image, "uuid")) {
                imageUUIDs_->push_back(lowerCase(*uuid));
            }
        }
    }
    return *imageUUIDs_;
}

const Value::Array& VXMCrashFile::sortedBinaryImageData() const {
    static const Value::Array kNone;
    const Value::Array* images = record_["binary_images"].ifArray();
    return images ? *images : kNone;
}

std::vector<std::pair<std::string, std::string>> VXMCrashFile::customKeys() const {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (const Value::Dictionary* attributes = record_["custom_attributes"].ifDictionary()) {
        for (const auto& [key, value] : *attributes) {
            const std::string* text = value.ifString();
            if (!text) continue;
            if (std::optional<std::string> decoded = VXMPercentUnescape(*text)) {
                pairs.emplace_back(key, std::move(*decoded));
            }
        }
    }
    return pairs;
}

Vexmor__Architecture VXMCrashFile::architecture() const {
    static const std::pair<const char*, Vexmor__Architecture> kNames[] = {
        {"armv6", VEXMOR__ARCHITECTURE__ARMV6},   {"armv7", VEXMOR__ARCHITECTURE__ARMV7},
        {"armv7s", VEXMOR__ARCHITECTURE__ARMV7S}, {"x86_64", VEXMOR__ARCHITECTURE__X86_64},
        {"i386", VEXMOR__ARCHITECTURE__X86_32},   {"arm64", VEXMOR__ARCHITECTURE__ARM64},
    };
    std::optional<std::string> name = stringAt(record_["executable"], "architecture");
    if (name) {
        for (const auto& [known, value] : kNames) {
            if (*name == known) return value;
        }
    }
    return VEXMOR__ARCHITECTURE__UNKNOWN;
}

// ---- Symbolication ------------------------------------------------------

void VXMCrashFile::symbolicateFrame(VXMStackFrame& frame, const VXMUUIDMap& map,
                                    bool returnAddress) const {
    // A return address points after its call, which may be the first byte
    // of the next function when the call does not return (abort, a throw):
    // the call itself is what names the frame.
    const uint64_t address = frame.address();
    const uint64_t lookup = returnAddress && address ? address - 1 : address;
    for (const Value& image : sortedBinaryImageData()) {
        std::optional<uint64_t> base = numberAt(image, "address");
        std::optional<uint64_t> size = numberAt(image, "size");
        if (!base || !size || address < *base || address - *base > *size) continue;
        std::optional<std::string> uuid = stringAt(image, "uuid");
        if (!uuid) {
            VXMDebugLog(
                "[Vexmor] [Symbolication] Invalid arguments to "
                "lookupUUID:andBaseAddress:forAddress:");
            return;
        }
        auto current = map.find(lowerCase(*uuid));
        if (current == map.end()) return;
        // Unsigned arithmetic: an image loaded lower now wraps correctly.
        const uint64_t translated = address - *base + current->second;
        const uint64_t translatedLookup = lookup - *base + current->second;
        Dl_info info{};
        if (dladdr(reinterpret_cast<const void*>(static_cast<uintptr_t>(translatedLookup)),
                   &info) == 0) {
            VXMDebugLog(
                "[Vexmor] [Symbolication] Unable to look up binary image info during "
                "symbolication");
            return;
        }
        if (info.dli_sname) {
            frame.setSymbol(std::string(info.dli_sname));
            frame.setOffset(translated - reinterpret_cast<uintptr_t>(info.dli_saddr));
            return;
        }
        // The dynamic table holds exported symbols only: static and internal
        // functions come from the image's own table, read from its file when
        // that file is still the build loaded here.
        const VXMImageSymbols* table = symbolTableOf(reinterpret_cast<uintptr_t>(info.dli_fbase));
        if (!table || table->uuid() != lowerCase(*uuid)) return;
        const uint64_t bias =
            reinterpret_cast<uintptr_t>(info.dli_fbase) - table->firstLoadAddress();
        if (auto symbol = table->lookup(translatedLookup - bias)) {
            frame.setSymbol(symbol->name);
            frame.setOffset(translated - bias - symbol->start);
        }
        return;
    }
}

const VXMImageSymbols* VXMCrashFile::symbolTableOf(uint64_t base) const {
    auto cached = symbolTables_.find(base);
    if (cached != symbolTables_.end()) return cached->second.get();
    // The file of the image loaded at `base`; the main program's through
    // /proc, which names the running file even when it was replaced since.
    struct Search {
        uint64_t base;
        std::string path;
        bool found = false;
    } search{base, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* object, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            uint64_t lowest = UINT64_MAX;
            for (ElfW(Half) i = 0; i < object->dlpi_phnum; ++i)
                if (object->dlpi_phdr[i].p_type == PT_LOAD)
                    lowest =
                        std::min<uint64_t>(lowest, object->dlpi_phdr[i].p_vaddr & ~uint64_t{0xFFF});
            if (lowest == UINT64_MAX || object->dlpi_addr + lowest != s->base) return 0;
            s->path =
                object->dlpi_name && *object->dlpi_name ? object->dlpi_name : "/proc/self/exe";
            s->found = true;
            return 1;
        },
        &search);
    std::shared_ptr<const VXMImageSymbols> table;
    if (search.found) table = VXMImageSymbols::fromFile(search.path);
    symbolTables_[base] = table;
    return table.get();
}

std::shared_ptr<VXMStackFrame> VXMCrashFile::frameFromRecord(const Value& source,
                                                             const VXMUUIDMap& map,
                                                             bool returnAddress) const {
    auto frame = VXMStackFrame::stackFrameWithAddress(numberAt(source, "address").value_or(0));
    frame->setFileName(stringAt(source, "file"));
    frame->setSymbol(stringAt(source, "symbol"));
    frame->setLineNumber(numberAt(source, "line").value_or(0));
    symbolicateFrame(*frame, map, returnAddress);
    return frame;
}

void VXMCrashFile::symbolicateWithUUIDMap(const VXMUUIDMap& map) {
    const std::optional<std::string> main = mainExecutableUUID();
    executablesMatch_ =
        processingExecutableUUID_ && main && lowerCase(*processingExecutableUUID_) == *main;

    threads_.clear();
    exceptionFrames_.clear();
    symbolicated_ = true;

    const std::optional<uint64_t> crashed = numberAt(record_, "crashed_thread");
    const Value& names = record_["thread_names"];
    const Value& queues = record_["dispatch_queue_names"];
    if (const Value::Array* threads = record_["threads"].ifArray()) {
        for (size_t i = 0; i < threads->size(); ++i) {
            auto thread = std::make_shared<VXMThread>();
            const bool isCrashed = crashed && *crashed == i;
            thread->setCrashed(isCrashed);
            if (const Value::Array* frames = (*threads)[i].ifArray()) {
                for (const Value& source : *frames) {
                    if (!source.isDictionary()) continue;
                    // Below the first frame (the stopped instruction) every
                    // address is a return address.
                    auto frame = frameFromRecord(source, map, thread->frames().size() > 0);
                    if (isCrashed) frame->setImportance(VXMThread::kCrashedImportance);
                    thread->addFrame(std::move(frame));
                }
            }
            if (const std::string* name = names[i].ifString()) thread->setName(*name);
            if (const std::string* queue = queues[i].ifString()) thread->setQueueName(*queue);
            threads_.push_back(std::move(thread));
        }
    }
    if (const Value::Array* backtrace = record_["exception"]["backtrace"].ifArray()) {
        for (const Value& source : *backtrace) {
            if (source.isDictionary())
                exceptionFrames_.push_back(frameFromRecord(source, map, false));
        }
    }
}

// ---- Report -------------------------------------------------------------

namespace {

using Session = Vexmor__Session;
using User = Vexmor__Session__User;
using Application = Vexmor__Session__Application;
using Organization = Vexmor__Session__Application__Organization;
using OperatingSystem = Vexmor__Session__OperatingSystem;
using Device = Vexmor__Session__Device;
using Event = Vexmor__Session__Event;
using EventDevice = Vexmor__Session__Event__Device;
using EventOperatingSystem = Vexmor__Session__Event__OperatingSystem;
using EventApplication = Vexmor__Session__Event__Application;
using Execution = Vexmor__Session__Event__Application__Execution;
using Signal = Vexmor__Session__Event__Application__Execution__Signal;
using Exception = Vexmor__Session__Event__Application__Execution__Exception;
using Log = Vexmor__Session__Event__Log;

// The Session of one valid record, one function per message. The arena owns
// every piece the messages point to until the session is packed.
class SessionBuilder {
  public:
    explicit SessionBuilder(const VXMCrashFile& file) : file_(file), record_(file.record()) {}

    std::optional<std::vector<uint8_t>> pack();

  private:
    const Value& section(const char* name) const { return record_[name]; }
    // Shared by the device and the crash event's device.
    uint64_t ramUsed() const;
    std::optional<uint64_t> diskTotal() const { return numberAt(section("storage"), "total"); }
    uint64_t platformCode() const { return numberAt(section("host"), "platform_code").value_or(0); }

    void fillSession(Session& session);
    User* user();
    Application* application();
    Process* process();
    Organization* organization();
    OperatingSystem* operatingSystem();
    Device* device();
    DeviceIdentifier** deviceIdentifiers(size_t* count);
    Event* event();
    EventDevice* eventDevice();
    EventOperatingSystem* eventOperatingSystem();
    EventApplication* eventApplication();
    Execution* execution();
    Signal* signal();
    BinaryImage** binaryImages(size_t* count);
    Thread** threads(size_t* count);
    Exception* exception();
    Log* log();

    const VXMCrashFile& file_;
    const Value& record_;
    Arena arena_;
};

std::optional<std::vector<uint8_t>> SessionBuilder::pack() {
    Session session;
    vexmor__session__init(&session);
    fillSession(session);
    Event* events[] = {event()};
    session.n_events = 1;
    session.events = events;

    const size_t size = vexmor__session__get_packed_size(&session);
    std::vector<uint8_t> packed;
    try {
        packed.resize(size);
    } catch (const std::bad_alloc&) {
        VXMDebugLog("[Vexmor] [CrashFile] Unable to allocate buffer to seralize protobuf file");
        return std::nullopt;
    }
    packed.resize(vexmor__session__pack(&session, packed.data()));
    return packed;
}

uint64_t SessionBuilder::ramUsed() const {
    const Value& stats = section("process_stats");
    return numberAt(stats, "active").value_or(0) + numberAt(stats, "inactive").value_or(0) +
           numberAt(stats, "wired").value_or(0);
}

void SessionBuilder::fillSession(Session& session) {
    const Value& identity = section("identity");
    const std::string generator = stringAt(identity, "generator").value_or("");
    session.generator = arena_.text(generator);
    for (const auto& [prefix, type] :
         {std::pair{"Vexmor iOS", VEXMOR__GENERATOR_TYPE__IOS_SDK},
          std::pair{"Vexmor Enterprise iOS", VEXMOR__GENERATOR_TYPE__IOS_SDK},
          std::pair{"Vexmor Mac", VEXMOR__GENERATOR_TYPE__MACOS_SDK},
          std::pair{"Vexmor Enterprise Mac", VEXMOR__GENERATOR_TYPE__MACOS_SDK}}) {
        if (generator.starts_with(prefix)) {
            session.has_generator_type = 1;
            session.generator_type = type;
            break;
        }
    }
    session.identifier = arena_.bytes(file_.identifier());
    session.started_at = numberAt(identity, "started_at").value_or(0);
    if (std::optional<uint64_t> ended = numberAt(identity, "ended_at")) {
        session.has_ended_at = 1;
        session.ended_at = *ended;
    }
    session.has_crashed = 1;
    session.crashed = 1;
    session.user = user();
    session.app = application();
    session.os = operatingSystem();
    session.device = device();
}

User* SessionBuilder::user() {
    const Value& source = section("user");
    auto* user = arena_.make(vexmor__session__user__init);
    user->identifier = arena_.text(unescapedAt(source, "id").value_or(""));
    if (auto name = unescapedAt(source, "name")) user->name = arena_.text(*name);
    if (auto email = unescapedAt(source, "email")) user->email = arena_.text(*email);
    return user;
}

Application* SessionBuilder::application() {
    const Value& executable = section("executable");
    auto* app = arena_.make(vexmor__session__application__init);
    app->identifier = arena_.text(stringAt(executable, "bundle_id").value_or(""));
    app->version = arena_.text(stringAt(executable, "version").value_or(""));
    if (auto shown = stringAt(executable, "display_version"))
        app->display_version = arena_.text(*shown);
    app->has_delivery_mechanism = 1;
    app->delivery_mechanism = boolAt(executable, "encrypted").value_or(false)
                                  ? VEXMOR__DELIVERY_MECHANISM__APP_STORE
                                  : VEXMOR__DELIVERY_MECHANISM__DEVELOPER;
    if (auto install = unescapedAt(section("identity"), "install_id"))
        app->installation_uuid = arena_.text(*install);
    if (auto platform = unescapedAt(executable, "dev_platform"))
        app->development_platform = arena_.text(*platform);
    if (auto version = unescapedAt(executable, "dev_platform_version"))
        app->development_platform_version = arena_.text(*version);
    app->process = process();
    app->organization = organization();
    return app;
}

Process* SessionBuilder::process() {
    const Value& processInfo = section("process_info");
    auto* process = arena_.make(vexmor__session__application__process__init);
    if (auto path = stringAt(section("executable"), "path")) process->path = arena_.text(*path);
    if (auto name = stringAt(processInfo, "name")) process->name = arena_.text(*name);
    process->pid = static_cast<uint32_t>(numberAt(processInfo, "pid").value_or(0));
    if (auto parent = numberAt(processInfo, "parent_pid")) {
        process->has_parent_process_id = 1;
        process->parent_process_id = static_cast<uint32_t>(*parent);
    }
    if (auto parent = stringAt(processInfo, "parent_name"))
        process->parent_process_name = arena_.text(*parent);
    return process;
}

Organization* SessionBuilder::organization() {
    auto* organization = arena_.make(vexmor__session__application__organization__init);
    if (auto apiKey = stringAt(section("identity"), "api_key"))
        organization->api_key = arena_.text(*apiKey);
    return organization;
}

OperatingSystem* SessionBuilder::operatingSystem() {
    auto* os = arena_.make(vexmor__session__operating_system__init);
    os->platform = static_cast<Vexmor__Platform>(static_cast<int>(platformCode()));
    os->version = arena_.text(file_.osVersion().value_or(""));
    if (auto build = file_.osBuildVersion()) os->build_version = arena_.text(*build);
    return os;
}

Device* SessionBuilder::device() {
    const Value& host = section("host");
    const Value& processInfo = section("process_info");
    const bool simulator = platformCode() == VEXMOR__PLATFORM__IPHONE_SIMULATOR;
    auto* device = arena_.make(vexmor__session__device__init);
    device->arch = file_.architecture();
    if (auto model = stringAt(host, "model")) device->model = arena_.text(*model);
    if (auto cores = numberAt(host, "cores")) {
        device->has_cores = 1;
        device->cores = static_cast<uint32_t>(*cores);
    }
    if (auto locale = stringAt(host, "locale")) device->language = arena_.text(*locale);
    uint32_t state = 0;
    if (boolAt(host, "vendor_internal").value_or(false))
        state |= VEXMOR__DEVICE_STATE__VENDOR_INTERNAL;
    if (boolAt(host, "jailbroken").value_or(false)) state |= VEXMOR__DEVICE_STATE__JAILBROKEN;
    if (boolAt(processInfo, "debugger").value_or(false))
        state |= VEXMOR__DEVICE_STATE__DEBUGGER_ATTACHED;
    if (boolAt(processInfo, "dyld_insert").value_or(false))
        state |= VEXMOR__DEVICE_STATE__COMPROMISED_LIBRARIES;
    if (simulator) state |= VEXMOR__DEVICE_STATE__IS_SIMULATOR;
    device->has_state = 1;
    device->state = state;
    device->has_simulator = 1;
    device->simulator = simulator;
    device->has_ram = 1;
    device->ram = ramUsed() + numberAt(section("process_stats"), "freeMem").value_or(0);
    if (auto total = diskTotal()) {
        device->has_disk_space = 1;
        device->disk_space = *total;
    }
    if (auto id = file_.deviceId()) {
        const std::string apiKey = stringAt(section("identity"), "api_key").value_or("");
        device->has_identifier = 1;
        device->identifier = arena_.bytes(VXMHashSaltedNSString(*id, apiKey));
        device->has_udid = 1;
        device->udid = arena_.bytes(*id);
    }
    device->identifiers = deviceIdentifiers(&device->n_identifiers);
    return device;
}

DeviceIdentifier** SessionBuilder::deviceIdentifiers(size_t* count) {
    std::vector<DeviceIdentifier*> identifiers;
    auto add = [&](Vexmor__DeviceIdentifierType key, const std::optional<std::string>& value) {
        if (!value) return;
        auto* entry = arena_.make(vexmor__session__device__identifier__init);
        entry->key = key;
        entry->value = arena_.text(*value);
        identifiers.push_back(entry);
    };
    add(VEXMOR__DEVICE_IDENTIFIER_TYPE__IOS_UDID, file_.deviceId());
    add(VEXMOR__DEVICE_IDENTIFIER_TYPE__IOS_VENDOR_IDENTIFIER, file_.vendorId());
    add(VEXMOR__DEVICE_IDENTIFIER_TYPE__IOS_ADVERTISING_IDENTIFIER, file_.advertisingId());
    add(VEXMOR__DEVICE_IDENTIFIER_TYPE__TESTER_DEVICE_TOKEN, file_.fontToken());
    return arena_.list(std::move(identifiers), count);
}

Event* SessionBuilder::event() {
    auto* event = arena_.make(vexmor__session__event__init);
    event->timestamp = numberAt(section("identity"), "ended_at").value_or(0);
    event->type = arena_.text("crash");
    event->device = eventDevice();
    event->os = eventOperatingSystem();
    event->app = eventApplication();
    event->log = log();
    return event;
}

EventDevice* SessionBuilder::eventDevice() {
    const Value& host = section("host");
    auto* device = arena_.make(vexmor__session__event__device__init);
    const Value& battery = host["battery_level"];
    double level = battery.toDouble().value_or(0);
    if (const std::string* text = battery.ifString()) {
        level = 0;
        const char* end = text->data() + text->size();
        std::from_chars_result parsed = std::from_chars(text->data(), end, level);
        if (parsed.ec != std::errc() || parsed.ptr != end) level = 0;
    }
    device->has_battery_level = 1;
    device->battery_level = static_cast<float>(level);
    if (auto charging = numberAt(host, "charging_state")) {
        device->has_battery_velocity = 1;
        device->battery_velocity = static_cast<int32_t>(*charging);
    }
    if (auto orientation = numberAt(host, "device_orientation")) {
        device->has_orientation = 1;
        device->orientation = static_cast<uint32_t>(*orientation);
    }
    if (auto proximity = boolAt(host, "proximity_on")) {
        device->has_proximity_on = 1;
        device->proximity_on = *proximity;
    }
    device->has_ram_used = 1;
    device->ram_used = ramUsed();
    if (auto total = diskTotal()) {
        const uint64_t diskFree = numberAt(section("storage"), "free").value_or(0);
        device->has_disk_used = 1;
        device->disk_used = diskFree < *total ? *total - diskFree : 0;
    }
    return device;
}

EventOperatingSystem* SessionBuilder::eventOperatingSystem() {
    auto* os = arena_.make(vexmor__session__event__operating_system__init);
    std::vector<Process*> processes;
    for (const Value& entry : *section("external_process_info").ifArray()) {
        auto* other = arena_.make(vexmor__session__application__process__init);
        if (auto name = stringAt(entry, "name")) other->name = arena_.text(*name);
        other->pid = static_cast<uint32_t>(numberAt(entry, "pid").value_or(0));
        processes.push_back(other);
    }
    os->processes = arena_.list(std::move(processes), &os->n_processes);
    return os;
}

EventApplication* SessionBuilder::eventApplication() {
    const Value& host = section("host");
    auto* app = arena_.make(vexmor__session__event__application__init);
    if (auto background = boolAt(host, "is_backgrounded")) {
        app->has_background = 1;
        app->background = *background;
    }
    if (auto orientation = numberAt(host, "ui_orientation")) {
        app->has_ui_orientation = 1;
        app->ui_orientation = static_cast<uint32_t>(*orientation);
    }
    std::vector<CustomAttribute*> attributes;
    for (auto& [key, value] : file_.customKeys()) {
        auto* attribute = arena_.make(vexmor__custom_attribute__init);
        attribute->key = arena_.text(key);
        attribute->value = arena_.text(value);
        attributes.push_back(attribute);
    }
    app->custom_attributes = arena_.list(std::move(attributes), &app->n_custom_attributes);
    app->execution = execution();
    return app;
}

Execution* SessionBuilder::execution() {
    auto* execution = arena_.make(vexmor__session__event__application__execution__init);
    execution->signal = signal();
    execution->binaries = binaryImages(&execution->n_binaries);
    execution->threads = threads(&execution->n_threads);
    execution->exception = exception();
    return execution;
}

// The signal when it has a name, else the Mach exception it came from.
Signal* SessionBuilder::signal() {
    auto* signal = arena_.make(vexmor__session__event__application__execution__signal__init);
    const Value& source = section("signal");
    if (auto name = stringAt(source, "name")) {
        signal->name = arena_.text(*name);
        signal->code = arena_.text(stringAt(source, "code_name").value_or(""));
        signal->address = numberAt(source, "address").value_or(0);
        return signal;
    }
    const Value& mach = section("mach_exception");
    signal->name = arena_.text(stringAt(mach, "name").value_or(""));
    std::optional<std::string> code = stringAt(mach, "code_name");
    if (!code) {
        if (auto number = numberAt(mach, "code")) code = std::to_string(*number);
    }
    signal->code = arena_.text(code.value_or(""));
    signal->address = numberAt(mach, "subcode").value_or(0);
    return signal;
}

BinaryImage** SessionBuilder::binaryImages(size_t* count) {
    const Vexmor__Architecture arch = file_.architecture();
    std::vector<BinaryImage*> binaries;
    for (const Value& image : file_.sortedBinaryImageData()) {
        auto* binary =
            arena_.make(vexmor__session__event__application__execution__binary_image__init);
        binary->base_address = numberAt(image, "address").value_or(0);
        binary->size = numberAt(image, "size").value_or(0);
        binary->name = arena_.text(stringAt(image, "path").value_or(""));
        if (auto uuid = stringAt(image, "uuid")) {
            binary->has_uuid = 1;
            binary->uuid = arena_.bytes(lowerCase(*uuid));
        }
        binary->has_arch = 1;
        binary->arch = arch;
        binaries.push_back(binary);
    }
    return arena_.list(std::move(binaries), count);
}

Thread** SessionBuilder::threads(size_t* count) {
    const std::optional<std::string> selector = file_.objcSelectorName();
    std::vector<Thread*> threads;
    for (const auto& source : file_.threads()) {
        auto* thread = arena_.make(vexmor__session__event__application__execution__thread__init);
        if (source->name()) thread->name = arena_.text(*source->name());
        if (source->queueName()) thread->alternate_name = arena_.text(*source->queueName());
        thread->importance = source->importance();
        if (source->crashed() && selector) thread->objc_selector_name = arena_.text(*selector);
        thread->frames = packFrames(arena_, source->frames(), &thread->n_frames);
        threads.push_back(thread);
    }
    return arena_.list(std::move(threads), count);
}

Exception* SessionBuilder::exception() {
    auto* exception = arena_.make(vexmor__session__event__application__execution__exception__init);
    const Value& source = section("exception");
    if (auto name = stringAt(source, "name")) {
        exception->type = arena_.text(*name);
        if (auto reason = unescapedAt(source, "reason")) exception->reason = arena_.text(*reason);
        exception->frames = packFrames(arena_, file_.exceptionBacktrace(), &exception->n_frames);
    }
    return exception;
}

// The log ring, oldest bytes first; none without the ring file or its offset.
Log* SessionBuilder::log() {
    std::optional<uint64_t> lastOffset = numberAt(section("log"), "last_offset");
    std::optional<std::string> ring =
        lastOffset ? readWholeFile(file_.logFilePath()) : std::nullopt;
    if (!ring) return nullptr;
    // An offset past the end (a ring shrunk or cut after the crash) reads
    // the file in its stored order.
    const size_t split = static_cast<size_t>(std::min<uint64_t>(*lastOffset, ring->size()));
    std::string ordered = ring->substr(split) + ring->substr(0, split);
    auto* log = arena_.make(vexmor__session__event__log__init);
    log->content = arena_.text(
        VXMDecodeUTF8Leniently(reinterpret_cast<const uint8_t*>(ordered.data()), ordered.size()));
    return log;
}

}  // namespace

std::optional<std::vector<uint8_t>> VXMCrashFile::packedSession() {
    if (!isValid()) return std::nullopt;
    // A record that was never symbolicated still reports its frames.
    if (!symbolicated_) symbolicateWithUUIDMap({});
    return SessionBuilder(*this).pack();
}

bool VXMCrashFile::writeVXMFileToPath(const std::string& path) {
    std::optional<std::vector<uint8_t>> packed = packedSession();
    if (!packed) return false;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        VXMDebugLog("[Vexmor] Protobuf write failed.  Wrote %zd/%zd (%d)", ssize_t{0},
                    static_cast<ssize_t>(packed->size()), errno);
        return false;
    }
    ssize_t written = 0;
    int error = 0;
    while (static_cast<size_t>(written) < packed->size()) {
        ssize_t n = write(fd, packed->data() + written, packed->size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = errno;
            break;
        }
        written += n;
    }
    const bool closed = close(fd) == 0;
    if (static_cast<size_t>(written) != packed->size() || !closed) {
        VXMDebugLog("[Vexmor] Protobuf write failed.  Wrote %zd/%zd (%d)", written,
                    static_cast<ssize_t>(packed->size()), error ? error : errno);
        return false;
    }
    return true;
}

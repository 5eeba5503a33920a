// The report builder against hand-written crash-time records: every mapped
// field read back through the generated unpacker and once through protoc,
// records that must give no report, symbolication against this very
// process, the log ring and the architecture names.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "reporter/proto/session.pb-c.h"
#include "reporter/report/VXMCrashFile.h"
#include "support/TempDir.h"

// The symbol frames are resolved to; exported because the test program is
// linked with its symbols visible to dladdr.
extern "C" __attribute__((noinline, used)) int vxmReportTestTarget(int x) {
    return x * 3 + 1;
}

namespace {

namespace fs = std::filesystem;
using platform::Value;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

const fs::path kData = TESSARO_TEST_DATA;

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

struct Unpacked {
    std::unique_ptr<Vexmor__Session, void (*)(Vexmor__Session*)> session{
        nullptr, [](Vexmor__Session* s) { vexmor__session__free_unpacked(s, nullptr); }};
};

Unpacked unpack(const std::string& bytes) {
    Unpacked u;
    u.session.reset(vexmor__session__unpack(nullptr, bytes.size(),
                                            reinterpret_cast<const uint8_t*>(bytes.data())));
    return u;
}

std::string bytesOf(const ProtobufCBinaryData& data) {
    return std::string(reinterpret_cast<const char*>(data.data), data.len);
}

// The record and its log ring in a fresh directory, as the pipeline finds
// them.
struct Fixture {
    TempDir dir{"report-test"};
    fs::path record = dir / "5b3b7a0e1c2d4e5f8a9b0c1d2e3f4a5b.vxmrecord";
    fs::path report = dir / "5b3b7a0e1c2d4e5f8a9b0c1d2e3f4a5b.vxm";

    explicit Fixture(const std::string& text = readFile(kData / "crash.vxmrecord"),
                     const std::optional<std::string>& log = readFile(kData / "crash.vxmlog")) {
        writeFile(record, text);
        if (log) writeFile(fs::path(record).replace_extension("vxmlog"), *log);
    }
    VXMCrashFile crashFile() const { return VXMCrashFile(record.string()); }
};

TEST(CrashFile, MapsEveryRecordFieldIntoThePackedSession) {
    Fixture fixture;
    VXMCrashFile file = fixture.crashFile();
    ASSERT_TRUE(file.isValid());
    file.setProcessingExecutableUUID("AABBCCDDEEFF00112233445566778899");
    file.symbolicateWithUUIDMap({});
    EXPECT_TRUE(file.executablesMatch());
    ASSERT_TRUE(file.writeVXMFileToPath(fixture.report.string()));

    struct stat info {};
    ASSERT_EQ(stat(fixture.report.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    Unpacked u = unpack(readFile(fixture.report));
    const Vexmor__Session* s = u.session.get();
    ASSERT_NE(s, nullptr);

    EXPECT_STREQ(s->generator, "Vexmor Mac SDK/2.2.5");
    EXPECT_TRUE(s->has_generator_type);
    EXPECT_EQ(s->generator_type, VEXMOR__GENERATOR_TYPE__MACOS_SDK);
    EXPECT_EQ(bytesOf(s->identifier), "5b3b7a0e1c2d4e5f8a9b0c1d2e3f4a5b");
    EXPECT_EQ(s->started_at, 1765350000u);
    EXPECT_TRUE(s->has_ended_at);
    EXPECT_EQ(s->ended_at, 1765350123u);
    EXPECT_TRUE(s->has_crashed && s->crashed);
    EXPECT_FALSE(s->has_analyzer || s->has_frame_decoder || s->internal_data);

    ASSERT_NE(s->user, nullptr);
    EXPECT_STREQ(s->user->identifier, "user/7");
    EXPECT_STREQ(s->user->name, "Ada L.");
    EXPECT_STREQ(s->user->email, "ada@example.org");

    const Vexmor__Session__Application* app = s->app;
    ASSERT_NE(app, nullptr);
    EXPECT_STREQ(app->identifier, "com.example.tessaro");
    EXPECT_STREQ(app->version, "42");
    EXPECT_STREQ(app->display_version, "1.2");
    EXPECT_TRUE(app->has_delivery_mechanism);
    EXPECT_EQ(app->delivery_mechanism, VEXMOR__DELIVERY_MECHANISM__DEVELOPER);
    EXPECT_STREQ(app->installation_uuid, "C0FFEE00-0000-4000-8000-000000000001");
    EXPECT_STREQ(app->development_platform, "Qt Creator");
    EXPECT_STREQ(app->development_platform_version, "(null)");
    ASSERT_NE(app->process, nullptr);
    EXPECT_STREQ(app->process->path, "/opt/tessaro/Tessaro");
    EXPECT_STREQ(app->process->name, "Tessaro");
    EXPECT_EQ(app->process->pid, 4242u);
    EXPECT_TRUE(app->process->has_parent_process_id);
    EXPECT_EQ(app->process->parent_process_id, 1u);
    EXPECT_STREQ(app->process->parent_process_name, "systemd");
    ASSERT_NE(app->organization, nullptr);
    EXPECT_STREQ(app->organization->api_key, "0123456789abcdef0123456789abcdef01234567");

    ASSERT_NE(s->os, nullptr);
    EXPECT_EQ(s->os->platform, VEXMOR__PLATFORM__LINUX);
    EXPECT_STREQ(s->os->version, "12.5.0");
    EXPECT_STREQ(s->os->build_version, "6.1.0-18-amd64");

    const Vexmor__Session__Device* device = s->device;
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->arch, VEXMOR__ARCHITECTURE__X86_64);
    EXPECT_STREQ(device->model, "Standard PC");
    EXPECT_TRUE(device->has_cores);
    EXPECT_EQ(device->cores, 8u);
    EXPECT_STREQ(device->language, "en_GB");
    EXPECT_TRUE(device->has_state);
    EXPECT_EQ(device->state, uint32_t{VEXMOR__DEVICE_STATE__COMPROMISED_LIBRARIES});
    EXPECT_TRUE(device->has_simulator);
    EXPECT_FALSE(device->simulator);
    EXPECT_TRUE(device->has_ram);
    EXPECT_EQ(device->ram, 1234u);
    EXPECT_TRUE(device->has_disk_space);
    EXPECT_EQ(device->disk_space, 1000u);
    // SHA-1 of the API key followed by the device id, computed independently.
    EXPECT_TRUE(device->has_identifier);
    EXPECT_EQ(bytesOf(device->identifier), "c0036a841a3f34ba4daffc3132cfcc3093ddb7fb");
    EXPECT_TRUE(device->has_udid);
    EXPECT_EQ(bytesOf(device->udid), "DEADBEEF-1111-2222-3333-444444444444");
    std::map<int, std::string> identifiers;
    for (size_t i = 0; i < device->n_identifiers; ++i) {
        identifiers[device->identifiers[i]->key] = device->identifiers[i]->value;
    }
    EXPECT_EQ(
        identifiers,
        (std::map<int, std::string>{
            {VEXMOR__DEVICE_IDENTIFIER_TYPE__IOS_UDID, "DEADBEEF-1111-2222-3333-444444444444"},
            {VEXMOR__DEVICE_IDENTIFIER_TYPE__IOS_ADVERTISING_IDENTIFIER, "AD-1"}}));

    ASSERT_EQ(s->n_events, 1u);
    const Vexmor__Session__Event* event = s->events[0];
    EXPECT_EQ(event->timestamp, 1765350123u);
    EXPECT_STREQ(event->type, "crash");

    ASSERT_NE(event->device, nullptr);
    EXPECT_TRUE(event->device->has_battery_level);
    EXPECT_FLOAT_EQ(event->device->battery_level, 0.75f);
    EXPECT_TRUE(event->device->has_battery_velocity);
    EXPECT_EQ(event->device->battery_velocity, 2);
    EXPECT_TRUE(event->device->has_orientation);
    EXPECT_EQ(event->device->orientation, 3u);
    EXPECT_TRUE(event->device->has_proximity_on && event->device->proximity_on);
    EXPECT_TRUE(event->device->has_ram_used);
    EXPECT_EQ(event->device->ram_used, 1230u);
    EXPECT_TRUE(event->device->has_disk_used);
    EXPECT_EQ(event->device->disk_used, 750u);

    ASSERT_NE(event->os, nullptr);
    EXPECT_EQ(event->os->n_network_interfaces, 0u);
    ASSERT_EQ(event->os->n_processes, 2u);
    EXPECT_STREQ(event->os->processes[0]->name, "systemd");
    EXPECT_EQ(event->os->processes[0]->pid, 1u);
    EXPECT_STREQ(event->os->processes[1]->name, "dbus-daemon");
    EXPECT_EQ(event->os->processes[1]->pid, 77u);

    // Ring of ten bytes, newest line ending at offset 4.
    ASSERT_NE(event->log, nullptr);
    EXPECT_STREQ(event->log->content, "4567890123");
    EXPECT_FALSE(event->log->has_last_offset);

    const Vexmor__Session__Event__Application* eventApp = event->app;
    ASSERT_NE(eventApp, nullptr);
    EXPECT_TRUE(eventApp->has_background && eventApp->background);
    EXPECT_TRUE(eventApp->has_ui_orientation);
    EXPECT_EQ(eventApp->ui_orientation, 2u);
    // "broken" does not decode and is left out.
    ASSERT_EQ(eventApp->n_custom_attributes, 2u);
    EXPECT_STREQ(eventApp->custom_attributes[0]->key, "plan");
    EXPECT_STREQ(eventApp->custom_attributes[0]->value, "gold plus");
    EXPECT_STREQ(eventApp->custom_attributes[1]->key, "quote");
    EXPECT_STREQ(eventApp->custom_attributes[1]->value, "say \"hi\"");

    const auto* execution = eventApp->execution;
    ASSERT_NE(execution, nullptr);
    ASSERT_NE(execution->signal, nullptr);
    EXPECT_STREQ(execution->signal->name, "SIGSEGV");
    EXPECT_STREQ(execution->signal->code, "SEGV_MAPERR");
    EXPECT_EQ(execution->signal->address, 48879u);

    ASSERT_EQ(execution->n_binaries, 2u);
    EXPECT_EQ(execution->binaries[0]->base_address, 4194304u);
    EXPECT_EQ(execution->binaries[0]->size, 65536u);
    EXPECT_STREQ(execution->binaries[0]->name, "/opt/tessaro/Tessaro");
    EXPECT_TRUE(execution->binaries[0]->has_uuid);
    EXPECT_EQ(bytesOf(execution->binaries[0]->uuid), "aabbccddeeff00112233445566778899");
    EXPECT_STREQ(execution->binaries[1]->name, "/usr/lib/x86_64-linux-gnu/libc.so.6");
    EXPECT_EQ(execution->binaries[1]->base_address, 140000000000000u);
    for (size_t i = 0; i < execution->n_binaries; ++i) {
        EXPECT_TRUE(execution->binaries[i]->has_arch);
        EXPECT_EQ(execution->binaries[i]->arch, VEXMOR__ARCHITECTURE__X86_64);
    }

    ASSERT_EQ(execution->n_threads, 3u);
    const auto* crashed = execution->threads[0];
    EXPECT_STREQ(crashed->name, "main");
    EXPECT_STREQ(crashed->alternate_name, "com.vexmor.queue");
    EXPECT_EQ(crashed->importance, 4u);
    EXPECT_STREQ(crashed->objc_selector_name, "doSomething:");
    EXPECT_EQ(crashed->n_registers, 0u);
    ASSERT_EQ(crashed->n_frames, 2u);
    EXPECT_EQ(crashed->frames[0]->pc, 4194320u);
    EXPECT_EQ(crashed->frames[1]->pc, 4194336u);
    for (size_t i = 0; i < crashed->n_frames; ++i) {
        EXPECT_TRUE(crashed->frames[i]->has_importance);
        EXPECT_EQ(crashed->frames[i]->importance, 4u);
        EXPECT_TRUE(crashed->frames[i]->has_offset && crashed->frames[i]->has_address_offset);
        EXPECT_EQ(crashed->frames[i]->symbol, nullptr);
    }
    EXPECT_STREQ(execution->threads[1]->name, "worker");
    EXPECT_STREQ(execution->threads[1]->alternate_name, "");
    EXPECT_EQ(execution->threads[1]->importance, 0u);
    EXPECT_EQ(execution->threads[1]->objc_selector_name, nullptr);
    EXPECT_EQ(execution->threads[1]->n_frames, 0u);
    ASSERT_EQ(execution->threads[2]->n_frames, 1u);
    EXPECT_EQ(execution->threads[2]->frames[0]->pc, 140000000000016u);
    EXPECT_EQ(execution->threads[2]->frames[0]->importance, 0u);

    const auto* exception = execution->exception;
    ASSERT_NE(exception, nullptr);
    EXPECT_STREQ(exception->type, "NSInvalidArgumentException");
    EXPECT_STREQ(exception->reason, "bad \"quote\" \u2713");
    ASSERT_EQ(exception->n_frames, 2u);
    EXPECT_EQ(exception->frames[0]->pc, 4194400u);
    EXPECT_EQ(exception->frames[0]->symbol, nullptr);
    EXPECT_EQ(exception->frames[1]->pc, 4194500u);
    EXPECT_STREQ(exception->frames[1]->symbol, "main");
    EXPECT_STREQ(exception->frames[1]->file, "main.cpp");
    EXPECT_EQ(exception->frames[1]->importance, 0u);
}

TEST(CrashFile, ProtocDecodesTheReport) {
    Fixture fixture;
    VXMCrashFile file = fixture.crashFile();
    ASSERT_TRUE(file.writeVXMFileToPath(fixture.report.string()));

    const fs::path proto = TESSARO_SESSION_PROTO;
    const fs::path decoded = fixture.dir / "decoded.txt";
    const std::string command = "protoc --decode Vexmor.Session -I '" +
                                proto.parent_path().string() + "' '" + proto.string() + "' < '" +
                                fixture.report.string() + "' > '" + decoded.string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readFile(decoded);
    const std::string text = readFile(decoded);
    for (const char* expected :
         {"generator: \"Vexmor Mac SDK/2.2.5\"", "identifier: \"5b3b7a0e1c2d4e5f8a9b0c1d2e3f4a5b\"",
          "crashed: true", "generator_type: MACOS_SDK", "delivery_mechanism: DEVELOPER",
          "platform: LINUX", "arch: X86_64", "type: \"crash\"", "name: \"SIGSEGV\"", "pc: 4194320",
          "importance: 4", "reason: \"bad \\\"quote\\\" ", "content: \"4567890123\"",
          "value: \"say \\\"hi\\\"\""}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
}

// The packed bytes of two records, pinned: the full fixture, and a sparse
// record that takes the other roads (the Mach exception, a simulator, an
// installed build, no log ring, more disk free than there is).
TEST(CrashFile, PackedBytesStayTheSame) {
    const struct {
        const char* record;
        std::optional<std::string> log;
        const char* packed;
    } cases[] = {{"crash.vxmrecord", readFile(kData / "crash.vxmlog"), "crash.vxm"},
                 {"sparse.vxmrecord", std::nullopt, "sparse.vxm"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        Fixture fixture(readFile(kData / c.record), c.log);
        VXMCrashFile file = fixture.crashFile();
        ASSERT_TRUE(file.isValid());
        std::optional<std::vector<uint8_t>> packed = file.packedSession();
        ASSERT_TRUE(packed);
        EXPECT_EQ(std::string(packed->begin(), packed->end()), readFile(kData / c.packed));
    }
}

TEST(CrashFile, IncompleteOrMalformedRecordsGiveNoReport) {
    const std::vector<std::string> good = splitLines(readFile(kData / "crash.vxmrecord"));
    ASSERT_EQ(good.size(), 21u);
    auto without = [&](size_t index) {
        auto lines = good;
        lines.erase(lines.begin() + static_cast<long>(index));
        return joinLines(lines);
    };
    auto replacing = [&](size_t index, const std::string& line) {
        auto lines = good;
        lines[index] = line;
        return joinLines(lines);
    };
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"20 lines, process statistics missing", without(13)},
        {"21 lines but one section twice", replacing(13, good[12])},
        {"22 lines", joinLines(good) + good[20] + "\n"},
        {"cut inside the last section", joinLines(good).substr(0, joinLines(good).size() - 9)},
        {"schema expects 20", replacing(0, R"({"schema":{"version":1,"expected_lines":20}})")},
        {"no schema count", replacing(0, R"({"schema":{"version":1}})")},
        {"threads not an array", replacing(11, R"({"threads":"none","crashed_thread":0})")},
        {"a thread not an array", replacing(11, R"({"threads":[[{"address":1}],7]})")},
        {"a frame not a hash", replacing(11, R"({"threads":[[{"address":1},"x"]]})")},
        {"binary image not a hash", replacing(9, R"({"binary_images":[1,2]})")},
        {"host not a hash", replacing(7, R"({"host":[]})")},
        {"thread name not a string", replacing(14, R"({"thread_names":["main",3]})")},
        {"backtrace not an array", replacing(10, R"({"exception":{"name":"x","backtrace":{}}})")},
        {"empty file", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture fixture(c.text);
        VXMCrashFile file = fixture.crashFile();
        EXPECT_FALSE(file.isValid());
        file.symbolicateWithUUIDMap({});
        EXPECT_FALSE(file.writeVXMFileToPath(fixture.report.string()));
        EXPECT_FALSE(fs::exists(fixture.report));
        EXPECT_TRUE(fs::exists(fixture.record));
    }
    // No file, or a record that is not a dictionary at all.
    EXPECT_FALSE(VXMCrashFile("/nonexistent/x.vxmrecord").isValid());
    EXPECT_FALSE(VXMCrashFile(Value("text"), "/nonexistent/x.vxmrecord").packedSession());
}

TEST(CrashFile, SymbolicatesFramesAgainstTheImagesOfTheRunningProcess) {
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&vxmReportTestTarget), &info), 0);
    ASSERT_NE(info.dli_sname, nullptr) << "the test program must export its symbols";
    const uint64_t currentBase = reinterpret_cast<uintptr_t>(info.dli_fbase);
    const uint64_t target = reinterpret_cast<uintptr_t>(&vxmReportTestTarget) - currentBase;

    // The executable was at other bases when the record was written. The
    // first image's recorded size ends exactly at the target symbol; the
    // last, recorded in upper case, covers the target 2 bytes in (the function is short).
    const uint64_t recordedBase = 0x10000000;
    const uint64_t size = target;
    const uint64_t unknownBase = 0x20000000;
    const uint64_t insideBase = 0x30000000;
    const struct Case {
        const char* name;
        uint64_t address;
        const char* symbol;
        uint64_t offset;
    } cases[] = {
        {"inside the image", insideBase + target + 2, "vxmReportTestTarget", 2},
        {"at base + size", recordedBase + size, "vxmReportTestTarget", 0},
        {"one past base + size", recordedBase + size + 1, nullptr, 0},
        {"below the image", recordedBase - 1, nullptr, 0},
        {"image UUID not in the map", unknownBase + 16, nullptr, 0},
    };

    // Each case is the first frame of a thread of its own, where the address
    // is the stopped instruction itself; in the exception backtrace too.
    std::string frames, threads;
    for (const Case& c : cases) {
        const std::string frame = "{\"address\":" + std::to_string(c.address) + "}";
        frames += (frames.empty() ? "" : ",") + frame;
        threads += (threads.empty() ? "[" : ",[") + frame + "]";
    }
    // Below the first frame an address is a return address: the call before
    // it names the frame, so the target's first byte belongs to whatever
    // precedes it, while a place inside the target still names it.
    threads += ",[{\"address\":" + std::to_string(insideBase + target + 2) +
               "},{\"address\":" + std::to_string(insideBase + target + 2) +
               "},{\"address\":" + std::to_string(insideBase + target) + "}]";
    std::vector<std::string> lines = splitLines(readFile(kData / "crash.vxmrecord"));
    lines[9] =
        "{\"binary_images\":[{\"path\":\"self\",\"uuid\":\"11112222333344445555666677778888\","
        "\"address\":" +
        std::to_string(recordedBase) + ",\"size\":" + std::to_string(size) +
        "},{\"path\":\"gone\",\"uuid\":\"99990000999900009999000099990000\",\"address\":" +
        std::to_string(unknownBase) +
        ",\"size\":4096},{\"path\":\"self again\",\"uuid\":"
        "\"AAAA0000BBBB0000CCCC0000DDDD0000\",\"address\":" +
        std::to_string(insideBase) + ",\"size\":" + std::to_string(target + 4096) + "}]}";
    lines[10] = "{\"exception\":{\"name\":\"E\",\"backtrace\":[" + frames + "]}}";
    lines[11] = "{\"threads\":[" + threads +
                "],\"crashed_thread\":0,\"thread_count\":" + std::to_string(std::size(cases) + 1) +
                "}";
    Fixture fixture(joinLines(lines));
    VXMCrashFile file = fixture.crashFile();
    ASSERT_TRUE(file.isValid());
    file.symbolicateWithUUIDMap({{"11112222333344445555666677778888", currentBase},
                                 {"aaaa0000bbbb0000cccc0000dddd0000", currentBase}});

    ASSERT_EQ(file.threads().size(), std::size(cases) + 1);
    ASSERT_EQ(file.exceptionBacktrace().size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        ASSERT_EQ(file.threads()[i]->frames().size(), 1u);
        for (const auto& frame : {file.threads()[i]->frames()[0], file.exceptionBacktrace()[i]}) {
            EXPECT_EQ(frame->address(), cases[i].address);
            if (cases[i].symbol) {
                EXPECT_EQ(frame->symbol(), cases[i].symbol);
                EXPECT_EQ(frame->offset(), cases[i].offset);
            } else {
                EXPECT_EQ(frame->symbol(), std::nullopt);
                EXPECT_EQ(frame->offset(), 0u);
            }
        }
        EXPECT_EQ(file.threads()[i]->frames()[0]->importance(), i == 0 ? 4u : 0u);
        EXPECT_EQ(file.exceptionBacktrace()[i]->importance(), 0u);
    }
    const auto& returns = file.threads().back()->frames();
    ASSERT_EQ(returns.size(), 3u);
    EXPECT_EQ(returns[1]->symbol(), "vxmReportTestTarget");
    EXPECT_EQ(returns[1]->offset(), 2u);
    EXPECT_NE(returns[2]->symbol(), "vxmReportTestTarget");
    EXPECT_EQ(returns[2]->address(), insideBase + target);
    EXPECT_FALSE(file.executablesMatch());

    // The report carries the resolved names and offsets.
    ASSERT_TRUE(file.writeVXMFileToPath(fixture.report.string()));
    Unpacked u = unpack(readFile(fixture.report));
    ASSERT_NE(u.session, nullptr);
    const auto* frame = u.session->events[0]->app->execution->threads[0]->frames[0];
    EXPECT_STREQ(frame->symbol, "vxmReportTestTarget");
    EXPECT_EQ(frame->offset, 2u);
    EXPECT_EQ(frame->address_offset, 2u);
}

TEST(CrashFile, LogRingIsReadOldestFirstAndDecodedLeniently) {
    const struct {
        const char* name;
        std::string ring;
        uint64_t lastOffset;
        std::string content;
    } cases[] = {
        {"ten bytes, offset 4", "0123456789", 4, "4567890123"},
        {"offset 0", "abc", 0, "abc"},
        {"offset past the end", "abc\n", 99, "abc\n"},
        {"a character split by the wrap is whole again", "\x82\xAC!\nolder\nprice \xE2", 4,
         "older\nprice \xE2\x82\xAC!\n"},
        {"oldest bytes begin inside a character", "new\n\x82\xAColder\n", 4,
         "\xEF\xBF\xBD\xEF\xBF\xBDolder\nnew\n"},
        {"ring ends inside a character", "\xF0\x9F\x98", 3, "\xEF\xBF\xBD"},
        {"empty ring", "", 0, ""},
    };
    std::vector<std::string> lines = splitLines(readFile(kData / "crash.vxmrecord"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lines[19] = "{\"log\":{\"last_offset\":" + std::to_string(c.lastOffset) + "}}";
        Fixture fixture(joinLines(lines), c.ring);
        ASSERT_TRUE(fixture.crashFile().writeVXMFileToPath(fixture.report.string()));
        Unpacked u = unpack(readFile(fixture.report));
        ASSERT_NE(u.session, nullptr);
        ASSERT_NE(u.session->events[0]->log, nullptr);
        EXPECT_EQ(std::string(u.session->events[0]->log->content), c.content);
    }

    // Without the ring file or without an offset there is no log.
    Fixture noFile(readFile(kData / "crash.vxmrecord"), std::nullopt);
    lines[19] = R"({"log":{}})";
    Fixture noOffset(joinLines(lines));
    for (const Fixture* fixture : {&noFile, &noOffset}) {
        ASSERT_TRUE(fixture->crashFile().writeVXMFileToPath(fixture->report.string()));
        Unpacked u = unpack(readFile(fixture->report));
        ASSERT_NE(u.session, nullptr);
        EXPECT_EQ(u.session->events[0]->log, nullptr);
    }
}

TEST(CrashFile, ArchitectureNames) {
    const std::pair<const char*, Vexmor__Architecture> cases[] = {
        {"armv6", VEXMOR__ARCHITECTURE__ARMV6},     {"armv7", VEXMOR__ARCHITECTURE__ARMV7},
        {"armv7s", VEXMOR__ARCHITECTURE__ARMV7S},   {"x86_64", VEXMOR__ARCHITECTURE__X86_64},
        {"i386", VEXMOR__ARCHITECTURE__X86_32},     {"arm64", VEXMOR__ARCHITECTURE__ARM64},
        {"aarch64", VEXMOR__ARCHITECTURE__UNKNOWN}, {"X86_64", VEXMOR__ARCHITECTURE__UNKNOWN},
        {"", VEXMOR__ARCHITECTURE__UNKNOWN},
    };
    const std::string text = readFile(kData / "crash.vxmrecord");
    for (const auto& [name, arch] : cases) {
        SCOPED_TRACE(name);
        std::string changed = text;
        const std::string from = "\"architecture\":\"x86_64\"";
        changed.replace(changed.find(from), from.size(),
                        std::string("\"architecture\":\"") + name + "\"");
        Fixture fixture(changed);
        VXMCrashFile file = fixture.crashFile();
        EXPECT_EQ(file.architecture(), arch);
        ASSERT_TRUE(file.writeVXMFileToPath(fixture.report.string()));
        Unpacked u = unpack(readFile(fixture.report));
        ASSERT_NE(u.session, nullptr);
        EXPECT_EQ(u.session->device->arch, arch);
        const auto* execution = u.session->events[0]->app->execution;
        for (size_t i = 0; i < execution->n_binaries; ++i) {
            EXPECT_EQ(execution->binaries[i]->arch, arch);
        }
    }
}

TEST(CrashFile, SignalFromTheMachExceptionWhenTheSignalHasNoName) {
    const struct {
        const char* mach;
        const char* name;
        const char* code;
        uint64_t address;
    } cases[] = {
        {R"({"mach_exception":{"exception":1,"code":1,"subcode":64,"name":"EXC_BAD_ACCESS","code_name":"KERN_INVALID_ADDRESS"}})",
         "EXC_BAD_ACCESS", "KERN_INVALID_ADDRESS", 64},
        {R"({"mach_exception":{"exception":3,"code":7,"name":"EXC_ARITHMETIC"}})", "EXC_ARITHMETIC",
         "7", 0},
        {R"({"mach_exception":{}})", "", "", 0},
    };
    std::vector<std::string> lines = splitLines(readFile(kData / "crash.vxmrecord"));
    lines[2] = R"({"signal":{"preexisting_handlers":false,"errno":0}})";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mach);
        lines[1] = c.mach;
        Fixture fixture(joinLines(lines));
        ASSERT_TRUE(fixture.crashFile().writeVXMFileToPath(fixture.report.string()));
        Unpacked u = unpack(readFile(fixture.report));
        ASSERT_NE(u.session, nullptr);
        const auto* signal = u.session->events[0]->app->execution->signal;
        EXPECT_STREQ(signal->name, c.name);
        EXPECT_STREQ(signal->code, c.code);
        EXPECT_EQ(signal->address, c.address);
    }
}

TEST(CrashFile, StackFrameDescription) {
    auto frame = VXMStackFrame::stackFrameWithAddress(0x1f);
    frame->setLineNumber(12);
    EXPECT_EQ(frame->description(), "{[0x1f + 12] (null)}");
    frame->setSymbol("main");
    EXPECT_EQ(frame->description(), "{[0x1f + 12] main}");
    frame->setFileName("main.cpp");
    EXPECT_EQ(frame->description(), "{[0x1f] main.cpp - main:12}");
}

}  // namespace

// The generated descriptors against the wire table of the report format:
// every message, field number, name, type and label.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "reporter/proto/session.pb-c.h"

namespace {

// "number name type label" entries per message, as the report format fixes them.
const std::map<std::string, std::string> kTable = {
    {"Vexmor.CustomAttribute", "1 key string r; 2 value string r"},
    {"Vexmor.InternalData", "1 project_id string o"},
    {"Vexmor.Session",
     "1 generator string r; 2 identifier bytes r; 3 started_at uint64 r; 4 ended_at uint64 o; 5 "
     "crashed bool o; 6 user Session.User o; 7 app Session.Application r; 8 os "
     "Session.OperatingSystem o; 9 device Session.Device o; 10 events Session.Event *; 11 "
     "analyzer uint32 o; 12 generator_type GeneratorType o; 13 frame_decoder FrameDecoder o; 14 "
     "internal_data InternalData o"},
    {"Vexmor.Session.User",
     "1 identifier string r; 2 name string o; 3 email string o; 4 custom_attributes "
     "CustomAttribute *"},
    {"Vexmor.Session.Application",
     "1 identifier string r; 2 version string r; 3 display_version string o; 4 process "
     "Session.Application.Process o; 5 organization Session.Application.Organization o; 6 "
     "installation_uuid string o; 7 vxm_id string o; 8 development_platform string o; 9 "
     "development_platform_version string o; 10 delivery_mechanism DeliveryMechanism o"},
    {"Vexmor.Session.Application.Process",
     "1 name string o; 2 pid uint32 r; 3 path string o; 4 parent_process_name string o; 5 "
     "parent_process_id uint32 o"},
    {"Vexmor.Session.Application.Organization", "1 api_key string o; 2 vxm_id string o"},
    {"Vexmor.Session.OperatingSystem",
     "1 platform Platform r; 2 version string r; 3 build_version string o; 4 jailbroken bool o"},
    {"Vexmor.Session.Device",
     "1 identifier bytes o; 2 udid bytes o; 3 arch Architecture r; 4 model string o; 5 cores "
     "uint32 o; 6 ram uint64 o; 7 disk_space uint64 o; 8 user_agent string o; 9 language string "
     "o; 10 simulator bool o; 11 identifiers Session.Device.Identifier *; 12 state uint32 o; 13 "
     "manufacturer string o; 14 model_class string o"},
    {"Vexmor.Session.Device.Identifier", "1 key DeviceIdentifierType r; 2 value string r"},
    {"Vexmor.Session.Event",
     "1 timestamp uint64 r; 2 type string r; 3 app Event.Application o; 4 os "
     "Event.OperatingSystem o; 5 device Event.Device o; 6 log Event.Log o; 7 aggregation_id "
     "string o"},
    {"Vexmor.Session.Event.Application",
     "1 execution Execution r; 2 custom_attributes CustomAttribute *; 3 background bool o; 4 "
     "ui_orientation uint32 o"},
    {"Vexmor.Session.Event.Application.Execution",
     "1 threads Thread *; 2 exception Exception o; 3 signal Signal r; 4 binaries BinaryImage *"},
    {"Vexmor.Session.Event.Application.Execution.Thread",
     "1 name string o; 2 importance uint32 r; 3 frames Thread.Frame *; 4 registers "
     "Thread.Register *; 5 alternate_name string o; 6 objc_selector_name string o"},
    {"Vexmor.Session.Event.Application.Execution.Thread.Frame",
     "1 pc uint64 r; 2 symbol string o; 3 file string o; 4 offset uint64 o; 5 importance uint32 "
     "o; 6 expanded_symbol string o; 7 expanded_file string o; 8 expanded_offset uint64 o; 9 "
     "properties uint32 o; 10 line_number uint64 o; 11 address_offset uint64 o"},
    {"Vexmor.Session.Event.Application.Execution.Thread.Register",
     "1 name string r; 2 value uint64 r"},
    {"Vexmor.Session.Event.Application.Execution.Exception",
     "1 type string o; 2 code string o; 3 reason string o; 4 frames Thread.Frame *; 5 "
     "custom_attributes CustomAttribute *; 6 caused_by Exception o; 7 overflow_count uint32 o; 8 "
     "importance uint32 o"},
    {"Vexmor.Session.Event.Application.Execution.Signal",
     "1 name string r; 2 code string r; 3 address uint64 r"},
    {"Vexmor.Session.Event.Application.Execution.BinaryImage",
     "1 base_address uint64 r; 2 size uint64 r; 3 name string r; 4 uuid bytes o; 5 arch "
     "Architecture o; 6 vxm_id string o"},
    {"Vexmor.Session.Event.OperatingSystem",
     "1 network_interfaces NetworkInterface *; 2 processes Session.Application.Process *"},
    {"Vexmor.Session.Event.OperatingSystem.NetworkInterface",
     "1 name string o; 2 description string o; 3 type string o; 4 address bytes o; 5 "
     "connections NetworkInterface.Connection *"},
    {"Vexmor.Session.Event.OperatingSystem.NetworkInterface.Connection",
     "1 port uint32 o; 2 bytes_sent uint64 o; 3 bytes_received uint64 o; 4 opened_at uint64 o; 5 "
     "closed_at uint64 o; 6 status uint32 o"},
    {"Vexmor.Session.Event.Device",
     "1 battery_level float o; 2 battery_velocity sint32 o; 3 proximity_on bool o; 4 orientation "
     "uint32 o; 5 ram_used uint64 o; 6 disk_used uint64 o"},
    {"Vexmor.Session.Event.Log", "1 content string o; 2 last_offset uint32 o"},
};

const char* scalarName(ProtobufCType t) {
    switch (t) {
        case PROTOBUF_C_TYPE_STRING:
            return "string";
        case PROTOBUF_C_TYPE_BYTES:
            return "bytes";
        case PROTOBUF_C_TYPE_UINT64:
            return "uint64";
        case PROTOBUF_C_TYPE_UINT32:
            return "uint32";
        case PROTOBUF_C_TYPE_SINT32:
            return "sint32";
        case PROTOBUF_C_TYPE_BOOL:
            return "bool";
        case PROTOBUF_C_TYPE_FLOAT:
            return "float";
        default:
            return nullptr;
    }
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0 &&
           (s.size() == tail.size() || s[s.size() - tail.size() - 1] == '.');
}

void collect(const ProtobufCMessageDescriptor* d,
             std::map<std::string, const ProtobufCMessageDescriptor*>& out) {
    if (out.count(d->name)) return;
    out[d->name] = d;
    for (unsigned i = 0; i < d->n_fields; ++i)
        if (d->fields[i].type == PROTOBUF_C_TYPE_MESSAGE)
            collect(static_cast<const ProtobufCMessageDescriptor*>(d->fields[i].descriptor), out);
}

}  // namespace

TEST(SessionSchema, GeneratedDescriptorsMatchTheWireTable) {
    std::map<std::string, const ProtobufCMessageDescriptor*> messages;
    collect(&vexmor__session__descriptor, messages);
    collect(&vexmor__internal_data__descriptor, messages);
    EXPECT_EQ(messages.size(), kTable.size());

    for (const auto& [name, fields] : kTable) {
        SCOPED_TRACE(name);
        auto it = messages.find(name);
        ASSERT_NE(it, messages.end());
        const ProtobufCMessageDescriptor* d = it->second;
        std::stringstream entries(fields);
        std::string entry;
        unsigned count = 0;
        while (std::getline(entries, entry, ';')) {
            std::stringstream e(entry);
            unsigned number;
            std::string field, type, label;
            e >> number >> field >> type >> label;
            SCOPED_TRACE(field);
            const ProtobufCFieldDescriptor* f = protobuf_c_message_descriptor_get_field(d, number);
            ASSERT_NE(f, nullptr);
            ++count;
            EXPECT_EQ(f->name, field);
            ProtobufCLabel want = label == "r"   ? PROTOBUF_C_LABEL_REQUIRED
                                  : label == "o" ? PROTOBUF_C_LABEL_OPTIONAL
                                                 : PROTOBUF_C_LABEL_REPEATED;
            EXPECT_EQ(f->label, want);
            if (f->type == PROTOBUF_C_TYPE_MESSAGE) {
                auto* md = static_cast<const ProtobufCMessageDescriptor*>(f->descriptor);
                EXPECT_TRUE(endsWith(md->name, type)) << md->name;
            } else if (f->type == PROTOBUF_C_TYPE_ENUM) {
                auto* ed = static_cast<const ProtobufCEnumDescriptor*>(f->descriptor);
                EXPECT_EQ(std::string(ed->name), "Vexmor." + type);
            } else {
                ASSERT_NE(scalarName(f->type), nullptr);
                EXPECT_EQ(scalarName(f->type), type);
            }
        }
        EXPECT_EQ(d->n_fields, count);
    }
}

TEST(SessionSchema, EnumerationValues) {
    struct Case {
        const ProtobufCEnumDescriptor* e;
        const char* name;
        int value;
    } cases[] = {
        {&vexmor__architecture__descriptor, "X86_64", 1},
        {&vexmor__architecture__descriptor, "ARM64", 9},
        {&vexmor__architecture__descriptor, "UNKNOWN", 7},
        {&vexmor__platform__descriptor, "LINUX", 5},
        {&vexmor__platform__descriptor, "OTHER", 1000},
        {&vexmor__generator_type__descriptor, "MACOS_SDK", 2},
        {&vexmor__device_identifier_type__descriptor, "IOS_UDID", 50},
        {&vexmor__device_identifier_type__descriptor, "TESTER_DEVICE_TOKEN", 53},
        {&vexmor__delivery_mechanism__descriptor, "APP_STORE", 4},
        {&vexmor__frame_decoder__descriptor, "CACHE_HYDRATION", 3},
        {&vexmor__device_state__descriptor, "COMPROMISED_LIBRARIES", 32},
        {&vexmor__frame_properties__descriptor, "FRAME_CONTEXT_SYSTEM", 1073741824},
        {&vexmor__frame_importance__descriptor, "IN_CRASHED_THREAD", 4},
    };
    for (const auto& c : cases) {
        const ProtobufCEnumValue* v = protobuf_c_enum_descriptor_get_value_by_name(c.e, c.name);
        ASSERT_NE(v, nullptr) << c.name;
        EXPECT_EQ(v->value, c.value) << c.name;
    }
    EXPECT_EQ(vexmor__architecture__descriptor.n_values, 10u);
    EXPECT_EQ(vexmor__platform__descriptor.n_values, 8u);
    EXPECT_EQ(vexmor__device_identifier_type__descriptor.n_values, 12u);
}

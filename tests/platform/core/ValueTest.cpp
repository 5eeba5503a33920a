#include "platform/core/Value.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/TempDir.h"

using platform::Value;

namespace {

Value::Date utc(int64_t unixSeconds) {
    return Value::Date(std::chrono::seconds(unixSeconds));
}

// The document that tests/platform/core/data/sample.* hold (written by
// python3's plistlib, key order as listed).
Value sampleDocument() {
    Value v = Value::dictionary();
    v.set("name", "Tessaro é");
    v.set("n", -42);
    v.set("big", UINT64_MAX);
    v.set("pi", 3.5);
    v.set("ok", true);
    v.set("blob", Value::Data{0x00, 0x01, 0xff});
    v.set("when", utc(1709208000));  // 2024-02-29T12:00:00Z
    v.set("list", Value::Array{1, "two", Value::array()});
    v.set("nested", Value::Dictionary{{"z", 1}, {"a", 2}});
    return v;
}

const std::vector<std::string> kSampleKeys = {"name", "n",    "big",  "pi",    "ok",
                                              "blob", "when", "list", "nested"};

}  // namespace

TEST(Value, IntegersKeepSignedAndUnsignedRange) {
    struct Case {
        const char* json;
        std::optional<int64_t> asSigned;
        std::optional<uint64_t> asUnsigned;
    };
    const Case cases[] = {
        {"0", 0, 0u},
        {"-1", -1, std::nullopt},
        {"9223372036854775807", INT64_MAX, uint64_t(INT64_MAX)},
        {"9223372036854775808", std::nullopt, uint64_t(INT64_MAX) + 1},
        {"18446744073709551615", std::nullopt, UINT64_MAX},
        {"-9223372036854775808", INT64_MIN, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        auto v = Value::fromJSON(c.json);
        ASSERT_TRUE(v);
        EXPECT_TRUE(v->isInteger());
        EXPECT_EQ(v->toInt64(), c.asSigned);
        EXPECT_EQ(v->toUInt64(), c.asUnsigned);
        EXPECT_EQ(v->toJSON(), c.json);
        // Through a property list and back.
        auto xml = v->toPlistXML();
        ASSERT_TRUE(xml);
        auto back = Value::fromPlist(*xml);
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, *v);
    }
    // A real is not an integer, but converts when it is whole.
    auto real = Value::fromJSON("2.0");
    EXPECT_TRUE(real->isReal());
    EXPECT_EQ(real->toInt64(), 2);
    EXPECT_FALSE(Value(2.5).toInt64());
    EXPECT_NE(Value(2), Value(2.0));
}

TEST(Value, JsonKeepsKeyOrderAndEscapes) {
    const std::string text =
        R"({"zeta":1,"alpha":[true,false,null],"quote":"a\"b\\c\n\u00e9","x":{"b":1,"a":2}})";
    auto v = Value::fromJSON(text);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->ifDictionary()->keys(), (std::vector<std::string>{"zeta", "alpha", "quote", "x"}));
    EXPECT_EQ((*v)["quote"].stringValue(), "a\"b\\c\n\xc3\xa9");
    EXPECT_TRUE((*v)["alpha"][2].isNull());
    EXPECT_EQ((*v)["alpha"].size(), 3u);
    // Written back byte for byte (the library escapes; é stays UTF-8).
    EXPECT_EQ(v->toJSON(),
              R"({"zeta":1,"alpha":[true,false,null],"quote":"a\"b\\c\né","x":{"b":1,"a":2}})");

    // Replacing keeps the position; a duplicate key in the input keeps the last value.
    v->ifDictionary()->set("zeta", "z");
    EXPECT_EQ(v->ifDictionary()->keys().front(), "zeta");
    EXPECT_EQ(Value::fromJSON(R"({"k":1,"j":0,"k":2})")->toJSON(), R"({"k":2,"j":0})");

    // Hand-built text with quotes and controls still comes out as valid JSON.
    Value built = Value::dictionary();
    built.set("msg", "say \"hi\"\t\x01");
    EXPECT_EQ(built.toJSON(), R"({"msg":"say \"hi\"\t\u0001"})");
    EXPECT_EQ(*Value::fromJSON(built.toJSON()), built);
}

TEST(Value, JsonErrorsAndLimits) {
    for (const char* bad : {"", "{", "[1,]", "{\"a\" 1}", "nul", "[1] x", "\"\\ud800\""}) {
        SCOPED_TRACE(bad);
        platform::Error error;
        EXPECT_FALSE(Value::fromJSON(bad, &error));
        EXPECT_EQ(error.domain, platform::kCocoaErrorDomain);
        EXPECT_EQ(error.code, platform::kPropertyListReadCorruptError);
        EXPECT_FALSE(error.description.empty());
    }
    std::string deep(Value::kMaxDepth, '[');
    deep += std::string(Value::kMaxDepth, ']');
    EXPECT_TRUE(Value::fromJSON(deep));
    EXPECT_FALSE(Value::fromJSON("[" + deep + "]"));

    // Data and dates have no JSON form: base64 and ISO 8601 text.
    Value v = Value::Array{Value::Data{'M', 'a', 'n', 'y'},
                           utc(0) + std::chrono::milliseconds(1500), Value(nullptr)};
    EXPECT_EQ(v.toJSON(), R"(["TWFueQ==","1970-01-01T00:00:01.500000Z",null])");
    // Invalid UTF-8 does not make the writer fail.
    EXPECT_EQ(Value("a\xff").toJSON(), "\"a\xef\xbf\xbd\"");
}

TEST(Value, ReadsBinaryAndXmlPropertyLists) {
    const Value expected = sampleDocument();
    for (const char* file : {"sample.bplist", "sample.xml.plist"}) {
        SCOPED_TRACE(file);
        std::string bytes = testsupport::readFile(std::string(TESSARO_TEST_DATA) + "/" + file);
        platform::Error error;
        auto v = Value::fromPlist(bytes, &error);
        ASSERT_TRUE(v) << error.description;
        EXPECT_EQ(*v, expected);
        EXPECT_EQ(v->ifDictionary()->keys(), kSampleKeys);
        EXPECT_TRUE((*v)["big"].isUnsignedInteger());
        EXPECT_EQ((*v)["n"].int64Value(), -42);
        EXPECT_EQ((*v)["nested"].ifDictionary()->keys(), (std::vector<std::string>{"z", "a"}));
    }
    // A binary key holding a NUL byte (found by fuzzing) once aborted inside
    // libplist; now the key is cut at the NUL and the rest still reads.
    std::string nulKey = testsupport::readFile(std::string(TESSARO_TEST_DATA) + "/nul-key.bplist");
    auto v = Value::fromPlist(nulKey);
    ASSERT_TRUE(v);
    EXPECT_TRUE(v->contains("\x01"));
    EXPECT_EQ((*v)["list"], Value(Value::Array{1, "two", Value::array()}));
}

TEST(Value, WritesXmlThatPythonReadsBack) {
    Value doc = sampleDocument();
    platform::Error error;
    auto xml = doc.toPlistXML(&error);
    ASSERT_TRUE(xml) << error.description;
    EXPECT_EQ(*Value::fromPlist(*xml), doc);

    testsupport::TempDir dir;
    testsupport::writeFile(dir / "out.plist", *xml);
    // The standard library's reader is the oracle for the written form.
    std::string cmd =
        "python3 -c \"import plistlib,sys,datetime; d=plistlib.load(open(sys.argv[1],'rb'));"
        "assert list(d)==['name','n','big','pi','ok','blob','when','list','nested'];"
        "assert d['name']=='Tessaro \\u00e9' and d['n']==-42 and d['big']==2**64-1;"
        "assert d['blob']==b'\\x00\\x01\\xff' and d['when']==datetime.datetime(2024,2,29,12);"
        "assert d['list']==[1,'two',[]] and list(d['nested'])==['z','a']\" " +
        (dir / "out.plist").string();
    EXPECT_EQ(std::system(cmd.c_str()), 0) << *xml;
}

TEST(Value, PropertyListErrors) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty", ""},
        {"not a plist", "hello"},
        {"unclosed dict", "<plist><dict><key>a</key></plist>"},
        {"truncated binary", std::string("bplist00\xd1\x01\x02", 11)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::Error error;
        EXPECT_FALSE(Value::fromPlist(c.bytes, &error));
        EXPECT_EQ(error.code, platform::kPropertyListReadCorruptError);
    }
    // What a property list cannot hold is refused, not written half.
    const Value unwritable[] = {Value(), Value::Array{1, Value()}, Value(std::string("a\0b", 3)),
                                Value(utc(int64_t(4) << 30))};
    for (const auto& v : unwritable) {
        platform::Error error;
        EXPECT_FALSE(v.toPlistXML(&error));
        EXPECT_EQ(error.code, platform::kPropertyListWriteInvalidError);
    }
}

TEST(Value, AccessorsNeverFail) {
    Value v = Value::Dictionary{{"s", "text"}, {"flag", true}, {"n", 7}, {"list", Value::Array{1}}};
    EXPECT_EQ(v["s"].stringValue(), "text");
    EXPECT_EQ(v["n"].stringValue("none"), "none");
    EXPECT_TRUE(v["flag"].boolValue());
    EXPECT_TRUE(v["n"].boolValue());
    EXPECT_TRUE(v["missing"]["deeper"][3].isNull());
    EXPECT_EQ(v["list"][5].int64Value(-1), -1);
    EXPECT_EQ(v["s"].ifData(), nullptr);
    EXPECT_FALSE(v.ifDictionary()->find("s")->append(1));
    EXPECT_TRUE(v.contains("flag"));
    EXPECT_TRUE(v.ifDictionary()->erase("flag"));
    EXPECT_EQ(v.ifDictionary()->keys(), (std::vector<std::string>{"s", "n", "list"}));
    EXPECT_EQ(v["list"].size(), 1u);
    // Equality ignores key order.
    EXPECT_EQ(Value(Value::Dictionary{{"a", 1}, {"b", 2}}),
              Value(Value::Dictionary{{"b", 2}, {"a", 1}}));
}

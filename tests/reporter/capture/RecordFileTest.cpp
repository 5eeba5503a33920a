// The record format: golden writer output and reader round trips.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "RecordTestSupport.h"
#include "reporter/VXMFile.h"
#include "reporter/VXMFileRead.h"
#include "reporter/VXMSafe.h"
#include "support/TempDir.h"

using platform::Value;
using reportertest::MemoryRecord;

namespace {

std::string written(const std::function<void(VXMFile*)>& write) {
    MemoryRecord record;
    write(record.file());
    return record.text();
}

Value readRecord(const std::string& text) {
    VXMFile file;
    VXMFileInitWithBytes(&file, text.data(), text.size());
    return VXMFileReadRecord(&file);
}

std::string sample() {
    return testsupport::readFile(TESSARO_TEST_DATA "/sample.vxmrecord");
}

}  // namespace

TEST(RecordWriter, GoldenLines) {
    struct Case {
        const char* name;
        std::function<void(VXMFile*)> write;
        std::string expected;
    } cases[] = {
        {"schema", [](VXMFile* f) { VXMCrashHandlerSafeWriteSchema(f); },
         "{\"schema\":{\"version\":1,\"expected_lines\":21}}\n"},
        {"empty hash",
         [](VXMFile* f) {
             VXMFileWriteSectionStart(f, "custom_attributes");
             VXMFileWriteHashStart(f);
             VXMFileWriteHashEnd(f);
             VXMFileWriteSectionEnd(f);
         },
         "{\"custom_attributes\":{}}\n"},
        {"nested arrays with an empty thread, then keys on the same line",
         [](VXMFile* f) {
             VXMFileWriteSectionStart(f, "threads");
             VXMFileWriteArrayStart(f);
             for (auto frames : {std::vector<uint64_t>{1, 2}, std::vector<uint64_t>{},
                                 std::vector<uint64_t>{3}}) {
                 VXMFileWriteArrayStart(f);
                 for (uint64_t a : frames) {
                     VXMFrame frame;
                     frame.address = a;
                     VXMFrameSafeWriteData(&frame, f);
                 }
                 VXMFileWriteArrayEnd(f);
             }
             VXMFileWriteArrayEnd(f);
             VXMFileWriteHashEntryUint64(f, "crashed_thread", 0);
             VXMFileWriteHashEntryUint64(f, "thread_count", 3);
             VXMFileWriteSectionEnd(f);
         },
         "{\"threads\":[[{\"address\":1},{\"address\":2}],[],[{\"address\":3}]],"
         "\"crashed_thread\":0,\"thread_count\":3}\n"},
        {"null string, booleans, array entries",
         [](VXMFile* f) {
             VXMFileWriteSectionStart(f, "user");
             VXMFileWriteHashStart(f);
             VXMFileWriteHashEntryString(f, "name", nullptr);
             VXMFileWriteHashEntryBoolean(f, "t", true);
             VXMFileWriteHashEntryBoolean(f, "f", false);
             VXMFileWriteHashKey(f, "list");
             VXMFileWriteArrayStart(f);
             VXMFileWriteArrayEntryString(f, "x");
             VXMFileWriteArrayEntryUint64(f, 7);
             VXMFileWriteArrayEnd(f);
             VXMFileWriteHashEnd(f);
             VXMFileWriteSectionEnd(f);
         },
         "{\"user\":{\"name\":\"(null)\",\"t\":true,\"f\":false,\"list\":[\"x\",7]}}\n"},
        {"0 and the largest integer",
         [](VXMFile* f) {
             VXMFileWriteSectionStart(f, "n");
             VXMFileWriteHashStart(f);
             VXMFileWriteHashEntryUint64(f, "zero", 0);
             VXMFileWriteHashEntryUint64(f, "max", UINT64_MAX);
             VXMFileWriteHashEnd(f);
             VXMFileWriteSectionEnd(f);
         },
         "{\"n\":{\"zero\":0,\"max\":18446744073709551615}}\n"},
        {"signed values (signal codes)",
         [](VXMFile* f) {
             VXMFileWriteSectionStart(f, "signal");
             VXMFileWriteHashStart(f);
             VXMFileWriteHashEntryInt64(f, "code", -6);
             VXMFileWriteHashEntryInt64(f, "min", INT64_MIN);
             VXMFileWriteHashEntryInt64(f, "one", 1);
             VXMFileWriteHashEnd(f);
             VXMFileWriteSectionEnd(f);
         },
         "{\"signal\":{\"code\":-6,\"min\":-9223372036854775808,\"one\":1}}\n"},
        {"quotes, backslashes and control bytes are escaped, keys too",
         [](VXMFile* f) {
             VXMFileWriteSectionStart(f, "s");
             VXMFileWriteHashStart(f);
             VXMFileWriteHashEntryString(f, "k\"ey", "say \"hi\"\\\n\t\r\x01\x1f caf\xc3\xa9");
             VXMFileWriteHashEnd(f);
             VXMFileWriteSectionEnd(f);
         },
         "{\"s\":{\"k\\\"ey\":\"say \\\"hi\\\"\\\\\\n\\t\\r\\u0001\\u001f caf\xc3\xa9\"}}\n"},
        {"a frame with every field",
         [](VXMFile* f) {
             VXMFrame frame;
             frame.address = 16;
             frame.symbol = "main";
             frame.fileName = "main.cpp";
             frame.lineNumber = 7;
             frame.type = 2;
             frame.context = 3;
             VXMFrameSafeWriteData(&frame, f);
         },
         "{\"address\":16,\"context\":3,\"type\":2,\"file\":\"main.cpp\",\"line\":7,"
         "\"symbol\":\"main\"}"},
    };
    for (const Case& c : cases) EXPECT_EQ(written(c.write), c.expected) << c.name;
}

TEST(RecordWriter, LongStringsAreCutOnACharacterBoundaryAndStillRead) {
    struct Case {
        std::string text;
        size_t expectedLength;  // after reading back
    } cases[] = {
        {std::string(VXMStringLimit, 'a'), VXMStringLimit},
        {std::string(20000, 'a'), VXMStringLimit},
        {[] {
             std::string s;
             for (int i = 0; i < 8000; ++i) s += "\xc3\xa9";  // 2-byte characters
             return s;
         }(),
         VXMStringLimit - 1},
        {std::string(6000, '"'), VXMStringLimit / 2},  // each escape takes two bytes
    };
    for (const Case& c : cases) {
        std::string line = written([&](VXMFile* f) {
            VXMFileWriteSectionStart(f, "s");
            VXMFileWriteString(f, c.text.c_str());
            VXMFileWriteSectionEnd(f);
        });
        Value record = readRecord(line);
        ASSERT_EQ(record["file_lines"].uint64Value(), 1u) << c.text.size();
        std::string back = record["s"].stringValue();
        EXPECT_EQ(back.size(), c.expectedLength);
        EXPECT_EQ(back, c.text.substr(0, back.size()));
    }
}

TEST(RecordReader, ReadsTheSampleRecord) {
    Value record = readRecord(sample());
    EXPECT_EQ(record["file_lines"].uint64Value(), 21u);
    EXPECT_EQ(record["schema"]["expected_lines"].uint64Value(), 21u);
    EXPECT_TRUE(record["mach_exception"].isDictionary());
    EXPECT_EQ(record["mach_exception"].size(), 0u);
    EXPECT_EQ(record["signal"]["name"].stringValue(), "SIGSEGV");
    EXPECT_EQ(record["thread_state"]["rbx"].uint64Value(), UINT64_MAX);
    ASSERT_EQ(record["threads"].size(), 2u);
    EXPECT_EQ(record["threads"][0][1]["address"].uint64Value(), 94250000005678u);
    EXPECT_TRUE(record["threads"][1].isArray());
    EXPECT_EQ(record["threads"][1].size(), 0u);
    EXPECT_EQ(record["crashed_thread"].uint64Value(), 0u);
    EXPECT_EQ(record["thread_count"].uint64Value(), 2u);
    EXPECT_EQ(record["thread_names"][1].stringValue(), "say \"hi\"\ttab");
    EXPECT_EQ(record["custom_attributes"]["\"quoted\""].stringValue(), "1");
    EXPECT_EQ(*VXMPercentUnescape(record["exception"]["reason"].stringValue()), "bad \"input\"");
    EXPECT_FALSE(record["signal"]["preexisting_handlers"].boolValue(true));
    EXPECT_EQ(record["user"].size(), 0u);
}

TEST(RecordReader, TruncatedAndMalformedRecordsKeepTheLinesBefore) {
    const std::string text = sample();
    const size_t line12 = [&] {
        size_t at = 0;
        for (int i = 0; i < 11; ++i) at = text.find('\n', at) + 1;
        return at;
    }();
    struct Case {
        const char* name;
        std::string text;
        uint64_t lines;
    } cases[] = {
        {"cut inside line 12", text.substr(0, line12 + 30), 11},
        {"cut before the newline of the last line", text.substr(0, text.size() - 1), 21},
        {"cut inside the last string", text.substr(0, text.size() - 6), 20},
        {"empty file", "", 0},
        {"number over 64 bits", "{\"a\":{\"n\":18446744073709551616}}\n{\"b\":{}}\n", 0},
        {"negative number below the signed range",
         "{\"a\":{\"n\":-9223372036854775809}}\n{\"b\":{}}\n", 0},
        {"a sign without digits", "{\"a\":{\"n\":-}}\n", 0},
        {"negative numbers", "{\"a\":{\"n\":-6,\"m\":-9223372036854775808}}\n", 1},
        {"two objects on one line", "{\"a\":{}}{\"b\":{}}\n", 0},
        {"missing comma between entries is accepted", "{\"a\":{\"x\":1 \"y\":2}}\n", 1},
        {"white space around values", "{ \"a\" : [ 1 , 2 ] }\r\n{\"b\":true}\n", 2},
        {"a bad escape reads as invalid text", "{\"a\":\"\\q\"}\n", 1},
        {"unknown word", "{\"a\":nope}\n", 0},
        {"twenty-three lines stop after twenty-two",
         [] {
             std::string s;
             for (int i = 0; i < 23; ++i)
                 s += "{\"k" + std::to_string(i) + "\":" + std::to_string(i) + "}\n";
             return s;
         }(),
         22},
    };
    for (const Case& c : cases) {
        Value record = readRecord(c.text);
        EXPECT_EQ(record["file_lines"].uint64Value(), c.lines) << c.name;
    }
    EXPECT_FALSE(readRecord(cases[0].text).contains("threads"));
    EXPECT_TRUE(readRecord(cases[0].text).contains("exception"));
    Value negative = readRecord("{\"a\":{\"n\":-6,\"m\":-9223372036854775808}}\n");
    EXPECT_EQ(negative["a"]["n"].int64Value(), -6);
    EXPECT_EQ(negative["a"]["m"].int64Value(), INT64_MIN);
}

TEST(RecordReader, StringLimitAndInvalidUTF8) {
    auto line = [](const std::string& value) { return "{\"a\":{}}\n{\"s\":\"" + value + "\"}\n"; };
    Value atLimit = readRecord(line(std::string(VXMStringLimit, 'x')));
    EXPECT_EQ(atLimit["file_lines"].uint64Value(), 2u);
    EXPECT_EQ(atLimit["s"].stringValue().size(), VXMStringLimit);
    Value over = readRecord(line(std::string(VXMStringLimit + 1, 'x')));
    EXPECT_EQ(over["file_lines"].uint64Value(), 1u);

    for (const char* bad : {"\xff", "\xc3", "\xe2\x82", "\xc0\xaf", "\\ud800", "\xed\xa0\x80"}) {
        Value record = readRecord(line(bad));
        EXPECT_EQ(record["s"].stringValue(), "(invalid UTF8)") << bad;
    }
    EXPECT_EQ(readRecord(line("\\u00e9\\ud83d\\ude00"))["s"].stringValue(),
              "\xc3\xa9\xf0\x9f\x98\x80");
}

TEST(RecordReader, EveryByteRoundTrips) {
    std::string all;
    for (int c = 1; c < 0x80; ++c) all += static_cast<char>(c);
    all += "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    std::string text = written([&](VXMFile* f) {
        VXMFileWriteSectionStart(f, all.c_str());
        VXMFileWriteString(f, all.c_str());
        VXMFileWriteSectionEnd(f);
    });
    Value record = readRecord(text);
    EXPECT_EQ(record[all].stringValue(), all);
}

TEST(RecordReader, ReadsAFileAtAPath) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "r.vxmrecord", sample());
    auto record = VXMFileReadRecordAtPath((dir / "r.vxmrecord").string());
    ASSERT_TRUE(record);
    EXPECT_EQ((*record)["file_lines"].uint64Value(), 21u);
    EXPECT_FALSE(VXMFileReadRecordAtPath((dir / "missing").string()));
}

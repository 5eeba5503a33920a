#include "Crypto/Base85Coder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace {

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string encode(const std::vector<uint8_t>& data) {
    std::vector<char> out(CBase85Coder::EncodeBound(data.size()));
    CBase85Coder coder;
    EXPECT_TRUE(coder.Encode(data.data(), data.size(), out.data(), out.size()));
    return out.data();
}

// What the SQL layer hands back: apostrophes no longer doubled.
std::string undouble(std::string s) {
    for (size_t i = 0; (i = s.find("''", i)) != std::string::npos; ++i) s.erase(i, 1);
    return s;
}

std::string withoutNewlines(std::string s) {
    std::erase(s, '\n');
    return s;
}

struct Decoded {
    bool ok;
    std::vector<uint8_t> bytes;
};

Decoded decode(const std::string& text, size_t capacity) {
    // Exact-size heap copies, so reading past the NUL or writing past the
    // capacity shows under the address sanitizer.
    auto in = std::make_unique<char[]>(text.size() + 1);
    memcpy(in.get(), text.c_str(), text.size() + 1);
    auto out = std::make_unique<uint8_t[]>(capacity + 1);
    unsigned written = 12345;
    CBase85Coder coder;
    bool ok = coder.Decode(in.get(), out.get(), capacity, &written);
    EXPECT_LE(written, capacity);
    return {ok, std::vector<uint8_t>(out.get(), out.get() + written)};
}

// Expected texts from python3's base64.a85encode(data, adobe=True).
const struct {
    const char* hex;
    const char* a85;
} kVectors[] = {
    {"", R"(<~~>)"},
    {"00000000", R"(<~z~>)"},
    {"000000", R"(<~!!!!~>)"},
    {"00", R"(<~!!~>)"},
    {"48656c6c6f2c20576f726c6421", R"(<~87cURD_*#4DfTZ)+T~>)"},
    {"000000000000000001", R"(<~zz!<~>)"},
    {"010000000002", R"(<~!<<*"!!3~>)"},
    {"ffffffff", R"(<~s8W-!~>)"},
    {"ff", R"(<~rr~>)"},
    {"12e4010e12e4010e12", R"(<~''''''''''&c~>)"},
    {"05121f2c394653606d7a8794a1aebbc8d5e2effc091623303d4a5764717e8b98a5b2bfccd9e6f3000d1a2734"
     "414e5b6875828f9ca9b6c3d0ddeaf704111e2b38",
     R"(<~"VMn.3CZqTD0gu%Tru#Ke`-&q#o4a>4\AddEINh5V6[k[g#hl+%2pTN5u(WtFb5[EWOB^kh<O_;&KWG^~>)"},
    {"03203d5a7794b1ceeb0825425f7c99b6d3f00d2a4764819ebbd8f5122f4c6986a3c0ddfa1734516e8ba8c5e2"
     "ff1c39567390adcae704213e5b7895b2cfec092643607d9ab7d4f10e2b4865829fbcd9f613304d6a87a4c1de"
     "fb1835526f8ca9c6",
     R"(<~"!Ba1GEfAXlNee'?[S9Me*mer7q@1B]@cch02-)7UVP^^(Go!,Ml=VSru=%"F-*NHk6)ql>BlF=cg1rb6XY>)"
     R"(2\('pX.nF6'T=ikN'/3-qLSVcCq\V1gDiC[8~>)"},
};

TEST(Base85Coder, MatchesPythonCodec) {
    for (const auto& v : kVectors) {
        SCOPED_TRACE(v.hex);
        std::vector<uint8_t> data = fromHex(v.hex);
        std::string text = encode(data);
        EXPECT_EQ(undouble(withoutNewlines(text)), v.a85);
        EXPECT_EQ(decode(v.a85, data.size()).bytes, data);
        Decoded back = decode(undouble(text), data.size());
        EXPECT_TRUE(back.ok);
        EXPECT_EQ(back.bytes, data);
    }
    // Apostrophes are doubled in the stored text itself, never split by a line feed.
    EXPECT_EQ(encode(fromHex("12e4010e")), "<~''''''''''~>");
}

std::string toHex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) s += {digits[c >> 4], digits[c & 15]};
    return s;
}

// Random data of many lengths, runs of zero bytes included, against the live
// codec: its encoding equals ours without line feeds, and it decodes our text,
// line feeds and all, back to the data.
TEST(Base85Coder, RoundTripsWithPythonCodec) {
    std::mt19937 gen(85);
    std::string lines;
    for (int i = 0; i < 300; ++i) {
        std::string data(gen() % 700, '\0');
        for (char& c : data) c = gen() % 3 == 0 ? 0 : static_cast<char>(gen());
        std::string text = undouble(encode(std::vector<uint8_t>(data.begin(), data.end())));
        lines += toHex(data) + " " + toHex(text) + "\n";
    }
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "cases", lines);
    const std::string cmd =
        "python3 -c \"import base64,sys\n"
        "bad=0\n"
        "for line in open(sys.argv[1]):\n"
        "  d,t=(bytes.fromhex(x) for x in line.split())\n"
        "  if base64.a85encode(d,adobe=True)!=t.replace(b'\\\\n',b'') or "
        "base64.a85decode(t,adobe=True)!=d: bad+=1; print(line[:60])\n"
        "sys.exit(1 if bad else 0)\" " +
        (dir / "cases").string();
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

// First line "<~" plus 159 characters, then 161 per line; "~>" moves to a line
// of its own only when it would pass column 160.
TEST(Base85Coder, BreaksLines) {
    struct Case {
        size_t bytes;
        std::vector<size_t> lineLengths;  // without line feeds, apostrophes counted once
    } cases[] = {
        {124, {2 + 155 + 2}},  // counter ends at 157
        {125, {2 + 157, 2}},   // 157 + 2 > 160 - 2: closing delimiter wraps
        {126, {2 + 158, 2}},
        {127, {2 + 159, 2}},  // break after the 159th character, none before "~>"
        {128, {2 + 159, 1 + 2}},
        {300, {2 + 159, 161, 55 + 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        std::vector<uint8_t> data(c.bytes);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
        std::string text = encode(data);
        std::vector<size_t> lengths;
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            lengths.push_back(undouble(text.substr(start, nl - start)).size());
        lengths.push_back(undouble(text.substr(start)).size());
        EXPECT_EQ(lengths, c.lineLengths);
        EXPECT_EQ(decode(undouble(text), data.size()).bytes, data);
    }
}

TEST(Base85Coder, EncodeFailsRatherThanOverflow) {
    // Worst case: every digit an apostrophe, doubled, across line breaks.
    std::vector<uint8_t> apostrophes;
    for (int i = 0; i < 100; ++i) apostrophes.insert(apostrophes.end(), {0x12, 0xe4, 0x01, 0x0e});
    std::vector<std::vector<uint8_t>> inputs = {
        {}, fromHex("00000000"), fromHex("ff"), fromHex("48656c6c6f"), apostrophes};
    for (const auto& data : inputs) {
        SCOPED_TRACE(data.size());
        std::string text = encode(data);
        // A line feed never splits a doubled apostrophe.
        for (size_t i = 0, run = 0; i <= text.size(); ++i) {
            if (i < text.size() && text[i] == '\'') {
                ++run;
                continue;
            }
            EXPECT_EQ(run % 2, 0u) << i;
            run = 0;
        }
        ASSERT_LE(text.size() + 1, CBase85Coder::EncodeBound(data.size()));
        for (size_t cap : {text.size() + 1, text.size(), text.size() / 2, size_t(1), size_t(0)}) {
            std::vector<char> out(cap + 1, 'x');
            CBase85Coder coder;
            bool ok = coder.Encode(data.data(), data.size(), out.data(), cap);
            EXPECT_EQ(ok, cap == text.size() + 1) << cap;
            if (ok)
                EXPECT_EQ(std::string(out.data()), text);
            else
                EXPECT_EQ(std::string(out.data(), cap), std::string(cap, '\0'));
            EXPECT_EQ(out[cap], 'x');  // nothing written past the capacity
        }
    }
}

TEST(Base85Coder, DecodeEdgesAndErrors) {
    struct Case {
        const char* text;
        size_t capacity;
        bool ok;
        const char* hex;
        const char* stderrText;
    } cases[] = {
        {"", 8, true, "", ""},
        {"<", 8, true, "", ""},
        {"<~", 8, true, "", ""},
        {"<~z~>", 4, true, "00000000", ""},
        {"<~\b\t\n\f\r \x7f"
         "87c\nUR~>",
         4, true, "48656c6c", ""},
        {"<~87cURD]i", 8, true, "48656c6c", ""},  // NUL before "~>": partial group dropped
        {"<~87cURD]i~>", 8, true, "48656c6c6f20", ""},
        {"<~87cURD]i~>", 5, false, "48656c6c", ""},  // no room for the last group
        {"<~87cURD]i~>", 3, false, "", ""},
        {"<~zz~>", 7, false, "00000000", ""},
        {"<~!~>", 8, true, "", ""},  // a single pending character
        {"<~87c{UR~>", 8, false, "", "Decode85: bad character in ascii85 region: 0173\n"},
        {"<~87cUR\v~>", 8, false, "48656c6c", "Decode85: bad character in ascii85 region: 013\n"},
        {"<~8\xe9~>", 8, false, "", "Decode85: bad character in ascii85 region: 0351\n"},
        {"<~87zUR~>", 8, false, "", "Decode85: z inside ascii85 5-tuple\n"},
        {"<~87cUR~x", 8, false, "48656c6c", "Decode85: ~ without > in ascii85 section\n"},
        {"<~87cUR~", 8, false, "48656c6c", "Decode85: ~ without > in ascii85 section\n"},
        {"<~87cUR''~>", 8, true, "48656c6c12", ""},  // doubled apostrophe read as digits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        testing::internal::CaptureStderr();
        Decoded d = decode(c.text, c.capacity);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(d.ok, c.ok);
        EXPECT_EQ(d.bytes, fromHex(c.hex));
        EXPECT_EQ(err, c.stderrText);
    }
}

}  // namespace

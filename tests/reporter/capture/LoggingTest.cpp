// The custom log ring, the custom key table and their crash-time sections.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "RecordTestSupport.h"
#include "reporter/VXMLogging.h"
#include "reporter/VXMSafe.h"
#include "support/TempDir.h"

using reportertest::MemoryRecord;
using testsupport::readFile;

namespace {

// A ring file in a temporary folder, set up as start-up does.
class Ring {
  public:
    Ring() : data_(std::make_unique<VXMLoggingData>()) {
        session_ = (dir_ / "session.vxmlog").string();
        crash_ = (dir_ / "0a1b.vxmlog").string();
        data_->sessionLogPath = session_.c_str();
        data_->crashLogPath = crash_.c_str();
        VXMLoggingDataInit(data_.get());
    }
    ~Ring() {
        if (data_->fd >= 0) close(data_->fd);
        for (auto& a : data_->attributes) {
            free(a.key.exchange(nullptr));
            free(a.value.exchange(nullptr));
        }
        for (auto* slot : {&data_->userIdentifier, &data_->userName, &data_->userEmail})
            free(slot->exchange(nullptr));
    }
    VXMLoggingData* data() { return data_.get(); }
    std::string file() const { return readFile(session_); }
    void put(const std::string& line, VXMLoggingSettings settings = {}) {
        VXMLoggingAppendLine(data_.get(), line, settings);
    }
    // The ring read from the position to the end, then from the start.
    std::string chronological() const {
        std::string f = file();
        size_t p = std::min<size_t>(data_->position.load(), f.size());
        return f.substr(p) + f.substr(0, p);
    }
    const std::string& crashPath() const { return crash_; }
    const std::string& sessionPath() const { return session_; }

  private:
    testsupport::TempDir dir_;
    std::string session_, crash_;
    std::unique_ptr<VXMLoggingData> data_;
};

VXMLoggingSettings loaded(uint64_t size, uint32_t pairs = 64) {
    return {true, size, pairs};
}

std::string keys(VXMLoggingData* d) {
    std::string out;
    for (uint32_t i = 0; i < d->attributeCount.load(); ++i) out += d->attributes[i].key.load();
    return out;
}

}  // namespace

TEST(LogRing, ALineThatReachesTheEndWrapsToTheStart) {
    Ring ring;
    ring.put(std::string(63949, 'o'));  // 63,950 bytes with its newline
    ASSERT_EQ(ring.data()->position.load(), 63950u);
    std::string line = std::string(50, 'a') + std::string(50, 'b');
    ring.put(line);
    std::string f = ring.file();
    EXPECT_EQ(f.size(), 64000u);
    EXPECT_EQ(f.substr(63950), std::string(50, 'a'));
    EXPECT_EQ(f.substr(0, 51), std::string(50, 'b') + "\n");
    EXPECT_EQ(ring.data()->position.load(), 51u);
    EXPECT_TRUE(ring.data()->wrapped);
    EXPECT_EQ(ring.chronological().substr(ring.chronological().size() - 101), line + "\n");
}

TEST(LogRing, LinesLongerThanTheRingAreCut) {
    Ring ring;
    ring.put("0123456789abcdefghijklmnopqrstuvwxyz", loaded(10));
    EXPECT_EQ(ring.file(), "012345678\n");
    EXPECT_EQ(ring.data()->position.load(), 10u);
    ring.put("xyz", loaded(10));
    EXPECT_EQ(ring.file(), "xyz\n45678\n");
    EXPECT_EQ(ring.data()->position.load(), 4u);
    // A cut never splits a character.
    Ring utf8;
    utf8.put("ab\xc3\xa9", loaded(4));
    EXPECT_EQ(utf8.file(), "ab\n");
}

TEST(LogRing, ShrinkingKeepsTheNewestLinesInOrder) {
    struct Case {
        const char* name;
        std::vector<std::string> before;  // written under the start-up limit
        uint64_t limit;
        std::string expectedRing;  // read in order from the position
        uint64_t expectedPosition;
    } cases[] = {
        // Shorter than the new limit and never wrapped: nothing moves, and the
        // next line goes after the others.
        {"short, unwrapped", {"one", "two"}, 100, "one\ntwo\nnew\n", 12},
        // The newest 10 bytes are kept; the new line then replaces the oldest.
        {"longer than the limit", {"aaaa", "bbbb", "cccc"}, 10, "\ncccc\nnew\n", 4},
    };
    for (const Case& c : cases) {
        Ring ring;
        for (const auto& line : c.before) ring.put(line);
        ring.put("new", loaded(c.limit));
        EXPECT_EQ(ring.chronological(), c.expectedRing) << c.name;
        EXPECT_EQ(ring.data()->position.load(), c.expectedPosition) << c.name;
        EXPECT_EQ(ring.data()->ringLimit, c.limit) << c.name;
    }
}

TEST(LogRing, ShrinkingAWrappedRing) {
    Ring ring;
    // Wrap a 20-byte ring (settings loaded), then shrink it to 8 bytes.
    for (const char* line : {"aaaaaa", "bbbbbb", "cccccc", "dddddd"}) ring.put(line, loaded(20));
    ASSERT_TRUE(ring.data()->wrapped);
    std::string newest = ring.chronological();
    newest = newest.substr(newest.size() - 8);
    ring.put("e", loaded(8));
    // The newest 8 bytes survive in order, then the new line overwrites the
    // oldest of them.
    EXPECT_EQ(ring.file().size(), 8u);
    EXPECT_EQ(ring.chronological(), newest.substr(2) + "e\n");
}

TEST(LogRing, AZeroLimitDropsLines) {
    Ring ring;
    ring.put("kept");
    ring.put("dropped", loaded(0));
    EXPECT_EQ(ring.file(), "kept\n");
}

TEST(CustomKeys, TableRingReplacementAndLimits) {
    Ring ring;
    VXMLoggingData* d = ring.data();
    VXMLoggingSettings three = loaded(64000, 3);
    for (const char* k : {"a", "b", "c", "d"}) VXMLoggingAddAttribute(d, k, "1", three);
    EXPECT_EQ(keys(d), "dbc");
    VXMLoggingAddAttribute(d, "e", "1", three);
    EXPECT_EQ(keys(d), "dec");
    VXMLoggingAddAttribute(d, "c", "2", three);
    EXPECT_EQ(keys(d), "dec");
    EXPECT_STREQ(d->attributes[2].value.load(), "2");
    VXMLoggingAddAttribute(d, "f", "1", loaded(64000, 0));
    EXPECT_EQ(keys(d), "dec");

    Ring big;
    for (int i = 0; i < 300; ++i)
        VXMLoggingAddAttribute(big.data(), std::to_string(i).c_str(), "v", loaded(64000, 1000));
    EXPECT_EQ(big.data()->attributeCount.load(), VXMAttributeCapacity);  // capped, no overflow

    struct Value {
        std::string value;
        size_t kept;
    } values[] = {
        {std::string(2000, 'x'), 1024},
        {std::string(1022, 'x') + "%41", 1022},
        {std::string(1023, 'x') + "%41", 1023},
        {std::string(1023, 'x') + "\xc3\xa9", 1023},
        {"short", 5},
    };
    for (const auto& v : values) {
        VXMLoggingAddAttribute(d, "cut", v.value.c_str(), three);
        size_t index = 0;
        while (strcmp(d->attributes[index].key.load(), "cut") != 0) ++index;
        EXPECT_EQ(strlen(d->attributes[index].value.load()), v.kept);
    }
}

TEST(CustomKeys, CrashTimeSectionsAndTheRenamedLog) {
    Ring ring;
    VXMLoggingData* d = ring.data();
    ring.put("12 $ hello");
    MemoryRecord empty;
    VXMLoggingSafeWriteData(d, empty.file());
    EXPECT_EQ(empty.text(),
              "{\"user\":{}}\n{\"log\":{\"last_offset\":11}}\n{\"custom_attributes\":{}}\n");
    EXPECT_FALSE(std::filesystem::exists(ring.sessionPath()));
    EXPECT_EQ(readFile(ring.crashPath()), "12 $ hello\n");

    VXMDupAndSwapString(&d->userIdentifier, std::string("u 1"), true);
    VXMDupAndSwapString(&d->userEmail, std::string("a@b"), true);
    VXMLoggingAddAttribute(d, "say \"hi\"", "x%22y", {});
    VXMLoggingAddAttribute(d, "n", "1", {});
    MemoryRecord full;
    VXMLoggingSafeWriteData(d, full.file());
    EXPECT_EQ(full.text(),
              "{\"user\":{\"name\":\"(null)\",\"id\":\"u%201\",\"email\":\"a%40b\"}}\n"
              "{\"log\":{\"last_offset\":11}}\n"
              "{\"custom_attributes\":{\"say \\\"hi\\\"\":\"x%22y\",\"n\":\"1\"}}\n");
}

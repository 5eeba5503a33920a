#include "folder/ZelFsReader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <random>

#include "folder/MoxEncryptedFolder.h"
#include "support/FolderBuilder.h"
#include "support/TempDir.h"

namespace {

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

class ZelFsReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = tmp_ / "box.zel";
        std::shared_ptr<CMoxEncryptedFolder> folder =
            testsupport::makeEncryptedFolder(root_, {{"ann", "secret"}});
        ASSERT_TRUE(folder);
        EXPECT_EQ(reader_.OpenEncryptedVolume(root_, "secret", false),
                  CZelFsReader::kErrorNoFolder);
        reader_.setEncryptedFolder(folder);
        ASSERT_EQ(reader_.OpenEncryptedVolume(root_, "secret", false), 0u);
    }

    std::string readAll(const std::string& rel) {
        auto h = reader_.OpenFile(rel, true, false);
        EXPECT_TRUE(h);
        if (!h) return {};
        std::string out(reader_.GetFileSize(h) + 4096, '\0');
        size_t got = 0;
        EXPECT_TRUE(reader_.ReadFile(h, out.data(), out.size(), &got));
        out.resize(got);
        reader_.CloseFile(h);
        return out;
    }

    testsupport::TempDir tmp_;
    std::filesystem::path root_;
    CZelFsReader reader_;
};

TEST_F(ZelFsReaderTest, WritesEncryptedAndReadsBack) {
    const std::string plain = randomBytes(1000, 1);
    auto h = reader_.OpenFile("/a.bin", false, true);
    ASSERT_TRUE(h);
    size_t count = 0;
    ASSERT_TRUE(reader_.WriteFile(h, plain.data(), plain.size(), &count));
    EXPECT_EQ(count, plain.size());
    reader_.CloseFile(h);
    EXPECT_EQ(readAll("a.bin"), plain);

    const std::string disk = testsupport::readFile(root_ / "a.bin");
    EXPECT_EQ(disk.size(), plain.size());
    EXPECT_NE(disk, plain);
    EXPECT_FALSE(std::filesystem::exists(tmp_ / "a.bin")) << "a leading / escaped the root";

    // A read-only handle refuses writes; create truncates.
    auto ro = reader_.OpenFile("a.bin", true, false);
    int err = 0;
    EXPECT_FALSE(reader_.WriteFileAt(ro, 0, "x", 1, &err));
    EXPECT_EQ(err, EBADF);
    reader_.CloseFile(ro);
    auto again = reader_.OpenFile("a.bin", false, true);
    EXPECT_EQ(reader_.GetFileSize(again), 0u);
}

// Positions are 64-bit: a write at 4 GiB + 512 lands there, not at 512. The
// file is made sparse first so the test writes two sectors, not 4 GiB.
TEST_F(ZelFsReaderTest, OffsetsBeyondFourGiB) {
    const uint64_t far = (1ull << 32) + 512;
    auto h = reader_.OpenFile("big", false, true);
    ASSERT_TRUE(h);
    ASSERT_EQ(truncate((root_ / "big").c_str(), static_cast<off_t>(far + 512)), 0);
    const std::string near = randomBytes(512, 2), distant = randomBytes(512, 3);
    ASSERT_TRUE(reader_.WriteFileAt(h, 512, near.data(), near.size()));
    ASSERT_TRUE(reader_.WriteFileAt(h, far, distant.data(), distant.size()));

    std::string buf(512, '\0');
    size_t got = 0;
    ASSERT_TRUE(reader_.ReadFileAt(h, 512, buf.data(), buf.size(), &got));
    EXPECT_EQ(buf, near);
    ASSERT_TRUE(reader_.Seek(h, 512, 1));
    ASSERT_TRUE(reader_.ReadFile(h, buf.data(), buf.size(), &got));
    EXPECT_EQ(got, 512u);
    EXPECT_EQ(buf, distant);
    EXPECT_EQ(reader_.Tell(h), far + 512);
}

TEST_F(ZelFsReaderTest, EntriesAndRefusals) {
    testsupport::writeFile(root_ / "_qxcfg.mox-JOURNAL", "j");
    testsupport::writeFile(root_ / "keep.txt", "k");
    FADirEntry dir;
    ASSERT_TRUE(reader_.CreateDirectory("sub", &dir));
    EXPECT_TRUE(dir.isDirectory);
    EXPECT_EQ(dir.name, "sub");
    auto entries = reader_.NewDirEntryForPath("/");
    ASSERT_TRUE(entries);
    std::vector<std::string> names;
    for (const auto& e : *entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"keep.txt", "sub"}));

    EXPECT_FALSE(reader_.OpenFile("../outside", false, true));
    EXPECT_FALSE(std::filesystem::exists(tmp_ / "outside"));
    EXPECT_FALSE(reader_.OpenFile("_QXCFG.MOX", false, true));
    EXPECT_FALSE(reader_.DeleteFile("_QXCFG.MOX"));
    EXPECT_TRUE(std::filesystem::exists(root_ / "_QXCFG.MOX"));
    EXPECT_FALSE(reader_.RenameFile("keep.txt", "_qxcfg.mox"));
    testsupport::writeFile(root_ / "other.txt", "o");
    EXPECT_FALSE(reader_.RenameFile("keep.txt", "other.txt"));
    EXPECT_EQ(testsupport::readFile(root_ / "other.txt"), "o");
    EXPECT_TRUE(reader_.RenameFile("keep.txt", "sub/moved.txt"));
    EXPECT_TRUE(reader_.DeleteFile("sub/moved.txt"));
    EXPECT_TRUE(reader_.DeleteDirectory("sub"));
}

TEST_F(ZelFsReaderTest, CloseVolumeStopsOpenHandles) {
    auto h = reader_.OpenFile("f", false, true);
    ASSERT_TRUE(reader_.WriteFileAt(h, 0, "hello", 5));
    reader_.CloseVolume();
    char buf[8];
    size_t got = 0;
    int err = 0;
    EXPECT_FALSE(reader_.ReadFileAt(h, 0, buf, sizeof buf, &got, &err));
    EXPECT_EQ(err, EBADF);
    EXPECT_FALSE(reader_.OpenFile("f", true, false));
    reader_.CloseFile(h);
}

}  // namespace

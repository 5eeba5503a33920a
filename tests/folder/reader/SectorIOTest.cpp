// The sector grid: whatever the pattern of writes, truncations and reads, the
// plain bytes come back as a plain file would give them.
#include "folder/SectorIO.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "Crypto/CryptoFactory.h"
#include "Crypto/PFSpecials/SectorSE.h"
#include "SectorTestCodec.h"
#include "folder/MoxAuthenticator.h"
#include "folder/ZelFileKey.h"
#include "support/TempDir.h"

namespace {

// The real file keys of the three folder ciphers.
std::vector<std::pair<std::string, std::shared_ptr<CZelFileKey>>> fileKeys() {
    std::vector<std::pair<std::string, std::shared_ptr<CZelFileKey>>> out;
    std::mt19937 rng(1);
    for (auto [name, id] : {std::pair{"AES-256", 1u}, {"Triple-DES", 2u}, {"IDEA", 512u}}) {
        MoxCipherKey key;
        key.SetCipherId(id);
        for (size_t i = 0; i < MoxCipherKey::kKeyBytes; ++i)
            key.Key()[i] = static_cast<uint8_t>(rng());
        auto k = CZelFileKey::fromFolderKey(&key);
        EXPECT_TRUE(k) << name;
        if (k) out.emplace_back(name, k);
    }
    return out;
}

struct Op {
    enum Kind { Write, Truncate } kind;
    uint64_t off;  // Truncate: the new size
    size_t len;
};

struct Read {
    uint64_t off;
    size_t len;
};

class SectorFile {
  public:
    explicit SectorFile(sector_io::Codec& codec) : codec_(codec) {
        fd_ = open((tmp_ / "f").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    }
    ~SectorFile() { close(fd_); }

    void apply(const Op& op) {
        if (op.kind == Op::Truncate) {
            ASSERT_EQ(sector_io::truncate(fd_, codec_, op.off), 0);
            model_.resize(op.off, '\0');
            return;
        }
        std::string data(op.len, '\0');
        for (char& c : data) c = static_cast<char>(rng_());
        ASSERT_EQ(sector_io::writeAt(fd_, codec_, op.off,
                                     reinterpret_cast<const uint8_t*>(data.data()), data.size()),
                  0);
        if (model_.size() < op.off + op.len) model_.resize(op.off + op.len, '\0');
        model_.replace(op.off, op.len, data);
    }

    std::string read(uint64_t off, size_t len) {
        std::string out(len, '\0');
        size_t got = 0;
        EXPECT_EQ(
            sector_io::readAt(fd_, codec_, off, reinterpret_cast<uint8_t*>(out.data()), len, &got),
            0);
        out.resize(got);
        return out;
    }

    std::string expected(uint64_t off, size_t len) const {
        if (off >= model_.size()) return {};
        return model_.substr(off, len);
    }

    const std::string& model() const { return model_; }
    std::string onDisk() const { return testsupport::readFile(tmp_ / "f"); }
    int fd() const { return fd_; }

  private:
    testsupport::TempDir tmp_;
    sector_io::Codec& codec_;
    int fd_;
    std::string model_;
    std::mt19937 rng_{42};
};

TEST(SectorIO, WriteRunsReadBack) {
    struct Case {
        const char* name;
        std::vector<Op> ops;
        std::vector<Read> reads;
    };
    std::vector<Op> appends;
    for (int i = 0; i < 10; ++i) appends.push_back({Op::Write, uint64_t(i) * 100, 100});
    const std::vector<Read> everywhere = {{0, 1 << 16}, {0, 1},    {1, 1},     {47, 50},
                                          {500, 30},    {511, 2},  {512, 512}, {999, 5000},
                                          {1023, 1},    {4095, 2}, {4999, 1}};
    const Case cases[] = {
        {"1000 at 0, read 4096", {{Op::Write, 0, 1000}}, {{0, 4096}}},
        {"two 512s, read 1024", {{Op::Write, 0, 512}, {Op::Write, 512, 512}}, {{0, 1024}}},
        {"ten 100-byte appends", appends, everywhere},
        {"1000 at offset 10", {{Op::Write, 10, 1000}}, everywhere},
        {"a gap", {{Op::Write, 0, 100}, {Op::Write, 3000, 100}}, everywhere},
        {"gap after a full sector", {{Op::Write, 0, 512}, {Op::Write, 2048, 3}}, everywhere},
        {"overwrite inside one sector", {{Op::Write, 0, 600}, {Op::Write, 5, 3}}, everywhere},
        {"overwrite across sectors", {{Op::Write, 0, 2000}, {Op::Write, 500, 600}}, everywhere},
        {"truncate to 700 and grow to 5000",
         {{Op::Write, 0, 3000}, {Op::Truncate, 700, 0}, {Op::Truncate, 5000, 0}},
         everywhere},
        {"shrink to a sector boundary",
         {{Op::Write, 0, 3000}, {Op::Truncate, 1024, 0}},
         everywhere},
        {"truncate to zero and write",
         {{Op::Write, 0, 900}, {Op::Truncate, 0, 0}, {Op::Write, 3, 7}},
         everywhere},
    };
    for (const auto& [cipher, key] : fileKeys())
        for (const Case& c : cases) {
            SCOPED_TRACE(cipher + ": " + c.name);
            SectorFile f(*key);
            for (const Op& op : c.ops) f.apply(op);
            for (const Read& r : c.reads)
                EXPECT_EQ(f.read(r.off, r.len), f.expected(r.off, r.len))
                    << "read " << r.off << "+" << r.len;
            std::string disk = f.onDisk();
            EXPECT_EQ(disk.size(), f.model().size());
            EXPECT_NE(disk, f.model());
        }
}

TEST(SectorIO, RandomOperationsMatchAPlainFile) {
    auto key = fileKeys().front().second;
    SectorFile f(*key);
    std::mt19937_64 rng(7);
    for (int i = 0; i < 400; ++i) {
        uint64_t off = rng() % 20000;
        size_t len = 1 + rng() % 3000;
        if (rng() % 10 == 0)
            f.apply({Op::Truncate, off, 0});
        else
            f.apply({Op::Write, off, len});
        uint64_t roff = rng() % 22000;
        size_t rlen = rng() % 4000;
        ASSERT_EQ(f.read(roff, rlen), f.expected(roff, rlen)) << "step " << i;
    }
    EXPECT_EQ(f.read(0, 1 << 20), f.model());
}

// A file written whole, or in sector-aligned pieces, holds exactly the engine's
// one-buffer encryption from position 0: the bytes files were always written
// with. Large enough to be split across the worker threads.
TEST(SectorIO, WholeAndAlignedWritesEqualTheEngineBuffer) {
    for (uint32_t cipherId : {1u, 2u, 512u}) {
        SCOPED_TRACE(cipherId);
        MoxCipherKey key;
        key.SetCipherId(cipherId);
        for (size_t i = 0; i < MoxCipherKey::kKeyBytes; ++i)
            key.Key()[i] = static_cast<uint8_t>(i * 7 + 3);
        auto fileKey = CZelFileKey::fromFolderKey(&key);
        ASSERT_TRUE(fileKey);
        SectorFile whole(*fileKey), pieces(*fileKey);
        whole.apply({Op::Write, 0, (3u << 20) + 300});
        const std::string plain = whole.model();
        for (uint64_t off = 0; off < plain.size(); off += 65536) {
            size_t n = std::min<size_t>(65536, plain.size() - off);
            ASSERT_EQ(sector_io::writeAt(pieces.fd(), *fileKey, off,
                                         reinterpret_cast<const uint8_t*>(plain.data()) + off, n),
                      0);
        }

        poi_crypto_api::CSectorSK csk;
        poi_crypto_api::SE_ID id;
        ASSERT_TRUE(PoiConvertMoxCipherKeyToCSK(&key, &csk, &id));
        auto engine = poi_crypto_api::CCryptoFactory::GetSE(id);
        ASSERT_TRUE(engine);
        std::string reference = plain;
        const uint8_t iv[8] = {};
        ASSERT_TRUE(engine->Encrypt(reinterpret_cast<uint8_t*>(reference.data()), reference.size(),
                                    &csk, iv, sizeof iv));
        EXPECT_TRUE(whole.onDisk() == reference);
        EXPECT_TRUE(pieces.onDisk() == reference);
        EXPECT_EQ(whole.read(0, plain.size() + 10), plain);
    }
}

// Whole sectors encrypted ahead of their write and stored later leave the
// file byte for byte as a plain write of the same bytes does.
TEST(SectorIO, SectorsEncryptedAheadStoreAsThePlainWrite) {
    struct Case {
        const char* name;
        std::vector<Op> before;
        Op write;
    };
    const Case cases[] = {
        {"into an empty file", {}, {Op::Write, 0, 4096}},
        {"past a partial last sector", {{Op::Write, 0, 700}}, {Op::Write, 2048, 1024}},
        {"over a partial last sector", {{Op::Write, 0, 1700}}, {Op::Write, 1024, 3072}},
        {"inside the file", {{Op::Write, 0, 9000}}, {Op::Write, 512, 2048}},
        {"into a hole", {{Op::Write, 0, 512}, {Op::Write, 8192, 100}}, {Op::Write, 4096, 512}},
        {"a large run", {{Op::Write, 0, 100}}, {Op::Write, 1 << 20, 3 << 20}},
    };
    for (const auto& [cipher, key] : fileKeys())
        for (const Case& c : cases) {
            SCOPED_TRACE(cipher + ": " + c.name);
            SectorFile plain(*key), ahead(*key);
            for (const Op& op : c.before) {
                plain.apply(op);
                ahead.apply(op);
            }
            std::mt19937 rng(5);
            std::vector<uint8_t> bytes(c.write.len);
            for (auto& b : bytes) b = static_cast<uint8_t>(rng());
            ASSERT_EQ(sector_io::writeAt(plain.fd(), *key, c.write.off, bytes.data(), bytes.size()),
                      0);
            std::vector<uint8_t> stored = bytes;
            ASSERT_TRUE(key->encrypt(c.write.off, stored.data(), stored.size()));
            ASSERT_EQ(sector_io::writeEncryptedAt(ahead.fd(), *key, c.write.off, stored.data(),
                                                  stored.size()),
                      0);
            EXPECT_TRUE(ahead.onDisk() == plain.onDisk());
            EXPECT_TRUE(ahead.read(0, 5 << 20) == plain.read(0, 5 << 20));
        }
    // Anything but whole sectors is refused and changes nothing.
    auto key = fileKeys().front().second;
    SectorFile f(*key);
    f.apply({Op::Write, 0, 1000});
    const std::string before = f.onDisk();
    const std::vector<uint8_t> some(1024, 7);
    for (auto [off, len] : {std::pair<uint64_t, size_t>{0, 100}, {100, 512}, {512, 0}})
        EXPECT_EQ(sector_io::writeEncryptedAt(f.fd(), *key, off, some.data(), len), EINVAL)
            << off << "+" << len;
    EXPECT_EQ(f.onDisk(), before);
}

// A failed write reports its errno and leaves the file as it was.
TEST(SectorIO, FailedWriteChangesNothing) {
    SectorTestCodec codec;
    SectorFile f(codec);
    f.apply({Op::Write, 0, 700});
    const std::string before = f.onDisk();
    codec.failEncryptAfter(1);  // the gap fill passes, the data piece fails
    EXPECT_EQ(sector_io::writeAt(f.fd(), codec, 9000000, reinterpret_cast<const uint8_t*>("x"), 1),
              EIO);
    EXPECT_EQ(f.onDisk(), before);
    EXPECT_EQ(
        sector_io::writeAt(f.fd(), codec, UINT64_MAX - 4, reinterpret_cast<const uint8_t*>("x"), 1),
        EFBIG);
}

}  // namespace

namespace {

// Gaps are holes that read as zeros; a short last sector whose ciphertext
// happens to be all zeros is still data; gaps that older versions filled
// with encrypted zeros read as they always did.
TEST(SectorIO, SparseGapsAndZeroCiphertext) {
    SectorTestCodec codec;
    // The one plain byte that a 1-byte file at 0 stores as 0x00.
    uint8_t k = 0;
    ASSERT_TRUE(codec.encrypt(0, &k, 1));
    {
        SectorFile f(codec);
        ASSERT_EQ(sector_io::writeAt(f.fd(), codec, 0, &k, 1), 0);
        EXPECT_EQ(f.onDisk(), std::string(1, '\0'));
        EXPECT_EQ(f.read(0, 10), std::string(1, static_cast<char>(k)));
        // Growing turns it into a whole sector that still holds the byte.
        ASSERT_EQ(sector_io::truncate(f.fd(), codec, 5000), 0);
        EXPECT_EQ(f.read(0, 10), std::string(1, static_cast<char>(k)) + std::string(9, '\0'));
    }
    for (auto& [name, key] : fileKeys()) {
        SCOPED_TRACE(name);
        SectorFile sparse(*key), filled(*key);
        for (SectorFile* f : {&sparse, &filled}) f->apply({Op::Write, 0, 700});
        // What the gap fill of older versions wrote: encrypted zeros.
        ASSERT_EQ(sector_io::writeAt(filled.fd(), *key, 700, nullptr, 9000 - 700), 0);
        for (SectorFile* f : {&sparse, &filled}) {
            f->apply({Op::Write, 9000, 100});
            f->apply({Op::Truncate, 20000, 0});
            f->apply({Op::Write, 30001, 3});
        }
        EXPECT_EQ(sparse.read(0, 40000), sparse.model());
        EXPECT_EQ(filled.read(0, 40000), filled.model());
        EXPECT_EQ(sparse.model(), filled.model());
        // Only the filled gap is stored as ciphertext.
        EXPECT_TRUE(sparse.onDisk().substr(1024, 7 * 512) == std::string(7 * 512, '\0'));
        EXPECT_FALSE(filled.onDisk().substr(1024, 7 * 512) == std::string(7 * 512, '\0'));
    }
}

}  // namespace

namespace {

std::string plainOf(int fd, sector_io::Codec& codec) {
    struct stat st;
    EXPECT_EQ(fstat(fd, &st), 0);
    std::string out(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    EXPECT_EQ(
        sector_io::readAt(fd, codec, 0, reinterpret_cast<uint8_t*>(out.data()), out.size(), &got),
        0);
    out.resize(got);
    return out;
}

int g_killAt = 0;
void killAtStep(int step) {
    if (step == g_killAt) raise(SIGKILL);
}

}  // namespace

// A process killed before any step of a change of length leaves, once the
// next open has recovered the file, the old file or the new one: never other
// bytes. Each case runs the change in a child that the step hook kills.
TEST(SectorIO, KilledChangesOfLengthLeaveTheOldOrTheNewFile) {
    struct Case {
        const char* name;
        uint64_t before, after;
        bool truncate;  // else a write of 10 bytes ending at `after`
    } cases[] = {
        {"shrink into a sector", 1500, 1000, true},
        {"shrink into the same sector", 1020, 1000, true},
        {"grow from a partial sector", 1000, 5000, true},
        {"grow past a partial sector to a whole one", 1000, 4096, true},
        {"write past a partial last sector", 1000, 3000, false},
    };
    SectorTestCodec codec;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int step = 1; step <= 6; ++step) {
            SCOPED_TRACE(step);
            SectorFile f(codec);
            f.apply({Op::Write, 0, static_cast<size_t>(c.before)});
            const std::string old = f.model();
            if (c.truncate)
                f.apply({Op::Truncate, c.after, 0});
            else
                f.apply({Op::Write, c.after - 10, 10});
            const std::string fresh = f.model();
            ASSERT_EQ(sector_io::truncate(f.fd(), codec, 0), 0);
            ASSERT_EQ(sector_io::writeAt(f.fd(), codec, 0,
                                         reinterpret_cast<const uint8_t*>(old.data()), old.size()),
                      0);
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                g_killAt = step;
                sector_io::setStepHook(killAtStep);
                int rc =
                    c.truncate
                        ? sector_io::truncate(f.fd(), codec, c.after)
                        : sector_io::writeAt(
                              f.fd(), codec, c.after - 10,
                              reinterpret_cast<const uint8_t*>(fresh.data()) + (c.after - 10), 10);
                _exit(rc == 0 ? 0 : 1);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_EQ(sector_io::recover(f.fd()), 0);
            std::string now = plainOf(f.fd(), codec);
            EXPECT_TRUE(now == old || now == fresh)
                << "length " << now.size() << " (old " << old.size() << ", new " << fresh.size()
                << ")";
            if (WIFEXITED(status)) {
                EXPECT_EQ(now, fresh) << "the change finished";
            }
            EXPECT_LT(fgetxattr(f.fd(), sector_io::kResizeRecord, nullptr, 0), 0);
        }
    }
}

// Two processes write interleaved unaligned stripes of one file through
// descriptors of their own: their read-modify-writes of shared sectors never
// interleave, so no byte of either is lost.
TEST(SectorIO, TwoProcessesWritingStripesLoseNothing) {
    constexpr size_t kStripe = 77, kStripes = 2000;
    SectorTestCodec codec;
    testsupport::TempDir tmp;
    const std::string path = (tmp / "shared").string();
    close(open(path.c_str(), O_RDWR | O_CREAT, 0600));
    auto writer = [&](size_t parity, uint8_t fill) {
        int fd = open(path.c_str(), O_RDWR);
        const std::vector<uint8_t> stripe(kStripe, fill);
        bool ok = fd >= 0;
        for (size_t i = parity; ok && i < kStripes; i += 2)
            ok = sector_io::writeAt(fd, codec, i * kStripe, stripe.data(), stripe.size()) == 0;
        close(fd);
        return ok;
    };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(writer(1, 0xBB) ? 0 : 1);
    EXPECT_TRUE(writer(0, 0xAA));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    int fd = open(path.c_str(), O_RDONLY);
    std::string got = plainOf(fd, codec);
    close(fd);
    ASSERT_EQ(got.size(), kStripe * kStripes);
    size_t wrong = 0;
    for (size_t i = 0; i < got.size(); ++i)
        wrong += static_cast<uint8_t>(got[i]) != ((i / kStripe) % 2 ? 0xBB : 0xAA);
    EXPECT_EQ(wrong, 0u);
}

// Reads through one descriptor that run at once share its range locks: the
// one that ends first leaves locked what the other still reads, so a writer
// through another descriptor waits for both.
TEST(SectorIO, ReadsThroughOneDescriptorKeepEachOthersLocks) {
    // Holds the read that calls it inside its lock until released.
    class HoldingCodec : public SectorTestCodec {
      public:
        bool decrypt(uint64_t pos, uint8_t* d, size_t n) override {
            std::unique_lock<std::mutex> lock(m);
            entered = true;
            cv.notify_all();
            cv.wait(lock, [&] { return released; });
            return SectorTestCodec::decrypt(pos, d, n);
        }
        std::mutex m;
        std::condition_variable cv;
        bool entered = false, released = false;
    };
    SectorTestCodec codec;
    HoldingCodec holding;
    testsupport::TempDir tmp;
    const std::string path = (tmp / "read").string();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    const int other = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_GE(other, 0);
    const std::vector<uint8_t> data(3 * 4096, 0x5A);
    ASSERT_EQ(sector_io::writeAt(fd, codec, 0, data.data(), data.size()), 0);
    // Whether a write lock over [start, start + len) through `other` would wait.
    auto writerWaits = [&](off_t start, off_t len) {
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = start;
        fl.l_len = len;
        EXPECT_EQ(fcntl(other, F_OFD_GETLK, &fl), 0);
        return fl.l_type != F_UNLCK;
    };

    sector_io::SharedReads shared;
    std::vector<uint8_t> longRead(2 * 4096), shortRead(2 * 4096);
    std::thread holder([&] {
        size_t got = 0;
        EXPECT_EQ(
            sector_io::readAt(fd, holding, 0, longRead.data(), longRead.size(), &got, &shared), 0);
        EXPECT_EQ(got, longRead.size());
    });
    {
        std::unique_lock<std::mutex> lock(holding.m);
        holding.cv.wait(lock, [&] { return holding.entered; });
    }
    // Overlapping the held read's start, and running past its end.
    size_t got = 0;
    EXPECT_EQ(sector_io::readAt(fd, codec, 4096, shortRead.data(), shortRead.size(), &got, &shared),
              0);
    EXPECT_EQ(got, shortRead.size());
    EXPECT_TRUE(writerWaits(4096, 4096)) << "the held read lost its lock";
    EXPECT_FALSE(writerWaits(2 * 4096, 4096)) << "what no read holds stayed locked";
    {
        std::lock_guard<std::mutex> lock(holding.m);
        holding.released = true;
    }
    holding.cv.notify_all();
    holder.join();
    EXPECT_FALSE(writerWaits(0, 0)) << "a read left a lock behind";
    EXPECT_EQ(std::vector<uint8_t>(longRead.begin(), longRead.end()),
              std::vector<uint8_t>(data.begin(), data.begin() + 2 * 4096));
    close(other);
    close(fd);
}

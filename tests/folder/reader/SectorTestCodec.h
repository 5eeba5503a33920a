#pragma once
// A stand-in for the sector engine that is stricter about boundaries: each
// sector's bytes depend on the sector's position, its length in the run and
// the byte's place, so a sector decrypted with other boundaries than it was
// encrypted with comes out wrong.

#include <gtest/gtest.h>

#include "folder/SectorIO.h"

class SectorTestCodec : public sector_io::Codec {
  public:
    bool encrypt(uint64_t pos, uint8_t* d, size_t n) override {
        if (failAfter_ >= 0 && failAfter_-- == 0) return false;
        return run(pos, d, n);
    }
    bool decrypt(uint64_t pos, uint8_t* d, size_t n) override { return run(pos, d, n); }
    void failEncryptAfter(int calls) { failAfter_ = calls; }

  private:
    static bool run(uint64_t pos, uint8_t* d, size_t n) {
        EXPECT_EQ(pos % sector_io::kSectorSize, 0u) << "run off the sector grid at " << pos;
        for (size_t s = 0; s < n; s += sector_io::kSectorSize) {
            uint64_t len = std::min<uint64_t>(sector_io::kSectorSize, n - s);
            for (size_t k = 0; k < len; ++k) {
                uint64_t x =
                    (pos + s) * 0x9E3779B97F4A7C15ull ^ (len << 20) ^ (k * 0xBF58476D1CE4E5B9ull);
                x ^= x >> 29;
                d[s + k] ^= static_cast<uint8_t>(x * 0x94D049BB133111EBull >> 56);
            }
        }
        return true;
    }
    int failAfter_ = -1;
};

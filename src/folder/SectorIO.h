#pragma once
// Positional I/O of an encrypted file on the 512-byte sector grid.
//
// The sector scheme encrypts a run by its own start position, so bytes only
// decrypt with the boundaries they were encrypted with. Here every sector (and
// the final partial sector of a file) is always one run from its own start:
// reads widen to sector boundaries, writes read-modify-write the sectors they
// touch and a shrink re-encrypts the new last sector. A file written whole
// from position 0, or in sector-aligned pieces, gets exactly the bytes of one
// run over the file.
//
// Gaps are sparse: a write past the end or a growing truncate leaves the whole
// sectors between as holes, and a whole sector stored as 512 zero bytes reads
// as plain zeros (no sector encrypts to that). Only the old partial last
// sector (which becomes whole) and a new partial last sector (written as
// encrypted zeros, never a hole) are written. Gaps that older versions filled
// with encrypted zeros read as before.
//
// Results are 0 or an errno value; on a failed write or truncate the file keeps
// its old length and its old last sector.
//
// Two processes may serve one file: every call holds an open-file-description
// range lock (shared for reads, exclusive for writes) over the sectors it
// reads or rewrites, and from there to the end of the file when it changes
// the length.
//
// A change of length that takes more than one step (a truncate into a
// sector, a growth from a partial last sector past that sector) first keeps
// the old length and old last sector in an extended attribute of the file;
// recover() on the next open puts back the old file unless the new length
// was reached. A process killed at any step thus leaves the old file or the
// new one. Where the file system keeps no extended attributes the steps run
// unguarded.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace sector_io {

inline constexpr uint64_t kSectorSize = 512;
// The extended attribute that records a change of length in progress.
inline constexpr const char* kResizeRecord = "user.tessaro.resize";

// Transforms sector-aligned runs in place. `pos` is a multiple of kSectorSize;
// a run may cover many sectors and end inside the last one.
class Codec {
  public:
    virtual ~Codec() = default;
    virtual bool encrypt(uint64_t pos, uint8_t* data, size_t n) = 0;
    virtual bool decrypt(uint64_t pos, uint8_t* data, size_t n) = 0;
};

// The read locks of reads through one descriptor that run at once. The
// kernel keeps one lock per open file description, not one per call: a read
// that ends must not give up the part of its range that another read
// through the same descriptor still holds.
class SharedReads {
  public:
    SharedReads() = default;
    SharedReads(const SharedReads&) = delete;
    SharedReads& operator=(const SharedReads&) = delete;

  private:
    friend class ReadLock;
    std::mutex m_mutex;
    std::vector<std::pair<uint64_t, uint64_t>> m_held;  // [start, end), end 0: to any end
};

// Up to `len` plain bytes at `off` into `buf`; `got` is short at the end of
// the file. Reads through one descriptor may run at once when they pass the
// descriptor's `shared` (without it, the caller runs them one at a time).
int readAt(int fd, Codec& codec, uint64_t off, uint8_t* buf, size_t len, size_t* got,
           SharedReads* shared = nullptr);

// `len` bytes at `off` (zeros when `buf` is null); the file grows as needed.
int writeAt(int fd, Codec& codec, uint64_t off, const uint8_t* buf, size_t len);

// Whole sectors encrypt by their place alone, whatever the file holds: such
// a write's bytes can be encrypted ahead, beside other calls on the file, and
// stored later with writeEncryptedAt.
inline bool coversWholeSectors(uint64_t off, size_t len) {
    return len != 0 && off % kSectorSize == 0 && len % kSectorSize == 0;
}
// writeAt for bytes `codec` encrypted at `off` already; EINVAL unless they
// cover whole sectors. The file is left as writeAt of the plain bytes would.
int writeEncryptedAt(int fd, Codec& codec, uint64_t off, const uint8_t* cipher, size_t len);

// Sets the plain length; growing adds zeros, as holes where it can.
int truncate(int fd, Codec& codec, uint64_t size);

// A resize record read back: the old length, the new one, and the old
// ciphertext of the sector at `pos` (`old` points into the parsed bytes).
struct ResizeRecord {
    uint64_t oldSize = 0, newSize = 0, pos = 0;
    const uint8_t* old = nullptr;
    size_t oldLength = 0;
};
// False for anything this code did not write: a record may come with a
// folder from elsewhere.
bool parseResizeRecord(const uint8_t* data, size_t n, ResizeRecord* out);

// Finishes what a killed process left: the old file back, or the new one
// kept. Needs a descriptor open for writing; 0 when there was nothing to do.
int recover(int fd);

// Test hook: called before each step of a guarded change of length (steps
// count from 1), so a test can end the process between any two of them.
using StepHook = void (*)(int step);
void setStepHook(StepHook hook);

}  // namespace sector_io

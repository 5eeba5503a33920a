#include "folder/SectorIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/core/FullIO.h"

namespace sector_io {

namespace {

// Largest run handled in one buffer; a multiple of the sector size.
constexpr uint64_t kPieceSize = 8u << 20;
// A write at least this large starts its own way to the disk at once.
constexpr uint64_t kStreamingWrite = 512u << 10;

uint64_t roundDown(uint64_t v) {
    return v & ~(kSectorSize - 1);
}
uint64_t roundUp(uint64_t v) {
    return roundDown(v + kSectorSize - 1);
}

std::atomic<StepHook> g_stepHook{nullptr};
thread_local int t_step = 0;

// Marks the next step of a change; counted from 1 in each call.
void step() {
    if (StepHook hook = g_stepHook.load(std::memory_order_relaxed)) hook(++t_step);
}

// An open-file-description lock over [start, start + len) (len 0: to any
// end), held for one call. The kernel shares it between processes and
// between descriptors of one process. A file system without such locks
// runs unlocked, as before.
class RangeLock {
  public:
    RangeLock() = default;
    RangeLock(const RangeLock&) = delete;
    RangeLock& operator=(const RangeLock&) = delete;
    ~RangeLock() { release(); }

    int acquire(int fd, bool exclusive, uint64_t start, uint64_t len) {
        release();
        struct flock fl = {};
        fl.l_type = static_cast<short>(exclusive ? F_WRLCK : F_RDLCK);
        fl.l_whence = SEEK_SET;
        fl.l_start = static_cast<off_t>(start);
        fl.l_len = static_cast<off_t>(len);
        while (::fcntl(fd, F_OFD_SETLKW, &fl) != 0) {
            if (errno == EINTR) continue;
            if (errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS)
                return 0;
            return errno;
        }
        m_fd = fd;
        m_start = start;
        m_len = len;
        return 0;
    }
    // Whether the held range covers [start, start + len) (len 0: to any end).
    bool covers(uint64_t start, uint64_t len) const {
        if (m_fd < 0) return true;  // not locking on this file system
        if (start < m_start) return false;
        if (m_len == 0) return true;
        return len != 0 && start + len <= m_start + m_len;
    }
    void release() {
        if (m_fd < 0) return;
        struct flock fl = {};
        fl.l_type = F_UNLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = static_cast<off_t>(m_start);
        fl.l_len = static_cast<off_t>(m_len);
        (void)::fcntl(m_fd, F_OFD_SETLK, &fl);
        m_fd = -1;
    }

  private:
    int m_fd = -1;
    uint64_t m_start = 0, m_len = 0;
};

}  // namespace

// The read lock of one read; with a SharedReads, released only where no
// other read through the descriptor holds the range.
class ReadLock {
  public:
    explicit ReadLock(SharedReads* shared) : m_shared(shared) {}
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;
    ~ReadLock() { release(); }

    int acquire(int fd, uint64_t start, uint64_t len) {
        if (!m_shared) return m_lock.acquire(fd, false, start, len);
        m_range = {start, len ? start + len : kToEnd};
        {
            std::lock_guard<std::mutex> guard(m_shared->m_mutex);
            m_shared->m_held.push_back(m_range);
        }
        m_fd = fd;
        // Waited for outside the list's lock: a writer elsewhere may hold it.
        if (int rc = setLock(F_RDLCK, F_OFD_SETLKW, m_range)) {
            if (rc == ENOLCK || rc == EINVAL || rc == EOPNOTSUPP || rc == ENOSYS) return 0;
            release();  // nothing was locked, so nothing is given up
            return rc;
        }
        m_locked = true;
        return 0;
    }

    void release() {
        if (!m_shared) return m_lock.release();
        if (m_fd < 0) return;
        std::lock_guard<std::mutex> guard(m_shared->m_mutex);
        auto& held = m_shared->m_held;
        held.erase(std::find(held.begin(), held.end(), m_range));
        if (m_locked) {
            // What this read locked, less what the others still hold.
            std::vector<std::pair<uint64_t, uint64_t>> free = {m_range};
            for (const auto& [b, e] : held) {
                std::vector<std::pair<uint64_t, uint64_t>> left;
                for (const auto& [fb, fe] : free) {
                    if (e <= fb || b >= fe) {
                        left.emplace_back(fb, fe);
                        continue;
                    }
                    if (fb < b) left.emplace_back(fb, b);
                    if (e < fe) left.emplace_back(e, fe);
                }
                free = std::move(left);
            }
            for (const auto& piece : free) (void)setLock(F_UNLCK, F_OFD_SETLK, piece);
        }
        m_fd = -1;
        m_locked = false;
    }

  private:
    static constexpr uint64_t kToEnd = std::numeric_limits<uint64_t>::max();

    int setLock(short type, int command, std::pair<uint64_t, uint64_t> range) const {
        struct flock fl = {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_start = static_cast<off_t>(range.first);
        fl.l_len = range.second == kToEnd ? 0 : static_cast<off_t>(range.second - range.first);
        while (::fcntl(m_fd, command, &fl) != 0)
            if (errno != EINTR) return errno;
        return 0;
    }

    SharedReads* m_shared;
    RangeLock m_lock;  // without a SharedReads
    int m_fd = -1;
    bool m_locked = false;
    std::pair<uint64_t, uint64_t> m_range;
};

namespace {

int fileSize(int fd, uint64_t* size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

// 0 or the errno of the failed write.
int pwriteFull(int fd, const uint8_t* buf, size_t n, uint64_t off) {
    step();
    return platform::pwriteFully(fd, buf, n, off) ? 0 : errno;
}

int cut(int fd, uint64_t size) {
    step();
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

// The record of a change of length in progress: version, old length, new
// length, the position and the old ciphertext of the sector it rewrites.
constexpr size_t kRecordHead = 1 + 3 * 8;

void putU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t getU64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

// Runs `change`, which takes the file from `size` to `newSize` in more than
// one step and rewrites the sector at `pos` whose old ciphertext is `old`,
// behind a resize record.
template <typename Fn>
int guarded(int fd, uint64_t size, uint64_t newSize, uint64_t pos, const std::vector<uint8_t>& old,
            Fn&& change) {
    std::vector<uint8_t> rec(kRecordHead + old.size());
    rec[0] = 1;
    putU64(rec.data() + 1, size);
    putU64(rec.data() + 9, newSize);
    putU64(rec.data() + 17, pos);
    if (!old.empty()) std::memcpy(rec.data() + kRecordHead, old.data(), old.size());
    step();
    bool kept = ::fsetxattr(fd, kResizeRecord, rec.data(), rec.size(), 0) == 0;
    int rc = change();
    if (kept) {
        step();
        (void)::fremovexattr(fd, kResizeRecord);
    }
    return rc;
}

bool allZero(const uint8_t* p, size_t n) {
    uint64_t acc = 0;
    for (size_t i = 0; i < n; i += 64) {
        uint64_t w[8];
        std::memcpy(w, p + i, sizeof w);
        for (uint64_t v : w) acc |= v;
        if (acc) return false;
    }
    return true;
}

// Decrypts a stored run that starts on a sector. A whole sector stored as
// 512 zero bytes is a gap that was never written (the file system's hole):
// it is plain zeros already. No sector's ciphertext is 512 zero bytes, so
// this never hides data. A partial last sector is always written, never a
// hole, and always decrypted: a short tail can encrypt to zeros.
bool decryptStored(Codec& codec, uint64_t pos, uint8_t* data, size_t n) {
    size_t run = 0;  // start of the sectors not yet decrypted
    for (size_t i = 0; i + kSectorSize <= n; i += kSectorSize) {
        if (!allZero(data + i, kSectorSize)) continue;
        if (i > run && !codec.decrypt(pos + run, data + run, i - run)) return false;
        run = i + kSectorSize;
    }
    return run >= n || codec.decrypt(pos + run, data + run, n - run);
}

// Reads the whole old sector run [pos, end) and decrypts it.
int loadOld(int fd, Codec& codec, uint8_t* buf, uint64_t pos, uint64_t end) {
    size_t n = static_cast<size_t>(end - pos);
    ssize_t r = platform::preadFully(fd, buf, n, pos);
    if (r < 0) return errno;
    if (static_cast<size_t>(r) != n) return EIO;  // shrank under us
    return decryptStored(codec, pos, buf, n) ? 0 : EIO;
}

std::vector<uint8_t>& scratch() {
    thread_local std::vector<uint8_t> buf;
    return buf;
}

// One piece of at most kPieceSize plus one sector. It may start past the
// end of the file only in a sector that holds nothing of the file yet: the
// bytes before it in that sector are zeros, and the sectors between stay
// holes.
int writePiece(int fd, Codec& codec, uint64_t off, const uint8_t* data, size_t n, uint64_t size) {
    const uint64_t end = off + n;
    const uint64_t newSize = std::max(size, end);
    const uint64_t a = roundDown(off);
    const uint64_t b = std::min(roundUp(end), newSize);
    std::vector<uint8_t>& buf = scratch();
    if (buf.size() < b - a) buf.resize(static_cast<size_t>(b - a));

    bool headLoaded = false;
    if (a < off) {
        uint64_t loaded = a;
        if (a < size) {
            loaded = std::min(a + kSectorSize, size);
            if (int rc = loadOld(fd, codec, buf.data(), a, loaded)) return rc;
            headLoaded = true;
        }
        if (loaded < off) std::memset(buf.data() + (loaded - a), 0, off - loaded);
    }
    const uint64_t tailStart = roundDown(end - 1);
    if (end < b && !(headLoaded && tailStart == a)) {
        if (int rc = loadOld(fd, codec, buf.data() + (tailStart - a), tailStart, b)) return rc;
    }
    if (data)
        std::memcpy(buf.data() + (off - a), data, n);
    else
        std::memset(buf.data() + (off - a), 0, n);
    if (!codec.encrypt(a, buf.data(), static_cast<size_t>(b - a))) return EIO;
    if (int rc = pwriteFull(fd, buf.data(), static_cast<size_t>(b - a), a)) return rc;
    // A large write is most likely one of a stream: its pages set out for the
    // disk now, so that the stream's fsync finds most of them written instead
    // of writing them all at its end.
    if (b - a >= kStreamingWrite)
        (void)::sync_file_range(fd, static_cast<off_t>(a), static_cast<off_t>(b - a),
                                SYNC_FILE_RANGE_WRITE);
    return 0;
}

// Writes [off, off + len) in pieces; *size follows the growth. An `off` past
// the end of the file must not share a sector with the file's last bytes.
int writeRange(int fd, Codec& codec, uint64_t off, const uint8_t* data, uint64_t len,
               uint64_t* size) {
    const uint64_t end = off + len;
    uint64_t pos = off;
    while (pos < end) {
        uint64_t pieceEnd = std::min(end, roundDown(pos) + kPieceSize);
        size_t n = static_cast<size_t>(pieceEnd - pos);
        if (int rc = writePiece(fd, codec, pos, data ? data + (pos - off) : nullptr, n, *size))
            return rc;
        *size = std::max(*size, pieceEnd);
        pos = pieceEnd;
    }
    return 0;
}

// Puts the file back to `size` with its old last sector after a failed growth.
void restore(int fd, uint64_t size, const std::vector<uint8_t>& lastSector) {
    if (!lastSector.empty())
        (void)pwriteFull(fd, lastSector.data(), lastSector.size(), roundDown(size));
    (void)cut(fd, size);
}

// Grows the file from *size to `newSize` with plain zeros, writing only what
// has to be: the old partial last sector becomes a whole sector (it is
// encrypted as a run of its own length), and a new partial last sector is
// written as encrypted zeros. Whole sectors in between stay holes.
int extend(int fd, Codec& codec, uint64_t newSize, uint64_t* size) {
    if (*size % kSectorSize) {
        uint64_t fill = std::min(newSize, roundUp(*size));
        if (int rc = writeRange(fd, codec, *size, nullptr, fill - *size, size)) return rc;
    }
    if (newSize <= *size) return 0;
    const uint64_t last = roundDown(newSize);
    if (last < newSize) return writeRange(fd, codec, last, nullptr, newSize - last, size);
    if (int rc = cut(fd, newSize)) return rc;
    *size = newSize;
    return 0;
}

// Keeps the old ciphertext of a partial last sector that a growth re-encrypts.
int saveLastSector(int fd, uint64_t size, std::vector<uint8_t>* out) {
    uint64_t start = roundDown(size);
    if (start == size) return 0;
    out->resize(static_cast<size_t>(size - start));
    ssize_t r = platform::preadFully(fd, out->data(), out->size(), start);
    if (r < 0) return errno;
    return static_cast<size_t>(r) == out->size() ? 0 : EIO;
}

bool overflows(uint64_t off, uint64_t len) {
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    return off > kMax || len > kMax - off;
}

}  // namespace

namespace {

// Locks what a change of the file from its current length needs: the
// sectors from `first` on (or only up to `end` when the length stays), the
// length read again under the lock until the held range covers it.
int lockForChange(int fd, RangeLock& lock, uint64_t first, uint64_t end, uint64_t* size) {
    for (;;) {
        if (int rc = fileSize(fd, size)) return rc;
        const bool grows = end == 0 || end > *size;
        const uint64_t start = roundDown(grows ? std::min(first, *size) : first);
        const uint64_t len = grows ? 0 : roundUp(end) - start;
        if (int rc = lock.acquire(fd, true, start, len)) return rc;
        uint64_t now = 0;
        if (int rc = fileSize(fd, &now)) return rc;
        const bool growsNow = end == 0 || end > now;
        const uint64_t startNow = roundDown(growsNow ? std::min(first, now) : first);
        if (lock.covers(startNow, growsNow ? 0 : roundUp(end) - startNow)) {
            *size = now;
            return 0;
        }
    }
}

}  // namespace

int readAt(int fd, Codec& codec, uint64_t off, uint8_t* buf, size_t len, size_t* got,
           SharedReads* shared) {
    *got = 0;
    if (len == 0) return 0;
    ReadLock lock(shared);
    const bool past = overflows(off, len);
    if (int rc = lock.acquire(fd, roundDown(off), past ? 0 : roundUp(off + len) - roundDown(off)))
        return rc;
    uint64_t size = 0;
    if (int rc = fileSize(fd, &size)) return rc;
    if (len == 0 || off >= size) return 0;
    const uint64_t end = off + std::min<uint64_t>(len, size - off);
    uint64_t pos = off;
    while (pos < end) {
        const uint64_t sector = roundDown(pos);
        // Whole sectors (the file's partial last one included) go straight
        // into the caller's buffer; a sector read only in part goes through
        // a small buffer, since it decrypts only as a whole.
        const uint64_t runEnd = end == size ? end : roundDown(end);
        if (pos == sector && runEnd > pos) {
            size_t n = static_cast<size_t>(runEnd - pos);
            ssize_t r = platform::preadFully(fd, buf + (pos - off), n, pos);
            if (r < 0) return errno;
            if (!decryptStored(codec, pos, buf + (pos - off), static_cast<size_t>(r))) return EIO;
            *got += static_cast<size_t>(r);
            if (static_cast<size_t>(r) < n) return 0;  // shrank meanwhile
            pos = runEnd;
            continue;
        }
        uint8_t tmp[kSectorSize];
        const uint64_t sectorEnd = std::min(sector + kSectorSize, size);
        ssize_t r = platform::preadFully(fd, tmp, static_cast<size_t>(sectorEnd - sector), sector);
        if (r < 0) return errno;
        if (!decryptStored(codec, sector, tmp, static_cast<size_t>(r))) return EIO;
        const uint64_t have = std::min(sector + static_cast<uint64_t>(r), end);
        if (have <= pos) return 0;
        std::memcpy(buf + (pos - off), tmp + (pos - sector), static_cast<size_t>(have - pos));
        *got += static_cast<size_t>(have - pos);
        explicit_bzero(tmp, sizeof tmp);
        if (have < std::min(sectorEnd, end)) return 0;
        pos = have;
    }
    return 0;
}

namespace {

// Stores the whole sectors `cipher` at `off`; *size follows the growth.
int storeEncrypted(int fd, uint64_t off, const uint8_t* cipher, size_t len, uint64_t* size) {
    if (int rc = pwriteFull(fd, cipher, len, off)) return rc;
    if (len >= kStreamingWrite)
        (void)::sync_file_range(fd, static_cast<off_t>(off), static_cast<off_t>(len),
                                SYNC_FILE_RANGE_WRITE);
    *size = std::max(*size, off + len);
    return 0;
}

// writeAt of plain bytes, or of whole sectors encrypted already.
int writeBytes(int fd, Codec& codec, uint64_t off, const uint8_t* buf, size_t len, bool encrypted) {
    if (len == 0) return 0;
    if (overflows(off, len)) return EFBIG;
    t_step = 0;
    RangeLock lock;
    uint64_t size = 0;
    if (int rc = lockForChange(fd, lock, off, off + len, &size)) return rc;
    const uint64_t oldSize = size;
    std::vector<uint8_t> oldLast;
    if (off + len > size)
        if (int rc = saveLastSector(fd, size, &oldLast)) return rc;
    auto change = [&] {
        int rc = 0;
        // The gap before the data stays a hole; only a partial last sector
        // that the gap leaves behind is completed.
        if (off > size && size % kSectorSize)
            rc = writeRange(fd, codec, size, nullptr, std::min(off, roundUp(size)) - size, &size);
        if (rc == 0)
            rc = encrypted ? storeEncrypted(fd, off, buf, len, &size)
                           : writeRange(fd, codec, off, buf, len, &size);
        // A piece that failed half-way may have grown the file already.
        if (rc != 0 && off + len > oldSize) restore(fd, oldSize, oldLast);
        return rc;
    };
    // Completing the old last sector and then writing beyond it are two steps.
    if (off > oldSize && !oldLast.empty())
        return guarded(fd, oldSize, off + len, roundDown(oldSize), oldLast, change);
    return change();
}

}  // namespace

int writeAt(int fd, Codec& codec, uint64_t off, const uint8_t* buf, size_t len) {
    return writeBytes(fd, codec, off, buf, len, false);
}

int writeEncryptedAt(int fd, Codec& codec, uint64_t off, const uint8_t* cipher, size_t len) {
    if (!coversWholeSectors(off, len) || !cipher) return EINVAL;
    return writeBytes(fd, codec, off, cipher, len, true);
}

int truncate(int fd, Codec& codec, uint64_t newSize) {
    if (overflows(newSize, 0)) return EFBIG;
    t_step = 0;
    RangeLock lock;
    uint64_t size = 0;
    if (int rc = lockForChange(fd, lock, newSize, 0, &size)) return rc;
    if (newSize == size) return 0;
    if (newSize > size) {
        std::vector<uint8_t> oldLast;
        if (int rc = saveLastSector(fd, size, &oldLast)) return rc;
        const uint64_t oldSize = size;
        auto change = [&] {
            int rc = extend(fd, codec, newSize, &size);
            if (rc != 0) restore(fd, oldSize, oldLast);
            return rc;
        };
        // A partial last sector made whole, then a new end past it: two steps.
        if (!oldLast.empty() && newSize > roundUp(oldSize))
            return guarded(fd, oldSize, newSize, roundDown(oldSize), oldLast, change);
        return change();
    }
    const uint64_t start = roundDown(newSize);
    if (start == newSize) return cut(fd, newSize);
    // The new last sector is re-encrypted as a shorter run, then the file is
    // cut: two steps, guarded by the record of the old sector.
    const uint64_t oldEnd = std::min(start + kSectorSize, size);
    std::vector<uint8_t> cipher(static_cast<size_t>(oldEnd - start));
    ssize_t r = platform::preadFully(fd, cipher.data(), cipher.size(), start);
    if (r < 0) return errno;
    if (static_cast<size_t>(r) != cipher.size()) return EIO;
    std::vector<uint8_t> plain = cipher;
    if (!decryptStored(codec, start, plain.data(), plain.size())) return EIO;
    const size_t keep = static_cast<size_t>(newSize - start);
    if (!codec.encrypt(start, plain.data(), keep)) return EIO;
    int rc = guarded(fd, size, newSize, start, cipher, [&] {
        if (int err = pwriteFull(fd, plain.data(), keep, start)) {
            (void)pwriteFull(fd, cipher.data(), cipher.size(), start);
            return err;
        }
        if (int err = cut(fd, newSize)) {
            (void)pwriteFull(fd, cipher.data(), cipher.size(), start);
            return err;
        }
        return 0;
    });
    explicit_bzero(plain.data(), plain.size());
    return rc;
}

bool parseResizeRecord(const uint8_t* data, size_t n, ResizeRecord* out) {
    if (!data || n < kRecordHead || n > kRecordHead + kSectorSize || data[0] != 1) return false;
    ResizeRecord r;
    r.oldSize = getU64(data + 1);
    r.newSize = getU64(data + 9);
    r.pos = getU64(data + 17);
    r.old = data + kRecordHead;
    r.oldLength = n - kRecordHead;
    if (r.pos % kSectorSize != 0 || overflows(r.oldSize, 0) || overflows(r.newSize, 0) ||
        r.pos > r.oldSize || r.oldLength > r.oldSize - r.pos)
        return false;
    *out = r;
    return true;
}

int recover(int fd) {
    uint8_t rec[kRecordHead + kSectorSize];
    if (::fgetxattr(fd, kResizeRecord, rec, sizeof rec) < 0)
        return errno == ENODATA || errno == ENOTSUP || errno == ERANGE ? 0 : errno;
    RangeLock lock;
    if (int rc = lock.acquire(fd, true, 0, 0)) return rc;
    // Read again under the lock: another process may have finished it.
    ssize_t n = ::fgetxattr(fd, kResizeRecord, rec, sizeof rec);
    if (n < 0) return errno == ENODATA ? 0 : errno;
    ResizeRecord r;
    const bool valid = parseResizeRecord(rec, static_cast<size_t>(n), &r);
    uint64_t size = 0;
    if (int rc = fileSize(fd, &size)) return rc;
    if (valid && size != r.newSize) {
        // Killed before the new length was reached: the old file comes back.
        if (r.oldLength)
            if (int rc = pwriteFull(fd, r.old, r.oldLength, r.pos)) return rc;
        if (int rc = cut(fd, r.oldSize)) return rc;
    }
    return ::fremovexattr(fd, kResizeRecord) == 0 || errno == ENODATA ? 0 : errno;
}

void setStepHook(StepHook hook) {
    g_stepHook.store(hook, std::memory_order_relaxed);
}

}  // namespace sector_io

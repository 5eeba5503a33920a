#include "folder/SectorIO.h"

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace sector_io {

namespace {

// Largest run handled in one buffer; a multiple of the sector size.
constexpr uint64_t kPieceSize = 8u << 20;

uint64_t roundDown(uint64_t v) {
    return v & ~(kSectorSize - 1);
}
uint64_t roundUp(uint64_t v) {
    return roundDown(v + kSectorSize - 1);
}

int fileSize(int fd, uint64_t* size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

// Reads until `n` bytes or the end of the file; -1 with errno on failure.
ssize_t preadFull(int fd, uint8_t* buf, size_t n, uint64_t off) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = pread(fd, buf + done, n - done, static_cast<off_t>(off + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

int pwriteFull(int fd, const uint8_t* buf, size_t n, uint64_t off) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = pwrite(fd, buf + done, n - done, static_cast<off_t>(off + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (r == 0) return ENOSPC;
        done += static_cast<size_t>(r);
    }
    return 0;
}

// Reads the whole old sector run [pos, end) and decrypts it.
int loadOld(int fd, Codec& codec, uint8_t* buf, uint64_t pos, uint64_t end) {
    size_t n = static_cast<size_t>(end - pos);
    ssize_t r = preadFull(fd, buf, n, pos);
    if (r < 0) return errno;
    if (static_cast<size_t>(r) != n) return EIO;  // shrank under us
    return codec.decrypt(pos, buf, n) ? 0 : EIO;
}

std::vector<uint8_t>& scratch() {
    thread_local std::vector<uint8_t> buf;
    return buf;
}

// One piece that starts at or before the current end of the file (off <= size)
// and spans at most kPieceSize plus one sector.
int writePiece(int fd, Codec& codec, uint64_t off, const uint8_t* data, size_t n, uint64_t size) {
    const uint64_t end = off + n;
    const uint64_t newSize = std::max(size, end);
    const uint64_t a = roundDown(off);
    const uint64_t b = std::min(roundUp(end), newSize);
    std::vector<uint8_t>& buf = scratch();
    if (buf.size() < b - a) buf.resize(static_cast<size_t>(b - a));

    bool headLoaded = false;
    if (a < off) {
        if (int rc = loadOld(fd, codec, buf.data(), a, std::min(a + kSectorSize, size))) return rc;
        headLoaded = true;
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
    return pwriteFull(fd, buf.data(), static_cast<size_t>(b - a), a);
}

// Writes [off, off + len) in pieces; off <= *size, which follows the growth.
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
    (void)ftruncate(fd, static_cast<off_t>(size));
}

// Keeps the old ciphertext of a partial last sector that a growth re-encrypts.
int saveLastSector(int fd, uint64_t size, std::vector<uint8_t>* out) {
    uint64_t start = roundDown(size);
    if (start == size) return 0;
    out->resize(static_cast<size_t>(size - start));
    ssize_t r = preadFull(fd, out->data(), out->size(), start);
    if (r < 0) return errno;
    return static_cast<size_t>(r) == out->size() ? 0 : EIO;
}

bool overflows(uint64_t off, uint64_t len) {
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    return off > kMax || len > kMax - off;
}

}  // namespace

int readAt(int fd, Codec& codec, uint64_t off, uint8_t* buf, size_t len, size_t* got) {
    *got = 0;
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
            ssize_t r = preadFull(fd, buf + (pos - off), n, pos);
            if (r < 0) return errno;
            if (!codec.decrypt(pos, buf + (pos - off), static_cast<size_t>(r))) return EIO;
            *got += static_cast<size_t>(r);
            if (static_cast<size_t>(r) < n) return 0;  // shrank meanwhile
            pos = runEnd;
            continue;
        }
        uint8_t tmp[kSectorSize];
        const uint64_t sectorEnd = std::min(sector + kSectorSize, size);
        ssize_t r = preadFull(fd, tmp, static_cast<size_t>(sectorEnd - sector), sector);
        if (r < 0) return errno;
        if (!codec.decrypt(sector, tmp, static_cast<size_t>(r))) return EIO;
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

int writeAt(int fd, Codec& codec, uint64_t off, const uint8_t* buf, size_t len) {
    if (len == 0) return 0;
    if (overflows(off, len)) return EFBIG;
    uint64_t size = 0;
    if (int rc = fileSize(fd, &size)) return rc;
    const uint64_t oldSize = size;
    std::vector<uint8_t> oldLast;
    if (off + len > size)
        if (int rc = saveLastSector(fd, size, &oldLast)) return rc;
    int rc = 0;
    if (off > size) rc = writeRange(fd, codec, size, nullptr, off - size, &size);
    if (rc == 0) rc = writeRange(fd, codec, off, buf, len, &size);
    // A piece that failed half-way may have grown the file already.
    if (rc != 0 && off + len > oldSize) restore(fd, oldSize, oldLast);
    return rc;
}

int truncate(int fd, Codec& codec, uint64_t newSize) {
    if (overflows(newSize, 0)) return EFBIG;
    uint64_t size = 0;
    if (int rc = fileSize(fd, &size)) return rc;
    if (newSize == size) return 0;
    if (newSize > size) {
        std::vector<uint8_t> oldLast;
        if (int rc = saveLastSector(fd, size, &oldLast)) return rc;
        const uint64_t oldSize = size;
        int rc = writeRange(fd, codec, size, nullptr, newSize - size, &size);
        if (rc != 0) restore(fd, oldSize, oldLast);
        return rc;
    }
    const uint64_t start = roundDown(newSize);
    if (start < newSize) {
        const uint64_t oldEnd = std::min(start + kSectorSize, size);
        std::vector<uint8_t> cipher(static_cast<size_t>(oldEnd - start));
        ssize_t r = preadFull(fd, cipher.data(), cipher.size(), start);
        if (r < 0) return errno;
        if (static_cast<size_t>(r) != cipher.size()) return EIO;
        std::vector<uint8_t> plain = cipher;
        if (!codec.decrypt(start, plain.data(), plain.size())) return EIO;
        const size_t keep = static_cast<size_t>(newSize - start);
        if (!codec.encrypt(start, plain.data(), keep)) return EIO;
        if (int rc = pwriteFull(fd, plain.data(), keep, start)) {
            (void)pwriteFull(fd, cipher.data(), cipher.size(), start);
            return rc;
        }
        if (ftruncate(fd, static_cast<off_t>(newSize)) != 0) {
            int rc = errno;
            (void)pwriteFull(fd, cipher.data(), cipher.size(), start);
            return rc;
        }
        explicit_bzero(plain.data(), plain.size());
        return 0;
    }
    return ftruncate(fd, static_cast<off_t>(newSize)) == 0 ? 0 : errno;
}

}  // namespace sector_io

#include "Crypto/PFSpecials/SectorSE.h"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "Crypto/AesCipher.h"

namespace poi_crypto_api {

namespace {

constexpr size_t kSector = 512;
constexpr size_t kMaxKey = 32;

// The IV of a step is the low 32 bits of its byte position, little-endian,
// repeated over the block. Nothing secret or per-file enters it, so equal
// data at equal positions encrypts equally in every file of a folder: that is
// the stored format, kept as it is.
void positionIv(uint64_t pos, size_t blockLen, uint8_t* out) {
    const uint32_t low = uint32_t(pos);
    for (size_t i = 0; i < blockLen; i += 4) {
        out[i] = uint8_t(low);
        out[i + 1] = uint8_t(low >> 8);
        out[i + 2] = uint8_t(low >> 16);
        out[i + 3] = uint8_t(low >> 24);
    }
}

}  // namespace

// ---- CSectorSK ----

// Without memory the key object stays null: every call then fails instead of
// throwing out of the library.
CSectorSK::CSectorSK() : m_pSK(new (std::nothrow) poi::SymetricKey()) {}

CSectorSK::~CSectorSK() = default;

void CSectorSK::Clear() {
    if (m_pSK && m_pSK->keyLength() == 0) {
        return;
    }
    m_pSK.reset(new (std::nothrow) poi::SymetricKey());
}

size_t CSectorSK::GetByteLength() const {
    return m_pSK ? m_pSK->keyLength() : 0;
}

bool CSectorSK::Import(const uint8_t* src, size_t len) {
    if (!src || len == 0 || !m_pSK) {
        return false;
    }
    m_pSK->setKeyData(src, len);
    return m_pSK->keyLength() == len;
}

bool CSectorSK::Export(uint8_t* dst, size_t len) const {
    if (!m_pSK || !dst || len == 0) {
        return false;
    }
    std::memset(dst, 0, len);
    const size_t n = std::min(len, m_pSK->keyLength());
    if (n > 0) {
        std::memcpy(dst, m_pSK->keyData(), n);
    }
    return true;
}

// ---- CSectorSE ----

CSectorSE::CSectorSE(SE_ID id, std::unique_ptr<poi::SymetricCipher> cipher)
    : m_id(id), m_pSE(std::move(cipher)) {
    if (m_pSE && (m_pSE->kind() == poi::KIND_AES128 || m_pSE->kind() == poi::KIND_AES192 ||
                  m_pSE->kind() == poi::KIND_AES256)) {
        m_aes = static_cast<poi::AesCipher*>(m_pSE.get());
    }
}

CSectorSE::~CSectorSE() = default;

bool CSectorSE::wordSwap(uint8_t* buf, size_t len) {
    if (len % 2 || (len > 0 && !buf)) {
        return false;
    }
    for (size_t i = 0; i < len; i += 2) {
        std::swap(buf[i], buf[i + 1]);
    }
    return true;
}

bool CSectorSE::SetKey(const CSK* key) {
    if (!key || !m_pSE) {
        return false;
    }
    size_t len = key->GetByteLength();
    if (len > kMaxKey) {
        return false;
    }
    uint8_t bytes[kMaxKey];
    if (!key->Export(bytes, sizeof bytes)) {
        explicit_bzero(bytes, sizeof bytes);
        return false;
    }
    if ((m_id == SE_IDEA_LE || m_id == SE_IDEA) && !wordSwap(bytes, len)) {
        explicit_bzero(bytes, sizeof bytes);
        return false;
    }
    if (m_id == SE_DES) {
        len = 8;
    } else if (m_id == SE_TDES2 && len == 8) {
        std::memcpy(bytes + 8, bytes, 8);
        len = 16;
    }
    poi::SymetricKey material(bytes, len);
    explicit_bzero(bytes, sizeof bytes);
    return m_pSE->loadKey(material, poi::KEY_USE_BOTH);
}

bool CSectorSE::cbcStep(bool forward, uint8_t* data, size_t len, const uint8_t* ivBlock) {
    const size_t b = m_pSE->blockLength();
    uint8_t iv[16];
    std::memcpy(iv, ivBlock, b);
    const bool swapped = m_id == SE_IDEA_LE;
    if (swapped) {
        wordSwap(iv, b);
        wordSwap(data, len);
    }
    m_pSE->setMode(poi::MODE_CBC);
    size_t outLen = len;
    const bool ok = forward ? m_pSE->encrypt(data, len, outLen, iv, b)
                            : m_pSE->decrypt(data, len, outLen, iv, b);
    if (swapped) {
        wordSwap(data, len);
    }
    return ok;
}

bool CSectorSE::sectorSteps(bool forward, uint64_t pos, uint8_t* data, size_t sectors) {
    const size_t b = m_pSE->blockLength();
    if (m_aes) {
        // Every sector is its own CBC chain, so several run side by side.
        constexpr size_t kBatch = 16;
        uint8_t ivs[kBatch * 16];
        while (sectors > 0) {
            const size_t n = std::min(sectors, kBatch);
            for (size_t i = 0; i < n; ++i) {
                positionIv(pos + i * kSector, 16, ivs + 16 * i);
            }
            const bool ok = forward ? m_aes->cbcEncryptStreams(data, n, kSector, ivs)
                                    : m_aes->cbcDecryptStreams(data, n, kSector, ivs);
            if (!ok) {
                return false;
            }
            sectors -= n;
            data += n * kSector;
            pos += n * kSector;
        }
        return true;
    }
    uint8_t iv[16];
    for (; sectors > 0; --sectors, data += kSector, pos += kSector) {
        positionIv(pos, b, iv);
        if (!cbcStep(forward, data, kSector, iv)) {
            return false;
        }
    }
    return true;
}

bool CSectorSE::tailStep(bool forward, uint64_t pos, uint8_t* data, size_t len) {
    const size_t b = m_pSE->blockLength();
    uint8_t block[16];
    positionIv(pos, b, block);
    bool ok;
    if (m_id == SE_DES || m_id == SE_TDES2 || m_id == SE_IDEA) {
        m_pSE->setMode(poi::MODE_CFB8);
        size_t outLen = len;
        ok = forward ? m_pSE->encrypt(data, len, outLen, block, b)
                     : m_pSE->decrypt(data, len, outLen, block, b);
    } else {
        // The tail is XORed with the encrypted position IV in both directions.
        // The keystream depends on the position alone, so every tail at one
        // position shares it; that is the stored format and stays.
        const bool swapped = m_id == SE_IDEA_LE;
        if (swapped) {
            wordSwap(block, b);
        }
        ok = m_pSE->blockEncrypt(block, b);
        if (swapped) {
            wordSwap(block, b);
        }
        if (ok) {
            for (size_t i = 0; i < len; ++i) {
                data[i] ^= block[i];
            }
        }
    }
    explicit_bzero(block, sizeof block);
    return ok;
}

bool CSectorSE::walk(bool forward, uint64_t pos, uint8_t* data, size_t len, const CSK* key,
                     const uint8_t* iv, size_t ivLen) {
    if (!m_pSE) {
        return false;
    }
    if (len == 0) {
        return true;
    }
    if (!data) {
        return false;
    }
    const size_t b = m_pSE->blockLength();
    uint8_t callerIv[16] = {};
    if (iv && ivLen) {
        if (ivLen > b || b % ivLen) {
            return false;
        }
        for (size_t i = 0; i < b; i += ivLen) {
            std::memcpy(callerIv + i, iv, ivLen);
        }
    }
    if (key && !SetKey(key)) {
        return false;
    }
    if (!m_pSE->isKeyLoaded()) {
        return false;
    }

    // Head up to the next sector boundary, in whole blocks, chained from the
    // caller's IV. Later sectors count from where the head ends, so a range
    // off the 512 grid lies on its own grid.
    if (pos % kSector) {
        size_t head = std::min<uint64_t>(len, kSector - pos % kSector);
        head -= head % b;
        if (head > 0) {
            if (!cbcStep(forward, data, head, callerIv)) {
                return false;
            }
            data += head;
            len -= head;
            pos += head;
        }
    }
    if (len >= kSector) {
        const size_t sectors = len / kSector;
        if (!sectorSteps(forward, pos, data, sectors)) {
            return false;
        }
        data += sectors * kSector;
        len -= sectors * kSector;
        pos += sectors * kSector;
    }
    if (len >= b) {
        const size_t blocks = len - len % b;
        uint8_t ivBlock[16];
        positionIv(pos, b, ivBlock);
        if (!cbcStep(forward, data, blocks, ivBlock)) {
            return false;
        }
        data += blocks;
        len -= blocks;
        pos += blocks;
    }
    if (len > 0) {
        return tailStep(forward, pos, data, len);
    }
    return true;
}

bool CSectorSE::Encrypt(uint64_t pos, uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                        size_t ivLen, FBM, PADDING) {
    return walk(true, pos, data, len, key, iv, ivLen);
}

bool CSectorSE::Decrypt(uint64_t pos, uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                        size_t ivLen, FBM, PADDING) {
    return walk(false, pos, data, len, key, iv, ivLen);
}

bool CSectorSE::EncryptInit(uint64_t pos, uint8_t* data, size_t len, const CSK* key,
                            const uint8_t* iv, size_t ivLen, FBM fbm, PADDING padding) {
    return Encrypt(pos, data, len, key, iv, ivLen, fbm, padding);
}

bool CSectorSE::DecryptInit(uint64_t pos, uint8_t* data, size_t len, const CSK* key,
                            const uint8_t* iv, size_t ivLen, FBM fbm, PADDING padding) {
    return Decrypt(pos, data, len, key, iv, ivLen, fbm, padding);
}

bool CSectorSE::EncryptUpdate(uint64_t pos, uint8_t* data, size_t len) {
    return Encrypt(pos, data, len, nullptr, nullptr, 0);
}

bool CSectorSE::DecryptUpdate(uint64_t pos, uint8_t* data, size_t len) {
    return Decrypt(pos, data, len, nullptr, nullptr, 0);
}

bool CSectorSE::EncryptFinal(uint64_t pos, uint8_t* data, size_t len) {
    return Encrypt(pos, data, len, nullptr, nullptr, 0);
}

bool CSectorSE::DecryptFinal(uint64_t pos, uint8_t* data, size_t len) {
    return Decrypt(pos, data, len, nullptr, nullptr, 0);
}

bool CSectorSE::Encrypt(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv, size_t ivLen,
                        FBM fbm, PADDING padding) {
    return Encrypt(uint64_t(0), data, len, key, iv, ivLen, fbm, padding);
}

bool CSectorSE::Decrypt(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv, size_t ivLen,
                        FBM fbm, PADDING padding) {
    return Decrypt(uint64_t(0), data, len, key, iv, ivLen, fbm, padding);
}

bool CSectorSE::EncryptInit(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                            size_t ivLen, FBM fbm, PADDING padding) {
    return Encrypt(data, len, key, iv, ivLen, fbm, padding);
}

bool CSectorSE::DecryptInit(uint8_t* data, size_t len, const CSK* key, const uint8_t* iv,
                            size_t ivLen, FBM fbm, PADDING padding) {
    return Decrypt(data, len, key, iv, ivLen, fbm, padding);
}

bool CSectorSE::EncryptUpdate(uint8_t* data, size_t len) {
    return Encrypt(uint64_t(0), data, len, nullptr, nullptr, 0);
}

bool CSectorSE::DecryptUpdate(uint8_t* data, size_t len) {
    return Decrypt(uint64_t(0), data, len, nullptr, nullptr, 0);
}

bool CSectorSE::EncryptFinal(uint8_t* data, size_t len) {
    return Encrypt(uint64_t(0), data, len, nullptr, nullptr, 0);
}

bool CSectorSE::DecryptFinal(uint8_t* data, size_t len) {
    return Decrypt(uint64_t(0), data, len, nullptr, nullptr, 0);
}

}  // namespace poi_crypto_api

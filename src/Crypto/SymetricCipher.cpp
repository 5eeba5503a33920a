#include "Crypto/SymetricCipher.h"

#include <string.h>

#include <cstring>

namespace poi {

size_t KindKeyLength(int kind) {
    switch (kind) {
        case KIND_TDES3:
            return 24;
        case KIND_DES:
            return 8;
        case KIND_AES128:
            return 16;
        case KIND_AES192:
            return 24;
        case KIND_AES256:
            return 32;
        case KIND_IDEA:
            return 16;
        case KIND_TDES2:
            return 16;
        default:
            return 0;
    }
}

SymetricCipher::SymetricCipher(int kind, size_t blockLen)
    : m_kind(kind), m_blockLen(blockLen), m_ivLen(blockLen) {}

SymetricCipher::~SymetricCipher() {
    explicit_bzero(m_iv, sizeof m_iv);
}

bool SymetricCipher::encrypt(uint8_t* data, size_t len, size_t& outLen, const uint8_t* iv,
                             size_t ivLen, PADDING_ENUM) {
    if (!run(true, data, len, iv, ivLen)) {
        return false;
    }
    outLen = len;
    return true;
}

bool SymetricCipher::decrypt(uint8_t* data, size_t len, size_t& outLen, const uint8_t* iv,
                             size_t ivLen, PADDING_ENUM) {
    if (outLen > len) {
        return false;
    }
    return run(false, data, outLen, iv, ivLen);
}

bool SymetricCipher::run(bool forward, uint8_t* data, size_t len, const uint8_t* iv, size_t ivLen) {
    m_padding = PADDING_NONE;
    m_ivLen = m_blockLen;
    if (iv) {
        if (ivLen < m_blockLen) {
            return false;
        }
        std::memcpy(m_iv, iv, m_blockLen);
    } else {
        std::memset(m_iv, 0, sizeof m_iv);
    }
    if (len > 0 && !data) {
        return false;
    }
    switch (m_mode) {
        case MODE_ECB:
            if (len % m_blockLen) {
                return false;
            }
            return forward ? ecbEncryptBlocks(data, len) : ecbDecryptBlocks(data, len);
        case MODE_CBC:
            if (len % m_blockLen) {
                return false;
            }
            return forward ? cbcEncryptBlocks(data, len) : cbcDecryptBlocks(data, len);
        case MODE_CFB8:
            return cfb8(forward, data, len);
        default:
            return false;
    }
}

bool SymetricCipher::ecbEncryptBlocks(uint8_t* data, size_t len) {
    for (size_t off = 0; off < len; off += m_blockLen) {
        if (!blockEncrypt(data + off, m_blockLen)) {
            return false;
        }
    }
    return true;
}

bool SymetricCipher::ecbDecryptBlocks(uint8_t* data, size_t len) {
    for (size_t off = 0; off < len; off += m_blockLen) {
        if (!blockDecrypt(data + off, m_blockLen)) {
            return false;
        }
    }
    return true;
}

bool SymetricCipher::cbcEncryptBlocks(uint8_t* data, size_t len) {
    for (size_t off = 0; off < len; off += m_blockLen) {
        uint8_t* block = data + off;
        for (size_t i = 0; i < m_blockLen; ++i) {
            block[i] ^= m_iv[i];
        }
        if (!blockEncrypt(block, m_blockLen)) {
            return false;
        }
        std::memcpy(m_iv, block, m_blockLen);
    }
    return true;
}

bool SymetricCipher::cbcDecryptBlocks(uint8_t* data, size_t len) {
    uint8_t kept[32];
    for (size_t off = 0; off < len; off += m_blockLen) {
        uint8_t* block = data + off;
        std::memcpy(kept, block, m_blockLen);
        if (!blockDecrypt(block, m_blockLen)) {
            return false;
        }
        for (size_t i = 0; i < m_blockLen; ++i) {
            block[i] ^= m_iv[i];
        }
        std::memcpy(m_iv, kept, m_blockLen);
    }
    return true;
}

bool SymetricCipher::cfb8(bool forward, uint8_t* data, size_t len) {
    uint8_t pad[32];
    for (size_t i = 0; i < len; ++i) {
        std::memcpy(pad, m_iv, m_blockLen);
        if (!blockEncrypt(pad, m_blockLen)) {
            explicit_bzero(pad, sizeof pad);
            return false;
        }
        const uint8_t in = data[i];
        data[i] = in ^ pad[0];
        std::memmove(m_iv, m_iv + 1, m_blockLen - 1);
        m_iv[m_blockLen - 1] = forward ? data[i] : in;
    }
    explicit_bzero(pad, sizeof pad);
    return true;
}

}  // namespace poi

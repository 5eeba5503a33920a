#include "Crypto/SymetricKey.h"

#include <string.h>

#include <cstring>
#include <new>

namespace poi {

SymetricKey::~SymetricKey() {
    if (m_data) {
        explicit_bzero(m_data, m_capacity);
        delete[] m_data;
    }
}

void SymetricKey::setKeyData(const uint8_t* data, size_t len) {
    if (len > m_capacity) {
        uint8_t* fresh = new (std::nothrow) uint8_t[len];
        if (!fresh) {
            if (m_data) {
                explicit_bzero(m_data, m_capacity);
            }
            m_len = 0;
            return;
        }
        if (m_data) {
            explicit_bzero(m_data, m_capacity);
            delete[] m_data;
        }
        m_data = fresh;
        m_capacity = len;
    } else if (m_data) {
        explicit_bzero(m_data, m_capacity);
    }
    if (len > 0 && data) {
        std::memcpy(m_data, data, len);
        m_len = len;
    } else {
        m_len = 0;
    }
}

}  // namespace poi

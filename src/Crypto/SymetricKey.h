#pragma once

#include <cstddef>
#include <cstdint>

#include "Crypto/CryptoObject.h"

namespace poi {

// Raw key bytes that a cipher is loaded from. The bytes are wiped whenever
// they are replaced or freed.
class SymetricKey : public CryptoObject {
  public:
    SymetricKey() = default;
    SymetricKey(const uint8_t* data, size_t len) { setKeyData(data, len); }
    ~SymetricKey() override;
    SymetricKey(const SymetricKey&) = delete;
    SymetricKey& operator=(const SymetricKey&) = delete;

    // Replaces the key by a copy of data[0..len); a new buffer is taken only
    // when the new key is longer than the current buffer.
    void setKeyData(const uint8_t* data, size_t len);

    const uint8_t* keyData() const { return m_data; }
    size_t keyLength() const { return m_len; }

  private:
    uint8_t* m_data = nullptr;
    size_t m_len = 0;
    size_t m_capacity = 0;
};

}  // namespace poi

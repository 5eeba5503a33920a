#pragma once

namespace poi {

// Error holder of the cipher objects; nothing fills it, it only gives every
// crypto object a common shape.
class CryptoErr {
  public:
    virtual ~CryptoErr() = default;
};

class CryptoObject {
  public:
    virtual ~CryptoObject() = default;

  protected:
    CryptoErr m_err;
};

}  // namespace poi

#pragma once

#include <memory>

#include "Crypto/CryptoApi.h"

namespace poi_crypto_api {

class CCryptoFactory {
  public:
    // A new, unkeyed engine for the id; null for ids 0 and 13 and above.
    // Ids 8 to 12 give an engine without a cipher that refuses every key and
    // every operation.
    static std::unique_ptr<CSE> GetSE(SE_ID id);
};

}  // namespace poi_crypto_api

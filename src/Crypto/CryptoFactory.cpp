#include "Crypto/CryptoFactory.h"

#include <new>

#include "Crypto/AesCipher.h"
#include "Crypto/DesCipher.h"
#include "Crypto/IdeaCipher.h"
#include "Crypto/PFSpecials/SectorSE.h"

namespace poi_crypto_api {

namespace {

// Cipher kind per engine id 1..12; the kinds of ids 8 to 12 have no cipher.
constexpr int kKinds[12] = {poi::KIND_DES,
                            poi::KIND_TDES2,
                            poi::KIND_IDEA,
                            poi::KIND_IDEA,
                            poi::KIND_AES128,
                            poi::KIND_AES192,
                            poi::KIND_AES256,
                            243,
                            251,
                            244,
                            245,
                            246};

std::unique_ptr<poi::SymetricCipher> makeCipher(int kind) {
    switch (kind) {
        case poi::KIND_TDES3:
        case poi::KIND_DES:
        case poi::KIND_TDES2:
            return std::unique_ptr<poi::SymetricCipher>(new (std::nothrow) poi::DesCipher(kind));
        case poi::KIND_AES128:
        case poi::KIND_AES192:
        case poi::KIND_AES256:
            return std::unique_ptr<poi::SymetricCipher>(new (std::nothrow) poi::AesCipher(kind));
        case poi::KIND_IDEA:
            return std::unique_ptr<poi::SymetricCipher>(new (std::nothrow) poi::IdeaCipher());
        default:
            return nullptr;
    }
}

}  // namespace

std::unique_ptr<CSE> CCryptoFactory::GetSE(SE_ID id) {
    if (id < SE_DES || id > SE_RESERVED12) {
        return nullptr;
    }
    const int kind = kKinds[id - 1];
    std::unique_ptr<poi::SymetricCipher> cipher = makeCipher(kind);
    if (!cipher && id <= SE_AES256) {
        return nullptr;
    }
    return std::unique_ptr<CSE>(new (std::nothrow) CSectorSE(id, std::move(cipher)));
}

}  // namespace poi_crypto_api

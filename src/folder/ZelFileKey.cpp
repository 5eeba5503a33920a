#include "folder/ZelFileKey.h"

#include "Crypto/CryptoApi.h"
#include "Crypto/CryptoFactory.h"
#include "Crypto/PFSpecials/SectorSE.h"
#include "Crypto/StackScrub.h"
#include "folder/MoxAuthenticator.h"
#include "folder/SectorWorkers.h"

using poi_crypto_api::CSE;

namespace {

// Every run starts on a sector, so the caller IV never enters; it is passed as
// the reader always has.
const uint8_t kZeroIv[8] = {};

}  // namespace

CZelFileKey::CZelFileKey() = default;

CZelFileKey::~CZelFileKey() {
    wipe();
}

std::shared_ptr<CZelFileKey> CZelFileKey::fromFolderKey(const MoxCipherKey* folderKey) {
    if (!folderKey) return nullptr;
    std::shared_ptr<CZelFileKey> k(new CZelFileKey());
    k->m_key = std::make_unique<poi_crypto_api::CSectorSK>();
    poi_crypto_api::SE_ID id = poi_crypto_api::SE_NONE;
    if (!PoiConvertMoxCipherKeyToCSK(folderKey, k->m_key.get(), &id)) return nullptr;
    k->m_engineId = id;
    std::unique_ptr<CSE> first = k->checkout();
    poi::scrubStack();  // the key expansion ran on this stack
    if (!first) return nullptr;
    k->checkin(std::move(first));
    return k;
}

void CZelFileKey::wipe() {
    std::unique_lock<std::shared_mutex> lock(m_lifetime);
    m_wiped = true;
    std::lock_guard<std::mutex> pool(m_poolMutex);
    m_idle.clear();  // each engine's cipher wipes its schedules
    if (m_key) m_key->Clear();
}

std::unique_ptr<CSE> CZelFileKey::checkout() {
    {
        std::lock_guard<std::mutex> pool(m_poolMutex);
        if (!m_idle.empty()) {
            std::unique_ptr<CSE> e = std::move(m_idle.back());
            m_idle.pop_back();
            return e;
        }
    }
    std::unique_ptr<CSE> e =
        poi_crypto_api::CCryptoFactory::GetSE(static_cast<poi_crypto_api::SE_ID>(m_engineId));
    if (!e || !e->SetKey(m_key.get())) return nullptr;
    return e;
}

void CZelFileKey::checkin(std::unique_ptr<CSE> engine) {
    std::lock_guard<std::mutex> pool(m_poolMutex);
    m_idle.push_back(std::move(engine));
}

bool CZelFileKey::run(bool forward, uint64_t pos, uint8_t* data, size_t n) {
    if (m_wiped) return false;
    bool ok = transform(forward, pos, data, n);
    poi::scrubStack();  // the calling thread ran part of the work
    return ok;
}

bool CZelFileKey::transform(bool forward, uint64_t pos, uint8_t* data, size_t n) {
    return sector_workers::parallelFor(n, sector_io::kSectorSize, [&](size_t b, size_t e) {
        std::unique_ptr<CSE> engine = checkout();
        if (!engine) return false;
        bool ok = forward ? engine->Encrypt(pos + b, data + b, e - b, nullptr, kZeroIv, 8)
                          : engine->Decrypt(pos + b, data + b, e - b, nullptr, kZeroIv, 8);
        checkin(std::move(engine));
        return ok;
    });
}

bool CZelFileKey::encrypt(uint64_t pos, uint8_t* data, size_t n) {
    return run(true, pos, data, n);
}

bool CZelFileKey::decrypt(uint64_t pos, uint8_t* data, size_t n) {
    return run(false, pos, data, n);
}

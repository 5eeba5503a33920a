#pragma once
// The file key of an opened folder: the folder key turned into a sector-engine
// key, with a small pool of keyed engines so that large requests run on
// several threads. Shared by every handle of the folder; wipe() destroys the
// key material at once and waits for requests in flight.

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "folder/SectorIO.h"

struct MoxCipherKey;
namespace poi_crypto_api {
class CSE;
class CSK;
}  // namespace poi_crypto_api

class CZelFileKey : public sector_io::Codec {
  public:
    // Null when the key names no engine or cannot be imported.
    static std::shared_ptr<CZelFileKey> fromFolderKey(const MoxCipherKey* key);
    ~CZelFileKey() override;

    // Held across one request; false after wipe().
    class Use {
      public:
        explicit Use(CZelFileKey& k) : lock_(k.m_lifetime), ok_(!k.m_wiped) {}
        explicit operator bool() const { return ok_; }

      private:
        std::shared_lock<std::shared_mutex> lock_;
        bool ok_;
    };
    Use use() { return Use(*this); }
    void wipe();
    unsigned engineId() const { return m_engineId; }

    // Codec; the caller holds a Use.
    bool encrypt(uint64_t pos, uint8_t* data, size_t n) override;
    bool decrypt(uint64_t pos, uint8_t* data, size_t n) override;

  private:
    CZelFileKey();
    bool run(bool forward, uint64_t pos, uint8_t* data, size_t n);
    bool transform(bool forward, uint64_t pos, uint8_t* data, size_t n);
    std::unique_ptr<poi_crypto_api::CSE> checkout();
    void checkin(std::unique_ptr<poi_crypto_api::CSE> engine);

    std::shared_mutex m_lifetime;
    bool m_wiped = false;
    unsigned m_engineId = 0;
    std::unique_ptr<poi_crypto_api::CSK> m_key;
    std::mutex m_poolMutex;
    std::vector<std::unique_ptr<poi_crypto_api::CSE>> m_idle;
};

#include "Crypto/Prng.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace {

CPrng::Source& installed() {
    static CPrng::Source source;
    return source;
}

bool systemBytes(uint8_t* dst, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = getrandom(dst + done, len - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool CPrng::GetRandomBytes(uint8_t* dst, unsigned len) {
    if (len == 0) return true;
    if (const Source& source = installed()) {
        source(dst, len);
        return true;
    }
    if (systemBytes(dst, len)) return true;
    memset(dst, 0, len);
    return false;
}

void CPrng::SetSource(Source source) {
    installed() = std::move(source);
}

CPrng::ScopedSource::ScopedSource(Source source) : m_previous(std::move(installed())) {
    installed() = std::move(source);
}

CPrng::ScopedSource::~ScopedSource() {
    installed() = std::move(m_previous);
}

CPrng::Source CPrng::CountingSource(uint32_t seed) {
    auto counter = std::make_shared<uint64_t>(0);
    return [seed, counter](uint8_t* dst, size_t len) {
        for (size_t i = 0; i < len; ++i) {
            // splitmix64 of (seed, position)
            uint64_t z = (static_cast<uint64_t>(seed) << 32) + (*counter)++ + 0x9E3779B97F4A7C15ull;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            dst[i] = static_cast<uint8_t>(z ^ (z >> 31));
        }
    };
}

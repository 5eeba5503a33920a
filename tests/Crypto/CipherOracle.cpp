#include "CipherOracle.h"

#include <gcrypt.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdio>
#include <random>

namespace cipheroracle {

Bytes unhex(const std::string& hex) {
    Bytes out;
    int hi = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else {
            continue;
        }
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(uint8_t(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

std::string hex(const Bytes& bytes) {
    std::string out;
    char buf[3];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

Bytes randomBytes(size_t len, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(len);
    for (auto& b : out) {
        b = uint8_t(gen());
    }
    return out;
}

namespace {

// Single DES lives in OpenSSL's legacy provider; unloaded at exit so that
// the leak checker stays quiet.
struct Providers {
    Providers()
        : legacy(OSSL_PROVIDER_load(nullptr, "legacy")),
          base(OSSL_PROVIDER_load(nullptr, "default")) {}
    ~Providers() {
        if (legacy) {
            OSSL_PROVIDER_unload(legacy);
        }
        if (base) {
            OSSL_PROVIDER_unload(base);
        }
    }
    OSSL_PROVIDER* legacy;
    OSSL_PROVIDER* base;
};

void loadProviders() {
    static const Providers providers;
}

const char* modeName(Mode mode) {
    switch (mode) {
        case ECB:
            return "ECB";
        case CBC:
            return "CBC";
        case CFB8:
            return "CFB8";
    }
    return "";
}

Bytes opensslCrypt(const std::string& name, bool encrypt, const Bytes& key, const Bytes& iv,
                   const Bytes& data) {
    loadProviders();
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name.c_str(), nullptr);
    if (!cipher) {
        return {};
    }
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(data.size() + 32);
    int len = 0, fin = 0;
    bool ok = EVP_CipherInit_ex2(ctx, cipher, key.data(), iv.empty() ? nullptr : iv.data(),
                                 encrypt ? 1 : 0, nullptr) == 1;
    ok = ok && EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
    ok = ok && EVP_CipherUpdate(ctx, out.data(), &len, data.data(), int(data.size())) == 1;
    ok = ok && EVP_CipherFinal_ex(ctx, out.data() + len, &fin) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    if (!ok) {
        return {};
    }
    out.resize(size_t(len + fin));
    return out;
}

Bytes gcryptIdea(Mode mode, bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& data) {
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    (void)ready;
    const int gmode = mode == ECB   ? GCRY_CIPHER_MODE_ECB
                      : mode == CBC ? GCRY_CIPHER_MODE_CBC
                                    : GCRY_CIPHER_MODE_CFB8;
    gcry_cipher_hd_t hd;
    if (gcry_cipher_open(&hd, GCRY_CIPHER_IDEA, gmode, 0)) {
        return {};
    }
    Bytes out = data;
    bool ok = gcry_cipher_setkey(hd, key.data(), key.size()) == 0;
    if (ok && mode != ECB) {
        ok = gcry_cipher_setiv(hd, iv.data(), iv.size()) == 0;
    }
    if (ok && !out.empty()) {
        ok = (encrypt ? gcry_cipher_encrypt(hd, out.data(), out.size(), nullptr, 0)
                      : gcry_cipher_decrypt(hd, out.data(), out.size(), nullptr, 0)) == 0;
    }
    gcry_cipher_close(hd);
    return ok ? out : Bytes{};
}

}  // namespace

Bytes crypt(int kind, Mode mode, bool encrypt, const Bytes& key, const Bytes& iv,
            const Bytes& data) {
    if (data.empty()) {
        return {};
    }
    const std::string m = modeName(mode);
    switch (kind) {
        case 2:
            return opensslCrypt("DES-EDE3-" + m, encrypt, key, iv, data);
        case 3:
            return opensslCrypt("DES-" + m, encrypt, key, iv, data);
        case 4:
            return opensslCrypt("AES-128-" + m, encrypt, key, iv, data);
        case 5:
            return opensslCrypt("AES-192-" + m, encrypt, key, iv, data);
        case 6:
            return opensslCrypt("AES-256-" + m, encrypt, key, iv, data);
        case 10:
            return gcryptIdea(mode, encrypt, key, iv, data);
        case 11: {
            Bytes k3 = key;
            k3.insert(k3.end(), key.begin(), key.begin() + 8);
            return opensslCrypt("DES-EDE3-" + m, encrypt, k3, iv, data);
        }
        default:
            return {};
    }
}

}  // namespace cipheroracle

// Engine id 7 (AES-256 sectors) against OpenSSL EVP AES-256-CBC on the
// 5,120,000-byte chunks that import and export move. Prints one RATIO line
// per goal: sector encryption runs several independent sectors at once and
// should beat a single CBC stream by far; decryption is parallel in both.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Crypto/AesCipher.h"
#include "Crypto/CryptoFactory.h"
#include "Crypto/PFSpecials/SectorSE.h"

namespace {

constexpr size_t kChunk = 5120000;

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) {
        b = uint8_t(gen());
    }
    return out;
}

const std::vector<uint8_t>& key() {
    static const std::vector<uint8_t> k = randomBytes(32, 1);
    return k;
}

void sector(benchmark::State& state, bool encrypt) {
    auto engine = poi_crypto_api::CCryptoFactory::GetSE(poi_crypto_api::SE_AES256);
    poi_crypto_api::CSectorSK sk;
    sk.Import(key().data(), key().size());
    if (!engine || !engine->SetKey(&sk)) {
        state.SkipWithError("engine not keyed");
        return;
    }
    std::vector<uint8_t> buf = randomBytes(kChunk, 2);
    for (auto _ : state) {
        const bool ok =
            encrypt ? engine->Encrypt(uint64_t(0), buf.data(), buf.size(), nullptr, nullptr, 0)
                    : engine->Decrypt(uint64_t(0), buf.data(), buf.size(), nullptr, nullptr, 0);
        if (!ok) {
            state.SkipWithError("engine failed");
            return;
        }
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kChunk));
}

void openssl(benchmark::State& state, bool encrypt) {
    std::vector<uint8_t> in = randomBytes(kChunk, 2), out(kChunk + 16);
    const uint8_t iv[16] = {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int len = 0;
        EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key().data(), iv, encrypt ? 1 : 0);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        if (EVP_CipherUpdate(ctx, out.data(), &len, in.data(), int(in.size())) != 1) {
            state.SkipWithError("OpenSSL failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kChunk));
}

void BM_SectorEncrypt(benchmark::State& s) {
    sector(s, true);
}
void BM_SectorDecrypt(benchmark::State& s) {
    sector(s, false);
}
void BM_OpenSslCbcEncrypt(benchmark::State& s) {
    openssl(s, true);
}
void BM_OpenSslCbcDecrypt(benchmark::State& s) {
    openssl(s, false);
}

BENCHMARK(BM_SectorEncrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslCbcEncrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SectorDecrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslCbcDecrypt)->Unit(benchmark::kMicrosecond);

// Prints one plain line per run (no colour codes, so the RATIO lines stay
// clean) and keeps the time per iteration for the ratios.
class Recorder : public benchmark::BenchmarkReporter {
  public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration) {
                continue;
            }
            const double seconds = r.real_accumulated_time / double(r.iterations);
            times[r.benchmark_name()] = seconds;
            std::printf("%-24s %10.1f us/iter %8.2f GB/s\n", r.benchmark_name().c_str(),
                        seconds * 1e6, double(kChunk) / seconds / 1e9);
        }
    }
    std::map<std::string, double> times;
};

void printRatio(const Recorder& rec, const char* name, const char* ours, const char* peer,
                double goal) {
    const auto a = rec.times.find(ours), b = rec.times.find(peer);
    if (a == rec.times.end() || b == rec.times.end() || a->second <= 0) {
        std::printf("RATIO %s missing goal >= %.1f\n", name, goal);
        return;
    }
    std::printf("RATIO %s %.2f goal >= %.1f\n", name, b->second / a->second, goal);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::printf("AES path: %s\n", poi::AesCipher::pathName(poi::AesCipher::bestPath()));
    Recorder rec;
    benchmark::RunSpecifiedBenchmarks(&rec);
    benchmark::Shutdown();
    std::fflush(stdout);
    printRatio(rec, "aes256_sector_encrypt_vs_openssl_cbc", "BM_SectorEncrypt",
               "BM_OpenSslCbcEncrypt", 3.0);
    printRatio(rec, "aes256_sector_decrypt_vs_openssl_cbc", "BM_SectorDecrypt",
               "BM_OpenSslCbcDecrypt", 0.8);
    return 0;
}

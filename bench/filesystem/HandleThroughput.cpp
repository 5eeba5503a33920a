// Writes a 512 MiB file through QVFileSystem in 5,120,000-byte chunks (the
// importer's chunk size) and reads it back, and times `openssl enc
// -aes-256-cbc` encrypting and decrypting the same bytes between files in the
// same run. Each figure is the best of a few rounds; the ratios are openssl's
// time over ours.
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "FileSystem/QVFileSystem.h"
#include "folder/MoxEncryptedFolder.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kFileSize = 512u << 20;
constexpr size_t kChunk = 5120000;
constexpr int kRounds = 3;

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

bool makeFolder(const fs::path& dir) {
    fs::create_directories(dir);
    MoxAuthentication r;
    r.type = kMoxAuthTypePassword;
    r.keyType = kMoxKeyTypeUserPassword;
    r.SetName("bench");
    r.userId = "bench";
    r.displayName = "bench";
    r.SetPassword("bench");
    r.hashId = 0x2000000;
    r.cipherId = 1;  // AES-256
    uint32_t err = 0;
    std::vector<MoxAuthentication*> reqs{&r};
    std::unique_ptr<CMoxEncryptedFolder> f(
        CMoxEncryptedFolder::CreateNew(dir.c_str(), 1, reqs, &err));
    if (!f) std::fprintf(stderr, "cannot make a folder: %u\n", err);
    return f != nullptr;
}

// Wall time of one command, -1 when it fails.
double timeCommand(const std::string& cmd) {
    auto t0 = Clock::now();
    int rc = std::system(cmd.c_str());
    auto t1 = Clock::now();
    if (rc != 0) {
        std::fprintf(stderr, "failed: %s\n", cmd.c_str());
        return -1;
    }
    return seconds(t0, t1);
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/tessaro-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const fs::path dir = tmpl;
    const fs::path folder = dir / "bench.zel";
    int status = 1;
    do {
        if (!makeFolder(folder)) break;

        std::vector<uint8_t> plain(kFileSize);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        for (size_t i = 0; i < plain.size(); i += 8) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            std::memcpy(&plain[i], &x, 8);
        }
        {
            FILE* in = std::fopen((dir / "plain.bin").c_str(), "wb");
            if (!in || std::fwrite(plain.data(), 1, plain.size(), in) != plain.size()) break;
            std::fclose(in);
        }

        QVFileSystem handle;
        if (!handle.mountEncryptedFolder(folder.string(), "bench", "bench")) break;

        const std::string key(64, 'a'), iv(32, 'b');
        const std::string enc = "openssl enc -aes-256-cbc -nopad -K " + key + " -iv " + iv +
                                " -in " + (dir / "plain.bin").string() + " -out " +
                                (dir / "ossl.enc").string();
        const std::string dec = "openssl enc -d -aes-256-cbc -nopad -K " + key + " -iv " + iv +
                                " -in " + (dir / "ossl.enc").string() + " -out " +
                                (dir / "ossl.dec").string();
        double bestWrite = 1e9, bestRead = 1e9, bestEnc = 1e9, bestDec = 1e9;
        bool ok = true;
        for (int round = 0; round < kRounds && ok; ++round) {
            fs::remove(folder / "big.bin");
            fs::remove(dir / "ossl.enc");
            fs::remove(dir / "ossl.dec");

            auto t0 = Clock::now();
            QVFile::Ptr f = handle.openFileAtPath("big.bin", false, true);
            ok = f != nullptr;
            for (size_t off = 0; ok && off < plain.size(); off += kChunk) {
                size_t n = std::min(kChunk, plain.size() - off);
                std::vector<uint8_t> chunk(plain.begin() + off, plain.begin() + off + n);
                ok = handle.writeData(chunk, f);
            }
            if (f) handle.closeFile(f);
            auto t1 = Clock::now();

            f = handle.openFileAtPath("big.bin", true, false);
            size_t total = 0;
            bool same = f != nullptr;
            std::vector<std::vector<uint8_t>> firstRound;
            while (same) {
                auto chunk = handle.readDataFromFile(f, kChunk);
                if (!chunk) {
                    same = false;
                    break;
                }
                total += chunk->size();
                bool last = chunk->size() < kChunk;
                if (round == 0) firstRound.push_back(std::move(*chunk));
                if (last) break;
            }
            if (f) handle.closeFile(f);
            auto t2 = Clock::now();
            for (size_t i = 0, off = 0; same && i < firstRound.size();
                 off += firstRound[i++].size())
                same = std::equal(firstRound[i].begin(), firstRound[i].end(), plain.begin() + off);
            firstRound.clear();
            if (!ok || !same || total != plain.size()) {
                std::fprintf(stderr, "the handle did not give the bytes back\n");
                ok = false;
                break;
            }
            double e = timeCommand(enc), d = timeCommand(dec);
            if (e < 0 || d < 0) {
                ok = false;
                break;
            }
            bestWrite = std::min(bestWrite, seconds(t0, t1));
            bestRead = std::min(bestRead, seconds(t1, t2));
            bestEnc = std::min(bestEnc, e);
            bestDec = std::min(bestDec, d);
        }
        if (!ok) break;
        const double mib = kFileSize / 1048576.0;
        std::printf(
            "handle write %.0f MiB/s, read %.0f MiB/s; openssl enc %.0f MiB/s, "
            "enc -d %.0f MiB/s\n",
            mib / bestWrite, mib / bestRead, mib / bestEnc, mib / bestDec);
        std::printf("RATIO handle_write_vs_openssl_enc %.2f goal >= 1.5\n", bestEnc / bestWrite);
        std::printf("RATIO handle_read_vs_openssl_enc %.2f goal >= 1.5\n", bestDec / bestRead);
        status = 0;
    } while (false);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return status;
}

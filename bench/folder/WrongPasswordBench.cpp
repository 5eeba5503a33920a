// What a wrong password costs on a hostile folder: 1,001 key records of the
// user's name (copies of one record, then 1,001 different ones) against a
// folder of the user's single record. Prints the times and two RATIO lines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "folder/MoxAuthenticator.h"

namespace {

double bestSeconds(CMoxAuthenticator& a, const std::vector<MoxKeyData*>& records) {
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        MoxCipherKey out;
        auto start = std::chrono::steady_clock::now();
        MoxKeyData* hit = a.AuthenticatePassword("ann", "wrong", records, &out);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (hit) std::printf("a wrong password opened a record\n");
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main() {
    CMoxAuthenticator a;
    MoxCipherKey folderKey;
    folderKey.SetCipherId(1);
    std::vector<std::unique_ptr<MoxKeyData>> owned;
    auto make = [&] {
        owned.emplace_back(a.GetKeyFromPassword("ann", "secret", 0x2000000, 1, &folderKey));
        return owned.back().get();
    };
    std::vector<MoxKeyData*> one{make()};
    std::vector<MoxKeyData*> copies(1001, one.front());
    std::vector<MoxKeyData*> distinct;
    for (int i = 0; i < 1001; ++i) distinct.push_back(make());

    const double t1 = bestSeconds(a, one);
    const double tc = bestSeconds(a, copies);
    const double td = bestSeconds(a, distinct);
    std::printf(
        "wrong password: 1 record %.3f s, 1,001 copies %.3f s, 1,001 records %.3f s "
        "(at most %zu records tried)\n",
        t1, tc, td, kMoxMaxTriedRecords);
    std::printf("RATIO wrong_password_1001_copies_vs_one_record %.2f goal <= 2.0\n", tc / t1);
    std::printf("RATIO wrong_password_1001_records_vs_one_record %.2f goal <= %.1f\n", td / t1,
                double(kMoxMaxTriedRecords) + 1);
    return 0;
}

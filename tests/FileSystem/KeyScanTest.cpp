// After unmount no copy of the folder key or of its AES round keys is left
// anywhere in the process: not in freed heap, not in the stacks of the
// threads that ran the cipher. A child process unlocks, writes and reads
// (large requests too, so the worker threads run), adds a user (which wraps
// the folder key), unmounts and waits; the parent, which knows the key from
// creating the folder, reads every readable mapping of the child through
// /proc/<pid>/mem and searches it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Crypto/AesCipher.h"
#include "FileSystem/QVFileSystem.h"
#include "support/FolderBuilder.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

constexpr const char* kFolderEnv = "TESSARO_KEYSCAN_FOLDER";
constexpr const char* kReadyFdEnv = "TESSARO_KEYSCAN_FD";

using Block = std::array<uint8_t, 16>;

uint8_t xtime(uint8_t x) {
    return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1b : 0));
}

uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    for (; b; b >>= 1, a = xtime(a))
        if (b & 1) r ^= a;
    return r;
}

Block invMixColumns(const Block& in) {
    Block out;
    for (int c = 0; c < 4; ++c) {
        const uint8_t* s = &in[4 * c];
        out[4 * c + 0] = gmul(s[0], 14) ^ gmul(s[1], 11) ^ gmul(s[2], 13) ^ gmul(s[3], 9);
        out[4 * c + 1] = gmul(s[0], 9) ^ gmul(s[1], 14) ^ gmul(s[2], 11) ^ gmul(s[3], 13);
        out[4 * c + 2] = gmul(s[0], 13) ^ gmul(s[1], 9) ^ gmul(s[2], 14) ^ gmul(s[3], 11);
        out[4 * c + 3] = gmul(s[0], 11) ^ gmul(s[1], 13) ^ gmul(s[2], 9) ^ gmul(s[3], 14);
    }
    return out;
}

// Every 16-byte piece of the 96 key bytes, and every AES-256 round key of
// encryption and decryption, as bytes and as native 32-bit words.
std::vector<Block> needlesFor(const uint8_t* keyBytes) {
    std::vector<Block> out;
    for (size_t i = 0; i + 16 <= MoxCipherKey::kKeyBytes; i += 16) {
        Block b;
        std::memcpy(b.data(), keyBytes + i, 16);
        out.push_back(b);
    }
    uint32_t rk[60];
    const int rounds = poi::AesCipher::rijndaelKeySetupEnc(rk, keyBytes, 256);
    EXPECT_EQ(rounds, 14);
    for (int r = 0; r <= rounds; ++r) {
        Block b;
        for (int w = 0; w < 4; ++w)
            for (int i = 0; i < 4; ++i)
                b[4 * w + i] = static_cast<uint8_t>(rk[4 * r + w] >> (24 - 8 * i));
        out.push_back(b);
        if (r > 0 && r < rounds) out.push_back(invMixColumns(b));
    }
    const size_t n = out.size();
    for (size_t k = 0; k < n; ++k) {
        Block swapped;
        for (int w = 0; w < 4; ++w)
            for (int i = 0; i < 4; ++i) swapped[4 * w + i] = out[k][4 * w + 3 - i];
        out.push_back(swapped);
    }
    return out;
}

// Where in `pid`'s readable memory any needle is found, as text.
std::vector<std::string> scan(pid_t pid, const std::vector<Block>& needles) {
    std::vector<std::string> hits;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    int mem = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(mem, 0) << std::strerror(errno);
    if (mem < 0) return hits;
    std::vector<uint8_t> buf;
    std::string line;
    size_t mappings = 0;
    while (std::getline(maps, line)) {
        std::istringstream in(line);
        std::string range, perms, offset, dev, inode, name;
        in >> range >> perms >> offset >> dev >> inode;
        std::getline(in >> std::ws, name);
        if (perms.size() < 4 || perms[0] != 'r' || name == "[vvar]" || name == "[vsyscall]")
            continue;
        const uint64_t lo = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        const uint64_t hi = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
        buf.resize(hi - lo);
        ssize_t got = pread(mem, buf.data(), buf.size(), static_cast<off_t>(lo));
        if (got <= 0) continue;
        ++mappings;
        for (ssize_t i = 0; i + 16 <= got; ++i) {
            for (size_t k = 0; k < needles.size(); ++k) {
                const Block& b = needles[k];
                if (buf[i] == b[0] && std::memcmp(&buf[i], b.data(), 16) == 0) {
                    std::ostringstream where;
                    where << "piece " << k << " at " << std::hex << (lo + i) << " in "
                          << (name.empty() ? "[anon]" : name) << " " << range << " " << perms;
                    hits.push_back(where.str());
                }
            }
        }
    }
    close(mem);
    EXPECT_GT(mappings, 0u);
    return hits;
}

// The child's part: runs only when started by the test below.
TEST(KeyScanChild, UnlockUseAndUnmount) {
    const char* folder = getenv(kFolderEnv);
    const char* fdText = getenv(kReadyFdEnv);
    if (!folder || !fdText) GTEST_SKIP() << "run by KeyMaterial.NoneLeftAfterUnmount";
    {
        QVFileSystem h;
        ASSERT_TRUE(h.mountEncryptedFolder(std::string(folder), "ann", "secret"));
        std::vector<uint8_t> big(3u << 20);
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 4096);
        auto f = h.openFileAtPath("big.bin", false, true);
        ASSERT_TRUE(f);
        ASSERT_TRUE(h.writeData(big, f));
        ASSERT_TRUE(h.writeFile(f, 1000, "small", 5));
        ASSERT_TRUE(h.truncateFile(f, (5u << 20) + 17));
        std::vector<uint8_t> back(big.size());
        size_t got = 0;
        ASSERT_TRUE(h.readFile(f, 0, back.data(), back.size(), &got));
        ASSERT_TRUE(h.readFile(f, 333, back.data(), 1000, &got));
        h.closeFile(f);
        ASSERT_TRUE(h.addUser(QVFpUser(std::nullopt, "bob", "Bob", false), "bobpw"));
        h.unmount();
    }
    const int fd = atoi(fdText);
    ASSERT_EQ(write(fd, "R", 1), 1);
    pause();  // the parent scans, then ends this process
}

TEST(KeyMaterial, NoneLeftAfterUnmount) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers keep freed memory and stacks of their own";
#endif
    testsupport::TempDir tmp;
    const auto folder = tmp / "keys.zel";
    std::vector<Block> needles;
    {
        auto made = testsupport::makeEncryptedFolder(folder, {{"ann", "secret"}});
        ASSERT_TRUE(made);
        ASSERT_EQ(made->GetCryptAlgo(), 1u);
        needles = needlesFor(made->GetKey()->bytes + 4);
    }

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back(std::string(kFolderEnv) + "=" + folder.string());
    env.push_back(std::string(kReadyFdEnv) + "=" + std::to_string(ready[1]));
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe", filter = "--gtest_filter=KeyScanChild.*";
    char* argv[] = {self.data(), filter.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, ready[0]);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    char c = 0;
    const bool childReady = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    std::vector<std::string> hits;
    if (childReady) hits = scan(child, needles);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(childReady) << "the child failed before unmounting";
    std::string list;
    for (size_t i = 0; i < hits.size() && i < 40; ++i) list += "\n  " + hits[i];
    EXPECT_TRUE(hits.empty()) << hits.size() << " copies of key material:" << list;
}

}  // namespace

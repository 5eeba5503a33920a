// Remembered passwords in a real Secret Service, cross-checked with
// secret-tool.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "platform/secret/SecretStore.h"
#include "support/FreshProcess.h"
#include "support/TempDir.h"
#include "utilities/KCKeychainItem.h"

namespace {

std::string uniqueService(const char* what) {
    return std::string("Tessaro-Mobile-Folder-") + what + "-test-" + std::to_string(getpid());
}

std::string run(const std::string& cmd) {
    return testsupport::commandOutput(cmd);
}

// What secret-tool finds for service and account, and how many items.
std::string toolLookup(const std::string& service, const std::string& account) {
    return run("secret-tool lookup service '" + service + "' account '" + account + "'");
}
int toolCount(const std::string& service) {
    const std::string out = run("secret-tool search --all service '" + service + "' 2>&1");
    int n = 0;
    for (size_t at = out.find("secret = "); at != std::string::npos;
         at = out.find("secret = ", at + 1))
        ++n;
    return n;
}

class Keychain : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!platform::SecretStore::isAvailable())
            GTEST_FAIL() << "no Secret Service: run under scripts/with-test-services";
    }
};

TEST_F(Keychain, StoreReplaceAndOneItemPerFolderUser) {
    const std::string account = "me";
    const std::string alice = uniqueService("alice"), bob = uniqueService("bob");
    EXPECT_EQ(KCGenericKeychainItem::passwordForUsername(account, alice), std::nullopt);
    EXPECT_EQ(KCGenericKeychainItem::passwordForUsername("", alice), std::nullopt);

    KCGenericKeychainItem::setKeychainPassword("first", account, alice);
    KCGenericKeychainItem::setKeychainPassword("second", account, alice);
    KCGenericKeychainItem::setKeychainPassword("bobs", account, bob);
    EXPECT_EQ(KCGenericKeychainItem::passwordForUsername(account, alice), "second");
    EXPECT_EQ(toolLookup(alice, account), "second");
    EXPECT_EQ(toolCount(alice), 1);
    EXPECT_EQ(toolLookup(bob, account), "bobs");
    EXPECT_EQ(toolLookup(alice, "someone-else"), "");

    // Another program's item with the same attributes is not ours.
    run("printf 'from tool' | secret-tool store --label=t service '" + alice + "' account other");
    EXPECT_EQ(KCGenericKeychainItem::passwordForUsername("other", alice), std::nullopt);
    run("secret-tool clear service '" + alice + "' account other");

    auto item = KCGenericKeychainItem::genericKeychainItemForService(alice, account);
    ASSERT_TRUE(item);
    EXPECT_TRUE(item->remove());
    EXPECT_EQ(toolCount(alice), 0);
    platform::SecretStore::remove(bob, account);
}

TEST_F(Keychain, WholeSecretsAndNonUtf8) {
    const std::string service = uniqueService("long");
    // 2000 bytes with a multi-byte character across byte 1023.
    std::string pw(1022, 'a');
    pw += "\xC3\xA9";
    pw += std::string(2000 - pw.size(), 'b');
    KCPasswordStore store;
    ASSERT_TRUE(store.store(service, "me", pw));
    EXPECT_EQ(store.lookup(service, "me"), pw);
    EXPECT_EQ(toolLookup(service, "me"), pw);

    // Not UTF-8: no password (never a wrong one).
    ASSERT_TRUE(platform::SecretStore::store(service, "raw", {0xff, 0xfe, 'x'}, "raw"));
    EXPECT_EQ(KCGenericKeychainItem::passwordForUsername("raw", service), std::nullopt);
    auto raw = platform::SecretStore::lookup(service, "raw");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->size(), 3u);
    platform::SecretStore::remove(service, "me");
    platform::SecretStore::remove(service, "raw");
}

// Without a Secret Service nothing is stored; once one answers (the user's
// keyring comes up after the application started) it is found without a
// restart. The session bus connection is made once per process, hence a
// fresh one.
TEST(KeychainWithoutService, UnavailableAndNothingStoredUntilTheServiceStarts) {
    if (!testsupport::inFreshProcess()) return;
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string prefix = "unix:path=";
    ASSERT_TRUE(address && std::string(address).rfind(prefix, 0) == 0)
        << "no session bus socket: run under scripts/with-test-services";
    std::string socket = std::string(address).substr(prefix.size());
    socket = socket.substr(0, socket.find(','));

    testsupport::TempDir dir;
    const std::string bus = (dir / "bus").string();
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
    const std::string service = uniqueService("late");
    KCPasswordStore store;
    EXPECT_FALSE(store.isAvailable());
    EXPECT_FALSE(store.store(service, "me", "pw"));
    EXPECT_EQ(store.lookup(service, "me"), std::nullopt);
    EXPECT_EQ(KCGenericKeychainItem::passwordForUsername("me", service), std::nullopt);

    // The bus and its keyring appear.
    ASSERT_EQ(symlink(socket.c_str(), bus.c_str()), 0);
    // The failed connection can live on a moment in the bus layer's worker,
    // which hands it out again; asked once it is gone, the store connects.
    bool available = false;
    for (int i = 0; i < 500 && !(available = store.isAvailable()); ++i) usleep(10'000);
    EXPECT_TRUE(available);
    EXPECT_TRUE(store.store(service, "me", "pw"));
    EXPECT_EQ(store.lookup(service, "me"), "pw");
    platform::SecretStore::remove(service, "me");
}

}  // namespace

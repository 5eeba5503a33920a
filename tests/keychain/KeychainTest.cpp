// Remembered passwords in a real Secret Service, cross-checked with
// secret-tool.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/core/Process.h"
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
int toolCount(const std::string& value, const std::string& attribute = "service") {
    const std::string out = run("secret-tool search --all " + attribute + " '" + value + "' 2>&1");
    int n = 0;
    for (size_t at = out.find("secret = "); at != std::string::npos;
         at = out.find("secret = ", at + 1))
        ++n;
    return n;
}

// The label secret-tool shows for the one item of `service`.
std::string toolLabel(const std::string& value, const std::string& attribute = "service") {
    const std::string out = run("secret-tool search " + attribute + " '" + value + "' 2>&1");
    const auto at = out.find("label = ");
    if (at == std::string::npos) return "";
    return out.substr(at + 8, out.find('\n', at) - at - 8);
}

// Unlocks the default collection as the user typing its password would: the
// keyring's own interface for that (the test services create the keyring
// with the password "\n"; no prompter can show here).
bool unlockAsTheUser() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_error_free(error);
        return false;
    }
    bool unlocked = false;
    GVariant* opened = g_dbus_connection_call_sync(
        bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
        "org.freedesktop.Secret.Service", "OpenSession",
        g_variant_new("(sv)", "plain", g_variant_new_string("")), G_VARIANT_TYPE("(vo)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    GVariant* alias = g_dbus_connection_call_sync(
        bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
        "org.freedesktop.Secret.Service", "ReadAlias", g_variant_new("(s)", "default"),
        G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (opened && alias) {
        GVariant* output = nullptr;
        const char* session = nullptr;
        const char* collection = nullptr;
        g_variant_get(opened, "(v&o)", &output, &session);
        g_variant_get(alias, "(&o)", &collection);
        const char password[] = "\n";
        GVariant* secret = g_variant_new(
            "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password, sizeof password - 1, 1),
            "text/plain");
        GVariant* done = g_dbus_connection_call_sync(
            bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
            "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
            g_variant_new("(o@(oayays))", collection, secret), nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
            nullptr, nullptr);
        unlocked = done != nullptr;
        if (done) g_variant_unref(done);
        g_variant_unref(output);
    }
    if (error) g_error_free(error);
    if (opened) g_variant_unref(opened);
    if (alias) g_variant_unref(alias);
    g_object_unref(bus);
    return unlocked;
}

// Runs the calling test again, alone, with a Secret Service and a keyring of
// its own (a fresh data folder): what it locks can disturb no other test.
// True in that process.
bool inPrivateKeyring() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    if (const char* running = std::getenv("TESSARO_PRIVATE_KEYRING_TEST");
        running && name == running)
        return true;
    testsupport::TempDir data;
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    const std::string command = "env -u TESSARO_SERVICES_UP TESSARO_PRIVATE_KEYRING_TEST=" + name +
                                " XDG_DATA_HOME='" + data.path().string() + "' '" +
                                TESSARO_SOURCE_DIR + "/scripts/with-test-services' '" + self +
                                "' --gtest_filter=" + name;
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << name << " failed with its own keyring (its output is above)";
    return false;
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

TEST_F(Keychain, LookupByServiceAloneRemoveAndLabelsKept) {
    const std::string service = uniqueService("alone");
    EXPECT_EQ(KCGenericKeychainItem::genericKeychainItemForService(service), nullptr);
    ASSERT_TRUE(KCGenericKeychainItem::addGenericKeychainItemForService(service, "carol", "pw1"));
    auto item = KCGenericKeychainItem::genericKeychainItemForService(service);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->username(), "carol");
    EXPECT_EQ(item->password(), "pw1");
    EXPECT_EQ(item->serviceName(), service);

    // A new password keeps the label the item has (set here, or by the user
    // in the keyring's manager).
    ASSERT_TRUE(item->setLabel("Carol's folder"));
    auto found = KCGenericKeychainItem::genericKeychainItemForService(service, "carol");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->label(), "Carol's folder");
    EXPECT_TRUE(found->setPassword("pw2"));
    EXPECT_EQ(toolLookup(service, "carol"), "pw2");
    EXPECT_EQ(toolLabel(service), "Carol's folder");

    // A new account: one item, under the new one, with the password.
    EXPECT_TRUE(found->setUsername("dave"));
    EXPECT_EQ(toolCount(service), 1);
    EXPECT_EQ(toolLookup(service, "dave"), "pw2");
    EXPECT_EQ(toolLabel(service), "Carol's folder");

    // A write that fails (no account can be stored as such bytes) keeps
    // the item as it was.
    EXPECT_FALSE(found->setUsername("\xff\xfe"));
    EXPECT_EQ(found->username(), "dave");
    EXPECT_EQ(toolLookup(service, "dave"), "pw2");
    EXPECT_EQ(toolCount(service), 1);

    EXPECT_TRUE(KCKeychainItem::removeKeychainItem(*found));
    EXPECT_EQ(toolCount(service), 0);
    EXPECT_FALSE(found->remove());
}

TEST_F(Keychain, InternetItemsRoundTripWithSecretTool) {
    const std::string server = "files-" + std::to_string(getpid()) + ".example";
    const uint32_t https = 0x68747073;  // 'htps'
    EXPECT_EQ(KCInternetKeychainItem::addInternetKeychainItemForServer("", "u", "p", "", 1, https),
              nullptr);
    ASSERT_TRUE(KCInternetKeychainItem::addInternetKeychainItemForServer(server, "erin", "net pw",
                                                                         "/dav", 8443, https));
    EXPECT_EQ(run("secret-tool lookup xdg:schema " +
                  std::string(platform::SecretStore::kInternetSchemaName) + " server " + server +
                  " account erin path /dav port 8443 protocol " + std::to_string(https)),
              "net pw");
    EXPECT_EQ(toolLabel(server, "server"), server);

    // Written by another tool under our schema; port and protocol 0 match any.
    run("printf 'tool pw' | secret-tool store --label=tool xdg:schema " +
        std::string(platform::SecretStore::kInternetSchemaName) + " server " + server +
        " account frank path '' port 21 protocol 1718906912");
    auto item = KCInternetKeychainItem::internetKeychainItemForServer(server, "frank", "", 0, 0);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->password(), "tool pw");
    EXPECT_EQ(item->port(), 21);
    EXPECT_EQ(item->protocol(), 1718906912u);
    EXPECT_EQ(item->label(), "tool");
    EXPECT_EQ(
        KCInternetKeychainItem::internetKeychainItemForServer(server, "frank", "/other", 0, 0),
        nullptr);
    EXPECT_EQ(KCInternetKeychainItem::internetKeychainItemForServer(server, "frank", "", 22, 0),
              nullptr);

    // Moving it keeps one item, the secret and the label.
    EXPECT_TRUE(item->setPort(2121));
    EXPECT_TRUE(item->setPath("/pub"));
    EXPECT_EQ(KCInternetKeychainItem::internetKeychainItemForServer(server, "frank", "", 21, 0),
              nullptr);
    auto moved = KCInternetKeychainItem::internetKeychainItemForServer(server, "frank", "/pub",
                                                                       2121, 1718906912u);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->password(), "tool pw");
    EXPECT_EQ(moved->label(), "tool");
    EXPECT_TRUE(moved->remove());
    auto erin =
        KCInternetKeychainItem::internetKeychainItemForServer(server, "erin", "/dav", 8443, https);
    ASSERT_TRUE(erin);
    EXPECT_TRUE(erin->remove());
    EXPECT_EQ(toolCount(server, "server"), 0);
}

// Locking the keyring hides its items without a prompt; a new account
// written while it is locked fails and the remembered password stays.
TEST_F(Keychain, LockedKeyringFailsLookupsAndKeepsItemsThroughAFailedMove) {
    if (!inPrivateKeyring()) return;
    const std::string service = uniqueService("locked");
    ASSERT_TRUE(KCGenericKeychainItem::addGenericKeychainItemForService(service, "gina", "secret"));
    auto item = KCGenericKeychainItem::genericKeychainItemForService(service, "gina");
    ASSERT_TRUE(item);

    ASSERT_TRUE(KCKeychainItem::lockKeychain());
    EXPECT_EQ(KCGenericKeychainItem::passwordForUsername("gina", service), std::nullopt);
    EXPECT_EQ(KCGenericKeychainItem::genericKeychainItemForService(service), nullptr);
    platform::Error error;
    EXPECT_EQ(platform::SecretStore::lookup(service, "gina", &error), std::nullopt);
    EXPECT_EQ(error.code, platform::SecretStore::kLocked);
    // The keyring asks for its password, and no one can answer here.
    EXPECT_FALSE(item->setUsername("hank"));
    EXPECT_EQ(item->username(), "gina");

    ASSERT_TRUE(unlockAsTheUser());
    EXPECT_EQ(KCGenericKeychainItem::passwordForUsername("gina", service), "secret");
    EXPECT_EQ(toolLookup(service, "hank"), "");
    EXPECT_EQ(toolCount(service), 1);
    // Unlocking an unlocked keyring asks nothing.
    EXPECT_TRUE(KCKeychainItem::unlockKeychain());
    EXPECT_TRUE(item->remove());
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

// A keyring that holds its bus name but never answers (stopped here) makes
// the store unavailable without holding up whoever asks, and available once
// it answers again. On a bus of its own, so that no other test waits.
TEST(KeychainHungService, UnavailableAtOnceThenFoundWhenItAnswers) {
    if (!testsupport::inFreshProcess()) return;
    testsupport::TempDir dir;
    const std::string bus = (dir / "bus").string();
    const pid_t daemon = platform::spawnProcess(
        {"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus});
    ASSERT_GT(daemon, 0);
    for (int i = 0; i < 500 && access(bus.c_str(), F_OK) != 0; ++i) usleep(10'000);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
    std::filesystem::create_directories(dir / "home");
    std::filesystem::create_directories(dir / "run");
    const std::string env =
        "HOME='" + (dir / "home").string() + "' XDG_RUNTIME_DIR='" + (dir / "run").string() + "' ";
    const pid_t keyring = platform::spawnProcess(
        {"/bin/sh", "-c",
         env + "exec gnome-keyring-daemon --foreground --unlock --components=secrets "
               ">/dev/null 2>&1 <<EOF\n\nEOF\n"});
    ASSERT_GT(keyring, 0);
    auto stop = [&] {
        kill(keyring, SIGKILL);
        kill(daemon, SIGTERM);
        platform::waitForProcess(keyring);
        platform::waitForProcess(daemon);
    };
    bool up = false;
    for (int i = 0; i < 100 && !(up = platform::SecretStore::isAvailable()); ++i) usleep(100'000);
    if (!up) {
        stop();
        GTEST_FAIL() << "the private keyring did not come up";
    }

    kill(keyring, SIGSTOP);
    KCPasswordStore store;
    EXPECT_FALSE(store.isAvailable());  // no answer yet: not waited for
    bool answered = false;
    for (int i = 0;
         i < 1000 && !(answered = platform::SecretStore::cachedAvailability().has_value()); ++i)
        usleep(10'000);
    EXPECT_TRUE(answered);
    EXPECT_FALSE(store.isAvailable());

    kill(keyring, SIGCONT);
    bool available = false;
    for (int i = 0; i < 1000 && !(available = store.isAvailable()); ++i) usleep(10'000);
    EXPECT_TRUE(available);
    stop();
}

}  // namespace

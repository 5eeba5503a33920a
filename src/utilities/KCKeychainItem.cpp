#include "utilities/KCKeychainItem.h"

#include <glib.h>
#include <string.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "Logging/LGLogMacros.h"

using platform::SecretStore;

namespace {

std::atomic<bool> gLogsErrors{false};

std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

void wipe(std::string& s) {
    if (!s.empty()) explicit_bzero(s.data(), s.size());
}
void wipe(std::vector<uint8_t>& v) {
    if (!v.empty()) explicit_bzero(v.data(), v.size());
}

void logError(const char* method, const platform::Error& error) {
    LGLogError("Error (%s) - %s", method, error.description.c_str());
}

// The UTF-8 password of a found item; none (nothing kept) for other bytes.
std::optional<std::string> passwordOf(SecretStore::Item& item) {
    std::string password(item.secret.begin(), item.secret.end());
    wipe(item.secret);
    if (!g_utf8_validate(password.data(), static_cast<gssize>(password.size()), nullptr)) {
        wipe(password);
        return std::nullopt;
    }
    return password;
}

// The first item of `schema` matching `match`; lookup failures other than
// absence are logged when asked to.
std::optional<SecretStore::Item> findItem(SecretStore::Schema schema,
                                          const SecretStore::Attributes& match,
                                          const char* method) {
    platform::Error error;
    auto item = SecretStore::find(schema, match, &error);
    if (!item && error.code != 0 && KCKeychainItem::logsErrors()) logError(method, error);
    return item;
}

// Stores a new item, always logging a failure.
bool addItem(SecretStore::Schema schema, const SecretStore::Attributes& attributes,
             const std::string& password, const std::string& label, const char* method) {
    platform::Error error;
    std::vector<uint8_t> secret = bytes(password);
    const bool ok = SecretStore::store(schema, attributes, secret, label, &error);
    wipe(secret);
    if (!ok) logError(method, error);
    return ok;
}

std::string attribute(const SecretStore::Item& item, const char* name) {
    auto it = item.attributes.find(name);
    return it == item.attributes.end() ? std::string() : it->second;
}

}  // namespace

// ---- KCKeychainItem ---------------------------------------------------------

KCKeychainItem::KCKeychainItem(std::string username, std::string password, std::string label)
    : password_(std::move(password)), username_(std::move(username)), label_(std::move(label)) {}

KCKeychainItem::~KCKeychainItem() {
    wipe(password_);
}

void KCKeychainItem::setLogsErrors(bool on) {
    gLogsErrors = on;
}
bool KCKeychainItem::logsErrors() {
    return gLogsErrors;
}

bool KCKeychainItem::write() {
    platform::Error error;
    std::vector<uint8_t> secret = bytes(password_);
    const bool ok = SecretStore::store(schema(), attributes(), secret, label_, &error);
    wipe(secret);
    if (!ok && logsErrors()) logError("write", error);
    return ok;
}

template <class Change, class Undo>
bool KCKeychainItem::rewrite(Change change, Undo undo) {
    const SecretStore::Attributes before = attributes();
    change();
    if (attributes() == before) return write();
    if (!write()) {
        undo();
        return false;
    }
    platform::Error error;
    if (!SecretStore::remove(schema(), before, &error) && error.code != 0 && logsErrors())
        logError("remove", error);
    return true;
}

bool KCKeychainItem::setPassword(const std::optional<std::string>& password) {
    if (!password) return false;
    wipe(password_);
    password_ = *password;
    return write();
}

bool KCKeychainItem::setUsername(const std::string& username) {
    std::string previous = username_;
    return rewrite([&] { username_ = username; }, [&] { username_ = std::move(previous); });
}

bool KCKeychainItem::setLabel(const std::string& label) {
    label_ = label;
    return write();
}

bool KCKeychainItem::remove() {
    platform::Error error;
    const bool ok = SecretStore::remove(schema(), attributes(), &error);
    if (!ok && error.code != 0 && logsErrors()) logError("remove", error);
    return ok;
}

bool KCKeychainItem::lockKeychain() {
    platform::Error error;
    const bool ok = SecretStore::lockDefaultCollection(&error);
    if (!ok && logsErrors()) logError("lockKeychain", error);
    return ok;
}

bool KCKeychainItem::unlockKeychain() {
    platform::Error error;
    const bool ok = SecretStore::unlockDefaultCollection(&error);
    if (!ok && logsErrors()) logError("unlockKeychain", error);
    return ok;
}

// ---- KCGenericKeychainItem ----------------------------------------------------

KCGenericKeychainItem::KCGenericKeychainItem(std::string serviceName, std::string username,
                                             std::string password)
    : KCKeychainItem(std::move(username), std::move(password), serviceName),
      serviceName_(std::move(serviceName)) {}

SecretStore::Schema KCGenericKeychainItem::schema() const {
    return SecretStore::Schema::Password;
}

SecretStore::Attributes KCGenericKeychainItem::attributes() const {
    return {{"service", serviceName_}, {"account", username_}};
}

bool KCGenericKeychainItem::setServiceName(const std::string& serviceName) {
    std::string previous = serviceName_;
    return rewrite([&] { serviceName_ = serviceName; },
                   [&] { serviceName_ = std::move(previous); });
}

std::unique_ptr<KCGenericKeychainItem> KCGenericKeychainItem::genericKeychainItemForService(
    const std::string& service, const std::string& username) {
    if (username.empty()) return nullptr;
    auto found =
        findItem(SecretStore::Schema::Password, {{"service", service}, {"account", username}},
                 "genericKeychainItemForService");
    if (!found) return nullptr;
    auto password = passwordOf(*found);
    if (!password) return nullptr;
    auto item = std::make_unique<KCGenericKeychainItem>(service, username, std::move(*password));
    item->label_ = found->label;
    return item;
}

std::unique_ptr<KCGenericKeychainItem> KCGenericKeychainItem::genericKeychainItemForService(
    const std::string& service) {
    auto found = findItem(SecretStore::Schema::Password, {{"service", service}},
                          "genericKeychainItemForService");
    if (!found) return nullptr;
    auto password = passwordOf(*found);
    if (!password) return nullptr;
    auto item = std::make_unique<KCGenericKeychainItem>(service, attribute(*found, "account"),
                                                        std::move(*password));
    item->label_ = found->label;
    return item;
}

std::unique_ptr<KCGenericKeychainItem> KCGenericKeychainItem::addGenericKeychainItemForService(
    const std::string& service, const std::string& username, const std::string& password) {
    if (service.empty() || username.empty()) return nullptr;
    auto item = std::make_unique<KCGenericKeychainItem>(service, username, password);
    if (!addItem(item->schema(), item->attributes(), password, item->label(),
                 "addGenericKeychainItemForService"))
        return nullptr;
    return item;
}

void KCGenericKeychainItem::setKeychainPassword(const std::string& password,
                                                const std::string& username,
                                                const std::string& service) {
    if (auto item = genericKeychainItemForService(service, username))
        item->setPassword(password);
    else
        addGenericKeychainItemForService(service, username, password);
}

std::optional<std::string> KCGenericKeychainItem::passwordForUsername(const std::string& username,
                                                                      const std::string& service) {
    auto item = genericKeychainItemForService(service, username);
    if (!item) return std::nullopt;
    return item->password();
}

// ---- KCInternetKeychainItem ---------------------------------------------------

KCInternetKeychainItem::KCInternetKeychainItem(std::string server, std::string username,
                                               std::string password, std::string path, int port,
                                               uint32_t protocol)
    : KCKeychainItem(std::move(username), std::move(password), server),
      server_(std::move(server)),
      path_(std::move(path)),
      port_(port),
      protocol_(protocol) {}

SecretStore::Schema KCInternetKeychainItem::schema() const {
    return SecretStore::Schema::Internet;
}

SecretStore::Attributes KCInternetKeychainItem::attributes() const {
    return {{"server", server_},
            {"account", username_},
            {"path", path_},
            {"port", std::to_string(port_)},
            {"protocol", std::to_string(protocol_)}};
}

bool KCInternetKeychainItem::setServer(const std::string& server) {
    std::string previous = server_;
    return rewrite([&] { server_ = server; }, [&] { server_ = std::move(previous); });
}

bool KCInternetKeychainItem::setPath(const std::string& path) {
    std::string previous = path_;
    return rewrite([&] { path_ = path; }, [&] { path_ = std::move(previous); });
}

bool KCInternetKeychainItem::setPort(int port) {
    const int previous = port_;
    return rewrite([&] { port_ = port; }, [&] { port_ = previous; });
}

bool KCInternetKeychainItem::setProtocol(uint32_t protocol) {
    const uint32_t previous = protocol_;
    return rewrite([&] { protocol_ = protocol; }, [&] { protocol_ = previous; });
}

std::unique_ptr<KCInternetKeychainItem> KCInternetKeychainItem::internetKeychainItemForServer(
    const std::string& server, const std::string& username, const std::string& path, int port,
    uint32_t protocol) {
    if (server.empty() || username.empty()) return nullptr;
    SecretStore::Attributes match{{"server", server}, {"account", username}, {"path", path}};
    if (port != 0) match["port"] = std::to_string(port);
    if (protocol != 0) match["protocol"] = std::to_string(protocol);
    auto found = findItem(SecretStore::Schema::Internet, match, "internetKeychainItemForServer");
    if (!found) return nullptr;
    auto password = passwordOf(*found);
    if (!password) return nullptr;
    // What the item holds, where the lookup left port or protocol open.
    const int foundPort = std::atoi(attribute(*found, "port").c_str());
    const auto foundProtocol =
        static_cast<uint32_t>(std::strtoul(attribute(*found, "protocol").c_str(), nullptr, 10));
    auto item = std::make_unique<KCInternetKeychainItem>(server, username, std::move(*password),
                                                         path, foundPort, foundProtocol);
    item->label_ = found->label;
    return item;
}

std::unique_ptr<KCInternetKeychainItem> KCInternetKeychainItem::addInternetKeychainItemForServer(
    const std::string& server, const std::string& username, const std::string& password,
    const std::string& path, int port, uint32_t protocol) {
    if (server.empty() || username.empty()) return nullptr;
    auto item =
        std::make_unique<KCInternetKeychainItem>(server, username, password, path, port, protocol);
    if (!addItem(item->schema(), item->attributes(), password, item->label(),
                 "addInternetKeychainItemForServer"))
        return nullptr;
    return item;
}

// ---- KCPasswordStore ------------------------------------------------------------

KCPasswordStore& KCPasswordStore::shared() {
    static KCPasswordStore store;
    return store;
}

bool KCPasswordStore::usable() {
    return platform::SecretStore::cachedAvailability().value_or(
        platform::SecretStore::isAvailable());
}

std::optional<std::string> KCPasswordStore::lookup(const std::string& service,
                                                   const std::string& account) {
    if (!usable()) return std::nullopt;
    return KCGenericKeychainItem::passwordForUsername(account, service);
}

bool KCPasswordStore::store(const std::string& service, const std::string& account,
                            const std::string& password) {
    if (!usable()) return false;
    KCGenericKeychainItem::setKeychainPassword(password, account, service);
    return KCGenericKeychainItem::passwordForUsername(account, service) == password;
}

bool KCPasswordStore::isAvailable() const {
    // Asked on the main thread at every panel: a keyring that holds its name
    // but never answers blocked each ask for libsecret's 25 s.
    return platform::SecretStore::cachedAvailability().value_or(false);
}

void KCPasswordStore::observeAvailability(std::function<void(bool)> observer) {
    platform::SecretStore::addAvailabilityObserver(std::move(observer));
}

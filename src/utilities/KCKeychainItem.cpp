#include "utilities/KCKeychainItem.h"

#include <glib.h>
#include <string.h>

#include <atomic>
#include <vector>

#include "Logging/LGLogMacros.h"
#include "platform/secret/SecretStore.h"

namespace {

std::atomic<bool> gLogsErrors{false};

std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

void wipe(std::string& s) {
    if (!s.empty()) explicit_bzero(s.data(), s.size());
}

void logError(const char* method, const platform::Error& error) {
    LGLogError("Error (%s) - %s", method, error.description.c_str());
}

}  // namespace

// ---- KCKeychainItem ---------------------------------------------------------

KCKeychainItem::KCKeychainItem(std::string username, std::string password)
    : password_(std::move(password)), username_(std::move(username)) {}

KCKeychainItem::~KCKeychainItem() {
    wipe(password_);
}

void KCKeychainItem::setLogsErrors(bool on) {
    gLogsErrors = on;
}
bool KCKeychainItem::logsErrors() {
    return gLogsErrors;
}

bool KCKeychainItem::setPassword(const std::optional<std::string>& password) {
    if (!password) return false;
    wipe(password_);
    password_ = *password;
    return write();
}

bool KCKeychainItem::setUsername(const std::string& username) {
    // The account is part of the item's identity: the old one goes.
    erase();
    username_ = username;
    return write();
}

bool KCKeychainItem::setLabel(const std::string& label) {
    label_ = label;
    return write();
}

bool KCKeychainItem::remove() {
    return erase();
}

// ---- KCGenericKeychainItem ----------------------------------------------------

KCGenericKeychainItem::KCGenericKeychainItem(std::string serviceName, std::string username,
                                             std::string password)
    : KCKeychainItem(std::move(username), std::move(password)),
      serviceName_(std::move(serviceName)) {
    label_ = serviceName_;
}

bool KCGenericKeychainItem::setServiceName(const std::string& serviceName) {
    erase();
    serviceName_ = serviceName;
    return write();
}

bool KCGenericKeychainItem::write() {
    platform::Error error;
    std::vector<uint8_t> secret = bytes(password_);
    const bool ok = platform::SecretStore::store(serviceName_, username_, secret,
                                                 label_.empty() ? serviceName_ : label_, &error);
    explicit_bzero(secret.data(), secret.size());
    if (!ok && logsErrors()) logError("write", error);
    return ok;
}

bool KCGenericKeychainItem::erase() {
    platform::Error error;
    const bool ok = platform::SecretStore::remove(serviceName_, username_, &error);
    if (!ok && error.code != 0 && logsErrors()) logError("remove", error);
    return ok;
}

std::unique_ptr<KCGenericKeychainItem> KCGenericKeychainItem::genericKeychainItemForService(
    const std::string& service, const std::string& username) {
    if (username.empty()) return nullptr;
    platform::Error error;
    auto secret = platform::SecretStore::lookup(service, username, &error);
    if (!secret) {
        if (error.code != 0 && logsErrors()) logError("genericKeychainItemForService", error);
        return nullptr;
    }
    std::string password(secret->begin(), secret->end());
    explicit_bzero(secret->data(), secret->size());
    if (!g_utf8_validate(password.data(), static_cast<gssize>(password.size()), nullptr)) {
        wipe(password);
        return nullptr;
    }
    return std::make_unique<KCGenericKeychainItem>(service, username, std::move(password));
}

std::unique_ptr<KCGenericKeychainItem> KCGenericKeychainItem::addGenericKeychainItemForService(
    const std::string& service, const std::string& username, const std::string& password) {
    if (service.empty() || username.empty()) return nullptr;
    auto item = std::make_unique<KCGenericKeychainItem>(service, username, password);
    platform::Error error;
    std::vector<uint8_t> secret = bytes(password);
    const bool ok = platform::SecretStore::store(service, username, secret, service, &error);
    explicit_bzero(secret.data(), secret.size());
    if (!ok) {
        logError("addGenericKeychainItemForService", error);
        return nullptr;
    }
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

// ---- KCPasswordStore ------------------------------------------------------------

KCPasswordStore& KCPasswordStore::shared() {
    static KCPasswordStore store;
    return store;
}

std::optional<std::string> KCPasswordStore::lookup(const std::string& service,
                                                   const std::string& account) {
    if (!isAvailable()) return std::nullopt;
    return KCGenericKeychainItem::passwordForUsername(account, service);
}

bool KCPasswordStore::store(const std::string& service, const std::string& account,
                            const std::string& password) {
    if (!isAvailable()) return false;
    KCGenericKeychainItem::setKeychainPassword(password, account, service);
    return KCGenericKeychainItem::passwordForUsername(account, service) == password;
}

bool KCPasswordStore::isAvailable() const {
    // Asked each time: a keyring started after the application (a login
    // where the daemon comes up late) must be found. Once a service answered,
    // libsecret keeps its connection, so the question is cheap.
    return platform::SecretStore::isAvailable();
}

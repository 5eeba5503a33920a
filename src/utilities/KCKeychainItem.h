#pragma once
// Password items of the desktop's keyring (the Secret Service). The
// application uses one kind: a remembered folder password, a generic item
// whose service the caller builds (app::folderPasswordService) and whose
// account is the login name. Without a Secret Service every lookup finds
// nothing and nothing is stored. Lookups never prompt: an item of a locked
// keyring is not found.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/secret/SecretStore.h"
#include "utilities/QVPasswordStore.h"

class KCKeychainItem {
  public:
    virtual ~KCKeychainItem();
    const std::string& password() const { return password_; }
    const std::string& username() const { return username_; }
    const std::string& label() const { return label_; }
    // nullopt gives false; otherwise the item's secret is replaced (its
    // label kept).
    bool setPassword(const std::optional<std::string>& password);
    // The account is part of the item's identity: the item under the new
    // one is written first and only then the old one removed, so a failed
    // write keeps the old item (and the old value here).
    bool setUsername(const std::string& username);
    bool setLabel(const std::string& label);
    bool remove();

    static bool removeKeychainItem(KCKeychainItem& item) { return item.remove(); }
    // The default collection of the keyring. Unlocking lets the keyring ask
    // the user for its password and waits for the answer.
    static bool lockKeychain();
    static bool unlockKeychain();

    static void setLogsErrors(bool on);
    static bool logsErrors();

  protected:
    KCKeychainItem(std::string username, std::string password, std::string label);
    virtual platform::SecretStore::Schema schema() const = 0;
    // The attributes the item is stored under.
    virtual platform::SecretStore::Attributes attributes() const = 0;
    // Writes the item under its current attributes, label and secret.
    bool write();
    // Applies `change` to the attributes; an item whose attributes changed
    // is written under the new ones and then removed under the old ones. A
    // failed write undoes the change.
    template <class Change, class Undo>
    bool rewrite(Change change, Undo undo);

    std::string password_;
    std::string username_;
    std::string label_;
};

class KCGenericKeychainItem : public KCKeychainItem {
  public:
    KCGenericKeychainItem(std::string serviceName, std::string username, std::string password);
    const std::string& serviceName() const { return serviceName_; }
    bool setServiceName(const std::string& serviceName);

    // None for an empty user name, when not found, when the secret is not
    // UTF-8, or when no Secret Service answers. The whole secret is read.
    static std::unique_ptr<KCGenericKeychainItem> genericKeychainItemForService(
        const std::string& service, const std::string& username);
    // The same by service alone; the account is the found item's.
    static std::unique_ptr<KCGenericKeychainItem> genericKeychainItemForService(
        const std::string& service);
    // None for an empty service or user name, or when it could not be added
    // (always logged).
    static std::unique_ptr<KCGenericKeychainItem> addGenericKeychainItemForService(
        const std::string& service, const std::string& username, const std::string& password);
    static void setKeychainPassword(const std::string& password, const std::string& username,
                                    const std::string& service);
    static std::optional<std::string> passwordForUsername(const std::string& username,
                                                          const std::string& service);

  protected:
    platform::SecretStore::Schema schema() const override;
    platform::SecretStore::Attributes attributes() const override;

  private:
    std::string serviceName_;
};

// An internet password: server, account, path, port and protocol are the
// attributes of the item (schema platform::SecretStore::kInternetSchemaName).
// The protocol is a four-character code as a 32-bit number ('http' is
// 0x68747470).
class KCInternetKeychainItem : public KCKeychainItem {
  public:
    KCInternetKeychainItem(std::string server, std::string username, std::string password,
                           std::string path, int port, uint32_t protocol);
    const std::string& server() const { return server_; }
    const std::string& path() const { return path_; }
    int port() const { return port_; }
    uint32_t protocol() const { return protocol_; }
    bool setServer(const std::string& server);
    bool setPath(const std::string& path);
    bool setPort(int port);
    bool setProtocol(uint32_t protocol);

    // None unless server and user name are non-empty, when not found, or when
    // the secret is not UTF-8. An empty path looks for an empty path; port 0
    // and protocol 0 match any.
    static std::unique_ptr<KCInternetKeychainItem> internetKeychainItemForServer(
        const std::string& server, const std::string& username, const std::string& path, int port,
        uint32_t protocol);
    // None for an empty server or user name, or when it could not be added
    // (always logged).
    static std::unique_ptr<KCInternetKeychainItem> addInternetKeychainItemForServer(
        const std::string& server, const std::string& username, const std::string& password,
        const std::string& path, int port, uint32_t protocol);

  protected:
    platform::SecretStore::Schema schema() const override;
    platform::SecretStore::Attributes attributes() const override;

  private:
    std::string server_;
    std::string path_;
    int port_ = 0;
    uint32_t protocol_ = 0;
};

// The remembered folder passwords of the mount controller and the unlock.
class KCPasswordStore final : public QVPasswordStore {
  public:
    // The application's one store.
    static KCPasswordStore& shared();
    std::optional<std::string> lookup(const std::string& service,
                                      const std::string& account) override;
    bool store(const std::string& service, const std::string& account,
               const std::string& password) override;
    // Never waits: the last background answer (no before the first). Asked
    // again in the background while it is no, so a keyring that starts late
    // is found, and now and then while it is yes.
    bool isAvailable() const override;
    void observeAvailability(std::function<void(bool available)> observer) override;

  private:
    // Before the first answer, lookups and stores ask the service themselves.
    static bool usable();
};

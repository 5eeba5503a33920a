#pragma once
// Password items of the desktop's keyring (the Secret Service). The
// application uses one kind: a remembered folder password, a generic item
// whose service the caller builds (app::folderPasswordService) and whose
// account is the login name. Without a Secret Service every lookup finds
// nothing and nothing is stored.

#include <memory>
#include <optional>
#include <string>

#include "utilities/QVPasswordStore.h"

class KCKeychainItem {
  public:
    virtual ~KCKeychainItem();
    const std::string& password() const { return password_; }
    const std::string& username() const { return username_; }
    const std::string& label() const { return label_; }
    // nullopt gives false; otherwise the item's secret is replaced.
    bool setPassword(const std::optional<std::string>& password);
    bool setUsername(const std::string& username);
    bool setLabel(const std::string& label);
    bool remove();

    static void setLogsErrors(bool on);
    static bool logsErrors();

  protected:
    KCKeychainItem(std::string username, std::string password);
    // Writes the item under its current attributes and secret.
    virtual bool write() = 0;
    virtual bool erase() = 0;

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
    // None for an empty service or user name, or when it could not be added
    // (always logged).
    static std::unique_ptr<KCGenericKeychainItem> addGenericKeychainItemForService(
        const std::string& service, const std::string& username, const std::string& password);
    static void setKeychainPassword(const std::string& password, const std::string& username,
                                    const std::string& service);
    static std::optional<std::string> passwordForUsername(const std::string& username,
                                                          const std::string& service);

  protected:
    bool write() override;
    bool erase() override;

  private:
    std::string serviceName_;
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
    // Whether a Secret Service answers now; never kept.
    bool isAvailable() const override;
};

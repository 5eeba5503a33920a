#pragma once
// Passwords in the Secret Service (the desktop's keyring), under schemas of
// our own: "service" and "account" for a password, server, account, path,
// port and protocol for an internet password. Items of other schemas are
// never seen. Synchronous; where no Secret Service answers, every call fails
// and isAvailable() says so. Never a file of ours.
//
// Lookups never prompt: an item in a locked collection is not found (the
// error says it is locked). Storing into a locked collection lets the
// keyring ask the user to unlock it.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"

namespace platform {

class SecretStore {
  public:
    static constexpr const char* kSchemaName = "com.norVane.Tessaro.Password";
    static constexpr const char* kInternetSchemaName = "com.norVane.Tessaro.InternetPassword";
    static constexpr const char* kErrorDomain = "SecretServiceErrorDomain";
    // The error code of a lookup that found only locked items.
    static constexpr int kLocked = -2;

    enum class Schema { Password, Internet };
    // Attribute names of the schemas. The internet schema's "port" and
    // "protocol" are integers, given here as decimal text.
    using Attributes = std::map<std::string, std::string>;

    struct Item {
        Attributes attributes;  // the schema's attributes of the item
        std::string label;
        std::vector<uint8_t> secret;  // whole
    };

    // True when a Secret Service answers on the session bus. Waits for the
    // answer (a short time-out for a service that never gives one): not for
    // the main thread.
    static bool isAvailable();
    // Never waits: the answer of the last check, none before the first. A
    // check runs in the background when there is none yet, when the last
    // said no (a keyring that comes up later is found) and now and then
    // after a yes (one that goes away).
    static std::optional<bool> cachedAvailability();
    // Called on the checking thread whenever the cached answer changes.
    static void addAvailabilityObserver(std::function<void(bool available)> observer);

    // The first unlocked item of `schema` whose attributes include `match`.
    // None when there is none (error code 0, or kLocked when matching items
    // are locked) or the service failed (error set).
    static std::optional<Item> find(Schema schema, const Attributes& match, Error* error = nullptr);
    // Creates or replaces the item of `schema` with exactly `attributes` in
    // the default collection. Attributes and label must be UTF-8.
    static bool store(Schema schema, const Attributes& attributes,
                      const std::vector<uint8_t>& secret, const std::string& label,
                      Error* error = nullptr);
    // Removes every item of `schema` whose attributes include `match`; false
    // when there was none (error code 0) or it failed.
    static bool remove(Schema schema, const Attributes& match, Error* error = nullptr);

    // Locks the default collection; unlocking lets the keyring ask the user
    // for its password (false when the user or the keyring declined).
    static bool lockDefaultCollection(Error* error = nullptr);
    static bool unlockDefaultCollection(Error* error = nullptr);

    // The password schema's item of service and account.
    static std::optional<std::vector<uint8_t>> lookup(const std::string& service,
                                                      const std::string& account,
                                                      Error* error = nullptr);
    static bool store(const std::string& service, const std::string& account,
                      const std::vector<uint8_t>& secret, const std::string& label,
                      Error* error = nullptr);
    static bool remove(const std::string& service, const std::string& account,
                       Error* error = nullptr);
};

}  // namespace platform

#pragma once
// Passwords in the Secret Service (the desktop's keyring), under our own
// schema with the attributes "service" and "account". Synchronous; where no
// Secret Service answers, every call fails and isAvailable() says so. Never
// a file of ours.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"

namespace platform {

class SecretStore {
  public:
    static constexpr const char* kSchemaName = "com.norVane.Tessaro.Password";

    // True when a Secret Service answers on the session bus.
    static bool isAvailable();
    // The whole secret; nullopt when there is none (error code 0) or the
    // service failed (error set).
    static std::optional<std::vector<uint8_t>> lookup(const std::string& service,
                                                      const std::string& account,
                                                      Error* error = nullptr);
    // Creates or replaces the one item of service and account.
    static bool store(const std::string& service, const std::string& account,
                      const std::vector<uint8_t>& secret, const std::string& label,
                      Error* error = nullptr);
    static bool remove(const std::string& service, const std::string& account,
                       Error* error = nullptr);
};

}  // namespace platform

#pragma once
// Remembered folder passwords, by service and account. The keychain plugs in
// here; the no-op store remembers nothing.

#include <functional>
#include <optional>
#include <string>

class QVPasswordStore {
  public:
    virtual ~QVPasswordStore() = default;
    virtual std::optional<std::string> lookup(const std::string& service,
                                              const std::string& account) = 0;
    // False when it could not be stored (not reported to the user).
    virtual bool store(const std::string& service, const std::string& account,
                       const std::string& password) = 0;
    // False when no store answers: remembering is then unavailable. Never
    // waits (the main thread asks).
    virtual bool isAvailable() const { return true; }
    // `observer` runs, on any thread, whenever isAvailable's answer changes.
    virtual void observeAvailability(std::function<void(bool available)> /*observer*/) {}
};

class QVNoPasswordStore final : public QVPasswordStore {
  public:
    std::optional<std::string> lookup(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    bool store(const std::string&, const std::string&, const std::string&) override {
        return false;
    }
    bool isAvailable() const override { return false; }
};

namespace app {
// "Tessaro-Mobile-Folder-<user>-<uuid>"; none for an empty user name or an
// empty or all-zero folder id, which would share one item between folders.
std::optional<std::string> folderPasswordService(const std::string& userName,
                                                 const std::string& uuid);
// The login name of the user running the program.
std::string loginUserName();
}  // namespace app

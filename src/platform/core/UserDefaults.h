#pragma once
// The application's user defaults: one JSON dictionary in
// $XDG_CONFIG_HOME/Tessaro/defaults.json, keys as the application names
// them. Every change is written at once through replaceFileContents, so a
// crash never leaves a half-written file and a linked file (dotfiles kept
// elsewhere) stays a link with its mode. Thread-safe.

#include <mutex>
#include <optional>
#include <string>

#include "platform/core/Error.h"
#include "platform/core/Value.h"

namespace platform {

class UserDefaults {
  public:
    // The process's defaults, read from the file on first use. The file's
    // place is taken at that moment from the environment.
    static UserDefaults& standard();

    // Defaults kept in `path` (tests use their own files).
    explicit UserDefaults(std::string path);

    // Null when the key is absent.
    Value objectForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;
    int64_t integerForKey(const std::string& key) const;

    // Stores and writes the file; false (with the reason) when it could not
    // be written — the value is kept in memory either way.
    bool setObject(const std::string& key, Value value, Error* error = nullptr);
    bool removeObjectForKey(const std::string& key, Error* error = nullptr);

    // Reads the file again (changes made by another process).
    void reload();

    const std::string& path() const { return path_; }

  private:
    bool writeLocked(Error* error) const;

    const std::string path_;
    mutable std::mutex mutex_;
    Value values_;
};

}  // namespace platform

#include "platform/core/UserDefaults.h"

#include <filesystem>

#include "platform/core/Files.h"
#include "platform/core/XdgPaths.h"

namespace platform {

UserDefaults& UserDefaults::standard() {
    static UserDefaults defaults(xdgConfigHome() + "/Tessaro/defaults.json");
    return defaults;
}

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {
    reload();
}

void UserDefaults::reload() {
    const std::optional<std::string> text = readRegularFile(path_);
    std::optional<Value> v = text ? Value::fromJSON(*text) : std::nullopt;
    std::lock_guard lock(mutex_);
    // A damaged file reads as empty; it is replaced at the next change.
    values_ = v && v->isDictionary() ? std::move(*v) : Value::dictionary();
}

Value UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return values_[key];
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (const std::string* s = v.ifString()) return *s;
    return std::nullopt;
}

bool UserDefaults::boolForKey(const std::string& key) const {
    return objectForKey(key).boolValue(false);
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
    return objectForKey(key).int64Value(0);
}

bool UserDefaults::setObject(const std::string& key, Value value, Error* error) {
    std::lock_guard lock(mutex_);
    values_.set(key, std::move(value));
    return writeLocked(error);
}

bool UserDefaults::removeObjectForKey(const std::string& key, Error* error) {
    std::lock_guard lock(mutex_);
    if (ValueDictionary* d = values_.ifDictionary()) d->erase(key);
    return writeLocked(error);
}

bool UserDefaults::writeLocked(Error* error) const {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    // A new file is private: it names the user's encrypted folders.
    if (!replaceFileContents(path_, values_.toJSON(true), 0600)) {
        setError(error, Error::fromErrno());
        return false;
    }
    return true;
}

}  // namespace platform

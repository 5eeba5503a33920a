#include "platform/core/UserDefaults.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    std::optional<Value> v = in ? Value::fromJSON(text.str()) : std::nullopt;
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
    std::filesystem::path target(path_);
    std::filesystem::create_directories(target.parent_path(), ec);
    std::string tmp = path_ + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        setError(error, Error::fromErrno());
        return false;
    }
    std::string text = values_.toJSON(true);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == text.size() && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), path_.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        setError(error, Error::posix(err ? err : EIO));
    }
    return ok;
}

}  // namespace platform

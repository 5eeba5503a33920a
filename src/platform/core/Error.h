#pragma once
// The error value of every layer above the encryption core: a domain, a
// numeric code and a readable description. Returned or filled through an
// out-parameter; nothing throws across a library boundary.

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace platform {

// Domain of errors whose code is an errno value.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

struct Error {
    std::string domain;
    long code = 0;
    std::string description;

    // A POSIX-domain error for `code` (an errno value), described by strerror
    // unless a description is given.
    static Error posix(int code, std::string description = {}) {
        if (description.empty()) description = std::strerror(code);
        return Error{kPOSIXErrorDomain, code, std::move(description)};
    }
    // The same for the current errno.
    static Error fromErrno() { return posix(errno); }

    bool isPOSIX() const { return domain == kPOSIXErrorDomain; }
    bool operator==(const Error&) const = default;
};

// The errno value a failure stands for where only an errno can travel (the
// kernel, a POSIX caller): its POSIX code, else EIO. Never 0, so that a
// failure without a code cannot read as success.
inline int errnoOrEIO(int code) {
    return code > 0 ? code : EIO;
}
inline int errnoOrEIO(const Error& e) {
    return e.isPOSIX() ? errnoOrEIO(static_cast<int>(e.code)) : EIO;
}
// The same as an error value: `e` itself when it carries such a code.
inline Error posixOrEIO(const Error& e) {
    return e.isPOSIX() && e.code > 0 ? e : Error::posix(EIO);
}

// Stores `e` when the caller gave somewhere to put it.
inline void setError(Error* out, Error e) {
    if (out) *out = std::move(e);
}

}  // namespace platform

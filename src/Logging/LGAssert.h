#pragma once
// Programming errors of the logging framework go to one assertion handler.
// By default it writes the description to standard error and aborts; tests
// install their own handler to see the descriptions.

#include <functional>

namespace lg {

using AssertionHandler = std::function<void(const char* description)>;

// Installs `handler` (nullptr restores the default) and returns the previous one.
AssertionHandler setAssertionHandler(AssertionHandler handler);
void assertionFailure(const char* description);

inline constexpr const char* kCoreArchitectureFailure = "Core architecture requirement failure";
inline constexpr const char* kDirectIvarAccess =
    "MUST access ivar directly, NOT via self.* syntax.";

}  // namespace lg

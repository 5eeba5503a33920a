#pragma once
// The desktop's trash (the freedesktop.org trash, through GIO).

#include <string>

#include "platform/core/Error.h"

namespace platform {

// Moves `path` to the trash; false (with the reason) when it stays where it is.
bool moveToTrash(const std::string& path, Error* error = nullptr);

}  // namespace platform

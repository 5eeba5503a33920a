#pragma once
// Where mount events go: the main queue of the process.
#include <functional>

namespace platform::fuse_detail {
void postToMainQueue(std::function<void()> work);
}

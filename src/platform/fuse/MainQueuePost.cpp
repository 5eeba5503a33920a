#include "platform/fuse/MainQueuePost.h"

namespace platform::fuse_detail {
// Runs the event at once until the main queue exists.
void postToMainQueue(std::function<void()> work) {
    work();
}
}  // namespace platform::fuse_detail

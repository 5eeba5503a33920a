#pragma once
// How the volume's loop threads read the kernel's requests.

struct fuse_session;

namespace platform {

// Makes the loop of `session` (mounted, its loop not yet started) end quietly
// when the kernel aborts the connection, as it does when the volume is
// unmounted with requests still queued (the releases of files just closed):
// libfuse would print the abort from every loop thread as it ends, and a
// thread cancelled inside that print keeps stdio's lock, which hangs the
// others. Returns false, and leaves the session as it was, on failure.
bool endLoopQuietlyOnAbort(fuse_session* session);

}  // namespace platform

#pragma once
// Daemon hygiene for programs that may be started with standard descriptors
// closed (by a launcher, a service manager, `prog 2>&-`): otherwise the first
// file or socket opened takes descriptor 2 and everything meant for the
// terminal lands in it.

namespace platform {

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed. Call it
// first thing in main, before anything opens a file. False when /dev/null
// could not be opened; the descriptors that could be filled are filled.
bool ensureStandardDescriptors();

}  // namespace platform

#pragma once
// Starting other programs and learning how they ended.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"

namespace platform {

// Starts argv[0] (looked up on $PATH when it holds no "/") with the given
// arguments and this process's environment. -1 with the reason on failure.
pid_t spawnProcess(const std::vector<std::string>& argv, Error* error = nullptr);

// Waits for the child and gives its exit status; 128 + the signal number when
// a signal ended it; -1 when it cannot be waited for.
int waitForProcess(pid_t pid);

// spawnProcess, then waitForProcess. None when it could not be started.
std::optional<int> runProcess(const std::vector<std::string>& argv, Error* error = nullptr);

// Calls `didEnd` with the exit status (as waitForProcess) on a thread of its
// own once the child has ended.
void watchProcess(pid_t pid, std::function<void(int status)> didEnd);

// The program to start again as this application: $APPIMAGE (the image, not
// its mount, which is gone after the run) when this executable runs from
// inside $APPDIR's mount, else /proc/self/exe. Both variables are inherited:
// a program started from another image's process sees that image's. Empty
// when nothing is known.
std::string applicationPath();
// The same rule for a given executable and the two variables' values (null
// when unset).
std::string applicationPathFor(const std::string& executable, const char* appImage,
                               const char* appDir);

// The ids of the processes listed in `procRoot` (normally /proc).
std::vector<pid_t> runningProcessIds(const std::string& procRoot = "/proc");

}  // namespace platform

#pragma once
// Runs `fn` with standard error sent to a file and returns what was written.

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "support/TempDir.h"

namespace testsupport {

template <class F>
std::string captureStderr(F fn) {
    TempDir dir;
    auto path = dir / "stderr";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int saved = ::dup(STDERR_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    fn();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    return readFile(path);
}

}  // namespace testsupport

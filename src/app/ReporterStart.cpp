#include "app/ReporterStart.h"

#include <atomic>
#include <mutex>

namespace app {

namespace {
std::atomic<int> gStarts{0};
std::mutex gKeyMutex;
std::string gKey;
}  // namespace

// Records the call only until the reporter's front is built in.
void startCrashReporter(const std::string& apiKey) {
    {
        std::lock_guard lock(gKeyMutex);
        gKey = apiKey;
    }
    ++gStarts;
}

int crashReporterStartCount() {
    return gStarts;
}

std::string crashReporterStartKey() {
    std::lock_guard lock(gKeyMutex);
    return gKey;
}

}  // namespace app

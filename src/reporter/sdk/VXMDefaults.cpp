#include "reporter/sdk/VXMDefaults.h"

#include <atomic>

namespace {
std::atomic<platform::UserDefaults*> chosen{nullptr};
}  // namespace

platform::UserDefaults& VXMDefaults() {
    platform::UserDefaults* defaults = chosen.load();
    return defaults ? *defaults : platform::UserDefaults::standard();
}

void VXMSetDefaults(platform::UserDefaults* defaults) {
    chosen.store(defaults);
}

#pragma once
// The user defaults the reporter reads and writes: the application's own
// unless a test hands in another store.

#include "platform/core/UserDefaults.h"

platform::UserDefaults& VXMDefaults();
// Not owned; null goes back to the application's defaults.
void VXMSetDefaults(platform::UserDefaults* defaults);

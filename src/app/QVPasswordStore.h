#pragma once
// The password store lives with the keychain items (the mount controller
// below the application uses it too).
#include "utilities/QVPasswordStore.h"

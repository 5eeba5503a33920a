#pragma once
// The application's icon, for its windows (the desktop takes the installed
// one from resources/tessaro.svg).

#include <QIcon>

namespace app {

QIcon applicationIcon();

}  // namespace app

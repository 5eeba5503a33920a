#pragma once
// The application's icon, for its windows (the desktop takes the installed
// one from resources/tessaro.svg).

#include <QByteArray>
#include <QIcon>

namespace app {

QIcon applicationIcon();
// The same picture as PNG bytes, `size` pixels square (any thread); empty on
// failure.
QByteArray applicationIconPNG(int size);

}  // namespace app

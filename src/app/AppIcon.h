#pragma once
// The application's icon, for its windows (the desktop takes the installed
// one from resources/tessaro.svg).

#include <QByteArray>
#include <QIcon>
#include <QStyle>

namespace app {

// Drawn once per application object (GUI thread).
QIcon applicationIcon();
// The application style's standard icon `which`, taken from the style when it
// is first drawn or measured: Fusion decodes every size of its pictures as
// soon as the icon is asked for, a cost the start-up need not wait for.
QIcon deferredStandardIcon(QStyle::StandardPixmap which);
// The same picture as PNG bytes, `size` pixels square (any thread); empty on
// failure.
QByteArray applicationIconPNG(int size);

}  // namespace app

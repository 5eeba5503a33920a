#pragma once
// The application's start: the application object, the delegate, the main
// window, then the event loop.

namespace app {

int runApplication(int argc, char** argv);

}  // namespace app

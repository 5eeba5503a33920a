#include "app/AppMain.h"
#include "platform/core/StdDescriptors.h"

int main(int argc, char** argv) {
    platform::ensureStandardDescriptors();
    return app::runApplication(argc, argv);
}

#include "platform/core/StdDescriptors.h"
#include "run/RunTool.h"

int main(int argc, char** argv) {
    platform::ensureStandardDescriptors();
    return run::runMain(argc, argv);
}

#include "run/RunTool.h"

int main(int argc, char** argv) {
    return run::runMain(argc, argv);
}

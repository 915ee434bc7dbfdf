// Entry of the RAM loader.
#include <cstdio>

#include "platform/system.h"
#include "ramloader/tavram.h"

int main(int argc, char** argv) {
    PlatformInstallExitHandlers();  // Ctrl-C ends with code 2 from the first moment on
    // Progress lines must show at once, also when the output goes to a pipe.
    setvbuf(stdout, nullptr, _IONBF, 0);
    return TavramMain(argc, argv);
}

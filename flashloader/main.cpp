// Entry of the flash loader.
#include <cstdio>

#include "flashloader/tavfla.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    PlatformInstallExitHandlers();  // Ctrl-C ends with code 2 from the first moment on
    // Progress lines end without a line feed; they must show at once.
    setvbuf(stdout, nullptr, _IONBF, 0);
    return TavflaMain(argc, argv);
}

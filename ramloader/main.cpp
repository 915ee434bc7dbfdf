// Entry of the RAM loader.
#include <cstdio>

#include "link/link.h"
#include "platform/system.h"
#include "ramloader/tavram.h"

// The RAM firmware answers this sync byte.
extern const uint8_t SyncByte = 0x0F;

int main(int argc, char** argv) {
    PlatformInstallExitHandlers();  // Ctrl-C ends with code 2 from the first moment on
    // Progress lines must show at once, also when the output goes to a pipe.
    setvbuf(stdout, nullptr, _IONBF, 0);
    return TavramMain(argc, argv);
}

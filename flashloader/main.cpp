// Entry of the flash loader.
#include <cstdio>

#include "flashloader/tavfla.h"
#include "link/link.h"
#include "platform/system.h"

// The flash firmware answers this connection byte.
extern const uint8_t SyncByte = 0x7F;

int main(int argc, char** argv) {
    PlatformInstallExitHandlers();  // Ctrl-C ends with code 2 from the first moment on
    // Progress lines end without a line feed; they must show at once.
    setvbuf(stdout, nullptr, _IONBF, 0);
    return TavflaMain(argc, argv);
}

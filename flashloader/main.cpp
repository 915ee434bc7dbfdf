#include <cstdio>

#include "flashloader/tavfla.h"
#include "link/link.h"

// The flash firmware answers this connection byte.
extern const uint8_t SyncByte = 0x7F;

int main(int argc, char** argv) {
    // Progress lines end without a line feed; they must show at once.
    setvbuf(stdout, nullptr, _IONBF, 0);
    return TavflaMain(argc, argv);
}

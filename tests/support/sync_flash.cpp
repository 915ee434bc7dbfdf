#include "link/link.h"

// Test binaries of the flash loader side link the flash loader's sync byte.
extern const uint8_t SyncByte = 0x7F;

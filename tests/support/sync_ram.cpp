#include "link/link.h"

// Test binaries of the RAM loader side link the RAM loader's sync byte.
extern const uint8_t SyncByte = 0x0F;

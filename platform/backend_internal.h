// Calls between the serial and the system part of one OS backend (not for other layers).
#pragma once

#include "platform/system.h"  // PlatformInstallExitHandlers

// Switches flow control off and lowers RTS on the port opened last, if any, for the exit on
// Ctrl-C. On POSIX it runs inside a signal handler: async-signal-safe calls only.
void SerialReleaseLinesForExit();

// POSIX: sends what writes on the open port left waiting, before the process sleeps (the
// network port coalesces writes until the next read or wait).
void SerialFlushBeforeWait();

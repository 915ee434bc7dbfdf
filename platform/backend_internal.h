// What the serial part of one OS backend asks of its system part (not for other layers).
// The serial part calls the system part, never the other way round.
#pragma once

#include "platform/system.h"  // PlatformInstallExitHandlers

// Installs the exit handlers and hands over what the system part does with the port: on
// Ctrl-C `releaseLines` switches flow control off and lowers RTS (on POSIX inside a signal
// handler: async-signal-safe calls only); before the process sleeps `flushBeforeWait` (may
// be null) sends what writes left waiting (the network port coalesces writes until the
// next read or wait). Each looks for the port opened last itself.
void PlatformWatchPort(void (*releaseLines)(), void (*flushBeforeWait)());

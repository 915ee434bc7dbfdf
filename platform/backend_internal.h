// Calls between the serial and the system part of one OS backend (not for other layers).
#pragma once

// Switches flow control off and lowers RTS on the port opened last, if any, for the exit on
// Ctrl-C. On POSIX it runs inside a signal handler: async-signal-safe calls only.
void SerialReleaseLinesForExit();

// Installs the Ctrl-C / termination handlers once; later calls do nothing.
void PlatformInstallExitHandlers();

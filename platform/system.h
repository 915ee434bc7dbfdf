// Process-level services of the OS layer: clock, sleep, exit and the console key test.
#pragma once

#include <cstddef>
#include <cstdint>

// The path of the running program's file as the system knows it (Linux: /proc/self/exe),
// whatever name it was started by. False where the system does not say (Windows).
bool PlatformOwnExecutable(char* out, size_t outSize);

// Milliseconds since the process started (wraps as an unsigned 32-bit count).
uint32_t PlatformMilliseconds();
void PlatformSleep(int32_t milliseconds);
// Installs the Ctrl-C / termination handlers once (later calls do nothing): the process
// then ends with code 2, the line released and the terminal restored. The programs call
// it first thing, so no moment of a run is left to the default action.
void PlatformInstallExitHandlers();
// Ends the process with the code: flushes standard output and restores the terminal.
[[noreturn]] void PlatformExit(int code);

// True when a key press waits in the console (a character or an extended key; a modifier
// alone does not count). Never true when standard input is not a console.
bool ConsoleKeyWaiting();
// Reads the waiting key without echo; its value is not needed.
void ConsoleReadKey();
// True when no key can ever come: standard input is no console and is closed, a file, the
// null device, or a pipe whose writer has gone (a job run with </dev/null).
bool ConsoleInputEnded();

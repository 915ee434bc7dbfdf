// The OS layer's process-level services: clock, sleep, exit and the console key test. The
// layer prints nothing: its callers word every message.
//
// Errors, one rule for every call of the layer: a call that can fail returns false, or, when
// it opens something, that thing or null (-1 for a descriptor). What the caller needs to know
// of the failure is kept until the next call of that part and read through one accessor:
//   SerialLastError()                the system's code of a serial port call
//   SerialLastRefusal()              a network serial server that would not serve the port
//   PlatformFileTimeFailure()        the step at which a file's time could not be read
//   PlatformSettingsFolderRefusal()  why a settings folder was refused, with the code
// The POSIX-only calls (pty_master.h, and the helpers inside a POSIX backend) leave the code
// in errno, where the system put it. A failure no caller tells apart (a file that cannot be
// opened, a program not found) keeps nothing.
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
// Called once on the way out: by PlatformExit and, with `signalled`, on Ctrl-C or
// termination (there inside a signal handler on POSIX, so it must not wait for anything).
void PlatformSetExitHook(void (*hook)(int code, bool signalled));
// Ends the process with the code: runs the exit hook, flushes standard output and restores
// the terminal.
[[noreturn]] void PlatformExit(int code);

// True when a key press waits in the console (a character or an extended key; a modifier
// alone does not count). Never true when standard input is not a console.
bool ConsoleKeyWaiting();
// Reads the waiting key without echo; its value is not needed.
void ConsoleReadKey();
// True when no key can ever come: standard input is no console and is closed, a file, the
// null device, or a pipe whose writer has gone (a job run with </dev/null).
bool ConsoleInputEnded();

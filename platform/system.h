// The OS layer's process-level services: clock, sleep, exit, the trace file and the console
// key test. The layer prints nothing: its callers word every message.
//
// Errors, one rule for every call of the layer: a call that can fail returns false, or, when
// it opens something, that thing or null (-1 for a descriptor). What the caller needs to know
// of the failure is kept until the next call of that part and read through one accessor:
//   SerialLastError()                the system's code of a serial port call
//   SerialLastRefusal()              a network serial server that would not serve the port
//   PlatformFileTimeFailure()        the step at which a file's time could not be read
//   PlatformSettingsFolderRefusal()  why a settings folder was refused, with the code
//   PlatformTraceFailure()           why the trace file was refused or a write to it failed
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
// Installs the Ctrl-C / termination handlers once (later calls do nothing): SIGINT, SIGTERM,
// SIGHUP and SIGQUIT (Ctrl-C, Ctrl-Break and closing the console on Windows) then end the
// process with code 2, the line released and the terminal restored. SIGPIPE and SIGXFSZ are
// ignored: a reader that left or a file size limit fails that write, and the run goes on. The
// programs call it first thing, so no moment of a run is left to the default action.
void PlatformInstallExitHandlers();
// The trace's part of the exit on a termination signal, run after the line is released: inside
// the signal handler on POSIX, on the console's handler thread with the main thread stopped on
// Windows, so async-signal-safe calls only. It returns false when it cannot run now, the main
// thread being inside the trace; the trace then calls PlatformExitOnSignal as the main thread
// leaves it.
void PlatformSetSignalExitHook(bool (*hook)(int code));
// The exit on a termination signal, from the main thread: as the handler ends the process.
[[noreturn]] void PlatformExitOnSignal();
// Ends the process with the code: standard output flushed, the terminal restored.
[[noreturn]] void PlatformExit(int code);

// The trace file (TAVLOADER_TRACE), one a process. Only a regular file is opened, never
// through a symbolic link at `name`, never waiting in the open, and only when no other
// process holds it (a lock, kept until the process ends); it is emptied once held.
bool PlatformTraceOpen(const char* name);
// Writes all `count` bytes, or fails. Async-signal-safe; it never waits for a reader.
bool PlatformTraceWrite(const void* bytes, size_t count);
void PlatformTraceClose();
enum TraceFileProblem {
    TraceFileNotRegular,  // a folder, a FIFO or a device
    TraceFileLink,        // a symbolic link, not followed
    TraceFileInUse,       // another process holds it
    TraceFileError,       // the system's `error`
};
struct TraceFileFailure {
    TraceFileProblem problem = TraceFileError;
    int error = 0;  // an errno value (mapped on Windows)
};
const TraceFileFailure& PlatformTraceFailure();

// True when a key press waits in the console (a character or an extended key; a modifier
// alone does not count). Never true when standard input is not a console.
bool ConsoleKeyWaiting();
// Reads the waiting key without echo; its value is not needed.
void ConsoleReadKey();
// True when no key can ever come: standard input is no console and is closed, a file, the
// null device, or a pipe whose writer has gone (a job run with </dev/null).
bool ConsoleInputEnded();

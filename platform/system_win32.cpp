// Clock, sleep, exit, trace file and console key on Windows.
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/backend_internal.h"
#include "platform/files.h"  // PlatformRemoveUnfinishedWrite
#include "platform/system.h"

namespace {

// Pins the start of the clock to the load of the program.
const DWORD ClockStart = GetTickCount();

// What the serial part hands over with its port (PlatformWatchPort); the console
// handler runs on its own thread.
std::atomic<void (*)()> ReleaseLines{nullptr};
std::atomic<void (*)()> FlushBeforeWait{nullptr};

// Flow control off and RTS low on the port opened last, if any.
void ReleasePort() {
    if (auto release = ReleaseLines.load()) {
        release();
    }
}

// Every way out of the process passes here, Ctrl-C's included: the one place for what the
// OS layer leaves behind. The main thread may be stopped holding a lock (the heap's, stdio's):
// none of those here.
void CleanUpForExit() {
    PlatformRemoveUnfinishedWrite();
}

std::atomic<bool (*)(int)> SignalExitHook{nullptr};
HANDLE MainThread = nullptr;  // stands still while the console handler writes the trace

// The line first, so the board is free whatever follows; then the trace's last line, with
// the main thread stopped as a signal handler would find it. When it is inside the trace, it
// ends the process itself as it leaves.
BOOL ExitOnConsoleEvent() {
    ReleasePort();
    bool stopped = false;
    if (MainThread != nullptr && SuspendThread(MainThread) != static_cast<DWORD>(-1)) {
        CONTEXT context;
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(MainThread, &context);  // returns once it has stopped
        stopped = true;
    }
    auto hook = SignalExitHook.load();
    if (stopped && hook != nullptr && !hook(2)) {
        ResumeThread(MainThread);
        for (;;) {
            Sleep(INFINITE);
        }
    }
    CleanUpForExit();
    ExitProcess(2);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            return ExitOnConsoleEvent();
        default:
            return FALSE;
    }
}

HANDLE TraceHandle = INVALID_HANDLE_VALUE;
TraceFileFailure TraceFailure;

bool RefuseTrace(TraceFileProblem problem, DWORD error) {
    TraceFailure.problem = problem;
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            TraceFailure.error = ENOENT;
            break;
        case ERROR_ACCESS_DENIED:
            TraceFailure.error = EACCES;
            break;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            TraceFailure.error = ENOSPC;
            break;
        default:
            TraceFailure.error = EIO;
            break;
    }
    return false;
}

// Keys that only modify others yield nothing on their own.
bool IsModifierKey(WORD key) {
    switch (key) {
        case VK_SHIFT:
        case VK_CONTROL:
        case VK_MENU:
        case VK_LSHIFT:
        case VK_RSHIFT:
        case VK_LCONTROL:
        case VK_RCONTROL:
        case VK_LMENU:
        case VK_RMENU:
        case VK_LWIN:
        case VK_RWIN:
        case VK_CAPITAL:
        case VK_NUMLOCK:
        case VK_SCROLL:
            return true;
        default:
            return false;
    }
}

// A key-down that yields a character or an extended key code (function, cursor keys).
bool IsKeyPress(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
        return false;
    }
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (key.uChar.AsciiChar != 0) {
        return true;
    }
    return !IsModifierKey(key.wVirtualKeyCode) && key.wVirtualKeyCode != 0;
}

HANDLE ConsoleInput() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || input == nullptr || !GetConsoleMode(input, &mode)) {
        return nullptr;  // not a console: no key is ever seen
    }
    return input;
}

}  // namespace

void PlatformInstallExitHandlers() {
    static bool installed = false;
    if (!installed) {
        installed = true;
        MainThread =
            OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, GetCurrentThreadId());
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
}

uint32_t PlatformMilliseconds() {
    PlatformInstallExitHandlers();
    return static_cast<uint32_t>(GetTickCount() - ClockStart);
}

void PlatformWatchPort(void (*releaseLines)(), void (*flushBeforeWait)()) {
    PlatformInstallExitHandlers();
    ReleaseLines = releaseLines;
    FlushBeforeWait = flushBeforeWait;
}

void PlatformSleep(int32_t milliseconds) {
    if (auto flush = FlushBeforeWait.load()) {
        flush();
    }
    if (milliseconds > 0) {
        Sleep(static_cast<DWORD>(milliseconds));
    }
}

// The programs find themselves as the shell found them (see FormSettingsPath).
bool PlatformOwnExecutable(char*, size_t) {
    return false;
}

void PlatformSetSignalExitHook(bool (*hook)(int code)) {
    SignalExitHook = hook;
}

void PlatformExitOnSignal() {
    ReleasePort();
    if (auto hook = SignalExitHook.load()) {
        hook(2);
    }
    CleanUpForExit();
    ExitProcess(2);
}

void PlatformExit(int code) {
    fflush(stdout);
    CleanUpForExit();
    exit(code);
}

// Shared for reading only, so a second writer is refused; a reparse point (a link) is opened
// as itself and refused.
bool PlatformTraceOpen(const char* name) {
    HANDLE file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return RefuseTrace(error == ERROR_SHARING_VIOLATION ? TraceFileInUse : TraceFileError,
                           error);
    }
    BY_HANDLE_FILE_INFORMATION info;
    TraceFileProblem problem = TraceFileError;
    DWORD error = 0;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        problem = TraceFileNotRegular;
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        problem = TraceFileLink;
    } else if (!SetEndOfFile(file)) {
        error = GetLastError();
    } else {
        TraceHandle = file;
        return true;
    }
    CloseHandle(file);
    return RefuseTrace(problem, error);
}

bool PlatformTraceWrite(const void* bytes, size_t count) {
    const char* next = static_cast<const char*>(bytes);
    while (count > 0) {
        const DWORD chunk = count > 0x10000000 ? 0x10000000 : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!WriteFile(TraceHandle, next, chunk, &written, nullptr)) {
            return RefuseTrace(TraceFileError, GetLastError());
        }
        if (written == 0) {
            return RefuseTrace(TraceFileError, ERROR_DISK_FULL);
        }
        next += written;
        count -= written;
    }
    return true;
}

void PlatformTraceClose() {
    if (TraceHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(TraceHandle);
        TraceHandle = INVALID_HANDLE_VALUE;
    }
}

const TraceFileFailure& PlatformTraceFailure() {
    return TraceFailure;
}

bool ConsoleKeyWaiting() {
    PlatformInstallExitHandlers();
    HANDLE input = ConsoleInput();
    if (input == nullptr) {
        return false;
    }
    INPUT_RECORD records[64];
    DWORD count = 0;
    if (!PeekConsoleInputA(input, records, 64, &count)) {
        return false;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (IsKeyPress(records[i])) {
            return true;
        }
    }
    // Only events that are no key presses (releases, modifiers, mouse, focus): drop them so
    // they do not fill the queue.
    if (count > 0) {
        DWORD read = 0;
        ReadConsoleInputA(input, records, count, &read);
    }
    return false;
}

void ConsoleReadKey() {
    HANDLE input = ConsoleInput();
    if (input == nullptr) {
        return;
    }
    INPUT_RECORD record;
    DWORD read = 0;
    while (ReadConsoleInputA(input, &record, 1, &read) && read == 1) {
        if (IsKeyPress(record)) {
            return;
        }
    }
}

// An open pipe may still bring a key; a pipe whose writer has gone, a file or the NUL
// device cannot.
bool ConsoleInputEnded() {
    if (ConsoleInput() != nullptr) {
        return false;
    }
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == INVALID_HANDLE_VALUE || input == nullptr) {
        return true;
    }
    switch (GetFileType(input)) {
        case FILE_TYPE_PIPE: {
            DWORD waiting = 0;
            return !PeekNamedPipe(input, nullptr, 0, nullptr, &waiting, nullptr) &&
                   GetLastError() == ERROR_BROKEN_PIPE;
        }
        case FILE_TYPE_DISK:
        case FILE_TYPE_CHAR:
            return true;
        default:
            return false;
    }
}

// Clock, sleep, exit and console key on Windows.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/backend_internal.h"
#include "platform/files.h"  // PlatformRemoveUnfinishedWrite
#include "platform/system.h"

namespace {

// Pins the start of the clock to the load of the program.
const DWORD ClockStart = GetTickCount();

// Taken by the first exit that runs it, so an interrupt during an exit (or the console
// handler's thread beside the main one) cannot run it twice; the lines are released first.
std::atomic<void (*)(int, bool)> ExitHook{nullptr};

void RunExitHook(int code, bool signalled) {
    if (auto hook = ExitHook.exchange(nullptr)) {
        hook(code, signalled);
    }
}

// What the serial part hands over with its port (PlatformWatchPort); the console handler
// runs on its own thread.
std::atomic<void (*)()> ReleaseLines{nullptr};
std::atomic<void (*)()> FlushBeforeWait{nullptr};

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (auto release = ReleaseLines.load()) {
                release();
            }
            PlatformRemoveUnfinishedWrite();
            RunExitHook(2, true);
            ExitProcess(2);
        default:
            return FALSE;
    }
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

void PlatformSetExitHook(void (*hook)(int code, bool signalled)) {
    ExitHook = hook;
}

void PlatformExit(int code) {
    PlatformRemoveUnfinishedWrite();
    RunExitHook(code, false);
    fflush(stdout);
    exit(code);
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

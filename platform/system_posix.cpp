// Clock, sleep, exit, trace file and console key on POSIX. The terminal is put into
// key-at-a-time mode only while a loader looks for a key, and given back on every way out of
// the process.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/backend_internal.h"
#include "platform/clock.h"
#include "platform/files.h"  // PlatformRemoveUnfinishedWrite
#include "platform/system.h"

namespace {

uint64_t StartMs() {
    static const uint64_t start = MonotonicMs();
    return start;
}

// Pins the start of the clock to the load of the program.
const uint64_t ClockStart = StartMs();

struct termios SavedTerminal;
volatile sig_atomic_t TerminalChanged = 0;
bool TerminalTried = false;

// Async-signal-safe: tcsetattr only.
void RestoreTerminal() {
    if (TerminalChanged) {
        tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
        TerminalChanged = 0;
    }
}

void RestoreTerminalAtExit() {
    RestoreTerminal();
}

// What the serial part hands over with its port (PlatformWatchPort).
std::atomic<void (*)()> ReleaseLines{nullptr};
std::atomic<void (*)()> FlushBeforeWait{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free, "read from a signal handler");

// Flow control off and RTS low on the port opened last, if any.
void ReleasePort() {
    if (auto release = ReleaseLines.load()) {
        release();
    }
}

// Every way out of the process passes here, a signal's included: the one place for what the
// OS layer leaves behind (the terminal's mode, files of its own). Async-signal-safe calls only.
void CleanUpForExit() {
    RestoreTerminal();
    PlatformRemoveUnfinishedWrite();
}

std::atomic<bool (*)(int)> SignalExitHook{nullptr};

// The line first, so the board is free whatever follows; then the trace's last line, unless
// the main thread is inside the trace (false: the trace ends the process when it leaves).
bool ExitOnSignal() {
    ReleasePort();
    auto hook = SignalExitHook.load();
    if (hook != nullptr && !hook(2)) {
        return false;
    }
    CleanUpForExit();
    _exit(2);
}

extern "C" void OnTerminationSignal(int) {
    const int savedErrno = errno;  // for the main thread, when it goes on
    ExitOnSignal();
    errno = savedErrno;
}

int TraceFd = -1;
TraceFileFailure TraceFailure;

bool RefuseTrace(TraceFileProblem problem, int error) {
    TraceFailure.problem = problem;
    TraceFailure.error = error;
    return false;
}

// Non-canonical, no echo; signals stay on so Ctrl-C still ends the run. Only when the
// process owns the terminal's foreground (a background job would be stopped by it).
bool EnterKeyMode() {
    if (TerminalTried) {
        return TerminalChanged != 0;
    }
    PlatformInstallExitHandlers();
    pid_t foreground = tcgetpgrp(STDIN_FILENO);
    if (foreground != -1 && foreground != getpgrp()) {
        return false;  // asked again once the job is in the foreground
    }
    TerminalTried = true;
    struct termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        return false;
    }
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    SavedTerminal = saved;
    atexit(RestoreTerminalAtExit);
    TerminalChanged = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        TerminalChanged = 0;
        return false;
    }
    return true;
}

// Reads one byte of the key if it comes within waitMs.
bool ReadKeyByte(unsigned char* byte, int waitMs) {
    struct pollfd pfd = {STDIN_FILENO, POLLIN, 0};
    for (;;) {
        int ready = poll(&pfd, 1, waitMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || !(pfd.revents & POLLIN)) {
            return false;
        }
        ssize_t n = read(STDIN_FILENO, byte, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n == 1;
    }
}

// The rest of a key sent as several bytes follows at once.
constexpr int kFollowMs = 30;

}  // namespace

void PlatformInstallExitHandlers() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int sig : signals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
            continue;  // ignored by whoever started us (nohup, background job)
        }
        struct sigaction action = {};
        action.sa_handler = OnTerminationSignal;
        sigfillset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);
}

uint32_t PlatformMilliseconds() {
    PlatformInstallExitHandlers();
    return static_cast<uint32_t>(MonotonicMs() - ClockStart);
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
    if (milliseconds <= 0) {
        return;
    }
    struct timespec left = {milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

bool PlatformOwnExecutable(char* out, size_t outSize) {
    const ssize_t length = outSize > 0 ? readlink("/proc/self/exe", out, outSize) : -1;
    if (length <= 0 || static_cast<size_t>(length) >= outSize || out[0] != '/') {
        return false;
    }
    out[length] = '\0';
    // A file replaced while the program runs is still reported in its folder.
    const char deleted[] = " (deleted)";
    const size_t mark = sizeof deleted - 1;
    if (static_cast<size_t>(length) > mark && strcmp(out + length - mark, deleted) == 0) {
        out[length - mark] = '\0';
    }
    return true;
}

void PlatformSetSignalExitHook(bool (*hook)(int code)) {
    SignalExitHook = hook;
}

void PlatformExitOnSignal() {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    ExitOnSignal();
    _exit(2);
}

void PlatformExit(int code) {
    fflush(stdout);
    CleanUpForExit();
    exit(code);
}

// A name that is no regular file is refused before it is opened: opening a device can have
// effects of its own. The checks on the descriptor hold against a swap in between.
bool PlatformTraceOpen(const char* name) {
    struct stat st;
    if (lstat(name, &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            return RefuseTrace(TraceFileLink, 0);
        }
        if (!S_ISREG(st.st_mode)) {
            return RefuseTrace(TraceFileNotRegular, 0);
        }
    }
    const int fd =
        open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return RefuseTrace(TraceFileError, errno);
    }
    int error = 0;
    TraceFileProblem problem = TraceFileError;
    if (fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        problem = TraceFileNotRegular;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        problem = error == EWOULDBLOCK ? TraceFileInUse : TraceFileError;
    } else if (ftruncate(fd, 0) != 0) {
        error = errno;  // emptied only once it is ours
    } else {
        TraceFd = fd;
        return true;
    }
    close(fd);
    return RefuseTrace(problem, error);
}

bool PlatformTraceWrite(const void* bytes, size_t count) {
    const char* next = static_cast<const char*>(bytes);
    while (count > 0) {
        const ssize_t n = write(TraceFd, next, count);
        if (n > 0) {
            next += n;
            count -= static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            return RefuseTrace(TraceFileError, n == 0 ? ENOSPC : errno);
        }
    }
    return true;
}

void PlatformTraceClose() {
    if (TraceFd >= 0) {
        close(TraceFd);
        TraceFd = -1;
    }
}

const TraceFileFailure& PlatformTraceFailure() {
    return TraceFailure;
}

// What standard input has to report right now (poll's revents; 0 when nothing).
static short StandardInputEvents() {
    struct pollfd pfd = {STDIN_FILENO, POLLIN, 0};
    int ready;
    do {
        ready = poll(&pfd, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 ? pfd.revents : 0;
}

bool ConsoleKeyWaiting() {
    if (!isatty(STDIN_FILENO) || !EnterKeyMode()) {
        return false;
    }
    return (StandardInputEvents() & POLLIN) != 0;
}

void ConsoleReadKey() {
    unsigned char byte = 0;
    if (!ReadKeyByte(&byte, -1)) {
        return;
    }
    if (byte == 0x1B) {
        // Cursor and function keys: ESC [ params final, or ESC O letter.
        unsigned char next = 0;
        if (!ReadKeyByte(&next, kFollowMs)) {
            return;  // the Escape key itself
        }
        if (next == '[') {
            for (int i = 0; i < 16 && ReadKeyByte(&next, kFollowMs); ++i) {
                if (next >= 0x40 && next <= 0x7E) {
                    break;
                }
            }
        } else if (next == 'O') {
            ReadKeyByte(&next, kFollowMs);
        }
        return;
    }
    // A character of several UTF-8 bytes.
    int more = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
    for (unsigned char follow = 0; more > 0 && ReadKeyByte(&follow, kFollowMs); --more) {
    }
}

// An open pipe or socket may still bring a key (as it may on a terminal). Once a pipe's
// writer has gone, poll reports a hang-up; a socket whose peer stopped sending only shows
// as readable, with nothing to read.
bool ConsoleInputEnded() {
    if (isatty(STDIN_FILENO)) {
        return false;
    }
    struct stat st;
    if (fstat(STDIN_FILENO, &st) != 0 || S_ISREG(st.st_mode) || S_ISCHR(st.st_mode) ||
        S_ISDIR(st.st_mode)) {
        return true;
    }
    const short events = StandardInputEvents();
    char byte;
    return (events & POLLHUP) != 0 || (S_ISSOCK(st.st_mode) && (events & POLLIN) != 0 &&
                                       recv(STDIN_FILENO, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0);
}

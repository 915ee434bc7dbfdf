// libptylines.so: preloaded into a loader, Wine or a serial server, it gives one pty slave
// the modem lines of a real port (kept in the state file named by PTYLINES_STATE), and it
// refuses every open of the machine's serial console, whatever the name used.
//
// Only libc and libdl: no C++ runtime, no exceptions, no thread-safe statics.
#undef _FORTIFY_SOURCE  // the open() wrappers below are the real functions, not inlines

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>

#include "targetsim/ptylines_state.h"

#define PTYLINES_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr long kPollNs = 200 * 1000;
constexpr long kDefaultDrainMs = 1000;

// The next definition of a libc function (the real one, or another preloaded wrapper).
void* NextSymbol(std::atomic<void*>& slot, const char* name) {
    void* symbol = slot.load(std::memory_order_acquire);
    if (symbol == nullptr) {
        symbol = dlsym(RTLD_NEXT, name);
        slot.store(symbol, std::memory_order_release);
    }
    return symbol;
}

#define NEXT(name)                         \
    static std::atomic<void*> next_##name; \
    auto real = reinterpret_cast<decltype(&name)>(NextSymbol(next_##name, #name))

bool gDebug = false;
// One state per pty: a serial server may serve several boards' ptys in one process.
constexpr int kMaxStates = 16;
PtyLinesState* gStates[kMaxStates] = {};
int gStateCount = 0;
long gDrainMs = kDefaultDrainMs;
pthread_once_t gOnce = PTHREAD_ONCE_INIT;

ssize_t RealWrite(int fd, const void* data, size_t count) {
    NEXT(write);
    return real(fd, data, count);
}

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    if (!gDebug) {
        return;
    }
    char line[512];
    int n = snprintf(line, sizeof line, "ptylines[%d]: ", static_cast<int>(getpid()));
    va_list args;
    va_start(args, format);
    vsnprintf(line + n, sizeof line - static_cast<size_t>(n), format, args);
    va_end(args);
    size_t length = strlen(line);
    if (length < sizeof line - 1) {
        line[length++] = '\n';
    }
    ssize_t ignored = RealWrite(2, line, length);
    (void)ignored;
}

// Done once, at the first use of the lines rather than at load time.
void Setup() {
    const char* debug = getenv("PTYLINES_DEBUG");
    gDebug = debug != nullptr && debug[0] != '\0' && strcmp(debug, "0") != 0;
    const char* drain = getenv("PTYLINES_DRAIN_MS");
    if (drain != nullptr && atol(drain) > 0) {
        gDrainMs = atol(drain);
    }
    const char* paths = getenv("PTYLINES_STATE");
    if (paths == nullptr) {
        return;
    }
    // Several state files are separated by ':'.
    for (const char* start = paths; *start != '\0' && gStateCount < kMaxStates;) {
        const char* end = strchr(start, ':');
        size_t length = end != nullptr ? static_cast<size_t>(end - start) : strlen(start);
        char path[PATH_MAX];
        if (length > 0 && length < sizeof path) {
            memcpy(path, start, length);
            path[length] = '\0';
            PtyLinesState* state = PtyLinesMap(path);
            Log(state != nullptr ? "lines from %s" : "cannot map %s: its pty keeps no lines", path);
            if (state != nullptr) {
                gStates[gStateCount++] = state;
            }
        }
        start += length + (end != nullptr ? 1 : 0);
    }
}

// The state whose pty slave the fd is, else nullptr. A state that names no slave yet serves
// any pty slave that no other state names.
PtyLinesState* LineOf(int fd) {
    pthread_once(&gOnce, Setup);
    if (gStateCount == 0) {
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return nullptr;
    }
    unsigned kind = major(st.st_rdev);
    if (kind < 136 || kind > 143) {  // the Unix98 pty slaves
        return nullptr;
    }
    PtyLinesState* unnamed = nullptr;
    for (int i = 0; i < gStateCount; ++i) {
        uint64_t line = gStates[i]->slaveDevice.load();
        if (line == st.st_rdev) {
            return gStates[i];
        }
        if (line == 0 && unnamed == nullptr) {
            unnamed = gStates[i];
        }
    }
    return unnamed;
}

// The file that tests name in the console's place (PTYLINES_STAND_IN, a resolved path), so
// that every open function is tried on something harmless.
const char* StandIn() {
    const char* standIn = getenv("PTYLINES_STAND_IN");
    return standIn != nullptr && standIn[0] != '\0' ? standIn : nullptr;
}

// The serial console: ttyS* (major 4 from minor 64) and the console alias.
bool IsConsoleName(const char* path) {
    return strncmp(path, "/dev/ttyS", 9) == 0 ||
           (StandIn() != nullptr && strcmp(path, StandIn()) == 0);
}

bool IsConsoleDevice(dev_t device) {
    return (major(device) == 4 && minor(device) >= 64) ||
           (major(device) == 5 && minor(device) == 1);
}

// Decided from the name, the device number and the resolved name, all without opening.
bool Refused(int dirfd, const char* path) {
    if (path == nullptr) {
        return false;
    }
    bool refused = IsConsoleName(path);
    struct stat st;
    if (!refused && fstatat(dirfd, path, &st, 0) == 0 &&
        (S_ISCHR(st.st_mode) || StandIn() != nullptr)) {
        refused = S_ISCHR(st.st_mode) && IsConsoleDevice(st.st_rdev);
        char name[PATH_MAX];
        if (path[0] != '/' && dirfd != AT_FDCWD) {
            snprintf(name, sizeof name, "/proc/self/fd/%d/%s", dirfd, path);
        } else {
            snprintf(name, sizeof name, "%s", path);
        }
        char resolved[PATH_MAX];
        if (!refused && realpath(name, resolved) != nullptr) {
            refused = IsConsoleName(resolved);
        }
    }
    if (refused) {
        Log("refused to open %s", path);
        errno = EACCES;
    }
    return refused;
}

// The host's bytes reach the board only when it reads them from the master; a rate change
// waits (bounded) until it has, or the board would take them at the new rate. tcdrain and
// TIOCOUTQ do not help here: a pty slave reports its output drained at once.
void WaitDrained(PtyLinesState* state) {
    state->rateChanges.fetch_add(1);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!PtyLinesDrained(state)) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (ms >= gDrainMs) {
            state->drainTimeouts.fetch_add(1);
            Log("rate change: the board left %llu bytes unread",
                static_cast<unsigned long long>(state->hostWritten.load() -
                                                state->boardRead.load()));
            return;
        }
        timespec pause = {0, kPollNs};
        nanosleep(&pause, nullptr);
    }
}

// Linux's struct termios2 (TCGETS2), whose header clashes with <termios.h>.
struct KernelTermios2 {
    tcflag_t iflag, oflag, cflag, lflag;
    cc_t line;
    cc_t cc[19];
    speed_t ispeed, ospeed;
};
constexpr unsigned long kTcgets2 = _IOR('T', 0x2A, KernelTermios2);
constexpr tcflag_t kRateBits = CBAUD | CBAUDEX;

// TCSETS*/TCSETS2*: whether the new settings change the line's rate.
bool IoctlChangesRate(int fd, unsigned long request, const void* arg) {
    if (_IOC_TYPE(request) != 'T' || arg == nullptr) {
        return false;
    }
    unsigned nr = _IOC_NR(request);
    bool plain = request == TCSETS || request == TCSETSW || request == TCSETSF;
    bool two = nr >= 0x2B && nr <= 0x2D && _IOC_SIZE(request) == sizeof(KernelTermios2);
    if (!plain && !two) {
        return false;
    }
    NEXT(ioctl);
    KernelTermios2 now;
    if (real(fd, kTcgets2, &now) != 0) {
        return true;  // cannot tell: wait to be safe
    }
    const auto* wanted = static_cast<const KernelTermios2*>(arg);  // cflag is at the same place
    if ((wanted->cflag & kRateBits) != (now.cflag & kRateBits)) {
        return true;
    }
    return two && (wanted->ospeed != now.ospeed || wanted->ispeed != now.ispeed);
}

void BoardCounts(const PtyLinesState* state, serial_icounter_struct* counts) {
    memset(counts, 0, sizeof *counts);
    counts->cts = static_cast<int>(state->ctsChanges.load());
    counts->dsr = static_cast<int>(state->dsrChanges.load());
    counts->dcd = static_cast<int>(state->cdChanges.load());
    counts->rng = static_cast<int>(state->riChanges.load());
    counts->tx = static_cast<int>(state->hostWritten.load());
}

// The changes of the board lines in the mask, summed: it moves whenever one of them does.
uint32_t ChangesOf(const PtyLinesState* state, uint32_t mask) {
    return ((mask & TIOCM_CTS) != 0 ? state->ctsChanges.load() : 0) +
           ((mask & TIOCM_DSR) != 0 ? state->dsrChanges.load() : 0) +
           ((mask & TIOCM_CD) != 0 ? state->cdChanges.load() : 0) +
           ((mask & TIOCM_RI) != 0 ? state->riChanges.load() : 0);
}

// TIOCMIWAIT: sleeps until one of the board lines in the mask changes, as the kernel does.
int WaitForChange(PtyLinesState* state, uint32_t mask) {
    const uint32_t before = ChangesOf(state, mask);
    state->lineWaiters.fetch_add(1);
    int result = 0;
    while (ChangesOf(state, mask) == before) {
        timespec pause = {0, 1000 * 1000};
        if (nanosleep(&pause, nullptr) != 0) {
            result = -1;  // EINTR, as the kernel's wait
            break;
        }
    }
    state->lineWaiters.fetch_sub(1);
    return result;
}

// Answers a modem-line request on the line; false for requests the real ioctl serves.
bool LineIoctl(PtyLinesState* state, int fd, unsigned long request, void* arg, int* result) {
    *result = 0;
    int* bits = static_cast<int*>(arg);
    switch (request) {
        case TIOCMGET:
            *bits = static_cast<int>(PtyLinesAll(state));
            return true;
        case TIOCMSET:
            PtyLinesChangeHostLines(state, static_cast<uint32_t>(*bits), kPtyLinesHostMask);
            break;
        case TIOCMBIS:
            PtyLinesChangeHostLines(state, static_cast<uint32_t>(*bits), 0);
            break;
        case TIOCMBIC:
            PtyLinesChangeHostLines(state, 0, static_cast<uint32_t>(*bits));
            break;
        case TIOCGSERIAL: {
            auto* serial = static_cast<serial_struct*>(arg);
            memset(serial, 0, sizeof *serial);
            serial->type = PORT_16550A;
            serial->baud_base = 115200;
            serial->xmit_fifo_size = 16;
            serial->flags = static_cast<int>(state->serialFlags.load());
            return true;
        }
        case TIOCSSERIAL: {
            auto flags = static_cast<uint32_t>(static_cast<const serial_struct*>(arg)->flags);
            state->serialFlags.store(flags);
            state->lowLatency.store((flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0);
            state->serialSets.fetch_add(1);
            Log("serial flags %#x", flags);
            return true;
        }
        case TIOCMIWAIT:
            *result = WaitForChange(state, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg)));
            return true;
        case TIOCGICOUNT:
            BoardCounts(state, static_cast<serial_icounter_struct*>(arg));
            return true;
        default:
            if (IoctlChangesRate(fd, request, arg)) {
                WaitDrained(state);
            }
            return false;
    }
    Log("host lines %#x", state->hostLines.load());
    return true;
}

bool IsLineRequest(unsigned long request) {
    switch (request) {
        case TIOCMGET:
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
        case TIOCGSERIAL:
        case TIOCSSERIAL:
        case TIOCMIWAIT:
        case TIOCGICOUNT:
            return true;
    }
    return _IOC_TYPE(request) == 'T' && _IOC_DIR(request) == _IOC_WRITE;  // TCSETS2 and kin
}

void CountWritten(int fd, ssize_t written) {
    if (written > 0) {
        if (PtyLinesState* state = LineOf(fd)) {
            state->hostWritten.fetch_add(static_cast<uint64_t>(written));
        }
    }
}

int ModeOf(int flags, va_list args) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, int) : 0;
}

}  // namespace

// Tells a test that the library is in the process.
PTYLINES_EXPORT int PtyLinesLoaded() {
    return 1;
}

// The console rule on a name and a device number alone, for tests that must open nothing.
PTYLINES_EXPORT int PtyLinesIsConsole(const char* name, unsigned major, unsigned minor) {
    return IsConsoleName(name) || IsConsoleDevice(makedev(major, minor));
}

PTYLINES_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    NEXT(ioctl);
    if (request == TCSETS || request == TCSETSW || request == TCSETSF || IsLineRequest(request)) {
        if (PtyLinesState* state = LineOf(fd)) {
            int result = 0;
            if (LineIoctl(state, fd, request, arg, &result)) {
                return result;
            }
        }
    }
    return real(fd, request, arg);
}

PTYLINES_EXPORT int tcsetattr(int fd, int when, const struct termios* tio) {
    NEXT(tcsetattr);
    if (PtyLinesState* state = LineOf(fd)) {
        struct termios now;
        if (tio == nullptr || tcgetattr(fd, &now) != 0 || cfgetospeed(&now) != cfgetospeed(tio) ||
            cfgetispeed(&now) != cfgetispeed(tio)) {
            WaitDrained(state);
        }
    }
    return real(fd, when, tio);
}

PTYLINES_EXPORT ssize_t write(int fd, const void* data, size_t count) {
    ssize_t written = RealWrite(fd, data, count);
    CountWritten(fd, written);
    return written;
}

PTYLINES_EXPORT ssize_t writev(int fd, const struct iovec* parts, int count) {
    NEXT(writev);
    ssize_t written = real(fd, parts, count);
    CountWritten(fd, written);
    return written;
}

// Every way to open a file by name: refused for the console, else the real call.
#define PTYLINES_OPEN(name, dirfd, params, call, flags) \
    PTYLINES_EXPORT int name params {                   \
        va_list args;                                   \
        va_start(args, flags);                          \
        int mode = ModeOf(flags, args);                 \
        va_end(args);                                   \
        if (Refused(dirfd, path)) {                     \
            return -1;                                  \
        }                                               \
        NEXT(name);                                     \
        return call;                                    \
    }

PTYLINES_OPEN(open, AT_FDCWD, (const char* path, int flags, ...), real(path, flags, mode), flags)
PTYLINES_OPEN(open64, AT_FDCWD, (const char* path, int flags, ...), real(path, flags, mode), flags)
PTYLINES_OPEN(openat, dirfd, (int dirfd, const char* path, int flags, ...),
              real(dirfd, path, flags, mode), flags)
PTYLINES_OPEN(openat64, dirfd, (int dirfd, const char* path, int flags, ...),
              real(dirfd, path, flags, mode), flags)

extern "C" {
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
}

PTYLINES_EXPORT int __open_2(const char* path, int flags) {
    NEXT(__open_2);
    return Refused(AT_FDCWD, path) ? -1 : real(path, flags);
}

PTYLINES_EXPORT int __open64_2(const char* path, int flags) {
    NEXT(__open64_2);
    return Refused(AT_FDCWD, path) ? -1 : real(path, flags);
}

PTYLINES_EXPORT int __openat_2(int dirfd, const char* path, int flags) {
    NEXT(__openat_2);
    return Refused(dirfd, path) ? -1 : real(dirfd, path, flags);
}

PTYLINES_EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
    NEXT(__openat64_2);
    return Refused(dirfd, path) ? -1 : real(dirfd, path, flags);
}

PTYLINES_EXPORT int creat(const char* path, mode_t mode) {
    NEXT(creat);
    return Refused(AT_FDCWD, path) ? -1 : real(path, mode);
}

PTYLINES_EXPORT int creat64(const char* path, mode_t mode) {
    NEXT(creat64);
    return Refused(AT_FDCWD, path) ? -1 : real(path, mode);
}

PTYLINES_EXPORT FILE* fopen(const char* path, const char* mode) {
    NEXT(fopen);
    return Refused(AT_FDCWD, path) ? nullptr : real(path, mode);
}

PTYLINES_EXPORT FILE* fopen64(const char* path, const char* mode) {
    NEXT(fopen64);
    return Refused(AT_FDCWD, path) ? nullptr : real(path, mode);
}

PTYLINES_EXPORT FILE* freopen(const char* path, const char* mode, FILE* stream) {
    NEXT(freopen);
    return Refused(AT_FDCWD, path) ? nullptr : real(path, mode, stream);
}

PTYLINES_EXPORT FILE* freopen64(const char* path, const char* mode, FILE* stream) {
    NEXT(freopen64);
    return Refused(AT_FDCWD, path) ? nullptr : real(path, mode, stream);
}

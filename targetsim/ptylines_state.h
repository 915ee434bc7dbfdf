// The modem lines of one pty link, shared through a small mapped file between the host's
// side (libptylines.so, preloaded into a loader, Wine or a serial server) and the board's
// side (the simulated board on the pty master, or a test).
//
// The host owns RTS and DTR; the board owns CTS, DSR, CD and RI. Every change of a host
// line is also counted as a rising or falling edge, so a pulse whose two edges come back
// to back is seen by a board that only looks now and then. Every field is an atomic, so
// both sides may touch the file at any time without locks. One board at a time holds the
// file (a lock on it that hosts never take).
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>

constexpr uint32_t kPtyLinesMagic = 0x4C595450;  // "PTYL"
constexpr uint32_t kPtyLinesVersion = 1;
constexpr size_t kPtyLinesFileSize = 4096;
constexpr uint32_t kPtyLinesHostMask = TIOCM_RTS | TIOCM_DTR;
constexpr uint32_t kPtyLinesBoardMask = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI;

struct PtyLinesState {
    std::atomic<uint32_t> magic;    // kPtyLinesMagic once the file is ready
    std::atomic<uint32_t> version;  // kPtyLinesVersion
    // The pty slave (st_rdev) whose lines these are; 0 gives them to every pty slave.
    std::atomic<uint64_t> slaveDevice;
    std::atomic<uint32_t> hostLines;   // TIOCM_RTS | TIOCM_DTR as the host left them
    std::atomic<uint32_t> boardLines;  // TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI
    std::atomic<uint32_t> rtsRises;
    std::atomic<uint32_t> rtsFalls;
    std::atomic<uint32_t> dtrRises;
    std::atomic<uint32_t> dtrFalls;
    // Changes of each board line, for TIOCMIWAIT and TIOCGICOUNT.
    std::atomic<uint32_t> ctsChanges;
    std::atomic<uint32_t> dsrChanges;
    std::atomic<uint32_t> cdChanges;
    std::atomic<uint32_t> riChanges;
    std::atomic<uint32_t> lineWaiters;  // host threads in TIOCMIWAIT, past their first look
    std::atomic<uint32_t> serialFlags;  // ASYNC_* flags of the last TIOCSSERIAL
    std::atomic<uint32_t> serialSets;   // TIOCSSERIAL calls
    std::atomic<uint32_t> lowLatency;   // 1 while the last TIOCSSERIAL asked ASYNC_LOW_LATENCY
    // Nonzero while a board counts what it reads from the master in boardRead; only then
    // does a rate change wait for the bytes sent before it.
    std::atomic<uint32_t> boardAttached;
    std::atomic<uint64_t> hostWritten;    // bytes the host wrote to the slave
    std::atomic<uint64_t> boardRead;      // bytes the board read from the master
    std::atomic<uint32_t> rateChanges;    // rate changes on the line (each waited for the drain)
    std::atomic<uint32_t> drainTimeouts;  // rate changes whose wait ran out first
};

static_assert(std::atomic<uint32_t>::is_always_lock_free &&
                  std::atomic<uint64_t>::is_always_lock_free,
              "the state is shared between processes");
static_assert(sizeof(PtyLinesState) <= kPtyLinesFileSize);

// Host side: maps a state file the board's side made. Returns nullptr unless it holds a
// state of this version.
inline PtyLinesState* PtyLinesMap(const char* path) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    void* memory = fstat(fd, &st) == 0 && st.st_size >= off_t{kPtyLinesFileSize}
                       ? mmap(nullptr, kPtyLinesFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                       : MAP_FAILED;
    close(fd);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    auto* state = static_cast<PtyLinesState*>(memory);
    if (state->magic.load() != kPtyLinesMagic || state->version.load() != kPtyLinesVersion) {
        munmap(memory, kPtyLinesFileSize);
        return nullptr;
    }
    return state;
}

// Why the board's side did not take a state file.
enum PtyLinesRefusal {
    kPtyLinesTaken = 0,
    kPtyLinesInUse,     // another board holds its lock
    kPtyLinesNotAFile,  // a symbolic link, a folder, a device, ...
    kPtyLinesForeign,   // another user's file
    kPtyLinesNotState,  // a file of something else
    kPtyLinesFailed,    // a system call failed (errno tells)
};

inline PtyLinesRefusal PtyLinesGiveUp(int fd, PtyLinesRefusal why) {
    const int error = errno;
    close(fd);
    errno = error;
    return why;
}

// Board side: takes the state file at path, or makes it (mode 0600), and maps it afresh. The
// lock that refuses a second board lasts while *lockFd stays open; hosts never lock. Links
// are not followed and another user's file, or a non-empty one without the magic, is never
// written. The file only ever grows: a host that has it mapped dies of SIGBUS when it shrinks.
inline PtyLinesRefusal PtyLinesTakeBoard(const char* path, PtyLinesState** state, int* lockFd) {
    struct stat before;
    const bool exists = lstat(path, &before) == 0;
    if (exists && !S_ISREG(before.st_mode)) {
        return kPtyLinesNotAFile;  // not even opened: it may be a device
    }
    if (!exists && errno != ENOENT) {
        return kPtyLinesFailed;
    }
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = open(path, exists ? flags : flags | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        return errno == ELOOP ? kPtyLinesNotAFile : kPtyLinesFailed;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return PtyLinesGiveUp(fd, kPtyLinesFailed);
    }
    if (!S_ISREG(st.st_mode) || (exists && st.st_ino != before.st_ino)) {
        return PtyLinesGiveUp(fd, kPtyLinesNotAFile);
    }
    if (st.st_uid != geteuid()) {
        return PtyLinesGiveUp(fd, kPtyLinesForeign);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return PtyLinesGiveUp(fd, errno == EWOULDBLOCK ? kPtyLinesInUse : kPtyLinesFailed);
    }
    uint32_t magic = 0;
    if (st.st_size > 0 &&
        (pread(fd, &magic, sizeof magic, 0) != ssize_t{sizeof magic} || magic != kPtyLinesMagic)) {
        return PtyLinesGiveUp(fd, kPtyLinesNotState);
    }
    if (st.st_size < off_t{kPtyLinesFileSize} && ftruncate(fd, kPtyLinesFileSize) != 0) {
        return PtyLinesGiveUp(fd, kPtyLinesFailed);
    }
    void* memory = mmap(nullptr, kPtyLinesFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        return PtyLinesGiveUp(fd, kPtyLinesFailed);
    }
    static_cast<PtyLinesState*>(memory)->magic.store(0);  // a host takes no half-made state
    auto* fresh = new (memory) PtyLinesState{};
    fresh->version.store(kPtyLinesVersion);
    fresh->magic.store(kPtyLinesMagic);  // last: the state is complete
    *state = fresh;
    *lockFd = fd;
    return kPtyLinesTaken;
}

inline void PtyLinesUnmap(PtyLinesState* state) {
    if (state != nullptr) {
        munmap(state, kPtyLinesFileSize);
    }
}

// Board side: names the pty slave the lines belong to and starts the drain accounting.
inline void PtyLinesAttachBoard(PtyLinesState* state, uint64_t slaveDevice) {
    state->slaveDevice.store(slaveDevice);
    state->boardRead.store(state->hostWritten.load());
    state->boardAttached.store(1);
}

// Board side: count every byte read from the master.
inline void PtyLinesBoardRead(PtyLinesState* state, uint64_t bytes) {
    state->boardRead.fetch_add(bytes);
}

// Board side: the edges a host line counter moved by since the board saw `seen`. A counter
// that went back belongs to a state made afresh and counts from zero. Edges between two looks
// reach the board at one instant, so more than kPtyLinesEdgesPerLook tell it nothing more:
// a counter scribbled over never means billions of edges.
constexpr uint32_t kPtyLinesEdgesPerLook = 2;
inline uint32_t PtyLinesEdgesSince(uint32_t seen, uint32_t now) {
    const uint32_t edges = now >= seen ? now - seen : now;
    return edges < kPtyLinesEdgesPerLook ? edges : kPtyLinesEdgesPerLook;
}

// Board side: raises or lowers CTS, DSR, CD or RI (TIOCM_* bits; several at once).
inline void PtyLinesSetBoardLines(PtyLinesState* state, uint32_t lines, bool on) {
    lines &= kPtyLinesBoardMask;
    uint32_t old = on ? state->boardLines.fetch_or(lines) : state->boardLines.fetch_and(~lines);
    uint32_t changed = (on ? ~old : old) & lines;
    const struct {
        uint32_t line;
        std::atomic<uint32_t>* count;
    } counters[] = {{TIOCM_CTS, &state->ctsChanges},
                    {TIOCM_DSR, &state->dsrChanges},
                    {TIOCM_CD, &state->cdChanges},
                    {TIOCM_RI, &state->riChanges}};
    for (const auto& c : counters) {
        if ((changed & c.line) != 0) {
            c.count->fetch_add(1);
        }
    }
}

// Host side: sets and clears RTS/DTR in one step and counts their edges.
inline void PtyLinesChangeHostLines(PtyLinesState* state, uint32_t set, uint32_t clear) {
    uint32_t old = state->hostLines.load();
    uint32_t now = 0;
    do {
        now = ((old & ~clear) | set) & kPtyLinesHostMask;
    } while (!state->hostLines.compare_exchange_weak(old, now));
    uint32_t rose = now & ~old;
    uint32_t fell = old & ~now;
    if ((rose & TIOCM_RTS) != 0) {
        state->rtsRises.fetch_add(1);
    }
    if ((fell & TIOCM_RTS) != 0) {
        state->rtsFalls.fetch_add(1);
    }
    if ((rose & TIOCM_DTR) != 0) {
        state->dtrRises.fetch_add(1);
    }
    if ((fell & TIOCM_DTR) != 0) {
        state->dtrFalls.fetch_add(1);
    }
}

// Every line as TIOCMGET reports it on the host's side.
inline uint32_t PtyLinesAll(const PtyLinesState* state) {
    return state->hostLines.load() | state->boardLines.load();
}

// True when the board has read everything the host wrote (or no board counts).
inline bool PtyLinesDrained(const PtyLinesState* state) {
    return state->boardAttached.load() == 0 || state->boardRead.load() >= state->hostWritten.load();
}

// The modem lines of one pty link, shared through a small mapped file between the host's
// side (libptylines.so, preloaded into a loader, Wine or a serial server) and the board's
// side (the simulated board on the pty master, or a test).
//
// The host owns RTS and DTR; the board owns CTS, DSR, CD and RI. Every change of a host
// line is also counted as a rising or falling edge, so a pulse whose two edges come back
// to back is seen by a board that only looks now and then. Every field is an atomic, so
// both sides may touch the file at any time without locks.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

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

// Maps the state file. With create the file is made (or emptied) and initialised; without,
// it must already hold a state of this version. Returns nullptr on any failure.
inline PtyLinesState* PtyLinesMap(const char* path, bool create) {
    int fd =
        create ? open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600) : open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    bool ready = create ? ftruncate(fd, 0) == 0 && ftruncate(fd, kPtyLinesFileSize) == 0
                        : fstat(fd, &st) == 0 && st.st_size >= off_t{kPtyLinesFileSize};
    void* memory = ready
                       ? mmap(nullptr, kPtyLinesFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                       : MAP_FAILED;
    close(fd);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    auto* state = static_cast<PtyLinesState*>(memory);
    if (create) {
        state->version.store(kPtyLinesVersion);
        state->magic.store(kPtyLinesMagic);  // last: the file is complete
    } else if (state->magic.load() != kPtyLinesMagic || state->version.load() != kPtyLinesVersion) {
        munmap(memory, kPtyLinesFileSize);
        return nullptr;
    }
    return state;
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

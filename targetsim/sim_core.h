// What every transport of tavsim shares: the one board, the clock, the log (board events and
// line changes), the RAM image and the event loop that feeds the board and hands its paced
// output to the transport. A transport ("front end") only moves bytes and line changes
// between its host connection and the calls below.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "targetsim/board.h"
#include "targetsim/line_timing.h"

// The calls a front end offers to the loop; one front end serves a run.
struct SimFrontEnd {
    // Appends the descriptors to wait on (listeners, the host's connection).
    void (*AddPollFds)(std::vector<pollfd>* fds);
    // Handles what poll reported on the descriptors it added, in the same order.
    void (*HandleEvents)(const pollfd* fds, size_t count);
    bool (*HostAttached)();
    // How many board bytes it takes now; 0 holds them back on the board's side.
    size_t (*OutputRoom)();
    void (*PutOutput)(uint8_t byte);
    // CTS differs from what the host was last told.
    void (*ReportCts)(bool cts);
    // Gives pending output to the host as far as it takes it, without waiting.
    void (*Flush)();
    // True once a host has come and gone (for --once).
    bool (*ServedOne)();
    // Last output, then every descriptor closed (sockets unlinked).
    void (*Shutdown)();
};

struct SimOptions {
    std::string ramImagePath;  // written when the RAM program starts; empty: none
    bool once = false;         // end when the first host has gone
    FILE* log = stderr;
    // The whole log of a run stops at this size, with a line saying so.
    uint64_t logLimitBytes = uint64_t{64} << 20;
    // Board output waits in a USB adapter's buffer this long at most (0: no adapter).
    uint64_t adapterLatencyUs = 0;
    bool pacingReport = false;  // at the end, log how late deliveries were
};

// Starts the clock, creates the board, installs the stop signals.
void SimInit(const BoardOptions& board, const SimOptions& options);
uint64_t SimNowUs();
// One log line: a time stamp, then the text as printf formats it (cut at 1000 bytes). Nothing
// once the log has reached its bound.
void SimLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The host's side of the line, for front ends.
void SimHostAttached(const char* how);
void SimHostDetached(const char* why);
void SimHostByte(uint8_t byte);
// The rate the host set its port to; a change is logged as a line event.
void SimSetHostBaud(int32_t baud);
void SimSetRts(bool on);
// Hardware flow control: the port drives RTS high while handshaking.
void SimSetFlowControl(bool hardware);
// Hardware flow control switched where the port does not drive RTS (a pty): logged only;
// RTS comes and goes through SimSetRts.
void SimNoteFlowControl(bool hardware);
// False while the board's output is backed up (a host that does not read): the front end
// then stops reading the host, so its transport holds the host back.
bool SimTakesHostInput();
// The host's input purged: what the board sent and the host has not got yet.
void SimPurgeHostInput();
// CTS now; the host counts as told of it.
bool SimCurrentCts();

// Serves until a stop signal (or, with --once, the first host gone); then shuts the front
// end down, logs the end and frees the board.
void SimRun(const SimFrontEnd& front);

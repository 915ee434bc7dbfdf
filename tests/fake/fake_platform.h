// In-process stand-in for the OS layer's serial port, clock, sleep, exit and console key:
// the port is wired to the board model (or to a scripted responder), time is virtual so
// the 2-second time-outs cost nothing, and PlatformExit throws ProcessExit. The trace file is
// a real one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/serial_port.h"
#include "targetsim/board.h"

// Thrown by PlatformExit; ExitLoader and every fatal error end in it.
struct ProcessExit {
    int code;
};

// Starts afresh: virtual clock at 0, a new board with these options, no port open, no
// scripted responder, no keys, no injected failures, empty wire log. Also resets the
// process-wide state of the link and the reader (driver tests also call
// ResetDriverState).
void FakeReset(const BoardOptions& options = BoardOptions());
Board* FakeBoard();

// Replaces the board for data bytes: each byte the host writes is handed to the responder,
// which appends the bytes the host is to receive. CTS then stays on.
using FakeResponder = std::function<void(uint8_t written, std::vector<uint8_t>& reply)>;
void FakeSetResponder(FakeResponder responder);

// Each byte the responder queued reaches the host this long after the read before it
// (0, the default: at once). Lets a babbling target use up virtual time.
void FakeSetReplyGapUs(uint64_t us);

uint64_t FakeNowUs();
void FakeAdvanceUs(uint64_t us);

// Every byte the host wrote, in order (dropped writes are not in it).
const std::vector<uint8_t>& FakeWrittenBytes();
// What the host did on the line, in order: '>' a byte written, '<' a byte read, 'c' a look
// at CTS. Tells a host that sends ahead from one that waits for each answer.
const std::string& FakeLineEvents();
// Clears both.
void FakeClearWrittenBytes();

// A key press that appears in the console at this virtual time.
void FakeScheduleKey(uint32_t atMs);
bool FakeKeyConsumed();
// Standard input at its end: no key can come (off after FakeReset).
void FakeSetInputEnded(bool ended);

// The port is a network serial server (a local line after FakeReset): the board's bytes
// reach the host a round trip late, and after an RTS change CTS shows only after ctsLagMs.
// SerialGetDelays reports both.
void FakeSetNetwork(uint32_t roundTripMs, uint32_t ctsLagMs = 0);

// A termination signal as the handler takes it: the trace's last line, then ProcessExit{2};
// while the trace is busy, only when it is done. The second one comes during the trace's next
// write to its file.
void FakeSignal();
void FakeSignalAtNextTraceWrite();

// The next call of this serial operation fails with the error code ("open", "setupqueues",
// "purge", "settimeouts", "getsettings", "setsettings", "setrts", "getcts", "read",
// "write", and "tracewrite" for the trace file). `after` successful calls of it pass first.
void FakeFailCall(const std::string& call, int error, int after = 0);
// What SerialLastRefusal() reports (none after FakeReset).
void FakeSetRefusal(const SerialOpenRefusal& refusal);

// Line state as the board sees it.
bool FakeRtsOn();      // RTS level (by hand or, with handshake on, driven by the port)
bool FakeCtsFlowOn();  // fOutxCtsFlow of the port
bool FakePortOpen();
int32_t FakePortBaud();
std::string FakeOpenedDevice();  // the device name of the last open

// Runs `body` (which ends by throwing ProcessExit or returning) and captures its standard
// output. Returns the exit code (-1 when the body returned without exiting).
int FakeRunCapturing(const std::function<void()>& body, std::string* output);
// Runs a program's main function with `words` as its arguments (the first is its own
// path), captured as FakeRunCapturing does.
int FakeRunMain(int (*programMain)(int, char**), std::vector<std::string> words,
                std::string* output);

// The target link: serial port driver and target connection, shared by both loaders, and
// the one way a run ends. Every failure prints its message and ends the process; callers
// never see an error.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "platform/serial_port.h"  // SerialDelays

constexpr int32_t kBaudLow = 38400;
constexpr int32_t kBaudHigh = 115200;

// Serial port driver.
void OpenComPort(int32_t portNumber, int32_t baudRate);
void SetBaudrate(int32_t baudRate);
void Transmit(int32_t byte);
void TransmitBlock(const uint8_t* bytes, int32_t count);
uint8_t ReceiveWait();
// ReceiveWait past any run of `filler` bytes; a run that lasts kFillerLimitMs ends the
// run like a silent target (no answer, code 2).
uint8_t ReceiveWaitPastFillers(uint8_t filler);
constexpr uint32_t kFillerLimitMs = 60000;
void ReceiveBlock(uint8_t* buffer, int32_t count);
int32_t ReceiveReady();
void EnableAuto_RTS_CTS(int32_t on);
void SetRtsSignal(int32_t state);
int32_t CTSSignalSet();
void Delay(int32_t milliseconds);
// How much later than a local line the open port shows the board's doings (all zero on a
// local line).
SerialDelays PortDelays();
// The last step of EndRun: once the port is set up, flow control off and RTS low (a failure
// of either ends the process at once with its message and code 2); the trace's last line;
// then the process ends with the code.
[[noreturn]] void ExitLoader(int32_t exitCode);

// The one way a run ends, success included.
constexpr int32_t kExitSuccess = 0;  // the program loaded and started, or the usage text shown
constexpr int32_t kExitFailure = 2;  // every error
// The loader's clean-up step, run after the message of an error that its protocol or the
// reader found (the flash loader starts the target's program); its own failures end the
// process at once.
typedef void (*CleanupStep)();
// Prints the closing message (printf-style, to standard output; null for none) and writes it
// to the trace, runs `cleanup` (null when none is due), then ExitLoader with the code.
[[noreturn]] void EndRun(int32_t code, CleanupStep cleanup, const char* format, ...);
[[noreturn]] void EndRunV(int32_t code, CleanupStep cleanup, const char* format, va_list args);
// The loader's clean-up step while one is due (null when none): from the first byte of the
// flash download until its start exchange begins. The download's failures (its protocol, the
// reader) hand it to EndRun; failures of the link's own transfers do not.
extern CleanupStep CleanupDue;

// Target connection. The CTS wait and the rate search go on until a key is pressed; when
// no key can come (ConsoleInputEnded), each ends after kUnattendedWaitMs (exit code 2).
constexpr uint32_t kUnattendedWaitMs = 60000;
struct TargetAnswer {
    int32_t baud = 0;          // the rate the target answered at
    int32_t attempts = 0;      // sync pairs sent in all
    bool roundMissed = false;  // a round went unanswered: the settings are to be saved
};
// Resets the target and looks for the rate at which it answers `syncByte` (each program's
// firmware has its own: 0x0F RAM, 0x7F flash), starting at `storedBaud`; `trace` prints a
// line per sync attempt.
TargetAnswer ConnectTarget(uint8_t syncByte, int32_t storedBaud, bool trace);
void ResetTarget();
// Sends up to `pairs` sync pairs at answer->baud, each counted in answer->attempts; 1 when
// the target answered.
int32_t SendSync(int32_t pairs, uint8_t syncByte, bool trace, TargetAnswer* answer);
int32_t CheckSyncAck(uint8_t syncByte);

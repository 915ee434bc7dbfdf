// RFC 2217 (Telnet Com Port Control) client: a serial port behind a network serial server.
// Internal to the POSIX serial backend, which hands it the calls for ports whose COMn entry
// is a Unix-domain socket or a symlink to "rfc2217://HOST:PORT". Same meaning and errors as
// the calls in serial_port.h: false (or null), with the errno value in SerialLastError().
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "platform/serial_port.h"

struct Rfc2217Connection;

// `unixPath` non-null: connect to that Unix-domain socket; else TCP to host:port. A server
// reached that does not agree to port control fails with SerialLastRefusal() set.
Rfc2217Connection* Rfc2217Open(const char* unixPath, const char* host, const char* port);
// Closes the connection and frees it (a failed open; the programs keep their port until the
// process ends).
void Rfc2217Close(Rfc2217Connection* connection);
// How the server learns of modem line changes: kLookAtOnce, it reports a change as it
// happens; N > 0, it looks at the lines every N ms and reports only the changes it sees;
// kLookFromMask (the default), a server that acknowledges the modem state mask reports at
// once, one that does not looks every second.
constexpr int kLookFromMask = -1;
constexpr int kLookAtOnce = 0;
void Rfc2217SetLookPeriod(Rfc2217Connection* connection, int lookMs);
// The round trip measured so far, and how late CTS may show after an RTS change.
void Rfc2217GetDelays(const Rfc2217Connection* connection, SerialDelays* delays);
bool Rfc2217Purge(Rfc2217Connection* connection, uint32_t purgeFlags);
bool Rfc2217Apply(Rfc2217Connection* connection, const SerialSettings& settings);
bool Rfc2217SetRts(Rfc2217Connection* connection, bool on);
bool Rfc2217GetCts(Rfc2217Connection* connection, bool* on);
bool Rfc2217QueuedInput(Rfc2217Connection* connection, uint32_t* count);
// Waits up to timeoutMs for one data byte (kNoLimit: no limit); *got 0 when none came.
bool Rfc2217Read(Rfc2217Connection* connection, uint8_t* byte, uint32_t* got, uint64_t timeoutMs);

// Writes one data byte; with CTS flow control on, waits up to timeoutMs for CTS first
// (kNoLimit: no limit). The byte may wait in the send queue, so that a run of writes goes
// out in one segment: the queue is sent before every read, wait, line change, purge or
// settings change, by Rfc2217Flush, and when it reaches a size limit.
bool Rfc2217WriteQueued(Rfc2217Connection* connection, uint8_t byte, uint32_t* written,
                        bool ctsFlow, uint64_t timeoutMs);
// Sends everything queued; waits out a full socket for kRfc2217SendStallMs at the most.
bool Rfc2217Flush(Rfc2217Connection* connection);

// Async-signal-safe: switches flow control off and lowers RTS with plain writes, for the
// exit on Ctrl-C.
void Rfc2217ReleaseLinesForExit(Rfc2217Connection* connection);

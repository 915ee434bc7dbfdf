// Inside the RFC 2217 client: the connection record and its socket pump, shared by the
// files of the client (opening, port calls, stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/clock.h"
#include "platform/rfc2217_client.h"
#include "platform/serial_port.h"
#include "platform/serial_posix_internal.h"
#include "platform/telnet_engine.h"

constexpr int kRfc2217SendStallMs = 2000;
constexpr int kRtsAckMs = 200;
// A server that does not acknowledge the modem state mask looks about once a second.
constexpr int kDefaultLookMs = 1000;

enum class PurgeAcks { Unknown, Sent, NotSent };

struct Rfc2217Connection {
    int fd = -1;
    bool tcp = false;   // not a Unix-domain socket
    std::string where;  // socket path or host:port, for messages
    // The shortest round trip seen, from a request to the server's answer to it: the
    // network's own, without what a busy host or server added to one of them.
    uint64_t roundTripUs = 0;
    bool roundTripSeen = false;

    TelnetEngine telnet;
    std::deque<uint8_t> input;  // data bytes received, not yet read
    std::string banner;         // text the server sent before it agreed to port control
    bool closed = false;        // the server ended the connection
    int socketError = 0;        // a receive or send failed with this errno

    bool comPortAgreed = false;
    bool comPortRefused = false;

    bool cts = false;  // off until the server reports otherwise
    // After an RTS change CTS counts as off until the server reports it anew after its
    // acknowledgement of the change: an older report (a server's report at connect, or one
    // that polls the lines only now and then) says nothing of a board the change resets.
    // A server that does not acknowledge is waited for kRtsAckMs at most. A polling server
    // may have missed the change: it is asked again once a look of it is sure to have come.
    bool ctsCurrent = true;
    // A current report of CTS off that no look at CTS has shown yet: a drop and the rise after
    // it that come in together (a look made late) still show the drop first, as a line would
    // have to the look that came in time.
    bool ctsDropUnseen = false;
    int rtsAcksOwed = 0;
    Deadline rtsAckDeadline;
    int lookMs = kLookFromMask;
    bool maskAcked = false;
    Deadline askAgainAt;  // when to ask a polling server for the state again
    PurgeAcks purgeAcks = PurgeAcks::Unknown;
    int purgeAcksOwed = 0;  // receive purges whose acknowledgement has not come yet
    int purgeAcksSeen = 0;

    bool haveApplied = false;
    SerialSettings applied;
    bool rtsKnown = false;
    bool rtsOn = false;

    // Flow control off, RTS off: written as is from the Ctrl-C handler.
    uint8_t release[14] = {kIac, kSb, kOptComPort, kSetControl, kControlNoFlow, kIac, kSe,
                           kIac, kSb, kOptComPort, kSetControl, kControlRtsOff, kIac, kSe};
};

// CTS as the port shows it: off while the last report is not current.
inline bool Rfc2217CtsOn(const Rfc2217Connection* c) {
    return c->ctsCurrent && c->cts;
}

// Takes one round trip, from a request sent at `sentUs` (MonotonicUs) to its answer now.
void Rfc2217NoteRoundTrip(Rfc2217Connection* c, uint64_t sentUs);
// The round trip in whole milliseconds, rounded: what every wait for an answer of the
// server adds to the time the answer takes on a local line.
uint64_t Rfc2217RoundTripMs(const Rfc2217Connection* c);

// Sets up the Telnet engine with the client's options and handlers.
void Rfc2217StartTelnet(Rfc2217Connection* c);
// Takes in what the socket holds now (a bounded amount), then sends the answers it caused.
void Rfc2217ReadAvailable(Rfc2217Connection* c);
// Waits until something arrives, or queued bytes can go out, or the deadline passes; then
// takes in what came.
void Rfc2217WaitForInput(Rfc2217Connection* c, const Deadline& deadline);
// The error of a connection that cannot carry data any more, 0 while it can.
int Rfc2217Broken(const Rfc2217Connection* c);
// Takes in news; false (SerialFail) when the connection is broken.
bool Rfc2217CheckAlive(Rfc2217Connection* c);
bool Rfc2217SendCommand(Rfc2217Connection* c, uint8_t command, const uint8_t* value, size_t length);
bool Rfc2217SendControl(Rfc2217Connection* c, uint8_t value);
// Asks for reports of every modem line (the server answers with the state it knows).
bool Rfc2217SendModemMask(Rfc2217Connection* c);

// Serial port behind a network serial server, spoken to with Telnet Com Port Control: the
// port calls. Data bytes and port commands share one Telnet stream; the socket is
// non-blocking and every wait is a poll with a deadline, so no call can hang on a silent or
// vanished server.
#include "platform/rfc2217_client.h"

#include <sys/socket.h>

#include <cerrno>

#include "platform/platform_testing.h"
#include "platform/rfc2217_internal.h"

namespace {

constexpr int kPurgeAckMs = 200;
// Written bytes wait in the send queue up to this many, so a packet goes out in one
// segment instead of one per byte.
constexpr size_t kSendBatch = 1024;

// The server's look period; kLookAtOnce for a server that reports changes as they happen.
// Servers answer commands in order, so once an RTS change is acknowledged, a mask
// acknowledgement that has not come will not come.
int LookPeriod(const Rfc2217Connection* c) {
    if (c->lookMs != kLookFromMask) {
        return c->lookMs;
    }
    return c->maskAcked ? kLookAtOnce : kDefaultLookMs;
}

// A polling server reports only the changes its looks catch, so a CTS dip after a reset that
// is shorter than its look period goes unreported. Once the RTS change is carried out, ask
// again after a look period and a quarter: the answer then comes from a look made after it.
// The mask is answered with a report by some servers, the report request by others; the
// question is repeated until a report comes.
bool AskAgainIfPolling(Rfc2217Connection* c) {
    const int lookMs = LookPeriod(c);
    if (c->ctsCurrent || lookMs == kLookAtOnce ||
        (c->rtsAcksOwed > 0 && !DeadlinePassed(c->rtsAckDeadline))) {
        return true;
    }
    const uint64_t waitMs = static_cast<uint64_t>(lookMs) + static_cast<uint64_t>(lookMs) / 4;
    if (c->askAgainAt.atMs == kNoLimit) {
        c->askAgainAt = DeadlineIn(waitMs);
        return true;
    }
    if (!DeadlinePassed(c->askAgainAt)) {
        return true;
    }
    c->askAgainAt = DeadlineIn(waitMs);
    return Rfc2217SendModemMask(c) && Rfc2217SendCommand(c, kNotifyModemstate, nullptr, 0);
}

}  // namespace

bool Rfc2217Purge(Rfc2217Connection* c, uint32_t purgeFlags) {
    if (!Rfc2217CheckAlive(c)) {
        return false;
    }
    uint8_t what = 0;
    if (purgeFlags & (kPurgeRxAbort | kPurgeRxClear)) {
        what |= kPurgeReceive;
    }
    if (purgeFlags & (kPurgeTxAbort | kPurgeTxClear)) {
        what |= kPurgeTransmit;
    }
    if (what == 0) {
        return true;
    }
    if (!Rfc2217SendCommand(c, kPurgeData, &what, 1)) {
        return false;
    }
    if (!(what & kPurgeReceive)) {
        return true;
    }
    c->input.clear();
    if (c->purgeAcks == PurgeAcks::NotSent) {
        return true;
    }
    // Data still in flight from before the server's purge would otherwise look fresh.
    ++c->purgeAcksOwed;
    int seen = c->purgeAcksSeen;
    const uint64_t sentUs = MonotonicUs();
    const Deadline deadline = DeadlineIn(kPurgeAckMs + Rfc2217RoundTripMs(c));
    while (c->purgeAcksSeen == seen && Rfc2217Broken(c) == 0 && !DeadlinePassed(deadline)) {
        Rfc2217WaitForInput(c, deadline);
    }
    if (c->purgeAcksSeen != seen) {
        Rfc2217NoteRoundTrip(c, sentUs);
    }
    if (c->purgeAcksSeen == seen && c->purgeAcks == PurgeAcks::Unknown) {
        c->purgeAcks = PurgeAcks::NotSent;  // this server does not acknowledge purges
        c->purgeAcksOwed = 0;
    }
    return Rfc2217CheckAlive(c);
}

bool Rfc2217Apply(Rfc2217Connection* c, const SerialSettings& s) {
    if (!Rfc2217CheckAlive(c)) {
        return false;
    }
    const SerialSettings& old = c->applied;
    bool all = !c->haveApplied;
    // Output was written synchronously, so it is already ahead of a rate change.
    if (all || s.BaudRate != old.BaudRate) {
        uint8_t value[4];
        ComPortPutBaud(static_cast<uint32_t>(s.BaudRate), value);
        if (!Rfc2217SendCommand(c, kSetBaudrate, value, sizeof value)) {
            return false;
        }
    }
    if (all || s.ByteSize != old.ByteSize) {
        uint8_t value = s.ByteSize;
        if (!Rfc2217SendCommand(c, kSetDatasize, &value, 1)) {
            return false;
        }
    }
    if (all || s.Parity != old.Parity) {
        uint8_t value = static_cast<uint8_t>(s.Parity + 1);  // none, odd, even, mark, space
        if (!Rfc2217SendCommand(c, kSetParity, &value, 1)) {
            return false;
        }
    }
    if (all || s.StopBits != old.StopBits) {
        uint8_t value = s.StopBits == 0 ? 1 : (s.StopBits == 1 ? 3 : 2);  // 1, 1.5, 2
        if (!Rfc2217SendCommand(c, kSetStopsize, &value, 1)) {
            return false;
        }
    }
    bool hardware = s.fOutxCtsFlow || s.fRtsControl == kRtsControlHandshake;
    bool oldHardware = old.fOutxCtsFlow || old.fRtsControl == kRtsControlHandshake;
    bool xonXoff = s.fOutX || s.fInX;
    bool oldXonXoff = old.fOutX || old.fInX;
    if (all || hardware != oldHardware || xonXoff != oldXonXoff) {
        uint8_t value =
            hardware ? kControlHardwareFlow : (xonXoff ? kControlXonXoff : kControlNoFlow);
        if (!Rfc2217SendControl(c, value)) {
            return false;
        }
        if (hardware) {
            c->rtsKnown = false;  // the port drives RTS now
        }
    }
    if (!hardware) {
        bool rts = s.fRtsControl == kRtsControlEnable;
        if (!c->rtsKnown || c->rtsOn != rts) {
            if (!Rfc2217SendControl(c, rts ? kControlRtsOn : kControlRtsOff)) {
                return false;
            }
            c->rtsKnown = true;
            c->rtsOn = rts;
        }
    }
    if (all || (s.fDtrControl != kDtrControlDisable) != (old.fDtrControl != kDtrControlDisable)) {
        if (!Rfc2217SendControl(
                c, s.fDtrControl != kDtrControlDisable ? kControlDtrOn : kControlDtrOff)) {
            return false;
        }
    }
    c->applied = s;
    c->haveApplied = true;
    return true;
}

bool Rfc2217SetRts(Rfc2217Connection* c, bool on) {
    if (!Rfc2217CheckAlive(c)) {
        return false;
    }
    if (!Rfc2217SendControl(c, on ? kControlRtsOn : kControlRtsOff)) {
        return false;
    }
    c->rtsKnown = true;
    c->rtsOn = on;
    c->ctsCurrent = false;
    ++c->rtsAcksOwed;
    c->rtsAckDeadline = DeadlineIn(kRtsAckMs + Rfc2217RoundTripMs(c));
    c->askAgainAt = Deadline{};
    return true;
}

void Rfc2217SetLookPeriod(Rfc2217Connection* c, int lookMs) {
    c->lookMs = lookMs;
}

void Rfc2217NoteRoundTrip(Rfc2217Connection* c, uint64_t sentUs) {
    const uint64_t tookUs = MonotonicUs() - sentUs;
    if (!c->roundTripSeen || tookUs < c->roundTripUs) {
        c->roundTripUs = tookUs;
        c->roundTripSeen = true;
    }
}

uint64_t Rfc2217RoundTripMs(const Rfc2217Connection* c) {
    return (c->roundTripUs + 500) / 1000;
}

// CTS counts as off until a report from after the RTS acknowledgement (waited for
// kRtsAckMs and a round trip at most); a polling server may show the change only when asked
// again (AskAgainIfPolling), a look period and a quarter later, a round trip before its
// answer is back.
void Rfc2217GetDelays(const Rfc2217Connection* c, SerialDelays* delays) {
    const uint64_t roundTripMs = Rfc2217RoundTripMs(c);
    uint64_t lagMs = kRtsAckMs + roundTripMs;
    const int lookMs = LookPeriod(c);
    if (lookMs != kLookAtOnce) {
        lagMs += uint64_t(lookMs) + uint64_t(lookMs) / 4 + roundTripMs;
    }
    delays->network = true;
    delays->roundTripMs = static_cast<uint32_t>(roundTripMs);
    delays->ctsLagMs = static_cast<uint32_t>(lagMs);
}

bool Rfc2217GetCts(Rfc2217Connection* c, bool* on) {
    if (!Rfc2217Flush(c) || !Rfc2217CheckAlive(c) || !AskAgainIfPolling(c)) {
        return false;
    }
    *on = Rfc2217CtsOn(c) && !c->ctsDropUnseen;
    c->ctsDropUnseen = false;
    return true;
}

bool Rfc2217QueuedInput(Rfc2217Connection* c, uint32_t* count) {
    if (!Rfc2217Flush(c)) {
        return false;
    }
    Rfc2217ReadAvailable(c);
    if (c->input.empty() && Rfc2217Broken(c) != 0) {
        return SerialFail(Rfc2217Broken(c));
    }
    *count = static_cast<uint32_t>(c->input.size());
    return true;
}

bool Rfc2217Read(Rfc2217Connection* c, uint8_t* byte, uint32_t* got, uint64_t timeoutMs) {
    *got = 0;
    // The answer waited for may depend on what was written last.
    if (!Rfc2217Flush(c)) {
        return false;
    }
    const Deadline deadline = DeadlineIn(timeoutMs);
    for (;;) {
        if (!c->input.empty()) {
            *byte = c->input.front();
            c->input.pop_front();
            *got = 1;
            return true;
        }
        if (Rfc2217Broken(c) != 0) {
            return SerialFail(Rfc2217Broken(c));
        }
        if (DeadlinePassed(deadline)) {
            return true;
        }
        Rfc2217WaitForInput(c, deadline);
    }
}

bool Rfc2217WriteQueued(Rfc2217Connection* c, uint8_t byte, uint32_t* written, bool ctsFlow,
                        uint64_t timeoutMs) {
    *written = 0;
    if (Rfc2217Broken(c) != 0) {
        return SerialFail(Rfc2217Broken(c));
    }
    if (ctsFlow && !Rfc2217CtsOn(c)) {
        // Only news from the server can raise CTS: send what waits, then listen.
        if (!Rfc2217Flush(c)) {
            return false;
        }
        const Deadline deadline = DeadlineIn(timeoutMs);
        while (!Rfc2217CtsOn(c)) {
            if (DeadlinePassed(deadline)) {
                return true;  // CTS held the byte back too long: dropped, as a port does
            }
            Rfc2217WaitForInput(c, deadline);
            if (!Rfc2217CheckAlive(c)) {
                return false;
            }
        }
    }
    TelnetQueueData(&c->telnet, byte);
    if (c->telnet.out.size() >= kSendBatch && !Rfc2217Flush(c)) {
        return false;
    }
    *written = 1;
    return true;
}

bool Rfc2217Write(Rfc2217Connection* c, uint8_t byte, uint32_t* written, bool ctsFlow,
                  uint64_t timeoutMs) {
    if (!Rfc2217CheckAlive(c) || !Rfc2217WriteQueued(c, byte, written, ctsFlow, timeoutMs)) {
        return false;
    }
    return Rfc2217Flush(c);
}

void Rfc2217ReleaseLinesForExit(Rfc2217Connection* connection) {
    if (connection == nullptr || connection->fd < 0) {
        return;
    }
    // send() is async-signal-safe; MSG_NOSIGNAL keeps a dead server from raising SIGPIPE.
    ssize_t ignored = send(connection->fd, connection->release, sizeof connection->release,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
}

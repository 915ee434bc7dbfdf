// The client's side of the Telnet stream: taking in what the server sends (never more
// than the receive queue has room for) and sending what is queued, each bounded in work
// and time. Parsing only queues answers; they are sent after it, never from inside it.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/rfc2217_internal.h"

namespace {

constexpr size_t kBannerKeep = 240;
// Bytes for the server beyond this stop the reading (a server that sends requests but never
// reads our answers cannot make us queue without end).
constexpr size_t kOutputLimit = 16384;
constexpr int kChunksPerCall = 16;  // bounds the work of one look at the socket
// The receive queue of a real port: when it is full the socket is not read, so TCP holds
// the server back and nothing is dropped.
constexpr size_t kInputLimit = 4096;

void OnData(void* context, uint8_t byte) {
    Rfc2217Connection* c = static_cast<Rfc2217Connection*>(context);
    if (c->comPortAgreed) {
        c->input.push_back(byte);
    } else if (c->banner.size() < kBannerKeep) {
        c->banner.push_back(static_cast<char>(byte));
    }
}

void OnNegotiation(void* context, uint8_t verb, uint8_t option) {
    Rfc2217Connection* c = static_cast<Rfc2217Connection*>(context);
    if (option == kOptComPort && verb == kDo) {
        c->comPortAgreed = true;
    } else if (option == kOptComPort && verb == kDont) {
        c->comPortRefused = true;
    }
}

// Server replies are taken leniently: only the modem state and the purge acknowledgement
// matter; anything else, short or unknown, is ignored.
void OnSubnegotiation(void* context, const std::vector<uint8_t>& sub) {
    Rfc2217Connection* c = static_cast<Rfc2217Connection*>(context);
    if (sub.size() < 2 || sub[0] != kOptComPort) {
        return;
    }
    uint8_t command = sub[1];
    if (command == kServerOffset + kNotifyModemstate && sub.size() >= 3) {
        c->cts = (sub[2] & kModemCts) != 0;
        if (c->rtsAcksOwed == 0 || DeadlinePassed(c->rtsAckDeadline)) {
            c->rtsAcksOwed = 0;
            c->ctsCurrent = true;
            c->ctsDropUnseen = c->ctsDropUnseen || !c->cts;
        }
    } else if (command == kServerOffset + kSetModemstateMask) {
        c->maskAcked = true;
    } else if (command == kServerOffset + kSetControl && sub.size() >= 3 &&
               (sub[2] == kControlRtsOn || sub[2] == kControlRtsOff)) {
        if (c->rtsAcksOwed > 0) {
            --c->rtsAcksOwed;
        }
    } else if (command == kServerOffset + kPurgeData) {
        bool receive = sub.size() < 3 || (sub[2] & kPurgeReceive) != 0;
        if (receive) {
            c->purgeAcks = PurgeAcks::Sent;
            ++c->purgeAcksSeen;
            if (c->purgeAcksOwed > 0) {
                // Everything before the acknowledgement left the server before its purge.
                --c->purgeAcksOwed;
                c->input.clear();
            }
        }
    }
}

// Our send puts the kernel's TCP in its interactive mode, which delays the acknowledgement of
// what comes back; a server that holds small segments back until the one before is
// acknowledged (Nagle's algorithm, a stock server) would then hold every answer until the
// delayed acknowledgement fires, tens of milliseconds.
// Leaving that mode once after each send that put bytes out keeps the answers coming at once
// (Linux only; other systems have no such option).
void QuickAck(Rfc2217Connection* c) {
#ifdef TCP_QUICKACK
    if (c->tcp) {
        int one = 1;
        setsockopt(c->fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
#else
    (void)c;
#endif
}

bool CanTakeInput(const Rfc2217Connection* c) {
    return !c->closed && c->socketError == 0 && c->telnet.out.size() < kOutputLimit &&
           c->input.size() < kInputLimit;
}

// Sends what is queued for the server as far as the socket takes it now.
void SendPending(Rfc2217Connection* c) {
    std::string& out = c->telnet.out;
    size_t done = 0;
    while (done < out.size() && c->socketError == 0) {
        ssize_t n = send(c->fd, out.data() + done, out.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            c->socketError = n < 0 ? errno : EIO;
        }
    }
    out.erase(0, done);
    if (done > 0) {
        QuickAck(c);
    }
}

// Reads one chunk from the socket, without waiting, and parses it (answers are only
// queued). Returns true when the chunk filled the room it had: there may be more.
bool ReceiveChunk(Rfc2217Connection* c) {
    uint8_t buffer[kInputLimit];
    // Every data byte takes at least one byte of the stream, so this many cannot overfill.
    const size_t room = kInputLimit - c->input.size();
    for (;;) {
        ssize_t n = recv(c->fd, buffer, room, MSG_DONTWAIT);
        if (n > 0) {
            TelnetReceive(&c->telnet, buffer, static_cast<size_t>(n));
            return static_cast<size_t>(n) == room;
        }
        if (n == 0) {
            c->closed = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            c->socketError = errno;
        }
        return false;
    }
}

}  // namespace

void Rfc2217StartTelnet(Rfc2217Connection* c) {
    TelnetInit(&c->telnet, {kOptBinary, kOptSga, kOptComPort}, {kOptBinary, kOptSga}, 64,
               {c, OnData, OnSubnegotiation, OnNegotiation});
}

// A short chunk means the socket is empty now: no second recv only to hear that.
void Rfc2217ReadAvailable(Rfc2217Connection* c) {
    for (int i = 0; i < kChunksPerCall && CanTakeInput(c) && ReceiveChunk(c); ++i) {
    }
    SendPending(c);
}

// A full socket is waited out, taking in what the server sends meanwhile (so both sides
// cannot stall on each other), but not without bound: a server that reads nothing for that
// long has broken the connection.
bool Rfc2217Flush(Rfc2217Connection* c) {
    const Deadline deadline = DeadlineIn(kRfc2217SendStallMs);
    for (;;) {
        SendPending(c);
        if (c->socketError != 0) {
            return SerialFail(c->socketError);
        }
        if (c->telnet.out.empty()) {
            return true;
        }
        if (DeadlinePassed(deadline)) {
            c->socketError = ETIMEDOUT;
            return SerialFail(ETIMEDOUT);
        }
        pollfd p = {c->fd, static_cast<short>(POLLOUT | (CanTakeInput(c) ? POLLIN : 0)), 0};
        if (poll(&p, 1, DeadlinePollMs(deadline)) > 0 && (p.revents & POLLIN)) {
            ReceiveChunk(c);
        }
    }
}

bool Rfc2217SendCommand(Rfc2217Connection* c, uint8_t command, const uint8_t* value,
                        size_t length) {
    TelnetQueueCommand(&c->telnet, command, value, length);
    return Rfc2217Flush(c);
}

bool Rfc2217SendControl(Rfc2217Connection* c, uint8_t value) {
    return Rfc2217SendCommand(c, kSetControl, &value, 1);
}

bool Rfc2217SendModemMask(Rfc2217Connection* c) {
    const uint8_t mask = kModemMaskAll;
    return Rfc2217SendCommand(c, kSetModemstateMask, &mask, 1);
}

void Rfc2217WaitForInput(Rfc2217Connection* c, const Deadline& deadline) {
    if (c->telnet.out.size() >= kOutputLimit) {
        Rfc2217Flush(c);  // a failure breaks the connection; its next call reports it
        return;
    }
    short events =
        static_cast<short>((CanTakeInput(c) ? POLLIN : 0) | (c->telnet.out.empty() ? 0 : POLLOUT));
    pollfd p = {c->fd, events, 0};
    poll(&p, 1, DeadlinePollMs(deadline));
    Rfc2217ReadAvailable(c);
}

int Rfc2217Broken(const Rfc2217Connection* c) {
    if (c->socketError != 0) {
        return c->socketError;
    }
    return c->closed ? ECONNRESET : 0;
}

bool Rfc2217CheckAlive(Rfc2217Connection* c) {
    Rfc2217ReadAvailable(c);
    return Rfc2217Broken(c) == 0 || SerialFail(Rfc2217Broken(c));
}

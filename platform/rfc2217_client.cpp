// Serial port behind a network serial server, spoken to with Telnet Com Port Control.
// Data bytes and port commands share one Telnet stream; the socket is non-blocking and
// every wait is a poll with a deadline, so no call can hang on a silent or vanished server.
#include "platform/rfc2217_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "platform/telnet_engine.h"

namespace {

constexpr int kNegotiationMs = 3000;
constexpr int kConnectMs = 5000;
constexpr int kSendStallMs = 2000;
constexpr int kPurgeAckMs = 200;
constexpr size_t kBannerKeep = 240;
// Bytes for the server beyond this stop the reading (a server that sends requests but never
// reads our answers cannot make us queue without end).
constexpr size_t kOutputLimit = 16384;
constexpr int kChunksPerCall = 16;  // bounds the work of one look at the socket
// The receive queue of a real port: when it is full the socket is not read, so TCP holds
// the server back and nothing is dropped.
constexpr size_t kInputLimit = 4096;

enum class PurgeAcks { Unknown, Sent, NotSent };

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

struct Rfc2217Connection {
    int fd = -1;
    std::string where;  // socket path or host:port, for messages

    TelnetEngine telnet;
    std::deque<uint8_t> input;  // data bytes received, not yet read
    std::string banner;         // text the server sent before it agreed to port control
    bool closed = false;        // the server ended the connection
    int socketError = 0;        // a receive or send failed with this errno

    bool comPortAgreed = false;
    bool comPortRefused = false;

    bool cts = false;  // off until the server reports otherwise
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

namespace {

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
}

// Reads one chunk from the socket, without waiting, and parses it (answers are only
// queued). False when nothing came.
bool ReceiveChunk(Rfc2217Connection* c) {
    uint8_t buffer[kInputLimit];
    // Every data byte takes at least one byte of the stream, so this many cannot overfill.
    const size_t room = kInputLimit - c->input.size();
    for (;;) {
        ssize_t n = recv(c->fd, buffer, room, MSG_DONTWAIT);
        if (n > 0) {
            TelnetReceive(&c->telnet, buffer, static_cast<size_t>(n));
            return true;
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

// Takes in what the socket holds now (a bounded amount), then sends the answers it caused.
void ReadAvailable(Rfc2217Connection* c) {
    for (int i = 0; i < kChunksPerCall && CanTakeInput(c) && ReceiveChunk(c); ++i) {
    }
    SendPending(c);
}

// Sends everything queued. A full socket is waited out, taking in what the server sends
// meanwhile (so both sides cannot stall on each other), but not without bound: a server
// that reads nothing for that long has broken the connection.
bool Flush(Rfc2217Connection* c, int* error) {
    const int64_t deadline = NowMs() + kSendStallMs;
    for (;;) {
        SendPending(c);
        if (c->socketError != 0) {
            *error = c->socketError;
            return false;
        }
        if (c->telnet.out.empty()) {
            return true;
        }
        int64_t left = deadline - NowMs();
        if (left <= 0) {
            c->socketError = ETIMEDOUT;
            *error = ETIMEDOUT;
            return false;
        }
        pollfd p = {c->fd, static_cast<short>(POLLOUT | (CanTakeInput(c) ? POLLIN : 0)), 0};
        if (poll(&p, 1, static_cast<int>(left)) > 0 && (p.revents & POLLIN)) {
            ReceiveChunk(c);
        }
    }
}

bool SendCommand(Rfc2217Connection* c, uint8_t command, const uint8_t* value, size_t length,
                 int* error) {
    TelnetQueueCommand(&c->telnet, command, value, length);
    return Flush(c, error);
}

bool SendControl(Rfc2217Connection* c, uint8_t value, int* error) {
    return SendCommand(c, kSetControl, &value, 1, error);
}

constexpr int64_t kNoDeadline = INT64_MAX;

// A negative time-out waits without limit.
int64_t DeadlineAfter(int timeoutMs) {
    return timeoutMs < 0 ? kNoDeadline : NowMs() + timeoutMs;
}

// Waits until something arrives, or queued bytes can go out, or the deadline passes; then
// takes in what came.
void WaitForInput(Rfc2217Connection* c, int64_t deadline) {
    if (c->telnet.out.size() >= kOutputLimit) {
        int ignored = 0;
        Flush(c, &ignored);
        return;
    }
    short events =
        static_cast<short>((CanTakeInput(c) ? POLLIN : 0) | (c->telnet.out.empty() ? 0 : POLLOUT));
    pollfd p = {c->fd, events, 0};
    if (deadline == kNoDeadline) {
        poll(&p, 1, -1);
    } else if (deadline > NowMs()) {
        poll(&p, 1, static_cast<int>(std::min<int64_t>(deadline - NowMs(), INT32_MAX)));
    }
    ReadAvailable(c);
}

// The error of a connection that cannot carry data any more, 0 while it can.
int Broken(Rfc2217Connection* c) {
    if (c->socketError != 0) {
        return c->socketError;
    }
    return c->closed ? ECONNRESET : 0;
}

bool CheckAlive(Rfc2217Connection* c, int* error) {
    ReadAvailable(c);
    int broken = Broken(c);
    if (broken != 0) {
        *error = broken;
        return false;
    }
    return true;
}

int ConnectUnix(const char* path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// Connects with a bound, so an unreachable host is an error rather than a long hang.
int ConnectTcp(const char* host, const char* port) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0 || found == nullptr) {
        errno = EHOSTUNREACH;
        return -1;
    }
    int lastError = ECONNREFUSED;
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int result = connect(fd, a->ai_addr, a->ai_addrlen);
        if (result != 0 && errno == EINPROGRESS) {
            pollfd p = {fd, POLLOUT, 0};
            int ready = poll(&p, 1, kConnectMs);
            int soError = ETIMEDOUT;
            socklen_t length = sizeof soError;
            if (ready > 0) {
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
            }
            result = soError == 0 ? 0 : -1;
            errno = soError;
        }
        if (result != 0) {
            lastError = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        errno = lastError;
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

std::string PrintableBanner(const std::string& text) {
    std::string out;
    for (char ch : text) {
        unsigned char u = static_cast<unsigned char>(ch);
        if (u >= 0x20 && u < 0x7F) {
            out.push_back(ch);
        } else if (!out.empty() && out.back() != ' ') {
            out.push_back(' ');
        }
    }
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

void ReportNoPortControl(Rfc2217Connection* c) {
    if (c->comPortRefused) {
        printf("\n%s refused serial port control: not an RFC 2217 server\n", c->where.c_str());
    } else if (c->closed || c->socketError != 0) {
        printf(
            "\n%s closed the connection before agreeing to serial port control: its port is "
            "busy, or it is not an RFC 2217 server\n",
            c->where.c_str());
    } else {
        printf(
            "\n%s did not agree to serial port control within %d seconds: not an RFC 2217 "
            "server, or its port is busy\n",
            c->where.c_str(), kNegotiationMs / 1000);
    }
    std::string text = PrintableBanner(c->banner);
    if (!text.empty()) {
        printf("The server said: \"%s\"\n", text.c_str());
    }
    fflush(stdout);
}

}  // namespace

Rfc2217Connection* Rfc2217Open(const char* unixPath, const char* host, const char* port,
                               int* error) {
    int fd = unixPath != nullptr ? ConnectUnix(unixPath) : ConnectTcp(host, port);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

    Rfc2217Connection* c = new Rfc2217Connection;
    c->fd = fd;
    c->where =
        unixPath != nullptr ? std::string(unixPath) : std::string(host) + ":" + std::string(port);

    TelnetInit(&c->telnet, {kOptBinary, kOptSga, kOptComPort}, {kOptBinary, kOptSga}, 64,
               {c, OnData, OnSubnegotiation, OnNegotiation});
    TelnetAsk(&c->telnet, kWill, kOptBinary);
    TelnetAsk(&c->telnet, kDo, kOptBinary);
    TelnetAsk(&c->telnet, kWill, kOptSga);
    TelnetAsk(&c->telnet, kDo, kOptSga);
    TelnetAsk(&c->telnet, kWill, kOptComPort);
    if (!Flush(c, error)) {
        // A busy server may say so and hang up before the opening is even sent.
        c->socketError = 0;
        c->telnet.out.clear();
        ReadAvailable(c);
        if (Broken(c) == 0) {
            c->socketError = *error;
        }
    }

    // No port command may go out before the server has agreed to port control.
    int64_t deadline = NowMs() + kNegotiationMs;
    while (!c->comPortAgreed && !c->comPortRefused && Broken(c) == 0 && NowMs() < deadline) {
        WaitForInput(c, deadline);
    }
    if (!c->comPortAgreed) {
        ReportNoPortControl(c);
        *error = c->comPortRefused || Broken(c) == 0 ? EPROTO : Broken(c);
        close(fd);
        delete c;
        return nullptr;
    }

    uint8_t mask = 0xFF;
    if (!SendCommand(c, kSetModemstateMask, &mask, 1, error)) {
        close(fd);
        delete c;
        return nullptr;
    }
    return c;
}

void Rfc2217Close(Rfc2217Connection* connection) {
    if (connection == nullptr) {
        return;
    }
    close(connection->fd);
    delete connection;
}

bool Rfc2217Purge(Rfc2217Connection* c, uint32_t purgeFlags, int* error) {
    if (!CheckAlive(c, error)) {
        return false;
    }
    uint8_t what = 0;
    if (purgeFlags & (PURGE_RXABORT | PURGE_RXCLEAR)) {
        what |= kPurgeReceive;
    }
    if (purgeFlags & (PURGE_TXABORT | PURGE_TXCLEAR)) {
        what |= kPurgeTransmit;
    }
    if (what == 0) {
        return true;
    }
    if (!SendCommand(c, kPurgeData, &what, 1, error)) {
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
    int64_t deadline = NowMs() + kPurgeAckMs;
    while (c->purgeAcksSeen == seen && Broken(c) == 0 && NowMs() < deadline) {
        WaitForInput(c, deadline);
    }
    if (c->purgeAcksSeen == seen && c->purgeAcks == PurgeAcks::Unknown) {
        c->purgeAcks = PurgeAcks::NotSent;  // this server does not acknowledge purges
        c->purgeAcksOwed = 0;
    }
    return CheckAlive(c, error);
}

bool Rfc2217Apply(Rfc2217Connection* c, const SerialSettings& s, int* error) {
    if (!CheckAlive(c, error)) {
        return false;
    }
    const SerialSettings& old = c->applied;
    bool all = !c->haveApplied;
    // Output was written synchronously, so it is already ahead of a rate change.
    if (all || s.BaudRate != old.BaudRate) {
        uint8_t value[4];
        ComPortPutBaud(static_cast<uint32_t>(s.BaudRate), value);
        if (!SendCommand(c, kSetBaudrate, value, sizeof value, error)) {
            return false;
        }
    }
    if (all || s.ByteSize != old.ByteSize) {
        uint8_t value = s.ByteSize;
        if (!SendCommand(c, kSetDatasize, &value, 1, error)) {
            return false;
        }
    }
    if (all || s.Parity != old.Parity) {
        uint8_t value = static_cast<uint8_t>(s.Parity + 1);  // none, odd, even, mark, space
        if (!SendCommand(c, kSetParity, &value, 1, error)) {
            return false;
        }
    }
    if (all || s.StopBits != old.StopBits) {
        uint8_t value = s.StopBits == 0 ? 1 : (s.StopBits == 1 ? 3 : 2);  // 1, 1.5, 2
        if (!SendCommand(c, kSetStopsize, &value, 1, error)) {
            return false;
        }
    }
    bool hardware = s.fOutxCtsFlow || s.fRtsControl == RTS_CONTROL_HANDSHAKE;
    bool oldHardware = old.fOutxCtsFlow || old.fRtsControl == RTS_CONTROL_HANDSHAKE;
    bool xonXoff = s.fOutX || s.fInX;
    bool oldXonXoff = old.fOutX || old.fInX;
    if (all || hardware != oldHardware || xonXoff != oldXonXoff) {
        uint8_t value =
            hardware ? kControlHardwareFlow : (xonXoff ? kControlXonXoff : kControlNoFlow);
        if (!SendControl(c, value, error)) {
            return false;
        }
        if (hardware) {
            c->rtsKnown = false;  // the port drives RTS now
        }
    }
    if (!hardware) {
        bool rts = s.fRtsControl == RTS_CONTROL_ENABLE;
        if (!c->rtsKnown || c->rtsOn != rts) {
            if (!SendControl(c, rts ? kControlRtsOn : kControlRtsOff, error)) {
                return false;
            }
            c->rtsKnown = true;
            c->rtsOn = rts;
        }
    }
    if (all || (s.fDtrControl != DTR_CONTROL_DISABLE) != (old.fDtrControl != DTR_CONTROL_DISABLE)) {
        if (!SendControl(c, s.fDtrControl != DTR_CONTROL_DISABLE ? kControlDtrOn : kControlDtrOff,
                         error)) {
            return false;
        }
    }
    c->applied = s;
    c->haveApplied = true;
    return true;
}

bool Rfc2217SetRts(Rfc2217Connection* c, bool on, int* error) {
    if (!CheckAlive(c, error)) {
        return false;
    }
    if (!SendControl(c, on ? kControlRtsOn : kControlRtsOff, error)) {
        return false;
    }
    c->rtsKnown = true;
    c->rtsOn = on;
    return true;
}

bool Rfc2217GetCts(Rfc2217Connection* c, bool* on, int* error) {
    if (!CheckAlive(c, error)) {
        return false;
    }
    *on = c->cts;
    return true;
}

bool Rfc2217QueuedInput(Rfc2217Connection* c, uint32_t* count, int* error) {
    ReadAvailable(c);
    if (c->input.empty() && Broken(c) != 0) {
        *error = Broken(c);
        return false;
    }
    *count = static_cast<uint32_t>(c->input.size());
    return true;
}

bool Rfc2217Read(Rfc2217Connection* c, uint8_t* byte, uint32_t* got, int timeoutMs, int* error) {
    *got = 0;
    int64_t deadline = DeadlineAfter(timeoutMs);
    ReadAvailable(c);
    for (;;) {
        if (!c->input.empty()) {
            *byte = c->input.front();
            c->input.pop_front();
            *got = 1;
            return true;
        }
        if (Broken(c) != 0) {
            *error = Broken(c);
            return false;
        }
        if (NowMs() >= deadline) {
            return true;
        }
        WaitForInput(c, deadline);
    }
}

bool Rfc2217Write(Rfc2217Connection* c, uint8_t byte, uint32_t* written, bool ctsFlow,
                  int timeoutMs, int* error) {
    *written = 0;
    if (!CheckAlive(c, error)) {
        return false;
    }
    if (ctsFlow) {
        int64_t deadline = DeadlineAfter(timeoutMs);
        while (!c->cts) {
            if (NowMs() >= deadline) {
                return true;  // CTS held the byte back too long: dropped, as a port does
            }
            WaitForInput(c, deadline);
            if (!CheckAlive(c, error)) {
                return false;
            }
        }
    }
    TelnetQueueData(&c->telnet, byte);
    if (!Flush(c, error)) {
        return false;
    }
    *written = 1;
    return true;
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

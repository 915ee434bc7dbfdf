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

#include "platform/telnet_comport.h"

namespace {

constexpr int kNegotiationMs = 3000;
constexpr int kConnectMs = 5000;
constexpr int kSendStallMs = 2000;
constexpr int kPurgeAckMs = 200;
constexpr size_t kBannerKeep = 240;

enum class RxState { Data, Iac, Will, Wont, Do, Dont, Sub, SubIac };
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

    RxState rx = RxState::Data;
    std::vector<uint8_t> sub;
    std::deque<uint8_t> input;  // data bytes received, not yet read
    std::string banner;         // text the server sent before it agreed to port control
    bool closed = false;        // the server ended the connection
    int socketError = 0;        // a receive failed with this errno

    // Telnet option state, per direction: on, asked for by us, refused once already.
    bool localOn[256] = {};
    bool localAsked[256] = {};
    bool localRefused[256] = {};
    bool remoteOn[256] = {};
    bool remoteAsked[256] = {};
    bool remoteRefused[256] = {};
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

void ReadAvailable(Rfc2217Connection* c);

// Sends all bytes. A full socket buffer is waited out (taking in what the server sends
// meanwhile, so both sides cannot stall on each other), but not without bound.
bool SendAll(Rfc2217Connection* c, const uint8_t* data, size_t length, int* error) {
    int64_t deadline = NowMs() + kSendStallMs;
    size_t done = 0;
    while (done < length) {
        ssize_t n = send(c->fd, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *error = errno;
            return false;
        }
        int64_t left = deadline - NowMs();
        if (left <= 0) {
            *error = ETIMEDOUT;
            return false;
        }
        pollfd p = {c->fd, POLLOUT | POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) > 0 && (p.revents & POLLIN)) {
            ReadAvailable(c);
        }
    }
    return true;
}

void SendNegotiation(Rfc2217Connection* c, uint8_t verb, uint8_t option) {
    uint8_t bytes[3] = {kIac, verb, option};
    int ignored = 0;
    SendAll(c, bytes, sizeof bytes, &ignored);
}

bool SendCommand(Rfc2217Connection* c, uint8_t command, const uint8_t* value, size_t length,
                 int* error) {
    std::vector<uint8_t> out = {kIac, kSb, kOptComPort, command};
    for (size_t i = 0; i < length; ++i) {
        out.push_back(value[i]);
        if (value[i] == kIac) {
            out.push_back(kIac);
        }
    }
    out.push_back(kIac);
    out.push_back(kSe);
    return SendAll(c, out.data(), out.size(), error);
}

bool SendControl(Rfc2217Connection* c, uint8_t value, int* error) {
    return SendCommand(c, kSetControl, &value, 1, error);
}

bool LocalOptionWanted(uint8_t option) {
    return option == kOptBinary || option == kOptSga || option == kOptComPort;
}

bool RemoteOptionWanted(uint8_t option) {
    return option == kOptBinary || option == kOptSga;
}

// Answers only requests that change an option's state, so a server repeating itself
// cannot start a negotiation loop; an unwanted option is refused once.
void Negotiate(Rfc2217Connection* c, RxState verb, uint8_t option) {
    switch (verb) {
        case RxState::Do:
            if (LocalOptionWanted(option)) {
                if (!c->localOn[option]) {
                    c->localOn[option] = true;
                    if (!c->localAsked[option]) {
                        SendNegotiation(c, kWill, option);
                    }
                }
                c->localAsked[option] = false;
                if (option == kOptComPort) {
                    c->comPortAgreed = true;
                }
            } else if (!c->localRefused[option]) {
                c->localRefused[option] = true;
                SendNegotiation(c, kWont, option);
            }
            break;
        case RxState::Dont:
            if (c->localOn[option]) {
                c->localOn[option] = false;
                SendNegotiation(c, kWont, option);
            }
            c->localAsked[option] = false;
            if (option == kOptComPort) {
                c->comPortRefused = true;
            }
            break;
        case RxState::Will:
            if (RemoteOptionWanted(option)) {
                if (!c->remoteOn[option]) {
                    c->remoteOn[option] = true;
                    if (!c->remoteAsked[option]) {
                        SendNegotiation(c, kDo, option);
                    }
                }
                c->remoteAsked[option] = false;
            } else if (!c->remoteRefused[option]) {
                c->remoteRefused[option] = true;
                SendNegotiation(c, kDont, option);
            }
            break;
        case RxState::Wont:
            if (c->remoteOn[option]) {
                c->remoteOn[option] = false;
                SendNegotiation(c, kDont, option);
            }
            c->remoteAsked[option] = false;
            break;
        default:
            break;
    }
}

// Server replies are taken leniently: only the modem state and the purge acknowledgement
// matter; anything else, short or unknown, is ignored.
void HandleSubnegotiation(Rfc2217Connection* c) {
    if (c->sub.size() < 2 || c->sub[0] != kOptComPort) {
        return;
    }
    uint8_t command = c->sub[1];
    if (command == kServerOffset + kNotifyModemstate && c->sub.size() >= 3) {
        c->cts = (c->sub[2] & kModemCts) != 0;
    } else if (command == kServerOffset + kPurgeData) {
        bool receive = c->sub.size() < 3 || (c->sub[2] & kPurgeReceive) != 0;
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

void DataByte(Rfc2217Connection* c, uint8_t byte) {
    if (c->comPortAgreed) {
        c->input.push_back(byte);
    } else if (c->banner.size() < kBannerKeep) {
        c->banner.push_back(static_cast<char>(byte));
    }
}

void Feed(Rfc2217Connection* c, uint8_t byte) {
    switch (c->rx) {
        case RxState::Data:
            if (byte == kIac) {
                c->rx = RxState::Iac;
            } else {
                DataByte(c, byte);
            }
            break;
        case RxState::Iac:
            c->rx = RxState::Data;
            if (byte == kIac) {
                DataByte(c, byte);
            } else if (byte == kWill) {
                c->rx = RxState::Will;
            } else if (byte == kWont) {
                c->rx = RxState::Wont;
            } else if (byte == kDo) {
                c->rx = RxState::Do;
            } else if (byte == kDont) {
                c->rx = RxState::Dont;
            } else if (byte == kSb) {
                c->sub.clear();
                c->rx = RxState::Sub;
            }
            break;  // other commands (NOP, GA, ...) carry nothing for us
        case RxState::Will:
        case RxState::Wont:
        case RxState::Do:
        case RxState::Dont: {
            RxState verb = c->rx;
            c->rx = RxState::Data;
            Negotiate(c, verb, byte);
            break;
        }
        case RxState::Sub:
            if (byte == kIac) {
                c->rx = RxState::SubIac;
            } else if (c->sub.size() < 64) {
                c->sub.push_back(byte);
            }
            break;
        case RxState::SubIac:
            if (byte == kIac) {
                if (c->sub.size() < 64) {
                    c->sub.push_back(byte);
                }
                c->rx = RxState::Sub;
            } else {
                // IAC SE, or a malformed end: either way the subnegotiation is over.
                c->rx = RxState::Data;
                HandleSubnegotiation(c);
            }
            break;
    }
}

// Takes in whatever the socket holds now, without waiting.
void ReadAvailable(Rfc2217Connection* c) {
    uint8_t buffer[4096];
    while (!c->closed && c->socketError == 0) {
        ssize_t n = recv(c->fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                Feed(c, buffer[i]);
            }
        } else if (n == 0) {
            c->closed = true;
        } else if (errno == EINTR) {
            continue;
        } else {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                c->socketError = errno;
            }
            return;
        }
    }
}

constexpr int64_t kNoDeadline = INT64_MAX;

// A negative time-out waits without limit.
int64_t DeadlineAfter(int timeoutMs) {
    return timeoutMs < 0 ? kNoDeadline : NowMs() + timeoutMs;
}

// Waits until something arrives or the deadline passes, then takes it in.
void WaitForInput(Rfc2217Connection* c, int64_t deadline) {
    pollfd p = {c->fd, POLLIN, 0};
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

    const uint8_t opening[] = {kIac,       kWill,   kOptBinary, kIac,    kDo,
                               kOptBinary, kIac,    kWill,      kOptSga, kIac,
                               kDo,        kOptSga, kIac,       kWill,   kOptComPort};
    c->localAsked[kOptBinary] = c->localAsked[kOptSga] = c->localAsked[kOptComPort] = true;
    c->remoteAsked[kOptBinary] = c->remoteAsked[kOptSga] = true;
    if (!SendAll(c, opening, sizeof opening, error)) {
        // A busy server may say so and hang up before the opening is even sent.
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
        uint32_t baud = static_cast<uint32_t>(s.BaudRate);
        uint8_t value[4] = {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                            static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)};
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
    uint8_t out[2] = {byte, kIac};
    if (!SendAll(c, out, byte == kIac ? 2 : 1, error)) {
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

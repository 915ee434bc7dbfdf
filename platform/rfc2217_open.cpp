// Opening a network serial port: the connection (Unix-domain socket, or TCP with a bound
// on the time), then the Telnet opening; no port command goes out before the server has
// agreed to port control, and a server that does not is recorded with what it said.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/rfc2217_client.h"
#include "platform/rfc2217_internal.h"

namespace {

constexpr int kNegotiationMs = 3000;
constexpr int kConnectMs = 5000;

// A connected socket in *fd, or false (SerialFail).
bool ConnectUnix(const char* path, int* fd) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) {
        return SerialFail(ENAMETOOLONG);
    }
    strcpy(address.sun_path, path);
    *fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (*fd < 0) {
        return SerialFail(errno);
    }
    if (connect(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(*fd);
        return SerialFail(error);
    }
    return true;
}

// One address tried with a bound, so an unreachable host is an error rather than a long
// hang: the socket in *fd, or false with errno set.
bool ConnectAddress(const addrinfo* a, int* fd) {
    *fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (*fd < 0) {
        return false;
    }
    int error = connect(*fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
        pollfd p = {*fd, POLLOUT, 0};
        error = ETIMEDOUT;
        socklen_t length = sizeof error;
        if (poll(&p, 1, kConnectMs) > 0) {
            getsockopt(*fd, SOL_SOCKET, SO_ERROR, &error, &length);
        }
    }
    if (error != 0) {
        close(*fd);
        errno = error;
        return false;
    }
    return true;
}

// A connected socket in *fd (the first address of the host that answers), or false
// (SerialFail).
bool ConnectTcp(const char* host, const char* port, int* fd) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0 || found == nullptr) {
        return SerialFail(EHOSTUNREACH);
    }
    int error = ECONNREFUSED;
    bool connected = false;
    for (addrinfo* a = found; a != nullptr && !connected; a = a->ai_next) {
        connected = ConnectAddress(a, fd);
        error = connected ? 0 : errno;
    }
    freeaddrinfo(found);
    if (!connected) {
        return SerialFail(error);
    }
    int one = 1;
    setsockopt(*fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
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

// Records why the server did not agree to port control, and what it said; returns false.
bool Refuse(const Rfc2217Connection* c) {
    SerialOpenRefusal refusal;
    if (c->comPortRefused) {
        refusal.kind = SerialRefusal::Refused;
    } else if (Rfc2217Broken(c) != 0) {
        refusal.kind = SerialRefusal::HungUp;
    } else {
        refusal.kind = SerialRefusal::NoAnswer;
    }
    refusal.where = c->where;
    refusal.said = PrintableBanner(c->banner);
    refusal.waitedSeconds = kNegotiationMs / 1000;
    const int error = refusal.kind == SerialRefusal::HungUp ? Rfc2217Broken(c) : EPROTO;
    return SerialRefuse(refusal, error);
}

// The Telnet opening; no port command may go out before the server has agreed to port
// control. False (SerialRefuse) when it does not agree.
bool AgreePortControl(Rfc2217Connection* c) {
    Rfc2217StartTelnet(c);
    TelnetAsk(&c->telnet, kWill, kOptBinary);
    TelnetAsk(&c->telnet, kDo, kOptBinary);
    TelnetAsk(&c->telnet, kWill, kOptSga);
    TelnetAsk(&c->telnet, kDo, kOptSga);
    TelnetAsk(&c->telnet, kWill, kOptComPort);
    const uint64_t askedUs = MonotonicUs();
    if (!Rfc2217Flush(c)) {
        // A busy server may say so and hang up before the opening is even sent.
        const int sendError = c->socketError;
        c->socketError = 0;
        c->telnet.out.clear();
        Rfc2217ReadAvailable(c);
        if (Rfc2217Broken(c) == 0) {
            c->socketError = sendError;
        }
    }
    const Deadline deadline = DeadlineIn(kNegotiationMs);
    while (!c->comPortAgreed && !c->comPortRefused && Rfc2217Broken(c) == 0 &&
           !DeadlinePassed(deadline)) {
        Rfc2217WaitForInput(c, deadline);
    }
    if (c->comPortAgreed) {
        Rfc2217NoteRoundTrip(c, askedUs);
    }
    return c->comPortAgreed || Refuse(c);
}

}  // namespace

Rfc2217Connection* Rfc2217Open(const char* unixPath, const char* host, const char* port) {
    int fd = -1;
    if (!(unixPath != nullptr ? ConnectUnix(unixPath, &fd) : ConnectTcp(host, port, &fd))) {
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

    Rfc2217Connection* c = new Rfc2217Connection;
    c->fd = fd;
    c->tcp = unixPath == nullptr;
    c->where =
        unixPath != nullptr ? std::string(unixPath) : std::string(host) + ":" + std::string(port);
    if (!AgreePortControl(c) || !Rfc2217SendModemMask(c)) {
        Rfc2217Close(c);
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

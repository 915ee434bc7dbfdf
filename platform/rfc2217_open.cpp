// Opening a network serial port: the connection (Unix-domain socket, or TCP with a bound
// on the time), then the Telnet opening; no port command goes out before the server has
// agreed to port control, and a server that does not is reported with what it said.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/rfc2217_client.h"
#include "platform/rfc2217_internal.h"

namespace {

constexpr int kNegotiationMs = 3000;
constexpr int kConnectMs = 5000;

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

    Rfc2217StartTelnet(c);
    TelnetAsk(&c->telnet, kWill, kOptBinary);
    TelnetAsk(&c->telnet, kDo, kOptBinary);
    TelnetAsk(&c->telnet, kWill, kOptSga);
    TelnetAsk(&c->telnet, kDo, kOptSga);
    TelnetAsk(&c->telnet, kWill, kOptComPort);
    if (!Rfc2217Flush(c, error)) {
        // A busy server may say so and hang up before the opening is even sent.
        c->socketError = 0;
        c->telnet.out.clear();
        Rfc2217ReadAvailable(c);
        if (Rfc2217Broken(c) == 0) {
            c->socketError = *error;
        }
    }

    // No port command may go out before the server has agreed to port control.
    const Deadline deadline = DeadlineIn(kNegotiationMs);
    while (!c->comPortAgreed && !c->comPortRefused && Rfc2217Broken(c) == 0 &&
           !DeadlinePassed(deadline)) {
        Rfc2217WaitForInput(c, deadline);
    }
    if (!c->comPortAgreed) {
        ReportNoPortControl(c);
        *error = c->comPortRefused || Rfc2217Broken(c) == 0 ? EPROTO : Rfc2217Broken(c);
        close(fd);
        delete c;
        return nullptr;
    }

    uint8_t mask = kModemMaskAll;
    if (!Rfc2217SendCommand(c, kSetModemstateMask, &mask, 1, error)) {
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

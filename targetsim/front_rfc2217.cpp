// The RFC 2217 front end: one client at a time with Telnet Com Port Control on a
// Unix-domain socket (and optionally on a TCP port of 127.0.0.1), so the loaders reach the
// board exactly as they reach a real board behind a serial server.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/telnet_engine.h"
#include "targetsim/front_ends.h"

namespace {

constexpr size_t kOutputHigh = 16384;

struct Client {
    int fd = -1;
    TelnetEngine telnet;     // telnet.out: bytes for the client not yet taken by the socket
    bool suspended = false;  // the client asked us to hold its data back
    uint8_t modemMask = 0xFF;
};

std::string SocketPath;
int UnixListener = -1;
int TcpListener = -1;
Client TheClient;
bool ServedOneClient = false;

void QueueReply(Client& c, uint8_t command, const std::vector<uint8_t>& value) {
    TelnetQueueCommand(&c.telnet, static_cast<uint8_t>(command + kServerOffset), value.data(),
                       value.size());
}

void NotifyModemState(Client& c, bool cts, bool changed) {
    uint8_t state = static_cast<uint8_t>((cts ? kModemCts : 0) | (changed ? kModemDeltaCts : 0));
    QueueReply(c, kNotifyModemstate, {static_cast<uint8_t>(state & c.modemMask)});
}

void OnSubnegotiation(void*, const std::vector<uint8_t>& sub) {
    if (sub.size() < 2 || sub[0] != kOptComPort) {
        return;
    }
    Client& c = TheClient;
    uint8_t command = sub[1];
    std::vector<uint8_t> value(sub.begin() + 2, sub.end());
    switch (command) {
        case kSignature:
            QueueReply(c, command, {'t', 'a', 'v', 's', 'i', 'm'});
            break;
        case kSetBaudrate:
            if (value.size() >= 4) {
                uint32_t baud = ComPortGetBaud(value.data());
                if (baud != 0) {
                    SimSetHostBaud(static_cast<int32_t>(baud));
                }
            }
            QueueReply(c, command, value);
            break;
        case kSetControl:
            if (!value.empty()) {
                uint8_t what = value[0];
                if (what == kControlNoFlow || what == kControlXonXoff) {
                    SimSetFlowControl(false);
                } else if (what == kControlHardwareFlow) {
                    SimSetFlowControl(true);
                } else if (what == kControlRtsOn || what == kControlRtsOff) {
                    SimSetRts(what == kControlRtsOn);
                }
            }
            QueueReply(c, command, value);
            break;
        case kFlowSuspend:
            c.suspended = true;
            break;
        case kFlowResume:
            c.suspended = false;
            break;
        case kSetModemstateMask:
            if (!value.empty()) {
                c.modemMask = value[0];
            }
            QueueReply(c, command, value);
            NotifyModemState(c, SimCurrentCts(), false);
            break;
        case kPurgeData:
            if (!value.empty() && (value[0] & kPurgeReceive)) {
                SimPurgeHostInput();
            }
            QueueReply(c, command, value);
            break;
        default:  // data size, parity, stop size and the rest: agreed as asked
            QueueReply(c, command, value);
            break;
    }
}

void OnData(void*, uint8_t byte) {
    SimHostByte(byte);
}

// A client that closes with our replies unread (the last line changes of a download) is
// reset by its kernel: it closed all the same.
void Disconnect(int error) {
    const bool closed = error == 0 || error == ECONNRESET || error == EPIPE;
    const std::string why = closed ? "closed" : strerror(error);
    close(TheClient.fd);
    TheClient = Client();
    ServedOneClient = true;
    SimHostDetached(why.c_str());
}

void Accept(int listener) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    if (TheClient.fd >= 0) {
        // Like a serial server whose port is in use: say so and hang up.
        const char busy[] = "tavsim: port busy, one client at a time\r\n";
        ssize_t ignored = send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL);
        (void)ignored;
        // Unread bytes would turn the close into a reset that could lose the text.
        char drain[256];
        while (recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
        }
        close(fd);
        SimLog("second client turned away: port busy");
        return;
    }
    if (listener == TcpListener) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    TheClient = Client();
    TheClient.fd = fd;
    TelnetEngine& t = TheClient.telnet;
    TelnetInit(&t, {kOptBinary, kOptSga}, {kOptBinary, kOptSga, kOptComPort}, 256,
               {nullptr, OnData, OnSubnegotiation, nullptr});
    TelnetAsk(&t, kWill, kOptBinary);
    TelnetAsk(&t, kDo, kOptBinary);
    TelnetAsk(&t, kWill, kOptSga);
    TelnetAsk(&t, kDo, kOptSga);
    SimHostAttached(listener == TcpListener ? "client connected (tcp)" : "client connected");
}

// A client that does not read what we send is not read either, so neither our queue of
// replies nor the board's output grows without bound; TCP holds the client back.
bool ClientReadable() {
    return TheClient.fd >= 0 && TheClient.telnet.out.size() < kOutputHigh && SimTakesHostInput();
}

void ReadClient() {
    uint8_t buffer[4096];
    while (ClientReadable()) {
        ssize_t n = recv(TheClient.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            TelnetReceive(&TheClient.telnet, buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            Disconnect(0);
            return;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        } else {
            Disconnect(errno);
            return;
        }
    }
}

void FlushClient() {
    Client& c = TheClient;
    while (c.fd >= 0 && !c.telnet.out.empty()) {
        ssize_t n =
            send(c.fd, c.telnet.out.data(), c.telnet.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.telnet.out.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            Disconnect(n < 0 ? errno : 0);
        }
    }
}

void AddPollFds(std::vector<pollfd>* fds) {
    for (int listener : {UnixListener, TcpListener}) {
        if (listener >= 0) {
            fds->push_back({listener, POLLIN, 0});
        }
    }
    if (TheClient.fd >= 0) {
        short events = ClientReadable() ? POLLIN : 0;
        if (!TheClient.telnet.out.empty()) {
            events |= POLLOUT;
        }
        fds->push_back({TheClient.fd, events, 0});
    }
}

void HandleEvents(const pollfd* fds, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (fds[i].fd == TheClient.fd && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
            ReadClient();
            // One not read any more shows a hang-up as a failed send.
            FlushClient();
        }
    }
    for (size_t i = 0; i < count; ++i) {
        bool listener = fds[i].fd == UnixListener || fds[i].fd == TcpListener;
        if (listener && (fds[i].revents & POLLIN)) {
            Accept(fds[i].fd);
        }
    }
    FlushClient();
}

bool HostAttached() {
    return TheClient.fd >= 0;
}

size_t OutputRoom() {
    if (TheClient.fd < 0 || TheClient.suspended || TheClient.telnet.out.size() >= kOutputHigh) {
        return 0;
    }
    return kOutputHigh - TheClient.telnet.out.size();
}

void PutOutput(uint8_t byte) {
    TelnetQueueData(&TheClient.telnet, byte);
}

void ReportCts(bool cts) {
    NotifyModemState(TheClient, cts, true);
}

bool ServedOne() {
    return ServedOneClient;
}

void Shutdown() {
    if (TheClient.fd >= 0) {
        FlushClient();
        close(TheClient.fd);
        TheClient = Client();
    }
    if (UnixListener >= 0) {
        close(UnixListener);
        unlink(SocketPath.c_str());
    }
    if (TcpListener >= 0) {
        close(TcpListener);
    }
}

int ListenUnix(const std::string& path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        fprintf(stderr, "tavsim: socket path too long: %s\n", path.c_str());
        return -1;
    }
    strcpy(address.sun_path, path.c_str());
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            fprintf(stderr, "tavsim: %s exists and is not a socket\n", path.c_str());
            return -1;
        }
        unlink(path.c_str());  // left over from an earlier run
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0) {
        fprintf(stderr, "tavsim: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    return fd;
}

int ListenTcp(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(*port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fprintf(stderr, "tavsim: cannot listen on 127.0.0.1:%d: %s\n", *port, strerror(errno));
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

bool Rfc2217Listen(const std::string& socketPath, int* tcpPort, std::string* where) {
    SocketPath = socketPath;
    if (!socketPath.empty()) {
        UnixListener = ListenUnix(socketPath);
        if (UnixListener < 0) {
            return false;
        }
    }
    if (*tcpPort >= 0) {
        TcpListener = ListenTcp(tcpPort);
        if (TcpListener < 0) {
            if (!socketPath.empty()) {
                unlink(socketPath.c_str());
            }
            return false;
        }
    }
    *where = socketPath;
    if (TcpListener >= 0) {
        *where +=
            (where->empty() ? "" : " and ") + std::string("127.0.0.1:") + std::to_string(*tcpPort);
    }
    return true;
}

const SimFrontEnd& Rfc2217FrontEnd() {
    static const SimFrontEnd front = {AddPollFds, HandleEvents, HostAttached, OutputRoom, PutOutput,
                                      ReportCts,  FlushClient,  ServedOne,    Shutdown};
    return front;
}

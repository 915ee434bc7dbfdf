// netdelay: a TCP relay on 127.0.0.1 that holds every chunk it receives a fixed one-way time
// before it passes it on, in each direction: a distant network serial server for tests and
// the benchmark, on a kernel without a network emulator. Chunks keep their order and their
// bounds (one send per chunk, Nagle off on both sides), so what the far end sees is the
// near end's segments, only later.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: netdelay --to HOST:PORT --one-way-ms MS [--listen PORT]\n"
    "Listens on 127.0.0.1:PORT (0, the default: any free port) and relays each client to\n"
    "HOST:PORT, holding every chunk MS milliseconds in each direction (a round trip of twice\n"
    "MS). Prints \"netdelay: listening on 127.0.0.1:PORT\" once it accepts clients.\n";

// Received but not yet passed on: stop reading a side while this much waits for it.
constexpr size_t kHeldLimit = 1 << 20;

struct Chunk {
    int64_t dueUs;
    std::string bytes;
    size_t sent = 0;
};

// One direction of a relayed connection.
struct Flow {
    int from = -1;
    int to = -1;
    std::deque<Chunk> held;
    size_t heldBytes = 0;
    bool ended = false;     // `from` sent its end
    bool shutDown = false;  // the end was passed on
};

struct Relay {
    Flow up;    // client to server
    Flow down;  // server to client
    bool broken = false;
};

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void Fail(const std::string& message) {
    fprintf(stderr, "netdelay: %s\n", message.c_str());
    exit(2);
}

void NoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int ConnectTo(const std::string& host, const std::string& port) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        NoDelay(fd);
    }
    return fd;
}

int Listen(int port, int* boundPort) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail(std::string("cannot listen on 127.0.0.1: ") + strerror(errno));
    }
    *boundPort = ntohs(address.sin_port);
    return fd;
}

// Takes in one chunk from the flow's source; it is due `delayUs` from now.
void Receive(Flow* flow, int64_t delayUs, bool* broken) {
    char buffer[65536];
    ssize_t n = recv(flow->from, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        flow->held.push_back(Chunk{NowUs() + delayUs, std::string(buffer, size_t(n))});
        flow->heldBytes += size_t(n);
    } else if (n == 0) {
        flow->ended = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        *broken = true;
    }
}

// Passes on the chunks that are due, each with its own send; stops at a full socket.
void PassOn(Flow* flow, bool* broken) {
    const int64_t now = NowUs();
    while (!flow->held.empty() && flow->held.front().dueUs <= now) {
        Chunk& chunk = flow->held.front();
        ssize_t n = send(flow->to, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                *broken = true;
            }
            return;
        }
        chunk.sent += size_t(n);
        if (chunk.sent < chunk.bytes.size()) {
            return;
        }
        flow->heldBytes -= chunk.bytes.size();
        flow->held.pop_front();
    }
    if (flow->held.empty() && flow->ended && !flow->shutDown) {
        shutdown(flow->to, SHUT_WR);
        flow->shutDown = true;
    }
}

bool Finished(const Relay& relay) {
    return relay.broken || (relay.up.shutDown && relay.down.shutDown);
}

// What to wait for on one side: its data when there is room, room when a due chunk waits.
short Events(const Flow& out, const Flow& in, int64_t now) {
    short events = 0;
    if (!out.ended && out.heldBytes < kHeldLimit) {
        events |= POLLIN;
    }
    if (!in.held.empty() && in.held.front().dueUs <= now) {
        events |= POLLOUT;
    }
    return events;
}

}  // namespace

int main(int argc, char** argv) {
    std::string target;
    long oneWayMs = -1;
    int listenPort = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (i + 1 >= argc) {
            fprintf(stderr, "%s", kUsage);
            return 2;
        }
        const std::string value = argv[++i];
        if (word == "--to") {
            target = value;
        } else if (word == "--one-way-ms") {
            oneWayMs = strtol(value.c_str(), nullptr, 10);
        } else if (word == "--listen") {
            listenPort = static_cast<int>(strtol(value.c_str(), nullptr, 10));
        } else {
            fprintf(stderr, "%s", kUsage);
            return 2;
        }
    }
    const size_t colon = target.rfind(':');
    if (colon == std::string::npos || oneWayMs < 0 || oneWayMs > 60000 || listenPort < 0 ||
        listenPort > 65535) {
        fprintf(stderr, "%s", kUsage);
        return 2;
    }
    const std::string host = target.substr(0, colon);
    const std::string port = target.substr(colon + 1);
    const int64_t delayUs = oneWayMs * 1000;
    signal(SIGPIPE, SIG_IGN);

    int boundPort = 0;
    const int listener = Listen(listenPort, &boundPort);
    printf("netdelay: listening on 127.0.0.1:%d\n", boundPort);
    fflush(stdout);

    std::vector<Relay*> relays;
    for (;;) {
        const int64_t now = NowUs();
        std::vector<pollfd> fds = {{listener, POLLIN, 0}};
        int64_t nextDue = -1;
        for (Relay* r : relays) {
            // A side with nothing to wait for is left out: a closed socket would wake the poll
            // at once, again and again, while chunks are still held for it.
            const short clientEvents = Events(r->up, r->down, now);
            const short serverEvents = Events(r->down, r->up, now);
            fds.push_back({clientEvents != 0 ? r->up.from : -1, clientEvents, 0});
            fds.push_back({serverEvents != 0 ? r->down.from : -1, serverEvents, 0});
            for (const Flow* f : {&r->up, &r->down}) {
                if (!f->held.empty() && f->held.front().dueUs > now &&
                    (nextDue < 0 || f->held.front().dueUs < nextDue)) {
                    nextDue = f->held.front().dueUs;
                }
            }
        }
        // Wakes at the due time to the microsecond: a millisecond poll would add up to one per
        // hop.
        timespec wait = {0, 0};
        if (nextDue >= 0) {
            wait.tv_sec = (nextDue - now) / 1000000;
            wait.tv_nsec = long((nextDue - now) % 1000000) * 1000;
        }
        if (ppoll(fds.data(), fds.size(), nextDue >= 0 ? &wait : nullptr, nullptr) < 0 &&
            errno != EINTR) {
            Fail(std::string("poll: ") + strerror(errno));
        }
        if (fds[0].revents & POLLIN) {
            int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                NoDelay(client);
                int server = ConnectTo(host, port);
                if (server < 0) {
                    fprintf(stderr, "netdelay: cannot reach %s\n", target.c_str());
                    close(client);
                } else {
                    Relay* r = new Relay;
                    r->up.from = r->down.to = client;
                    r->up.to = r->down.from = server;
                    relays.push_back(r);
                }
            }
        }
        for (size_t k = 0; k + 1 < fds.size(); k += 2) {
            Relay* r = relays[k / 2];
            if (!r->up.ended && (fds[k + 1].revents & (POLLIN | POLLHUP | POLLERR))) {
                Receive(&r->up, delayUs, &r->broken);
            }
            if (!r->down.ended && (fds[k + 2].revents & (POLLIN | POLLHUP | POLLERR))) {
                Receive(&r->down, delayUs, &r->broken);
            }
        }
        for (size_t k = 0; k < relays.size();) {
            Relay* r = relays[k];
            PassOn(&r->up, &r->broken);
            PassOn(&r->down, &r->broken);
            if (Finished(*r)) {
                close(r->up.from);
                close(r->up.to);
                delete r;
                relays.erase(relays.begin() + long(k));
            } else {
                ++k;
            }
        }
    }
}

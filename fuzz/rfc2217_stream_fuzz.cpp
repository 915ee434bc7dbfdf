// The RFC 2217 client's stream: the input is what the server sends, repeated (so that a
// flood of option toggles can form), through a socket pair into the client's own reading
// and sending; this target plays the server in the same thread. Then Telnet engines set
// up as the client's and as the simulated board's take the input. Properties: the receive queue
// holds at most 4096 data bytes and the queue of answers stays bounded, even while the server reads
// nothing; the data bytes come out in order with the Telnet commands taken out and IAC IAC as 255;
// a request for an option state already in force gets no answer; two engines back to back, with
// requests and partial deliveries scripted by the input, fall silent within a few rounds.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/rfc2217_internal.h"

namespace {

constexpr size_t kInputLimit = 4096;  // a real port's receive queue
// The client stops reading at 16 KB of unsent answers; one chunk read adds at most its size.
constexpr size_t kAnswerBound = 24 * 1024;
constexpr size_t kStreamLimit = 1 << 20;
constexpr int kQuietRounds = 8;

// The data bytes of a stream, decoded on their own: before the server's DO COM-PORT they
// are the banner (its first 240 kept), after it the port's data.
struct Decoded {
    std::string banner;
    std::vector<uint8_t> data;
};

Decoded Decode(const std::vector<uint8_t>& stream, bool agreed) {
    enum { kData, kIacSeen, kVerb, kSub, kSubIac } state = kData;
    Decoded d;
    uint8_t verb = 0;
    auto emit = [&](uint8_t b) {
        if (agreed) {
            d.data.push_back(b);
        } else if (d.banner.size() < 240) {
            d.banner.push_back(static_cast<char>(b));
        }
    };
    for (uint8_t b : stream) {
        switch (state) {
            case kData:
                b == kIac ? void(state = kIacSeen) : emit(b);
                break;
            case kIacSeen:
                verb = b;
                state = b >= kWill && b <= kDont ? kVerb : b == kSb ? kSub : kData;
                if (b == kIac) {
                    emit(b);
                }
                break;
            case kVerb:
                agreed = agreed || (verb == kDo && b == kOptComPort);
                state = kData;
                break;
            case kSub:
                state = b == kIac ? kSubIac : kSub;
                break;
            case kSubIac:  // IAC SE or any other end closes it
                state = b == kIac ? kSub : kData;
                break;
        }
    }
    return d;
}

size_t Unread(int fd) {
    int count = 0;
    ioctl(fd, FIONREAD, &count);
    return static_cast<size_t>(count);
}

// The client against a server that sends `stream` as fast as the socket takes it and
// reads the answers; with `lazyServer` it reads them only when nothing else moves, with
// `busyLoader` the client's data are read only then.
void RunClient(const std::vector<uint8_t>& stream, bool agreed, bool lazyServer, bool busyLoader) {
    int fds[2];
    Expect(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) == 0, "socket pair");
    const int small = 4096;  // fills fast, so the full-socket paths are taken
    for (int fd : fds) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    Rfc2217Connection c;
    c.fd = fds[0];
    Rfc2217StartTelnet(&c);
    TelnetAsk(&c.telnet, kWill, kOptComPort);
    c.comPortAgreed = agreed;
    const Decoded expected = Decode(stream, agreed);

    size_t sent = 0;
    size_t taken = 0;
    bool shut = false;
    bool stuck = false;
    while (!(c.closed && c.input.empty())) {
        bool moved = false;
        if (sent < stream.size()) {
            const ssize_t n = send(fds[1], stream.data() + sent, stream.size() - sent,
                                   MSG_DONTWAIT | MSG_NOSIGNAL);
            sent += n > 0 ? static_cast<size_t>(n) : 0;
            moved = n > 0;
        } else if (!shut) {
            shut = moved = shutdown(fds[1], SHUT_WR) == 0;
        }
        if (!lazyServer || stuck) {
            char sink[4096];
            while (recv(fds[1], sink, sizeof sink, MSG_DONTWAIT) > 0) {
                moved = true;
            }
        }
        const size_t unread = Unread(fds[0]);
        const bool wasClosed = c.closed;
        Rfc2217ReadAvailable(&c);
        Expect(c.input.size() <= kInputLimit, "the receive queue holds at most 4096 bytes");
        Expect(c.telnet.out.size() <= kAnswerBound, "the queue of answers stays bounded");
        Expect(c.socketError == 0, "the socket stays usable");
        moved = moved || Unread(fds[0]) != unread || c.closed != wasClosed;
        if (!busyLoader || stuck || c.closed) {
            moved = moved || !c.input.empty();
            for (; !c.input.empty(); c.input.pop_front(), ++taken) {
                Expect(taken < expected.data.size() && c.input.front() == expected.data[taken],
                       "data bytes come out in order, unescaped");
            }
        }
        Expect(moved || !stuck, "the stream keeps moving");
        stuck = !moved;
    }
    Expect(taken == expected.data.size(), "every data byte came out");
    Expect(c.banner == expected.banner, "the banner is the text before port control");
    close(fds[0]);
    close(fds[1]);
}

// Feeds one byte; a request for the state an option is already in gets no answer.
void FeedChecked(TelnetEngine* t, uint8_t byte) {
    const bool verb = t->rx >= TelnetRx::Will && t->rx <= TelnetRx::Dont;
    const bool local = t->rx == TelnetRx::Do || t->rx == TelnetRx::Dont;
    const bool enable = t->rx == TelnetRx::Do || t->rx == TelnetRx::Will;
    const bool inForce = (local ? t->localOn : t->remoteOn)[byte] == enable;
    const size_t queued = t->out.size();
    TelnetReceive(t, &byte, 1);
    Expect(!verb || !inForce || t->out.size() == queued,
           "no answer to a request for a state in force");
}

void StartBoardTelnet(TelnetEngine* t) {
    TelnetInit(t, {kOptBinary, kOptSga}, {kOptBinary, kOptSga, kOptComPort}, 256, {});
}

// Both engines take the input as if from their peer.
void FeedEngines(const std::vector<uint8_t>& stream) {
    Rfc2217Connection client;
    Rfc2217StartTelnet(&client);
    client.comPortAgreed = true;
    TelnetEngine board;
    StartBoardTelnet(&board);
    for (uint8_t byte : stream) {
        FeedChecked(&client.telnet, byte);
        FeedChecked(&board, byte);
    }
    Expect(
        std::vector<uint8_t>(client.input.begin(), client.input.end()) == Decode(stream, true).data,
        "the engine gives the data bytes in order, unescaped");
}

// Hands on the first `limit` bytes queued for the peer.
void Deliver(TelnetEngine* from, TelnetEngine* to, size_t limit) {
    const std::string bytes = from->out.substr(0, limit);
    from->out.erase(0, bytes.size());
    for (char ch : bytes) {
        FeedChecked(to, static_cast<uint8_t>(ch));
    }
}

// The client's and the board's engine back to back after their opening requests; the
// input scripts more requests and how many bytes arrive at a time. Then both fall silent.
void RunEnginePair(const std::vector<uint8_t>& script) {
    Rfc2217Connection client;
    Rfc2217StartTelnet(&client);
    TelnetEngine& a = client.telnet;
    TelnetEngine b;
    StartBoardTelnet(&b);
    for (uint8_t option : {kOptBinary, kOptSga}) {
        TelnetAsk(&a, kWill, option);
        TelnetAsk(&a, kDo, option);
        TelnetAsk(&b, kWill, option);
        TelnetAsk(&b, kDo, option);
    }
    TelnetAsk(&a, kWill, kOptComPort);
    static const uint8_t kOptions[] = {kOptBinary, 1, kOptSga, kOptComPort};
    for (uint8_t step : script) {
        const size_t count = 1 + (step >> 2);
        switch (step & 3) {
            case 0:
                Deliver(&a, &b, count);
                break;
            case 1:
                Deliver(&b, &a, count);
                break;
            default:
                TelnetAsk((step & 3) == 2 ? &a : &b, (step & 4) != 0 ? kWill : kDo,
                          kOptions[(step >> 3) & 3]);
                break;
        }
    }
    for (int round = 0; round < kQuietRounds && !(a.out.empty() && b.out.empty()); ++round) {
        Deliver(&a, &b, a.out.size());
        Deliver(&b, &a, b.out.size());
    }
    Expect(a.out.empty() && b.out.empty(), "two engines fall silent within a few rounds");
}

}  // namespace

// The first byte: bits 0-4 the number of copies (31: as many as fit in 1 MB, a flood; else
// 1, 2, 4 or 8), bit 5 a lazy server, bit 6 a busy loader, bit 7 port control agreed from
// the start.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::vector<uint8_t> once(data + 1, data + size);
    const size_t copies = (data[0] & 31) == 31 ? kStreamLimit : size_t{1} << ((data[0] & 31) / 8);
    std::vector<uint8_t> stream;
    for (size_t n = 0; n < copies && stream.size() + once.size() <= kStreamLimit; ++n) {
        stream.insert(stream.end(), once.begin(), once.end());
    }
    RunClient(stream, (data[0] & 0x80) != 0, (data[0] & 0x20) != 0, (data[0] & 0x40) != 0);
    FeedEngines(once);
    RunEnginePair(once);
    return 0;
}

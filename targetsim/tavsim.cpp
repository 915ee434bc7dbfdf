// tavsim: the simulated target board behind a network serial server. It serves one client
// at a time with Telnet Com Port Control on a Unix-domain socket (and optionally on a TCP
// port of 127.0.0.1), so the loaders reach it exactly as they reach a real board behind a
// serial server. One board lives as long as the server: flash and RAM survive reconnects.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/telnet_comport.h"
#include "targetsim/board.h"

namespace {

constexpr uint64_t kCtsCheckUs = 2000;  // CTS changes are reported within this time
constexpr uint64_t kIdleWaitUs = 100000;
constexpr size_t kOutputHigh = 16384;

volatile sig_atomic_t StopRequested = 0;

void OnStopSignal(int) {
    StopRequested = 1;
}

enum class RxState { Data, Iac, Will, Wont, Do, Dont, Sub, SubIac };

struct Client {
    int fd = -1;
    RxState rx = RxState::Data;
    std::vector<uint8_t> sub;
    std::string out;  // bytes for the client not yet taken by the socket
    bool localOn[256] = {};
    bool localAsked[256] = {};
    bool localRefused[256] = {};
    bool remoteOn[256] = {};
    bool remoteAsked[256] = {};
    bool remoteRefused[256] = {};
    bool hardwareFlow = false;
    bool suspended = false;  // the client asked us to hold its data back
    uint8_t modemMask = 0xFF;
    bool reportedCts = false;
};

struct Server {
    std::string socketPath;
    int tcpPort = -1;
    std::string ramImagePath;
    bool once = false;
    FILE* log = stderr;

    int unixListener = -1;
    int tcpListener = -1;
    Board* board = nullptr;
    size_t logShown = 0;
    bool ramStarted = false;
    Client client;
    bool servedOne = false;
};

timespec StartTime;

uint64_t NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t us = (static_cast<int64_t>(ts.tv_sec) - StartTime.tv_sec) * 1000000 +
                 (ts.tv_nsec - StartTime.tv_nsec) / 1000;
    return static_cast<uint64_t>(us);
}

void Log(Server& s, const char* format, const std::string& text) {
    fprintf(s.log, "[%10.3f] ", static_cast<double>(NowUs()) / 1e6);
    fprintf(s.log, format, text.c_str());
    fputc('\n', s.log);
    fflush(s.log);
}

void ShowBoardLog(Server& s) {
    const std::vector<std::string>& lines = BoardLog(s.board);
    for (; s.logShown < lines.size(); ++s.logShown) {
        Log(s, "board: %s", lines[s.logShown]);
    }
}

// RAM image file: a line "entry XXXXXX", then one line "AAAAAA WWWWWWWW" per word
// (address and word in upper-case hex), sorted by address.
void WriteRamImage(Server& s, uint32_t entry) {
    FILE* f = fopen(s.ramImagePath.c_str(), "w");
    if (f == nullptr) {
        Log(s, "cannot write the RAM image %s", s.ramImagePath);
        return;
    }
    fprintf(f, "entry %06X\n", entry);
    for (const auto& word : BoardRam(s.board)) {
        fprintf(f, "%06X %08X\n", word.first, word.second);
    }
    fclose(f);
    Log(s, "RAM image written to %s", s.ramImagePath);
}

void CheckRamStart(Server& s) {
    uint32_t entry = 0;
    bool started = BoardRamStarted(s.board, &entry);
    if (started && !s.ramStarted && !s.ramImagePath.empty()) {
        WriteRamImage(s, entry);
    }
    s.ramStarted = started;
}

void Queue(Client& c, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) {
        c.out.push_back(static_cast<char>(b));
    }
}

void QueueReply(Client& c, uint8_t command, const std::vector<uint8_t>& value) {
    Queue(c, {kIac, kSb, kOptComPort, static_cast<uint8_t>(command + kServerOffset)});
    for (uint8_t b : value) {
        c.out.push_back(static_cast<char>(b));
        if (b == kIac) {
            c.out.push_back(static_cast<char>(kIac));
        }
    }
    Queue(c, {kIac, kSe});
}

void NotifyModemState(Client& c, bool cts, bool changed) {
    uint8_t state = static_cast<uint8_t>((cts ? kModemCts : 0) | (changed ? kModemDeltaCts : 0));
    QueueReply(c, kNotifyModemstate, {static_cast<uint8_t>(state & c.modemMask)});
    c.reportedCts = cts;
}

// Answers only requests that change an option's state; unknown options are refused once.
void Negotiate(Client& c, RxState verb, uint8_t option) {
    bool localWanted = option == kOptBinary || option == kOptSga;
    bool remoteWanted = localWanted || option == kOptComPort;
    switch (verb) {
        case RxState::Do:
            if (localWanted) {
                if (!c.localOn[option] && !c.localAsked[option]) {
                    Queue(c, {kIac, kWill, option});
                }
                c.localOn[option] = true;
                c.localAsked[option] = false;
            } else if (!c.localRefused[option]) {
                c.localRefused[option] = true;
                Queue(c, {kIac, kWont, option});
            }
            break;
        case RxState::Dont:
            if (c.localOn[option]) {
                Queue(c, {kIac, kWont, option});
            }
            c.localOn[option] = false;
            c.localAsked[option] = false;
            break;
        case RxState::Will:
            if (remoteWanted) {
                if (!c.remoteOn[option] && !c.remoteAsked[option]) {
                    Queue(c, {kIac, kDo, option});
                }
                c.remoteOn[option] = true;
                c.remoteAsked[option] = false;
            } else if (!c.remoteRefused[option]) {
                c.remoteRefused[option] = true;
                Queue(c, {kIac, kDont, option});
            }
            break;
        case RxState::Wont:
            if (c.remoteOn[option]) {
                Queue(c, {kIac, kDont, option});
            }
            c.remoteOn[option] = false;
            c.remoteAsked[option] = false;
            break;
        default:
            break;
    }
}

void PortCommand(Server& s, Client& c) {
    if (c.sub.size() < 2 || c.sub[0] != kOptComPort) {
        return;
    }
    uint8_t command = c.sub[1];
    std::vector<uint8_t> value(c.sub.begin() + 2, c.sub.end());
    uint64_t now = NowUs();
    switch (command) {
        case kSignature:
            QueueReply(c, command, {'t', 'a', 'v', 's', 'i', 'm'});
            break;
        case kSetBaudrate:
            if (value.size() >= 4) {
                uint32_t baud = (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) |
                                (uint32_t{value[2]} << 8) | value[3];
                if (baud != 0) {
                    BoardSetHostBaud(s.board, static_cast<int32_t>(baud), now);
                }
            }
            QueueReply(c, command, value);
            break;
        case kSetDatasize:
        case kSetParity:
        case kSetStopsize:
            QueueReply(c, command, value);
            break;
        case kSetControl:
            if (!value.empty()) {
                uint8_t what = value[0];
                // Line changes are logged so a run's last state of RTS can be checked.
                if (what == kControlNoFlow || what == kControlXonXoff) {
                    c.hardwareFlow = false;
                    Log(s, "%s", "line: flow control off");
                } else if (what == kControlHardwareFlow) {
                    // The port drives RTS high while handshaking.
                    c.hardwareFlow = true;
                    Log(s, "%s", "line: hardware flow control on, RTS on");
                    BoardSetRts(s.board, true, now);
                } else if (what == kControlRtsOn) {
                    Log(s, "%s", "line: RTS on");
                    BoardSetRts(s.board, true, now);
                } else if (what == kControlRtsOff) {
                    Log(s, "%s", "line: RTS off");
                    BoardSetRts(s.board, false, now);
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
            NotifyModemState(c, BoardCts(s.board, now), false);
            break;
        case kPurgeData:
            // Receive: what the board has sent and the client has not got yet.
            if (!value.empty() && (value[0] & 1)) {
                BoardDiscardOutput(s.board, now);
            }
            QueueReply(c, command, value);
            break;
        default:
            QueueReply(c, command, value);
            break;
    }
}

void Feed(Server& s, Client& c, uint8_t byte) {
    switch (c.rx) {
        case RxState::Data:
            if (byte == kIac) {
                c.rx = RxState::Iac;
            } else {
                BoardReceiveByte(s.board, byte, NowUs());
            }
            break;
        case RxState::Iac:
            c.rx = RxState::Data;
            if (byte == kIac) {
                BoardReceiveByte(s.board, byte, NowUs());
            } else if (byte == kWill) {
                c.rx = RxState::Will;
            } else if (byte == kWont) {
                c.rx = RxState::Wont;
            } else if (byte == kDo) {
                c.rx = RxState::Do;
            } else if (byte == kDont) {
                c.rx = RxState::Dont;
            } else if (byte == kSb) {
                c.sub.clear();
                c.rx = RxState::Sub;
            }
            break;
        case RxState::Will:
        case RxState::Wont:
        case RxState::Do:
        case RxState::Dont: {
            RxState verb = c.rx;
            c.rx = RxState::Data;
            Negotiate(c, verb, byte);
            break;
        }
        case RxState::Sub:
            if (byte == kIac) {
                c.rx = RxState::SubIac;
            } else if (c.sub.size() < 256) {
                c.sub.push_back(byte);
            }
            break;
        case RxState::SubIac:
            if (byte == kIac) {
                if (c.sub.size() < 256) {
                    c.sub.push_back(byte);
                }
                c.rx = RxState::Sub;
            } else {
                c.rx = RxState::Data;
                PortCommand(s, c);
            }
            break;
    }
}

void Disconnect(Server& s, const char* why) {
    close(s.client.fd);
    s.client = Client();
    s.servedOne = true;
    Log(s, "client disconnected (%s)", why);
}

void Accept(Server& s, int listener) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    if (s.client.fd >= 0) {
        // Like a serial server whose port is in use: say so and hang up.
        const char busy[] = "tavsim: port busy, one client at a time\r\n";
        ssize_t ignored = send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL);
        (void)ignored;
        // Unread bytes would turn the close into a reset that could lose the text.
        char drain[256];
        while (recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
        }
        close(fd);
        Log(s, "%s", "second client turned away: port busy");
        return;
    }
    if (listener == s.tcpListener) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    s.client = Client();
    s.client.fd = fd;
    Client& c = s.client;
    Queue(c, {kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kWill, kOptSga, kIac, kDo,
              kOptSga});
    c.localAsked[kOptBinary] = c.localAsked[kOptSga] = true;
    c.remoteAsked[kOptBinary] = c.remoteAsked[kOptSga] = true;
    c.reportedCts = BoardCts(s.board, NowUs());
    Log(s, "%s", listener == s.tcpListener ? "client connected (tcp)" : "client connected");
}

// Moves the board's output that has fully arrived by now into the client's buffer.
void CollectOutput(Server& s, Client& c) {
    uint64_t now = NowUs();
    uint8_t byte = 0;
    uint64_t readyAt = 0;
    while (!c.suspended && c.out.size() < kOutputHigh &&
           BoardPeekOutput(s.board, &byte, &readyAt) && readyAt <= now) {
        c.out.push_back(static_cast<char>(byte));
        if (byte == kIac) {
            c.out.push_back(static_cast<char>(kIac));
        }
        BoardPopOutput(s.board);
    }
}

void CheckCts(Server& s, Client& c) {
    bool cts = BoardCts(s.board, NowUs());
    if (cts != c.reportedCts) {
        NotifyModemState(c, cts, true);
    }
}

bool Flush(Server& s) {
    Client& c = s.client;
    while (!c.out.empty()) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        } else {
            Disconnect(s, strerror(errno));
            return false;
        }
    }
    return true;
}

bool ReadClient(Server& s) {
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = recv(s.client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                Feed(s, s.client, buffer[i]);
            }
        } else if (n == 0) {
            Disconnect(s, "closed");
            return false;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        } else {
            Disconnect(s, strerror(errno));
            return false;
        }
    }
}

// Waits for socket events, but never past the next board output or CTS check.
uint64_t WaitUs(Server& s) {
    if (s.client.fd < 0) {
        return kIdleWaitUs;
    }
    uint64_t wait = kCtsCheckUs;
    uint8_t byte = 0;
    uint64_t readyAt = 0;
    if (!s.client.suspended && s.client.out.size() < kOutputHigh &&
        BoardPeekOutput(s.board, &byte, &readyAt)) {
        uint64_t now = NowUs();
        wait = std::min(wait, readyAt > now ? readyAt - now : 0);
    }
    return wait;
}

void Serve(Server& s) {
    while (!StopRequested && !(s.once && s.servedOne)) {
        std::vector<pollfd> fds;
        for (int listener : {s.unixListener, s.tcpListener}) {
            if (listener >= 0) {
                fds.push_back({listener, POLLIN, 0});
            }
        }
        size_t clientSlot = fds.size();
        if (s.client.fd >= 0) {
            short events = POLLIN;
            if (!s.client.out.empty()) {
                events |= POLLOUT;
            }
            fds.push_back({s.client.fd, events, 0});
        }
        uint64_t wait = WaitUs(s);
        timespec timeout = {static_cast<time_t>(wait / 1000000),
                            static_cast<long>((wait % 1000000) * 1000)};
        int ready = ppoll(fds.data(), fds.size(), &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            Log(s, "poll failed: %s", strerror(errno));
            return;
        }
        if (ready > 0 && s.client.fd >= 0 &&
            (fds[clientSlot].revents & (POLLIN | POLLHUP | POLLERR))) {
            ReadClient(s);
        }
        if (s.client.fd >= 0) {
            CheckCts(s, s.client);
            CollectOutput(s, s.client);
            Flush(s);
        }
        CheckRamStart(s);
        ShowBoardLog(s);
        if (ready > 0) {
            for (size_t i = 0; i < clientSlot; ++i) {
                if (fds[i].revents & POLLIN) {
                    Accept(s, fds[i].fd);
                }
            }
            if (s.client.fd >= 0) {
                Flush(s);
            }
        }
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

const char kUsage[] =
    "usage: tavsim --socket PATH [--tcp PORT] [options]\n"
    "Simulated target board behind an RFC 2217 (Telnet Com Port Control) server, one\n"
    "client at a time. Prints \"tavsim: listening on ...\" once it accepts clients.\n"
    "  --socket PATH           listen on this Unix-domain socket (a stale one is replaced)\n"
    "  --tcp PORT              also listen on 127.0.0.1:PORT (0: any free port)\n"
    "  --log FILE              log what the board sees to FILE instead of stderr\n"
    "  --once                  exit after the first client disconnects\n"
    "  --ram-image FILE        when the RAM program starts, write FILE: a line\n"
    "                          \"entry XXXXXX\", then \"AAAAAA WWWWWWWW\" per word (hex,\n"
    "                          sorted by address)\n"
    "Board:\n"
    "  --baud 38400|115200     the firmware's own rate (default 115200)\n"
    "  --pacing                each byte takes 10 bits at the line rate\n"
    "  --ready-ms N            CTS rises N ms after the RTS pulse (default 150)\n"
    "  --flash-dir DIR         keep stored programs in DIR (default: memory only)\n"
    "  --flash-capacity WORDS  flash size in words\n"
    "Faults:\n"
    "  --answer-pair N         answer only the N-th sync pair\n"
    "  --cts-never             CTS never rises after the reset\n"
    "  --cts-stuck             CTS stays on, never drops after the RTS pulse\n"
    "  --cts-late-ms N         CTS rises N ms later than normal\n"
    "  --noise-after-sync N    send N 0x00 bytes after the sync answer\n"
    "  --junk-after-sync N     send N arbitrary bytes after the sync answer\n"
    "  --answer-noise          answer the sync pair with 0x00\n"
    "  --ram-bad-checksum K    wrong checksum for RAM packet K\n"
    "  --ram-silent-from K     no RAM answers from packet K on\n"
    "  --flash-corrupt-echo K  corrupt the echo of the K-th byte received\n"
    "  --flash-bad-checksum K  wrong checksum for flash packet K\n"
    "  --flash-result K:V      flash packet K gets result V\n"
    "  --flash-end-status S    status after the end-download command (default 4)\n"
    "  --flash-fillers N       send N fillers where the protocol allows\n"
    "  --flash-silent-from K   send nothing from the K-th byte received on\n"
    "  --help                  this text\n";

[[noreturn]] void UsageError(const std::string& what) {
    fprintf(stderr, "tavsim: %s\n%s", what.c_str(), kUsage);
    exit(2);
}

int64_t Number(const std::string& option, const char* text) {
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0) {
        UsageError(option + " needs a non-negative number, not \"" + text + "\"");
    }
    return value;
}

void ParseArguments(int argc, char** argv, Server& s, BoardOptions& b) {
    std::string logPath;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                UsageError(option + " needs a value");
            }
            return argv[++i];
        };
        auto number = [&]() { return Number(option, next()); };
        if (option == "--help" || option == "-h") {
            fputs(kUsage, stdout);
            exit(0);
        } else if (option == "--socket") {
            s.socketPath = next();
        } else if (option == "--tcp") {
            s.tcpPort = static_cast<int>(number());
            if (s.tcpPort > 65535) {
                UsageError("--tcp needs a port number");
            }
        } else if (option == "--log") {
            logPath = next();
        } else if (option == "--once") {
            s.once = true;
        } else if (option == "--ram-image") {
            s.ramImagePath = next();
        } else if (option == "--baud") {
            b.baud = static_cast<int32_t>(number());
            if (b.baud != 38400 && b.baud != 115200) {
                UsageError("--baud is 38400 or 115200");
            }
        } else if (option == "--pacing") {
            b.pacing = true;
        } else if (option == "--ready-ms") {
            b.readyDelayUs = static_cast<uint64_t>(number()) * 1000;
        } else if (option == "--flash-dir") {
            b.flashFolder = next();
        } else if (option == "--flash-capacity") {
            b.flashCapacityWords = static_cast<uint32_t>(number());
        } else if (option == "--answer-pair") {
            b.answerPair = static_cast<int32_t>(number());
        } else if (option == "--cts-never") {
            b.ctsNeverRises = true;
        } else if (option == "--cts-stuck") {
            b.ctsStuckOn = true;
        } else if (option == "--cts-late-ms") {
            b.ctsLateUs = static_cast<uint64_t>(number()) * 1000;
        } else if (option == "--noise-after-sync") {
            b.noiseAfterSync = static_cast<int32_t>(number());
        } else if (option == "--junk-after-sync") {
            b.junkAfterSync = static_cast<int32_t>(number());
        } else if (option == "--answer-noise") {
            b.answerWithNoise = true;
        } else if (option == "--ram-bad-checksum") {
            b.ramWrongChecksumAt = static_cast<int32_t>(number());
        } else if (option == "--ram-silent-from") {
            b.ramSilentFrom = static_cast<int32_t>(number());
        } else if (option == "--flash-corrupt-echo") {
            b.flashCorruptEchoAt = number();
        } else if (option == "--flash-bad-checksum") {
            b.flashWrongChecksumAt = static_cast<int32_t>(number());
        } else if (option == "--flash-result") {
            std::string value = next();
            size_t colon = value.find(':');
            if (colon == std::string::npos) {
                UsageError("--flash-result needs K:V");
            }
            b.flashResultAt = static_cast<int32_t>(Number(option, value.substr(0, colon).c_str()));
            b.flashResultValue =
                static_cast<int32_t>(Number(option, value.substr(colon + 1).c_str()));
        } else if (option == "--flash-end-status") {
            b.flashEndStatus = static_cast<int32_t>(number());
        } else if (option == "--flash-fillers") {
            b.flashFillers = static_cast<int32_t>(number());
        } else if (option == "--flash-silent-from") {
            b.flashSilentFrom = number();
        } else {
            UsageError("unknown option " + option);
        }
    }
    if (s.socketPath.empty() && s.tcpPort < 0) {
        UsageError("give --socket PATH (and/or --tcp PORT)");
    }
    if (!logPath.empty()) {
        s.log = fopen(logPath.c_str(), "a");
        if (s.log == nullptr) {
            fprintf(stderr, "tavsim: cannot open the log %s: %s\n", logPath.c_str(),
                    strerror(errno));
            exit(2);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    clock_gettime(CLOCK_MONOTONIC, &StartTime);
    Server s;
    BoardOptions options;
    ParseArguments(argc, argv, s, options);

    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!s.socketPath.empty()) {
        s.unixListener = ListenUnix(s.socketPath);
        if (s.unixListener < 0) {
            return 2;
        }
    }
    if (s.tcpPort >= 0) {
        s.tcpListener = ListenTcp(&s.tcpPort);
        if (s.tcpListener < 0) {
            if (!s.socketPath.empty()) {
                unlink(s.socketPath.c_str());
            }
            return 2;
        }
    }

    s.board = BoardCreate(options);
    std::string where = s.socketPath;
    if (s.tcpListener >= 0) {
        where +=
            (where.empty() ? "" : " and ") + std::string("127.0.0.1:") + std::to_string(s.tcpPort);
    }
    printf("tavsim: listening on %s\n", where.c_str());
    fflush(stdout);
    Log(s, "board at %s", std::to_string(options.baud) + " baud");

    Serve(s);

    if (s.client.fd >= 0) {
        Flush(s);
        close(s.client.fd);
    }
    ShowBoardLog(s);
    if (s.unixListener >= 0) {
        close(s.unixListener);
        unlink(s.socketPath.c_str());
    }
    if (s.tcpListener >= 0) {
        close(s.tcpListener);
    }
    Log(s, "%s", StopRequested ? "stopped by signal" : "done");
    BoardDestroy(s.board);
    if (s.log != stderr) {
        fclose(s.log);
    }
    return 0;
}

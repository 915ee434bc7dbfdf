// The network serial port client against a scripted server on a Unix socket in a temporary
// folder: negotiation, command encoding, 0xFF escaping, modem state, time-outs and a
// vanishing server.
#include "platform/rfc2217_client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform_testing.h"
#include "platform/serial_posix_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;

const Bytes kClientOpening = {IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44};
const Bytes kModemMask = {IAC, SB, 44, 11, IAC, IAC, IAC, SE};

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void SendBytes(int fd, const Bytes& bytes) {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// Reads until `count` bytes came or `timeoutMs` passed.
Bytes ReadBytes(int fd, size_t count, int timeoutMs = 2000) {
    Bytes got;
    auto start = Clock::now();
    while (got.size() < count) {
        int left = timeoutMs - static_cast<int>(MsSince(start));
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) {
            break;
        }
        uint8_t buffer[256];
        ssize_t n = recv(fd, buffer, std::min(sizeof buffer, count - got.size()), 0);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

// A listening socket in a fresh folder; the script runs on the accepted connection in a
// thread while the client opens.
class ScriptedServer {
  public:
    ScriptedServer() {
        char folder[] = "/tmp/rfc2217testXXXXXX";
        folder_ = mkdtemp(folder);
        path_ = folder_ + "/COM1";
        listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, path_.c_str());
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 2);
    }
    ~ScriptedServer() {
        Finish();
        if (fd_ >= 0) {
            close(fd_);
        }
        close(listener_);
        unlink(path_.c_str());
        rmdir(folder_.c_str());
    }
    void Run(std::function<void(int fd)> script) {
        thread_ = std::thread([this, script] {
            pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) {
                return;
            }
            fd_ = accept(listener_, nullptr, nullptr);
            script(fd_);
        });
    }
    // Waits for the script; the accepted connection stays open for the test.
    int Finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return fd_;
    }
    // Hangs up on the client.
    void CloseConnection() {
        Finish();
        close(fd_);
        fd_ = -1;
    }
    const char* path() const { return path_.c_str(); }

  private:
    std::string folder_;
    std::string path_;
    int listener_ = -1;
    int fd_ = -1;
    std::thread thread_;
};

// The usual server side of the opening; records what the client sent before DO 44.
void AgreeOpening(int fd, Bytes* beforeAgreement, Bytes* afterAgreement) {
    *beforeAgreement = ReadBytes(fd, kClientOpening.size());
    SendBytes(fd, {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, DO, 44});
    *afterAgreement = ReadBytes(fd, kModemMask.size());
}

struct OpenClient {
    ScriptedServer server;
    Rfc2217Connection* connection = nullptr;
    int fd = -1;

    OpenClient() {
        Bytes before, after;
        server.Run([&](int s) { AgreeOpening(s, &before, &after); });
        connection = Rfc2217Open(server.path(), nullptr, nullptr);
        fd = server.Finish();
        EXPECT_EQ(before, kClientOpening);
        EXPECT_EQ(after, kModemMask);
    }
    ~OpenClient() { Rfc2217Close(connection); }
};

TEST(Rfc2217Negotiation, SkipsBannerAndSendsNoPortCommandBeforeAgreement) {
    ScriptedServer server;
    Bytes opening, quietBeforeAgreement, afterAgreement;
    server.Run([&](int fd) {
        SendBytes(fd, {'W', 'e', 'l', 'c', 'o', 'm', 'e', '\r', '\n'});
        opening = ReadBytes(fd, kClientOpening.size());
        // Nothing more may come while the server has not agreed to port control.
        quietBeforeAgreement = ReadBytes(fd, 1, 150);
        SendBytes(fd, {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, DO, 44});
        afterAgreement = ReadBytes(fd, kModemMask.size());
    });
    Rfc2217Connection* c = Rfc2217Open(server.path(), nullptr, nullptr);
    server.Finish();
    ASSERT_NE(c, nullptr) << SerialLastError();
    EXPECT_EQ(opening, kClientOpening);
    EXPECT_TRUE(quietBeforeAgreement.empty());
    EXPECT_EQ(afterAgreement, kModemMask);

    uint32_t queued = 99;
    ASSERT_TRUE(Rfc2217QueuedInput(c, &queued));
    EXPECT_EQ(queued, 0u) << "the banner is not data";
    Rfc2217Close(c);
}

TEST(Rfc2217Negotiation, RepeatedRequestsGetNoAnswerAndUnknownOnesOneRefusal) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    // Requests the client already agreed to, twice, and an unknown option twice.
    SendBytes(client.fd, {IAC, DO,  0,  IAC, WILL, 3,  IAC, DO,  44,   IAC, DO,  0,    IAC, WILL,
                          3,   IAC, DO, 24,  IAC,  DO, 24,  IAC, WILL, 1,   IAC, WILL, 1});
    ASSERT_TRUE(Rfc2217SetRts(client.connection, true));
    const Bytes refusalsThenRtsOn = {IAC, WONT, 24, IAC, DONT, 1, IAC, SB, 44, 5, 11, IAC, SE};
    EXPECT_EQ(ReadBytes(client.fd, refusalsThenRtsOn.size()), refusalsThenRtsOn);
    EXPECT_TRUE(ReadBytes(client.fd, 1, 100).empty());
}

TEST(Rfc2217Negotiation, ServerThatNeverAgreesFailsTheOpenWithItsText) {
    ScriptedServer server;
    server.Run([](int fd) {
        ReadBytes(fd, kClientOpening.size());
        SendBytes(fd, {'P', 'o', 'r', 't', ' ', 'i', 'n', ' ', 'u', 's', 'e', '\r', '\n'});
    });
    auto start = Clock::now();
    Rfc2217Connection* c = Rfc2217Open(server.path(), nullptr, nullptr);
    int64_t elapsed = MsSince(start);
    server.Finish();
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(SerialLastError(), EPROTO);
    EXPECT_GE(elapsed, 2990);  // the whole 3 s (whole ms on both clocks)
    EXPECT_EQ(SerialLastRefusal().kind, SerialRefusal::NoAnswer);
    EXPECT_EQ(SerialLastRefusal().waitedSeconds, 3);
    EXPECT_EQ(SerialLastRefusal().said, "Port in use");
}

TEST(Rfc2217Negotiation, ServerHangingUpDuringOpenFailsAtOnce) {
    ScriptedServer server;
    server.Run([](int fd) {
        SendBytes(fd, {'b', 'u', 's', 'y', '\r', '\n'});
        shutdown(fd, SHUT_WR);
    });
    auto start = Clock::now();
    Rfc2217Connection* c = Rfc2217Open(server.path(), nullptr, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(SerialLastError(), ECONNRESET);
    EXPECT_LT(MsSince(start), 2990) << "the open waited out the 3 s of a silent server";
    EXPECT_EQ(SerialLastRefusal().kind, SerialRefusal::HungUp);
    EXPECT_EQ(SerialLastRefusal().said, "busy");
    EXPECT_EQ(SerialLastRefusal().where, server.path());
}

TEST(Rfc2217Negotiation, RefusedPortControlFailsAtOnce) {
    ScriptedServer server;
    server.Run([](int fd) {
        ReadBytes(fd, kClientOpening.size());
        SendBytes(fd, {IAC, DONT, 44});
    });
    auto start = Clock::now();
    Rfc2217Connection* c = Rfc2217Open(server.path(), nullptr, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(SerialLastError(), EPROTO);
    EXPECT_LT(MsSince(start), 2990) << "the open waited out the 3 s of a silent server";
    EXPECT_EQ(SerialLastRefusal().kind, SerialRefusal::Refused);
}

TEST(Rfc2217Negotiation, MissingSocketIsAnOpenErrorWithErrno) {
    EXPECT_EQ(Rfc2217Open("/tmp/no-such-dir-for-rfc2217/COM1", nullptr, nullptr), nullptr);
    EXPECT_EQ(SerialLastError(), ENOENT);
}

TEST(Rfc2217Commands, FirstSettingsGoOutInFullThenOnlyChanges) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    SerialSettings settings;
    settings.BaudRate = 115200;
    ASSERT_TRUE(Rfc2217Apply(client.connection, settings));
    const Bytes full = {IAC, SB, 44, 1, 0x00, 0x01, 0xC2, 0x00, IAC, SE,  // 115200
                        IAC, SB, 44, 2, 8,    IAC,  SE,                   // 8 data bits
                        IAC, SB, 44, 3, 1,    IAC,  SE,                   // no parity
                        IAC, SB, 44, 4, 1,    IAC,  SE,                   // one stop bit
                        IAC, SB, 44, 5, 1,    IAC,  SE,                   // no flow control
                        IAC, SB, 44, 5, 12,   IAC,  SE,                   // RTS off
                        IAC, SB, 44, 5, 9,    IAC,  SE};                  // DTR off
    EXPECT_EQ(ReadBytes(client.fd, full.size()), full);

    settings.BaudRate = 38400;
    ASSERT_TRUE(Rfc2217Apply(client.connection, settings));
    const Bytes rate = {IAC, SB, 44, 1, 0x00, 0x00, 0x96, 0x00, IAC, SE};
    EXPECT_EQ(ReadBytes(client.fd, rate.size()), rate);

    settings.fOutxCtsFlow = true;
    settings.fRtsControl = kRtsControlHandshake;
    ASSERT_TRUE(Rfc2217Apply(client.connection, settings));
    settings.fOutxCtsFlow = false;
    settings.fRtsControl = kRtsControlDisable;
    ASSERT_TRUE(Rfc2217Apply(client.connection, settings));
    const Bytes handshakeOnThenOff = {IAC, SB,  44, 5,   3,  IAC, SE, IAC, SB,  44, 5,
                                      1,   IAC, SE, IAC, SB, 44,  5,  12,  IAC, SE};
    EXPECT_EQ(ReadBytes(client.fd, handshakeOnThenOff.size()), handshakeOnThenOff);
    EXPECT_TRUE(ReadBytes(client.fd, 1, 100).empty());
}

TEST(Rfc2217Commands, IacInAValueIsDoubled) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    SerialSettings settings;
    settings.BaudRate = 0x0100FF;
    ASSERT_TRUE(Rfc2217Apply(client.connection, settings));
    const Bytes rate = {IAC, SB, 44, 1, 0x00, 0x01, 0x00, IAC, IAC, IAC, SE};
    EXPECT_EQ(ReadBytes(client.fd, rate.size()), rate);
}

TEST(Rfc2217Commands, RtsAndPurgeEncodingAndReleaseForExit) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    ASSERT_TRUE(Rfc2217SetRts(client.connection, true));
    ASSERT_TRUE(Rfc2217SetRts(client.connection, false));
    ASSERT_TRUE(Rfc2217Purge(client.connection, kPurgeTxAbort | kPurgeTxClear));
    Rfc2217ReleaseLinesForExit(client.connection);
    const Bytes expected = {IAC, SB, 44,  5,  11,  IAC, SE, IAC, SB, 44,  5,  12,
                            IAC, SE, IAC, SB, 44,  12,  2,  IAC, SE, IAC, SB, 44,
                            5,   1,  IAC, SE, IAC, SB,  44, 5,   12, IAC, SE};
    EXPECT_EQ(ReadBytes(client.fd, expected.size()), expected);
}

TEST(Rfc2217Data, IacIsDoubledBothWaysAndOnlyDataIsCounted) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    uint32_t written = 0;
    ASSERT_TRUE(Rfc2217Write(client.connection, 0xFF, &written, false, 100));
    EXPECT_EQ(written, 1u);
    ASSERT_TRUE(Rfc2217Write(client.connection, 0x0F, &written, false, 100));
    EXPECT_EQ(ReadBytes(client.fd, 3), (Bytes{IAC, IAC, 0x0F}));

    // A reply, a modem state and a no-op between the data bytes 0xFF, 'A' and 0x00.
    SendBytes(client.fd, {IAC, IAC, IAC, SB,  44, 101, 0,   1,    0xC2, 0,  IAC, SE,
                          'A', IAC, 241, IAC, SB, 44,  107, 0x10, IAC,  SE, 0x00});
    uint32_t queued = 0;
    ASSERT_TRUE(Rfc2217QueuedInput(client.connection, &queued));
    EXPECT_EQ(queued, 3u);
    Bytes got;
    for (int i = 0; i < 3; ++i) {
        uint8_t byte = 0;
        uint32_t count = 0;
        ASSERT_TRUE(Rfc2217Read(client.connection, &byte, &count, 100));
        ASSERT_EQ(count, 1u);
        got.push_back(byte);
    }
    EXPECT_EQ(got, (Bytes{0xFF, 'A', 0x00}));
}

TEST(Rfc2217Data, ReadTimesOutEmptyAfterItsTime) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    auto start = Clock::now();
    uint8_t byte = 0;
    uint32_t got = 7;
    ASSERT_TRUE(Rfc2217Read(client.connection, &byte, &got, 150));
    EXPECT_EQ(got, 0u);
    EXPECT_GE(MsSince(start), 149);
}

TEST(Rfc2217ModemState, CtsFollowsNotificationsAndIsOffBeforeTheFirst) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    bool cts = true;
    ASSERT_TRUE(Rfc2217GetCts(client.connection, &cts));
    EXPECT_FALSE(cts);
    SendBytes(client.fd, {IAC, SB, 44, 107, 0x11, IAC, SE});
    ASSERT_TRUE(Rfc2217GetCts(client.connection, &cts));
    EXPECT_TRUE(cts);
    SendBytes(client.fd, {IAC, SB, 44, 107, 0x01, IAC, SE});
    ASSERT_TRUE(Rfc2217GetCts(client.connection, &cts));
    EXPECT_FALSE(cts);
    SendBytes(client.fd, {IAC, SB, 44, 107, IAC, IAC, IAC, SE});  // every line on
    ASSERT_TRUE(Rfc2217GetCts(client.connection, &cts));
    EXPECT_TRUE(cts);
}

// A server that looks at the lines only now and then may report CTS from before a reset.
TEST(Rfc2217ModemState, AfterAnRtsChangeOnlyAReportAfterItsAcknowledgementCounts) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    bool cts = false;
    const Bytes on = {IAC, SB, 44, 107, 0x10, IAC, SE};
    SendBytes(client.fd, on);
    ASSERT_TRUE(Rfc2217GetCts(client.connection, &cts));
    EXPECT_TRUE(cts);
    ASSERT_TRUE(Rfc2217SetRts(client.connection, true));
    ASSERT_TRUE(Rfc2217SetRts(client.connection, false));
    ASSERT_TRUE(Rfc2217GetCts(client.connection, &cts));
    EXPECT_FALSE(cts) << "the report from before the pulse is not current";
    SendBytes(client.fd, on);
    SendBytes(client.fd, {IAC, SB, 44, 105, 11, IAC, SE});
    ASSERT_TRUE(Rfc2217GetCts(client.connection, &cts));
    EXPECT_FALSE(cts) << "one acknowledgement is still owed";
    SendBytes(client.fd, {IAC, SB, 44, 105, 12, IAC, SE});
    SendBytes(client.fd, on);
    // Reports are taken in as they come; a bounded wait for the last one.
    auto start = Clock::now();
    while (Rfc2217GetCts(client.connection, &cts) && !cts && MsSince(start) < 2000) {
        ReadBytes(client.fd, 1, 5);
    }
    EXPECT_TRUE(cts);
}

// A late look still sees the board's reset: a drop and a rise reported together after the
// pulse show as off to the first look, then on.
TEST(Rfc2217ModemState, DropAndRiseReportedTogetherShowTheDropFirst) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    ASSERT_TRUE(Rfc2217SetRts(client.connection, true));
    ASSERT_TRUE(Rfc2217SetRts(client.connection, false));
    SendBytes(client.fd, {IAC, SB, 44, 105, 11,   IAC, SE, IAC, SB, 44, 105, 12,   IAC, SE,
                          IAC, SB, 44, 107, 0x00, IAC, SE, IAC, SB, 44, 107, 0x10, IAC, SE});
    bool cts = true;
    ASSERT_TRUE(Rfc2217GetCts(client.connection, &cts));
    EXPECT_FALSE(cts);
    ASSERT_TRUE(Rfc2217GetCts(client.connection, &cts));
    EXPECT_TRUE(cts);
}

// After the reset pulse a polling server is asked for the state again once a look of it
// has surely come (a look period and a quarter after the pulse was acknowledged); a server
// that reports at once is never asked, so a CTS that does not change stays unreported.
TEST(Rfc2217ModemState, PollingServerIsAskedAgainAfterALookPeriod) {
    const Bytes askAgain = {IAC, SB, 44, 11, IAC, IAC, IAC, SE, IAC, SB, 44, 7, IAC, SE};
    struct Row {
        const char* server;
        bool acksMask;
        int lookMs;
        int askAfterMs;  // -1: never asked
    } rows[] = {
        {"no mask acknowledgement: a look every second", false, kLookFromMask, 1250},
        {"mask acknowledged: reports at once", true, kLookFromMask, -1},
        {"poll-ms=200 on the entry", true, 200, 250},
        {"poll-ms=0 on the entry", false, kLookAtOnce, -1},
    };
    for (const Row& row : rows) {
        OpenClient client;
        ASSERT_NE(client.connection, nullptr);
        Rfc2217SetLookPeriod(client.connection, row.lookMs);
        if (row.acksMask) {
            SendBytes(client.fd, {IAC, SB, 44, 111, IAC, IAC, IAC, SE});
        }
        bool cts = false;
        ASSERT_TRUE(Rfc2217SetRts(client.connection, true));
        ASSERT_TRUE(Rfc2217SetRts(client.connection, false));
        ReadBytes(client.fd, 14);
        SendBytes(client.fd, {IAC, SB, 44, 105, 11, IAC, SE, IAC, SB, 44, 105, 12, IAC, SE});
        const auto acked = Clock::now();
        // Load can only make the question later: it must not come early, and it must come.
        const int64_t boundMs = row.askAfterMs < 0 ? 1600 : row.askAfterMs + 3000;
        Bytes asked;
        while (Rfc2217GetCts(client.connection, &cts) && asked.size() < askAgain.size() &&
               MsSince(acked) < boundMs) {
            Bytes got = ReadBytes(client.fd, askAgain.size() - asked.size(), 5);
            asked.insert(asked.end(), got.begin(), got.end());
        }
        const int64_t askedAfter = MsSince(acked);
        if (row.askAfterMs < 0) {
            EXPECT_TRUE(asked.empty()) << row.server;
            EXPECT_FALSE(cts) << row.server;
            continue;
        }
        EXPECT_EQ(asked, askAgain) << row.server;
        EXPECT_GE(askedAfter, row.askAfterMs - 1) << row.server;  // whole ms on both clocks
        SendBytes(client.fd, {IAC, SB, 44, 107, 0x10, IAC, SE});  // the answer: CTS on
        while (Rfc2217GetCts(client.connection, &cts) && !cts && MsSince(acked) < boundMs) {
            ReadBytes(client.fd, 1, 5);
        }
        EXPECT_TRUE(cts) << row.server;
    }
}

// How late CTS may show after an RTS change: the acknowledgement's wait and a round trip,
// and for a polling server its ask again (a look period and a quarter) and one more.
TEST(Rfc2217ModemState, CtsLagCoversThePollingServersAskAgain) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    for (const auto& [lookMs, lagMs] :
         {std::pair<int, uint32_t>{kLookAtOnce, 200}, {60000, 75200}}) {
        Rfc2217SetLookPeriod(client.connection, lookMs);
        SerialDelays delays;
        Rfc2217GetDelays(client.connection, &delays);
        EXPECT_TRUE(delays.network);
        const uint32_t roundTrips = lookMs == kLookAtOnce ? 1 : 2;
        EXPECT_EQ(delays.ctsLagMs, lagMs + roundTrips * delays.roundTripMs) << lookMs;
    }
}

TEST(Rfc2217ModemState, WriteWithFlowControlDropsTheByteWhileCtsStaysOff) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    uint32_t written = 9;
    auto start = Clock::now();
    ASSERT_TRUE(Rfc2217Write(client.connection, 0x0F, &written, true, 100));
    EXPECT_EQ(written, 0u);
    EXPECT_GE(MsSince(start), 99);
    EXPECT_TRUE(ReadBytes(client.fd, 1, 100).empty());

    SendBytes(client.fd, {IAC, SB, 44, 107, 0x10, IAC, SE});
    ASSERT_TRUE(Rfc2217Write(client.connection, 0x0F, &written, true, 100));
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(ReadBytes(client.fd, 1), Bytes{0x0F});
}

TEST(Rfc2217ModemState, WriteWaitsForCtsRisingDuringItsTimeout) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    int fd = client.fd;
    std::thread raiser([fd] {
        ReadBytes(fd, 1, 100);  // the client sends nothing while it waits
        SendBytes(fd, {IAC, SB, 44, 107, 0x10, IAC, SE});
    });
    // Off at the call: the byte goes out only because the write waited for CTS.
    uint32_t written = 0;
    ASSERT_TRUE(Rfc2217Write(client.connection, 0x7F, &written, true, 2000));
    raiser.join();
    EXPECT_EQ(written, 1u);
}

TEST(Rfc2217Purge, DropsBufferedInputAndWhatCameBeforeTheAcknowledgement) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    SendBytes(client.fd, {'o', 'l', 'd'});
    uint32_t queued = 0;
    ASSERT_TRUE(Rfc2217QueuedInput(client.connection, &queued));
    EXPECT_EQ(queued, 3u);

    int fd = client.fd;
    Bytes command;
    std::thread server([fd, &command] {
        command = ReadBytes(fd, 7);
        SendBytes(fd, {'s', 't', 'a', 'l', 'e', IAC, SB, 44, 112, 1, IAC, SE, 'n', 'e', 'w'});
    });
    ASSERT_TRUE(Rfc2217Purge(client.connection, kPurgeRxAbort | kPurgeRxClear));
    server.join();
    EXPECT_EQ(command, (Bytes{IAC, SB, 44, 12, 1, IAC, SE}));
    std::string got;
    uint8_t byte = 0;
    uint32_t count = 0;
    while (Rfc2217Read(client.connection, &byte, &count, 200) && count == 1) {
        got.push_back(static_cast<char>(byte));
    }
    EXPECT_EQ(got, "new");
}

// The second purge owes nothing: a late acknowledgement after it does not drop the byte
// that came before it, as it would if the purge still waited for one.
TEST(Rfc2217Purge, ServerThatNeverAcknowledgesIsWaitedForOnlyOnce) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    ASSERT_TRUE(Rfc2217Purge(client.connection, 15));
    int fd = client.fd;
    Bytes commands;
    std::thread server([fd, &commands] {
        commands = ReadBytes(fd, 14);
        SendBytes(fd, {'x', IAC, SB, 44, 112, 1, IAC, SE});
    });
    ASSERT_TRUE(Rfc2217Purge(client.connection, 15));
    server.join();
    EXPECT_EQ(commands, (Bytes{IAC, SB, 44, 12, 3, IAC, SE, IAC, SB, 44, 12, 3, IAC, SE}));
    uint8_t byte = 0;
    uint32_t count = 0;
    ASSERT_TRUE(Rfc2217Read(client.connection, &byte, &count, 1000));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(byte, 'x');
}

TEST(Rfc2217Closed, ReadAndWriteFailWithAnErrnoWhenTheServerHangsUp) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    SendBytes(client.fd, {'z'});
    client.server.CloseConnection();
    uint8_t byte = 0;
    uint32_t got = 0;
    ASSERT_TRUE(Rfc2217Read(client.connection, &byte, &got, 2000));
    EXPECT_EQ(byte, 'z') << "data that came before the hang-up is still delivered";
    EXPECT_FALSE(Rfc2217Read(client.connection, &byte, &got, 2000));
    EXPECT_EQ(SerialLastError(), ECONNRESET);
    uint32_t written = 0;
    SerialFail(0);  // EIO, so that the write's own error shows
    EXPECT_FALSE(Rfc2217Write(client.connection, 0x0F, &written, false, 100));
    const int error = SerialLastError();
    EXPECT_TRUE(error == ECONNRESET || error == EPIPE) << error;
    bool cts = false;
    EXPECT_FALSE(Rfc2217GetCts(client.connection, &cts));
    EXPECT_FALSE(Rfc2217SetRts(client.connection, false));
}

TEST(Rfc2217Closed, ReadWithoutLimitEndsWhenTheServerHangsUp) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    ScriptedServer& server = client.server;
    std::thread hangUp([&server] {
        ReadBytes(server.Finish(), 1, 100);  // the reader sends nothing while it waits
        server.CloseConnection();
    });
    uint8_t byte = 0;
    uint32_t got = 0;
    EXPECT_FALSE(Rfc2217Read(client.connection, &byte, &got, kNoLimit));
    hangUp.join();
    EXPECT_EQ(SerialLastError(), ECONNRESET);
}

// A server that floods option toggles and never reads: each toggle earns an answer, and
// answers that cannot go out end the connection with an error after the send stall time,
// instead of a queue without end or a parser that calls itself until the stack is gone.
TEST(Rfc2217Hostile, ToggleFloodFromAServerThatNeverReadsEndsWithAnError) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    int fd = client.fd;
    std::thread flood([fd] {
        Bytes toggles;
        for (int i = 0; i < 4096; ++i) {
            toggles.insert(toggles.end(), {IAC, WONT, 0, IAC, WILL, 0});
        }
        for (int round = 0; round < 400; ++round) {  // about 10 MB at the most
            if (send(fd, toggles.data(), toggles.size(), MSG_NOSIGNAL) <= 0) {
                return;
            }
        }
    });
    bool alive = true;
    auto start = Clock::now();
    while (alive && MsSince(start) < 8000) {
        uint8_t byte = 0;
        uint32_t got = 0;
        alive = Rfc2217Read(client.connection, &byte, &got, 100);
    }
    EXPECT_FALSE(alive);
    EXPECT_EQ(SerialLastError(), ETIMEDOUT);
    Rfc2217Close(client.connection);  // lets the flood's last send fail
    client.connection = nullptr;
    flood.join();
}

// Data flooding in while CTS stays off: the receive queue stops at a real port's 4096
// bytes, the socket holds the rest back, and every byte still arrives, in order.
TEST(Rfc2217Hostile, DataFloodWhileCtsIsOffIsHeldBackAndNothingIsLost) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    constexpr size_t kFlood = 512 * 1024;  // well beyond what the socket buffers hold
    int fd = client.fd;
    std::thread flood([fd] {
        Bytes data(kFlood);
        for (size_t i = 0; i < kFlood; ++i) {
            data[i] = static_cast<uint8_t>(i % 251);
        }
        for (size_t done = 0; done < kFlood;) {
            ssize_t n = send(fd, data.data() + done, kFlood - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            done += static_cast<size_t>(n);
        }
    });
    Rfc2217Connection* c = client.connection;
    uint32_t queued = 0;
    // Each write is dropped while CTS stays off; meanwhile the queue fills, up to its size.
    for (auto start = Clock::now(); queued < 4096 && MsSince(start) < 10000;) {
        uint32_t written = 9;
        ASSERT_TRUE(Rfc2217Write(c, 0x0F, &written, true, 20)) << SerialLastError();
        EXPECT_EQ(written, 0u);
        ASSERT_TRUE(Rfc2217QueuedInput(c, &queued));
        ASSERT_LE(queued, 4096u);
    }
    EXPECT_EQ(queued, 4096u) << "the queue fills up to its size";
    size_t count = 0;
    size_t misplaced = 0;
    uint32_t mostQueued = 0;
    for (; count < kFlood; ++count) {
        ASSERT_TRUE(Rfc2217QueuedInput(c, &queued));
        mostQueued = std::max(mostQueued, queued);
        uint8_t byte = 0;
        uint32_t got = 0;
        ASSERT_TRUE(Rfc2217Read(c, &byte, &got, 1000));
        if (got == 0) {
            break;
        }
        misplaced += byte != count % 251 ? 1 : 0;
    }
    flood.join();
    EXPECT_EQ(count, kFlood);
    EXPECT_EQ(misplaced, 0u);
    EXPECT_LE(mostQueued, 4096u);
}

// Queued writes coalesce: nothing goes out until a read, a line change or an explicit flush
// (or the queue's size limit), and then all of it, in order, IAC doubled.
TEST(Rfc2217Batching, QueuedWritesGoOutBeforeTheNextReadOrLineChange) {
    OpenClient client;
    ASSERT_NE(client.connection, nullptr);
    Rfc2217Connection* c = client.connection;
    uint32_t written = 0;
    for (uint8_t byte : {0x01, 0xFF, 0x02}) {
        ASSERT_TRUE(Rfc2217WriteQueued(c, byte, &written, false, 100));
        EXPECT_EQ(written, 1u);
    }
    EXPECT_TRUE(ReadBytes(client.fd, 1, 50).empty()) << "held back until the next read";
    uint8_t byte = 0;
    uint32_t got = 0;
    ASSERT_TRUE(Rfc2217Read(c, &byte, &got, 0));
    EXPECT_EQ(ReadBytes(client.fd, 4), (Bytes{0x01, IAC, IAC, 0x02}));

    ASSERT_TRUE(Rfc2217WriteQueued(c, 0x03, &written, false, 100));
    ASSERT_TRUE(Rfc2217SetRts(c, true));
    EXPECT_EQ(ReadBytes(client.fd, 8), (Bytes{0x03, IAC, SB, 44, 5, 11, IAC, SE}));

    ASSERT_TRUE(Rfc2217WriteQueued(c, 0x04, &written, false, 100));
    ASSERT_TRUE(Rfc2217Flush(c));
    EXPECT_EQ(ReadBytes(client.fd, 1), Bytes{0x04});

    // A long run goes out in pieces as the queue fills, without any read.
    for (int i = 0; i < 3000; ++i) {
        ASSERT_TRUE(Rfc2217WriteQueued(c, 0x55, &written, false, 100));
    }
    Bytes early = ReadBytes(client.fd, 3000, 200);
    EXPECT_GE(early.size(), 2000u);
    EXPECT_LT(early.size(), 3000u);
}

}  // namespace

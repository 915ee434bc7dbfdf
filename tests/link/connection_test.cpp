// Target connection against the board model: reset, CTS wait, rate search, key abort.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake/fake_platform.h"
#include "link/link.h"

namespace {

constexpr uint8_t kSync = 0x0F;  // the RAM firmware's

class ConnectionTest : public ::testing::Test {
  protected:
    void Start(const BoardOptions& options, int32_t storedBaud) {
        FakeReset(options);
        storedBaud_ = storedBaud;
        OpenComPort(1, storedBaud);
    }

    int Connect(int32_t* attempts, bool trace = false) {
        answer = TargetAnswer{0, 0, false};
        const int code =
            FakeRunCapturing([&] { answer = ConnectTarget(kSync, storedBaud_, trace); }, &output);
        *attempts = answer.attempts;
        return code;
    }

    std::string output;
    TargetAnswer answer{0, 0, false};
    int32_t storedBaud_ = 0;
};

BoardOptions BoardAt(int32_t baud) {
    BoardOptions options;
    options.baud = baud;
    return options;
}

TEST_F(ConnectionTest, AnswerAtTheStoredRateOnTheFirstAttempt) {
    for (int32_t baud : {38400, 115200}) {
        Start(BoardAt(baud), baud);
        int32_t attempts = 0;
        EXPECT_EQ(Connect(&attempts), -1);
        EXPECT_EQ(attempts, 1);
        EXPECT_EQ(answer.baud, baud);
        EXPECT_FALSE(answer.roundMissed);
        EXPECT_EQ(FakePortBaud(), baud);
        EXPECT_TRUE(FakeCtsFlowOn());
        EXPECT_EQ(output, "");
    }
}

TEST_F(ConnectionTest, OtherRateAnswersAfterTwoFailedAttempts) {
    Start(BoardAt(115200), 38400);
    int32_t attempts = 0;
    EXPECT_EQ(Connect(&attempts), -1);
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(answer.baud, 115200);
    EXPECT_TRUE(answer.roundMissed);

    Start(BoardAt(38400), 115200);
    EXPECT_EQ(Connect(&attempts), -1);
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(answer.baud, 38400);
    EXPECT_TRUE(answer.roundMissed);
}

TEST_F(ConnectionTest, BoardAnsweringOnlyTheSecondPairCountsBothAttempts) {
    BoardOptions options = BoardAt(115200);
    options.answerPair = 2;
    Start(options, 115200);
    int32_t attempts = 0;
    EXPECT_EQ(Connect(&attempts), -1);
    EXPECT_EQ(attempts, 2);
    EXPECT_FALSE(answer.roundMissed);
}

TEST_F(ConnectionTest, SyncPairsGoOutTwiceAtEachRateAlternately) {
    Start(BoardAt(38400), 115200);
    int32_t attempts = 0;
    EXPECT_EQ(Connect(&attempts), -1);
    EXPECT_EQ(attempts, 3);
    const std::vector<uint8_t> expected(6, kSync);
    EXPECT_EQ(FakeWrittenBytes(), expected);
}

TEST_F(ConnectionTest, NoiseIsNoAnswerAndAKeyEndsTheSearchSilently) {
    BoardOptions options = BoardAt(115200);
    options.answerWithNoise = true;
    Start(options, 115200);
    FakeScheduleKey(3000);
    int32_t attempts = 0;
    EXPECT_EQ(Connect(&attempts), 2);
    EXPECT_EQ(output, "");
    EXPECT_TRUE(FakeKeyConsumed());
    EXPECT_FALSE(FakeRtsOn());
    EXPECT_FALSE(FakeCtsFlowOn());
    EXPECT_GT(FakeWrittenBytes().size(), 4u);  // more than two pairs went out
}

// The first look at CTS only takes its state; every pass after it looks once more. The
// first "*" comes at pass 81, then one every 81 passes, wherever the key ends the wait.
TEST_F(ConnectionTest, StarMarkEveryEightyOnePassesWhileCtsStaysOff) {
    BoardOptions options = BoardAt(115200);
    options.ctsNeverRises = true;
    size_t mostMarks = 0;
    for (uint32_t keyAtMs = 0; keyAtMs < 1500; keyAtMs += 3) {
        Start(options, 115200);
        FakeScheduleKey(keyAtMs);
        int32_t attempts = 0;
        EXPECT_EQ(Connect(&attempts), 2);
        const std::string& events = FakeLineEvents();
        const size_t passes =
            static_cast<size_t>(std::count(events.begin(), events.end(), 'c')) - 1;
        ASSERT_EQ(output, std::string(passes / 81, '*')) << passes << " passes";
        EXPECT_EQ(events.find('>'), std::string::npos);
        mostMarks = std::max(mostMarks, output.size());
    }
    EXPECT_GE(mostMarks, 3u);
}

TEST_F(ConnectionTest, CtsOnAtTheFirstLookMustDropAndRiseAgain) {
    BoardOptions options = BoardAt(115200);
    options.ctsStuckOn = true;
    Start(options, 115200);
    FakeScheduleKey(5000);
    int32_t attempts = 0;
    EXPECT_EQ(Connect(&attempts), 2);
    EXPECT_TRUE(FakeWrittenBytes().empty());
    EXPECT_GE(std::count(output.begin(), output.end(), '*'), 10);
}

TEST_F(ConnectionTest, LateCtsStillConnects) {
    BoardOptions options = BoardAt(38400);
    options.ctsLateUs = 3000000;
    Start(options, 38400);
    int32_t attempts = 0;
    EXPECT_EQ(Connect(&attempts), -1);
    EXPECT_EQ(attempts, 1);
    EXPECT_GE(FakeNowUs(), 3000000u);
    EXPECT_NE(output.find('*'), std::string::npos);
}

// With no key to come, the CTS wait and the rate search end after 60 s with a message and
// the line released; while a key can come they wait for it, as long as it takes.
TEST_F(ConnectionTest, UnattendedWaitsEndAfterSixtySeconds) {
    struct Row {
        bool ctsNeverRises;
        bool inputEnded;
        const char* message;
    } rows[] = {
        {true, true, "\nResetTarget(): Timeout, No CTS From Target In 60 Seconds"},
        {false, true, "\nConnectTarget(): Timeout, No Answer To The Sync In 60 Seconds"},
        {true, false, nullptr},
        {false, false, nullptr},
    };
    for (const Row& row : rows) {
        BoardOptions options = BoardAt(115200);
        options.ctsNeverRises = row.ctsNeverRises;
        options.answerWithNoise = !row.ctsNeverRises;
        Start(options, 115200);
        FakeSetInputEnded(row.inputEnded);
        FakeScheduleKey(90000);
        int32_t attempts = 0;
        EXPECT_EQ(Connect(&attempts), 2);
        EXPECT_FALSE(FakeRtsOn());
        EXPECT_FALSE(FakeCtsFlowOn());
        if (row.message == nullptr) {
            EXPECT_TRUE(FakeKeyConsumed());
            EXPECT_EQ(output.find("Timeout"), std::string::npos) << output;
            continue;
        }
        EXPECT_FALSE(FakeKeyConsumed());
        EXPECT_GE(FakeNowUs(), 60000000u);
        EXPECT_LT(FakeNowUs(), 61000000u);
        const std::string line = std::string(row.message) + " And No Key Can Come (Input Ended)\n";
        ASSERT_GE(output.size(), line.size());
        EXPECT_EQ(output.substr(output.size() - line.size()), line);
    }
}

TEST_F(ConnectionTest, VerboseLinePerAttempt) {
    Start(BoardAt(115200), 38400);
    int32_t attempts = 0;
    EXPECT_EQ(Connect(&attempts, true), -1);
    ASSERT_EQ(attempts, 3);
    // One line per attempt with the clock reading and the rate of that attempt.
    size_t lines = 0;
    for (size_t at = output.find("\nSent 0x0F Twice At Timestamp "); at != std::string::npos;
         at = output.find("\nSent 0x0F Twice At Timestamp ", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 3u);
    EXPECT_NE(output.find(" With 38400 Baud\nSent"), std::string::npos);
    const std::string last = " With 115200 Baud";
    ASSERT_GE(output.size(), last.size());
    EXPECT_EQ(output.substr(output.size() - last.size()), last);
}

// Each sync pair waits 50 ms for its answer on a local line, and a round trip more on a
// network port.
TEST_F(ConnectionTest, WaitAfterEachPairGrowsByTheRoundTripOnANetworkPort) {
    const struct {
        bool network;
        uint32_t roundTripMs;
        uint64_t waitUs;
    } rows[] = {{false, 0, 50000}, {true, 150, 200000}, {true, 1000, 1050000}};
    for (const auto& row : rows) {
        BoardOptions options = BoardAt(115200);
        options.answerWithNoise = true;
        Start(options, 115200);
        if (row.network) {
            FakeSetNetwork(row.roundTripMs);
        }
        const uint64_t startUs = FakeNowUs();
        TargetAnswer sent{115200, 0, false};
        EXPECT_EQ(SendSync(2, kSync, false, &sent), 0);
        EXPECT_EQ(FakeNowUs() - startUs, 2 * row.waitUs) << row.roundTripMs;
    }
}

// At any round trip up to a second the answer to the first pair at the right rate is seen
// within its wait: no stray second pair, and no answer lost to the purge at a rate switch.
TEST_F(ConnectionTest, NetworkPortConnectsOnOnePairAtTheRightRate) {
    for (uint32_t roundTripMs : {40u, 150u, 400u, 1000u}) {
        for (int32_t storedBaud : {115200, 38400}) {
            Start(BoardAt(115200), storedBaud);
            FakeSetNetwork(roundTripMs, roundTripMs);
            int32_t attempts = 0;
            EXPECT_EQ(Connect(&attempts), -1) << roundTripMs;
            const int32_t pairs = storedBaud == 115200 ? 1 : 3;
            EXPECT_EQ(attempts, pairs) << roundTripMs;
            EXPECT_EQ(FakeWrittenBytes(), std::vector<uint8_t>(2 * pairs, kSync));
        }
    }
}

// A server that looks at the lines once a minute shows the board's CTS after the reset
// only when asked again, past 60 s: the unattended CTS wait lasts the port's lag longer.
TEST_F(ConnectionTest, UnattendedCtsWaitAllowsForThePortsLag) {
    for (bool ctsNeverRises : {false, true}) {
        BoardOptions options = BoardAt(115200);
        options.ctsNeverRises = ctsNeverRises;
        Start(options, 115200);
        FakeSetNetwork(0, 75200);
        FakeSetInputEnded(true);
        int32_t attempts = 0;
        if (!ctsNeverRises) {
            EXPECT_EQ(Connect(&attempts), -1) << output;
            EXPECT_GE(FakeNowUs(), 75200000u);
            continue;
        }
        EXPECT_EQ(Connect(&attempts), 2);
        EXPECT_GE(FakeNowUs(), 135200000u);
        EXPECT_NE(output.find("No CTS From Target In 135 Seconds"), std::string::npos) << output;
    }
}

TEST_F(ConnectionTest, SendSyncWithNoAttemptsSendsNothing) {
    Start(BoardAt(115200), 115200);
    TargetAnswer none;
    EXPECT_EQ(SendSync(0, kSync, false, &none), 0);
    EXPECT_EQ(none.attempts, 0);
    EXPECT_TRUE(FakeWrittenBytes().empty());
}

TEST_F(ConnectionTest, CheckSyncAckConsumesOneByteAtMost) {
    FakeReset();
    FakeSetResponder([](uint8_t, std::vector<uint8_t>& reply) { reply = {0x00, kSync}; });
    OpenComPort(1, 115200);
    EXPECT_EQ(CheckSyncAck(kSync), 0);  // nothing waits: nothing read
    Transmit(0x01);
    EXPECT_EQ(CheckSyncAck(kSync), 0);  // the noise byte is consumed and lost
    EXPECT_EQ(CheckSyncAck(kSync), 1);
    EXPECT_EQ(ReceiveReady(), 0);
}

}  // namespace

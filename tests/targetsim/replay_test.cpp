// tavsim --replay on a virtual clock: the board answers after the host's bytes whatever the
// recorded gaps, keeps them only where the host waited for nothing, stops at the first byte
// that is not the trace's, and holds the trace once with a bounded queue of answers.
#include <malloc.h>

#include <memory>

#include "board_host.h"
#include "support/files.h"

namespace {

// The reset as a slow host traced it: the pulse, the first look at CTS (off) 50 ms later,
// and the rise it saw only a second after that.
const std::string kReset = "      1000 ! RTS on\n     51000 ! CTS off\n   1151000 ! CTS on\n";

struct ReplayCase {
    const char* name;
    const char* trace;  // after the reset
    int pairs;          // of 0F the host sends, 50 ms apart
    bool atOnce;
    uint64_t answerUs;  // from the last pair to the board's first byte
};

void PrintTo(const ReplayCase& c, std::ostream* os) {
    *os << c.name;
}

class ReplayTest : public ::testing::TestWithParam<ReplayCase> {
  protected:
    // A board replaying the trace, reset by the host at 5 s.
    std::unique_ptr<TestHost> Replaying(const std::string& trace, bool atOnce = false) {
        WriteTextFile(folder_.Path("trace.txt"), trace);
        BoardOptions options;
        options.replayPath = folder_.Path("trace.txt");
        options.replayAtOnce = atOnce;
        auto host = std::make_unique<TestHost>(options);
        host->now = 5000000;
        host->PulseRts();
        return host;
    }

    TempFolder folder_{"replay"};
};

TEST_P(ReplayTest, AnswersAfterTheHostsBytesAndKeepsOnlyGapsOfWaitsForNothing) {
    const ReplayCase& c = GetParam();
    auto host = Replaying(kReset + c.trace, c.atOnce);
    // The host sleeps, looks, then waits for CTS: the rise comes a step after the look.
    EXPECT_FALSE(BoardCts(host->board, host->now + 149999));
    EXPECT_TRUE(BoardCts(host->board, host->now + 150000));
    host->now += 150000;
    for (int pair = 0; pair < c.pairs; ++pair) {
        EXPECT_EQ(BoardOutputCount(host->board), 0u) << "before pair " << pair + 1;
        host->now += 50000;
        host->Send({0x0F, 0x0F});
    }
    uint8_t byte = 0;
    uint64_t readyAt = 0;
    ASSERT_TRUE(BoardPeekOutput(host->board, &byte, &readyAt));
    EXPECT_EQ(byte, 0x0F);
    EXPECT_EQ(readyAt - host->now, c.answerUs);
}

const char kAfterTimeOut[] =
    "   1160000 > 0F 0F\n   3160000 ! time-out: nothing received\n   3500000 < 0F\n";

INSTANTIATE_TEST_SUITE_P(
    Traces, ReplayTest,
    ::testing::Values(
        ReplayCase{"ReadLateBySlowHost", "   1160000 > 0F 0F\n   1900000 < 0F\n", 1, false, 0},
        ReplayCase{"ReadAtOnceByFastHost", "   1160000 > 0F 0F\n   1160000 < 0F\n", 1, false, 0},
        ReplayCase{"ThirdPairAtTheOtherRate",
                   "   1160000 > 0F 0F\n   1210000 > 0F 0F\n   1260000 ! rate 38400\n"
                   "   1260000 > 0F 0F\n   1330000 < 0F\n",
                   3, false, 0},
        ReplayCase{"AfterATimeOut", kAfterTimeOut, 1, false, 2340000},
        ReplayCase{"AfterATimeOutAtOnce", kAfterTimeOut, 1, true, 0}),
    [](const ::testing::TestParamInfo<ReplayCase>& info) { return info.param.name; });

TEST_F(ReplayTest, FirstDifferingHostByteIsLoggedWithItsPlaceAndNothingMoreIsAnswered) {
    auto host = Replaying(kReset + "   1160000 > 0F 0F\n   1160100 < 0F\n   1170000 > 00 50\n" +
                          "   1170100 < 00 50\n");
    EXPECT_EQ(host->Exchange({0x0F, 0x0F}), Bytes{0x0F});
    EXPECT_EQ(host->Exchange({0x00, 0x51}), Bytes{});
    EXPECT_TRUE(
        host->Logged("replay: host byte 4 differs from the trace (line 6, byte 2 of it): "
                     "trace 0x50, host 0x51; no more answers"));
    EXPECT_TRUE(host->Logged("replay:        3     1151000 ! CTS on"));
    EXPECT_TRUE(host->Logged("replay: =>     6     1170000 > 00 50"));
    EXPECT_TRUE(host->Logged("replay:        7     1170100 < 00 50"));
    EXPECT_FALSE(host->Logged("replay:        2 "));
}

// Allocated on the heap, large blocks included.
double HeapInUse() {
    const struct mallinfo2 heap = mallinfo2();
    return static_cast<double>(heap.uordblks + heap.hblkhd);
}

TEST_F(ReplayTest, TraceIsHeldOnceAndALongAnswerGoesInBoundedSteps) {
    std::string trace = kReset + std::string(1000000, '\n') + "   1160000 > 0F 0F\n   1160100 <";
    for (int i = 0; i < 100000; ++i) {
        trace += i % 2 == 0 ? " A5" : " 5A";
    }
    trace += "\n   1170000 > 00\n";
    const double heapBefore = HeapInUse();
    auto host = Replaying(trace);
    EXPECT_LT(HeapInUse() - heapBefore, 2.0 * trace.size());
    host->Send({0x0F, 0x0F});
    EXPECT_LE(BoardOutputCount(host->board), 4096u);
    const Bytes answer = host->ReadAll();
    ASSERT_EQ(answer.size(), 100000u);
    EXPECT_EQ(Bytes(answer.end() - 2, answer.end()), (Bytes{0xA5, 0x5A}));
    host->Send({0x00});
    EXPECT_TRUE(host->Logged("replay: end of the trace, 3 host bytes as recorded"));

    // A host that sends on before it has read the answer is not the trace's.
    auto hasty = Replaying(trace);
    hasty->Send({0x0F, 0x0F, 0x00});
    EXPECT_TRUE(
        hasty->Logged("replay: host byte 3 (0x00) comes before the board's bytes of "
                      "line 1000005 were read; no more answers"));
}

}  // namespace

// Board model: reset and CTS, line rates, sync handshake, pacing and purge.
#include <gtest/gtest.h>

#include "board_host.h"

namespace {

BoardOptions At(int32_t baud) {
    BoardOptions options;
    options.baud = baud;
    return options;
}

TEST(BoardReset, CtsDropsOnTheRisingEdgeAndRisesAfterTheDelay) {
    TestHost host;
    EXPECT_TRUE(BoardCts(host.board, 0));  // powered and idle
    host.now = 5000;
    host.PulseRts();
    EXPECT_FALSE(BoardCts(host.board, 5000));
    EXPECT_FALSE(BoardCts(host.board, 5000 + host.options.readyDelayUs - 1));
    EXPECT_TRUE(BoardCts(host.board, 5000 + host.options.readyDelayUs));
    // Lowering RTS (the loader's exit) is no reset.
    const uint64_t later = 5000 + host.options.readyDelayUs + 1000;
    BoardSetRts(host.board, false, later);
    EXPECT_TRUE(BoardCts(host.board, later));
    EXPECT_TRUE(host.Logged("reset by RTS"));
    EXPECT_TRUE(host.Logged("CTS up"));
}

TEST(BoardReset, InputBeforeReadyIsIgnoredAndResetDropsAHalfPair) {
    TestHost host;
    host.PulseRts();
    EXPECT_EQ(host.Exchange({0x0F, 0x0F}), Bytes{});  // CTS still off
    ASSERT_TRUE(host.WaitCts());
    host.Send({0x0F});
    host.PulseRts();
    ASSERT_TRUE(host.WaitCts());
    EXPECT_EQ(host.Exchange({0x0F}), Bytes{});
    EXPECT_EQ(host.Exchange({0x0F}), Bytes{0x0F});
}

TEST(BoardSync, PairAtTheOwnRateIsAnsweredAndChoosesTheFirmware) {
    for (int32_t baud : {38400, 115200}) {
        TestHost ram(At(baud));
        ram.Connect(0x0F);
        EXPECT_EQ(ram.Exchange({0x42}), Bytes{}) << "RAM firmware does not echo";
        TestHost flash(At(baud));
        flash.Connect(0x7F);
        EXPECT_EQ(flash.Exchange({0x42}), Bytes{0x42}) << "flash firmware echoes";
        EXPECT_TRUE(flash.Logged("answered at " + std::to_string(baud) + " baud"));
    }
}

TEST(BoardSync, BytesAtTheOtherRateAreGarbageAndNeverHalfAPair) {
    TestHost host(At(115200));
    host.PulseRts();
    ASSERT_TRUE(host.WaitCts());
    BoardSetHostBaud(host.board, 38400, host.now);
    EXPECT_EQ(host.Exchange({0x0F, 0x0F, 0x0F}), Bytes{});
    EXPECT_TRUE(host.Logged("garbage"));
    BoardSetHostBaud(host.board, 115200, host.now);
    EXPECT_EQ(host.Exchange({0x0F}), Bytes{});
    EXPECT_EQ(host.Exchange({0x0F}), Bytes{0x0F});
}

TEST(BoardSync, AnswerReachingTheHostAtAnotherRateIsGarbage) {
    BoardOptions options = At(115200);
    options.pacing = true;
    TestHost host(options);
    host.PulseRts();
    ASSERT_TRUE(host.WaitCts());
    host.Send({0x0F, 0x0F});
    // The host switches before the answer has arrived.
    BoardSetHostBaud(host.board, 38400, host.now + 1);
    uint8_t byte = 0xEE;
    uint64_t readyAt = 0;
    ASSERT_TRUE(BoardPeekOutput(host.board, &byte, &readyAt));
    EXPECT_EQ(byte, 0x00);
}

TEST(BoardSync, StrayBytesDoNotFormAPair) {
    TestHost host;
    host.PulseRts();
    ASSERT_TRUE(host.WaitCts());
    EXPECT_EQ(host.Exchange({0x0F, 0x7F, 0x55}), Bytes{});
    EXPECT_EQ(host.Exchange({0x7F, 0x55, 0x7F}), Bytes{});
    EXPECT_EQ(host.Exchange({0x7F}), Bytes{0x7F});
}

// The other sync faults (answer pair, noise for an answer) are proven where the connection
// meets them (tests/link).
TEST(BoardSync, NoiseAndJunkFollowTheAnswer) {
    BoardOptions extra;
    extra.noiseAfterSync = 3;
    extra.junkAfterSync = 5;
    TestHost extraHost(extra);
    extraHost.PulseRts();
    ASSERT_TRUE(extraHost.WaitCts());
    const Bytes out = extraHost.Exchange({0x7F, 0x7F});
    ASSERT_EQ(out.size(), 9u);
    EXPECT_EQ(out[0], 0x7F);
    EXPECT_EQ(Bytes(out.begin() + 1, out.begin() + 4), Bytes(3, 0x00));
}

TEST(BoardPacing, EachByteTakesTenBitsBothWays) {
    BoardOptions options;
    options.pacing = true;
    TestHost host(options);
    host.PulseRts();
    ASSERT_TRUE(host.WaitCts());
    const uint64_t sent = host.now;
    host.Send({0x7F, 0x7F});  // arrive at 86.8 and 173.6 us; the answer takes 86.8 more
    uint8_t byte = 0;
    uint64_t readyAt = 0;
    ASSERT_TRUE(BoardPeekOutput(host.board, &byte, &readyAt));
    EXPECT_EQ(byte, 0x7F);
    EXPECT_GE(readyAt, sent + 260);
    EXPECT_LE(readyAt, sent + 261);
    host.ReadAll();

    // Echoes of a burst follow one byte time behind the input.
    const uint64_t burst = host.now;
    host.Send(Bytes(100, 0x55));
    uint64_t last = 0;
    while (BoardPeekOutput(host.board, &byte, &readyAt)) {
        EXPECT_GT(readyAt, last);
        last = readyAt;
        BoardPopOutput(host.board);
    }
    EXPECT_NEAR(static_cast<double>(last - burst), 101 * 86.8, 2.0);

    BoardOptions slow = options;
    slow.baud = 38400;
    TestHost slowHost(slow);
    slowHost.PulseRts();
    ASSERT_TRUE(slowHost.WaitCts());
    slowHost.Send({0x0F, 0x0F});
    ASSERT_TRUE(BoardPeekOutput(slowHost.board, &byte, &readyAt));
    EXPECT_NEAR(static_cast<double>(readyAt - slowHost.now), 3 * 260.4, 1.0);
}

TEST(BoardPacing, DiscardDropsOnlyWhatHasArrived) {
    BoardOptions options;
    options.pacing = true;
    TestHost host(options);
    host.Connect(0x7F);
    const uint64_t start = host.now;
    host.Send({0x10, 0x11, 0x12, 0x13});  // echoes arrive at 2, 3, 4, 5 byte times
    BoardDiscardOutput(host.board, start + 3 * 87);
    EXPECT_EQ(host.ReadAll(), (Bytes{0x12, 0x13}));
}

}  // namespace

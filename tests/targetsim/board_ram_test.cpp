// Board model: the RAM firmware (its answer faults are proven where the loader meets them).
#include <gtest/gtest.h>

#include "board_host.h"

namespace {

const Bytes kDataPacket = {0x00, 0x00, 0x0F, 0x01, 0x00, 0x10, 0x00, 0x12,
                           0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
const Bytes kStartPacket = {0x05, 0x00, 0x10, 0x00};

TEST(BoardRam, WorkedExample) {
    TestHost host;
    host.Connect(0x0F);
    // No answer before the whole packet has arrived.
    host.Send(Bytes(kDataPacket.begin(), kDataPacket.end() - 1));
    EXPECT_EQ(host.ReadAll(), Bytes{});
    EXPECT_EQ(host.Exchange({kDataPacket.back()}), Bytes{0x58});
    const std::map<uint32_t, uint32_t> expected = {{0x1000, 0x12345678}, {0x1001, 0x9ABCDEF0}};
    EXPECT_EQ(BoardRam(host.board), expected);

    EXPECT_EQ(host.Exchange(kStartPacket), Bytes{0x15});
    uint32_t entry = 0;
    EXPECT_FALSE(BoardRamStarted(host.board, &entry));
    EXPECT_EQ(host.Exchange({0x05}), Bytes{});
    ASSERT_TRUE(BoardRamStarted(host.board, &entry));
    EXPECT_EQ(entry, 0x1000u);
    EXPECT_TRUE(host.Logged("0x001000, 2 words, length 15, checksum 0x58"));
    // The program runs: the firmware takes nothing more.
    EXPECT_EQ(host.Exchange(kDataPacket), Bytes{});
}

TEST(BoardRam, EmptyPacketAndAddressesWrapAt24Bits) {
    TestHost host;
    host.Connect(0x0F);
    EXPECT_EQ(host.Exchange({0x00, 0x00, 0x07, 0x01, 0x00, 0x10, 0x00}), Bytes{0x18});
    EXPECT_TRUE(BoardRam(host.board).empty());
    const Bytes high = {0x00, 0x00, 0x0F, 0x01, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t sum = 0;
    for (uint8_t b : high) {
        sum += b;
    }
    EXPECT_EQ(host.Exchange(high), Bytes{static_cast<uint8_t>(sum)});
    const std::map<uint32_t, uint32_t> expected = {{0xFFFFFF, 0x01020304}, {0x0, 0x05060708}};
    EXPECT_EQ(BoardRam(host.board), expected);
}

TEST(BoardRam, MalformedPacketsAreRefusedAndUnknownBytesIgnored) {
    TestHost host;
    host.Connect(0x0F);
    EXPECT_EQ(host.Exchange({0x33}), Bytes{});
    EXPECT_TRUE(host.Logged("unknown RAM command 0x33"));
    // Length 10 is no 7 + 4n: taken whole, answered with a value that never matches.
    const Bytes odd = {0x00, 0x00, 0x0A, 0x01, 0x00, 0x10, 0x00, 0x12, 0x34, 0x56};
    const Bytes answer = host.Exchange(odd);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_NE(answer[0], 0x00 + 0x0A + 0x01 + 0x10 + 0x12 + 0x34 + 0x56);
    // A wrong marker byte.
    Bytes marker = kDataPacket;
    marker[3] = 0x02;
    ASSERT_EQ(host.Exchange(marker).size(), 1u);
    EXPECT_TRUE(BoardRam(host.board).empty());
    // The firmware is back in step afterwards.
    EXPECT_EQ(host.Exchange(kDataPacket), Bytes{0x58});
}

TEST(BoardRam, StartPacketWithoutItsClosingByteDoesNotStart) {
    TestHost host;
    host.Connect(0x0F);
    EXPECT_EQ(host.Exchange(kStartPacket), Bytes{0x15});
    EXPECT_EQ(host.Exchange({0x06}), Bytes{});
    EXPECT_FALSE(BoardRamStarted(host.board, nullptr));
}

TEST(BoardRam, ResetDropsAHalfPacket) {
    TestHost host;
    host.Connect(0x0F);
    host.Send({0x00, 0x00, 0x0F, 0x01});
    host.Connect(0x0F);
    EXPECT_EQ(host.Exchange(kDataPacket), Bytes{0x58});
}

}  // namespace

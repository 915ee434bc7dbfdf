// The packet builder and record loop both protocols share.
#include "driver/packet.h"

#include <gtest/gtest.h>

#include "driver/driver_testing.h"
#include "driver/run_steps.h"
#include "fake/fake_platform.h"
#include "support/files.h"
#include "support/lanes.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Sent(const Packet& packet) {
    return Bytes(packet.bytes, packet.bytes + packet.count);
}

TEST(PacketTest, DataPacketOfTheWorkedExampleWithEitherCommand) {
    HexRecord record;
    record.words = {0x12345678, 0x9ABCDEF0};
    record.loadAddress = 0x1000;
    uint8_t buffer[kMessageBufferSize];
    ASSERT_EQ(DataPacketLength(record), 15u);
    const Packet ram = BuildDataPacket(buffer, 0x00, record);
    EXPECT_EQ(Sent(ram), (Bytes{0x00, 0x00, 0x0F, 0x01, 0x00, 0x10, 0x00, 0x12, 0x34, 0x56, 0x78,
                                0x9A, 0xBC, 0xDE, 0xF0}));
    EXPECT_EQ(static_cast<uint8_t>(ram.checksum), 0x58);
    const Packet flash = BuildDataPacket(buffer, 0x02, record);
    EXPECT_EQ(static_cast<uint8_t>(flash.checksum), 0x5A);
}

TEST(PacketTest, AddressPacketTakesTheLow24Bits) {
    uint8_t buffer[8];
    const Packet packet = BuildAddressPacket(buffer, 0x05, 0xAB123456);
    EXPECT_EQ(Sent(packet), (Bytes{0x05, 0x12, 0x34, 0x56}));
    EXPECT_EQ(packet.checksum, 0x05u + 0x12 + 0x34 + 0x56);
}

std::vector<int32_t> sends;
std::vector<uint32_t> sentAddresses;
int32_t ScriptedSender(const HexRecord& record, uint8_t* buffer) {
    EXPECT_NE(buffer, nullptr);
    sentAddresses.push_back(record.loadAddress);
    const int32_t next = sends.front();
    sends.erase(sends.begin());
    return next;
}

TEST(PacketTest, RecordLoopAddsUpAndCountsTheStartPacket) {
    FakeReset();
    ResetDriverState();
    TempFolder folder("packettest");
    WriteLanes(folder.Path("P"), ProgramLanes({{0x100, {1}}, {0x200, {2}}, {0x300, {3}}}, 0x100));
    FILE* lanes[kLaneCount] = {};
    for (int lane = 0; lane < kLaneCount; ++lane) {
        lanes[lane] = fopen(folder.Path("P.X" + std::to_string(lane)).c_str(), "rb");
    }
    sends = {10, 20, kEndOfRecords, 99};
    std::string output;
    uint32_t last = 0;
    EXPECT_EQ(FakeRunCapturing([&] { last = LoadAllRecords(lanes, ScriptedSender); }, &output), -1);
    EXPECT_EQ(BytesLoaded, 30u);
    EXPECT_EQ(sentAddresses, (std::vector<uint32_t>{0x100, 0x200, 0x300}));
    EXPECT_EQ(last, 0x300u);
    EXPECT_EQ(sends, std::vector<int32_t>{99});  // nothing read after the end
    EXPECT_EQ(output, "\n34   22(HEX) Bytes Loaded\n");
    for (FILE* lane : lanes) {
        fclose(lane);
    }
}

}  // namespace

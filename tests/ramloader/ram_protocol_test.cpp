// RAM download protocol on the wire: packets, answers, the start packet's closing byte and
// the order of releasing the line and judging the answer.
#include <map>

#include "tavram_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

class RamProtocolTest : public RamLoaderTest {
  protected:
    // A connected line: port open, flow control on; the target answers after the n-th
    // byte written (counted from 1) with the byte given.
    void Connect(std::map<size_t, uint8_t> answers) {
        OpenComPort(1, kBaudHigh);
        EnableAuto_RTS_CTS(1);
        FakeClearWrittenBytes();
        FakeSetResponder(
            [answers, count = size_t{0}](uint8_t, std::vector<uint8_t>& reply) mutable {
                auto it = answers.find(++count);
                if (it != answers.end()) {
                    reply.push_back(it->second);
                }
            });
    }

    int Load(const LaneTexts& lanes) {
        WriteLanes("PROG", lanes);
        for (int lane = 0; lane < kLaneCount; ++lane) {
            files_[lane] = fopen(Path("PROG.X" + std::to_string(lane)).c_str(), "rb");
        }
        const int code = FakeRunCapturing(
            [&] { entryAddress_ = LoadAllRecords(files_, SendRamRecord); }, &output);
        for (FILE* file : files_) {
            fclose(file);
        }
        return code;
    }

    FILE* files_[kLaneCount] = {};
    uint32_t entryAddress_ = 0;
};

const Bytes kWorkedDataPacket = {0x00, 0x00, 0x0F, 0x01, 0x00, 0x10, 0x00, 0x12,
                                 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};

TEST_F(RamProtocolTest, WorkedExampleByteForByte) {
    Connect({{15, 0x58}, {19, 0x15}});
    EXPECT_EQ(Load(WorkedExample()), -1);
    Bytes expected = kWorkedDataPacket;
    expected.insert(expected.end(), {0x05, 0x00, 0x10, 0x00, 0x05});
    EXPECT_EQ(FakeWrittenBytes(), expected);
    EXPECT_EQ(output, "\rWriting Target Address: 001000(HEX)\n19   13(HEX) Bytes Loaded\n");
    EXPECT_EQ(BytesLoaded, 15u);
    EXPECT_EQ(entryAddress_, 0x1000u);
    EXPECT_FALSE(FakeCtsFlowOn());
    EXPECT_FALSE(FakeRtsOn());
}

TEST_F(RamProtocolTest, WrongAnswerToADataPacketStopsAtOnce) {
    Connect({{15, 0x57}});
    EXPECT_EQ(Load(WorkedExample()), 2);
    EXPECT_EQ(FakeWrittenBytes(), kWorkedDataPacket);
    EXPECT_EQ(output, "\rWriting Target Address: 001000(HEX)\nTARGET COMMUNICATION CHECKSUM ERROR");
}

TEST_F(RamProtocolTest, WrongAnswerToTheStartPacketAfterTheClosingByte) {
    Connect({{15, 0x58}, {19, 0x16}});
    EXPECT_EQ(Load(WorkedExample()), 2);
    EXPECT_EQ(FakeWrittenBytes().size(), 20u);
    EXPECT_EQ(FakeWrittenBytes().back(), 0x05);
    EXPECT_EQ(output, "\rWriting Target Address: 001000(HEX)\nTARGET COMMUNICATION CHECKSUM ERROR");
}

TEST_F(RamProtocolTest, LineIsReleasedBeforeTheStartAnswerIsJudged) {
    // Dropping flow control fails: had the answer been judged first, the checksum
    // message would show instead of the failure of the release.
    Connect({{15, 0x58}, {19, 0x16}});
    FakeFailCall("setsettings", 5);
    EXPECT_EQ(Load(WorkedExample()), 2);
    EXPECT_EQ(FakeWrittenBytes().back(), 0x05);
    EXPECT_EQ(output, "\rWriting Target Address: 001000(HEX)\nEnableAuto_RTS_CTS() Failed: 5\n");

    FakeReset();
    Connect({{15, 0x58}, {19, 0x16}});
    FakeFailCall("setrts", 6);
    EXPECT_EQ(Load(WorkedExample()), 2);
    EXPECT_FALSE(FakeCtsFlowOn());
    EXPECT_EQ(output, "\rWriting Target Address: 001000(HEX)\nSetRtsSignal() Failed: 6 \n");
}

TEST_F(RamProtocolTest, ProgramWithoutDataRecordsCountsFour) {
    Connect({{4, 0x25}});  // 05 00 20 00
    EXPECT_EQ(Load(ProgramLanes({}, 0x2000)), -1);
    EXPECT_EQ(FakeWrittenBytes(), (Bytes{0x05, 0x00, 0x20, 0x00, 0x05}));
    EXPECT_EQ(output, "\n4   4(HEX) Bytes Loaded\n");
}

TEST_F(RamProtocolTest, EmptyRecordAndHighAddressByte) {
    // 00 00 07 01 FE DC BA: sum 0x29C.
    Connect({{7, 0x9C}, {11, 0xC8}});
    EXPECT_EQ(Load(ProgramLanes({{0xFEDCBA, {}}}, 0xAB0018)), -1);
    EXPECT_EQ(FakeWrittenBytes(),
              (Bytes{0x00, 0x00, 0x07, 0x01, 0xFE, 0xDC, 0xBA, 0x05, 0xAB, 0x00, 0x18, 0x05}));
    EXPECT_EQ(output, "\rWriting Target Address: FEDCBA(HEX)\n11   B(HEX) Bytes Loaded\n");
}

TEST_F(RamProtocolTest, RecordPastTheTopAddressSendsNothingOfIt) {
    Connect({{11, 0x4D}});  // 00 00 0B 01 00 00 40 00 00 00 01
    EXPECT_EQ(Load(ProgramLanes({{0x40, {1}}, {0xFFFFFE, {1, 2, 3}}}, 0x40)), 2);
    EXPECT_EQ(FakeWrittenBytes().size(), 11u);
    EXPECT_EQ(output,
              "\rWriting Target Address: 000040(HEX)ERROR: Address 1000000 Above FFFFFF In .X0 "
              "File\n");
}

TEST_F(RamProtocolTest, LaneFilesEndingWithoutTerminationEndWithCodeTwo) {
    // No start packet, no total: only part of the program reached the target.
    Connect({{11, 0xF6}});  // 00 00 0B 01 00 00 40 11 22 33 44
    EXPECT_EQ(Load(ProgramLanes({{0x40, {0x11223344}}}, -1)), 2);
    EXPECT_EQ(FakeWrittenBytes().size(), 11u);
    EXPECT_EQ(output, "\rWriting Target Address: 000040(HEX)ERROR: Unexpected End Of .X0 File\n");
    EXPECT_FALSE(FakeCtsFlowOn());
    EXPECT_FALSE(FakeRtsOn());
}

TEST_F(RamProtocolTest, NothingAfterTheTerminationRecordIsRead) {
    Connect({{4, 0x15}});
    LaneTexts lanes = ProgramLanes({}, 0x1000);
    for (std::string& lane : lanes) {
        lane += "garbage that the reader would refuse\n";
    }
    EXPECT_EQ(Load(lanes), -1);
    EXPECT_EQ(output, "\n4   4(HEX) Bytes Loaded\n");
}

TEST_F(RamProtocolTest, MissingAnswerIsATimeOutNotAByte) {
    Connect({});
    EXPECT_EQ(Load(WorkedExample()), 2);
    EXPECT_EQ(FakeWrittenBytes(), kWorkedDataPacket);
    EXPECT_EQ(output,
              "\rWriting Target Address: 001000(HEX)"
              "\nReceiveWait(): Timeout, No Answer From Target\n");
}

}  // namespace

// Whole runs of the RAM loader against the board model: output, exit code, settings file
// and what lands in the board's RAM.
#include "tavram_fixture.h"

namespace {

class TavramRunTest : public RamLoaderTest {
  protected:
    void StartBoard(int32_t baud, const BoardOptions& base = BoardOptions()) {
        BoardOptions options = base;
        options.baud = baud;
        FakeReset(options);
        ResetDriverState();
    }
};

// Everything after the banner up to the download lines of a run that connects at once.
std::string RunHead(int port) {
    return "Using Port  : COM" + std::to_string(port) +
           "\nLoading File: PROG.X0\nLoading File: PROG.X1\n"
           "Loading File: PROG.X2\nLoading File: PROG.X3\n\nConnected To Target\n";
}

TEST_F(TavramRunTest, WorkedExampleLandsInRamAndStarts) {
    WriteFile("tavram.SET", "PORT=COM2\nBAUD=115200\n");
    WriteLanes("PROG", WorkedExample());
    StartBoard(115200);
    EXPECT_EQ(RunTavram({"prog"}), 0);
    EXPECT_EQ(output, Banner() + RunHead(2) +
                          "\rWriting Target Address: 001000(HEX)\n19   13(HEX) Bytes Loaded\n"
                          "\nPROG Started At Address 001000(HEX)\n"
                          "\nDownload Time = 0.0 Seconds\n");
    EXPECT_EQ(FakeOpenedDevice(), "COM2");
    const auto& ram = BoardRam(FakeBoard());
    EXPECT_EQ(ram.size(), 2u);
    EXPECT_EQ(ram.at(0x1000), 0x12345678u);
    EXPECT_EQ(ram.at(0x1001), 0x9ABCDEF0u);
    uint32_t entry = 0;
    EXPECT_TRUE(BoardRamStarted(FakeBoard(), &entry));
    EXPECT_EQ(entry, 0x1000u);
    EXPECT_FALSE(FakeRtsOn());
    EXPECT_EQ(ReadFile("tavram.SET"), "PORT=COM2\nBAUD=115200\n");
}

TEST_F(TavramRunTest, SeveralRecordsAndTheAnsweringRateIsSaved) {
    WriteFile("tavram.SET", "PORT=COM1\nBAUD=115200\n");
    std::vector<TestRecord> records;
    uint32_t value = 0x01020304;
    for (uint32_t address : {0x100u, 0x140u, 0xFF0000u}) {
        TestRecord record{address, {}};
        for (int i = 0; i < 20; ++i) {
            record.words.push_back(value);
            value = value * 2654435761u + 12345u;
        }
        records.push_back(record);
    }
    WriteLanes("PROG", ProgramLanes(records, 0x140));
    StartBoard(38400);
    EXPECT_EQ(RunTavram({"-i", "Prog"}), 0);
    EXPECT_NE(output.find("\nTarget Connected In "), std::string::npos);
    EXPECT_NE(output.find(" Milliseconds, 3 Attempt(s) Required\n"), std::string::npos);
    EXPECT_NE(output.find("\n265   109(HEX) Bytes Loaded\n"), std::string::npos);  // 3 * 87 + 4
    EXPECT_NE(output.find("\nPROG Started At Address 000140(HEX)\n"), std::string::npos);
    const auto& ram = BoardRam(FakeBoard());
    for (const TestRecord& record : records) {
        for (size_t i = 0; i < record.words.size(); ++i) {
            EXPECT_EQ(ram.at(record.address + i), record.words[i]);
        }
    }
    EXPECT_EQ(ReadFile("tavram.SET"), "PORT=COM1\nBAUD=38400\n");
}

TEST_F(TavramRunTest, WrongChecksumAnswerEndsWithCodeTwo) {
    WriteLanes("PROG", WorkedExample());
    BoardOptions options;
    options.ramWrongChecksumAt = 1;
    StartBoard(115200, options);
    EXPECT_EQ(RunTavram({"prog"}), 2);
    EXPECT_EQ(output, Banner() + RunHead(1) +
                          "\rWriting Target Address: 001000(HEX)"
                          "\nTARGET COMMUNICATION CHECKSUM ERROR");
    EXPECT_FALSE(FakeCtsFlowOn());
    EXPECT_FALSE(FakeRtsOn());
    uint32_t entry = 0;
    EXPECT_FALSE(BoardRamStarted(FakeBoard(), &entry));
}

TEST_F(TavramRunTest, SilentBoardIsATimeOut) {
    WriteLanes("PROG", WorkedExample());
    BoardOptions options;
    options.ramSilentFrom = 2;
    StartBoard(115200, options);
    EXPECT_EQ(RunTavram({"prog"}), 2);
    EXPECT_NE(output.find("\nReceiveWait(): Timeout, No Answer From Target\n"), std::string::npos);
}

}  // namespace

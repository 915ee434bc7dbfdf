// The real tavram against the simulated board: usage, settings file, port opening,
// baud detection, random programs landing in the board's RAM, faults and aborts.
#include "e2e_support.h"

namespace e2e {
namespace {

const char kBannerStart[] = "\nVeltara C3x DSP Family Speed RAM-Loader For WIN-NT/2000 V 3.0 ";

std::string Usage(int port, int baud) {
    return "Extended Tektronix Hex Object Format\n\n"
           "Usage: TAVRAM <Source> [-C<n>]\n\n"
           "Source  - Filename Without Extension\n"
           "         (Default Extension Is .X0...X3)\n"
           "-C<n>   - Desired COM Port (1..4, Default = 1)\n\n"
           "Autodetect Baudrate Is 38400 Or 115200 Baud\n\n"
           "Current Settings: PORT = COM" +
           std::to_string(port) + ", BAUD = " + std::to_string(baud) + "\n\n";
}

// The banner's copyright text is free; it is one line followed by an empty one.
std::string AfterBanner(const std::string& output) {
    if (output.compare(0, strlen(kBannerStart), kBannerStart) != 0) {
        return "no banner in: " + output;
    }
    size_t end = output.find("\n\n", 1);
    return end == std::string::npos ? "banner not ended in: " + output : output.substr(end + 2);
}

class TavramE2e : public E2eTest {
  protected:
    void SetUp() override {
        E2eTest::SetUp();
        tavram_ = Install(TAVRAM_PATH, "tavram");
    }

    std::string tavram_;
};

TEST_F(TavramE2e, UsageTextIsExactAndTheSettingsFileStaysAsItWas) {
    const std::string settings = "PORT=COM3\nBAUD=38400\n";
    WriteTextFile(Path("tavram.SET"), settings);
    struct Case {
        std::vector<std::string> args;
        int port;
    };
    for (const Case& c : {Case{{"-H"}, 3}, Case{{"?"}, 3}, Case{{"-h", "-C2"}, 3},
                          Case{{"-C2", "-H"}, 2}, Case{{"PROG", "?x"}, 3}}) {
        SCOPED_TRACE(c.args[0]);
        RunResult run = Run(tavram_, c.args);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(AfterBanner(run.output), Usage(c.port, 38400));
        EXPECT_EQ(ReadTextFile(Path("tavram.SET")), settings);
    }
}

TEST_F(TavramE2e, MissingLaneFileEndsBeforeThePortIsOpened) {
    WriteLanes(RandomProgram(7, {{0x100, 10}}, 0x100), "PROG");
    fs::remove(Path("PROG.X1"));
    RunResult run = Run(tavram_, {"prog"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(AfterBanner(run.output),
              "Using Port  : COM1\nLoading File: PROG.X0\n\nCan't Open File PROG.X1\n");
}

TEST_F(TavramE2e, WithoutCom1EntryTheOpenFailsWithEnoentAfterTheFirstSave) {
    WriteLanes(RandomProgram(7, {{0x100, 10}}, 0x100), "PROG");
    RunResult run = Run(tavram_, {"PROG"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(AfterBanner(run.output),
              "Using Port  : COM1\nLoading File: PROG.X0\nLoading File: PROG.X1\n"
              "Loading File: PROG.X2\nLoading File: PROG.X3\n\nOpen Of COM1 Failed: 2\n");
    EXPECT_EQ(ReadTextFile(Path("tavram.SET")), "PORT=COM1\nBAUD=115200\n");

    // An entry that leads nowhere fails the same way.
    ASSERT_EQ(symlink(Path("nothing.sock").c_str(), Path("COM1").c_str()), 0);
    run = Run(tavram_, {"PROG"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.output.find("\nOpen Of COM1 Failed: 2\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Connected"), std::string::npos);
}

TEST_F(TavramE2e, FirstRunConnectsAndWritesTheDefaultSettings) {
    Program program = RandomProgram(11, {{0x2000, 40}}, 0x2000);
    WriteLanes(program, "PROG");
    StartBoard({"--once", "--ram-image", Path("ram.txt")});
    PointCom1AtBoard();
    RunResult run = Run(tavram_, {"PROG", "-I"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("\nSent 0x0F Twice At Timestamp "), std::string::npos);
    EXPECT_GE(SyncAttempts(run.output), 1) << run.output;
    EXPECT_EQ(ReadTextFile(Path("tavram.SET")), "PORT=COM1\nBAUD=115200\n");
    EXPECT_EQ(WaitBoardEnd(), 0);
    ExpectLoadedIntoRam(program);
}

struct BaudCase {
    int stored;
    int board;
};

void PrintTo(const BaudCase& c, std::ostream* os) {
    *os << "stored " << c.stored << ", board " << c.board;
}

class TavramBaudE2e : public TavramE2e, public ::testing::WithParamInterface<BaudCase> {};

TEST_P(TavramBaudE2e, BoardAtTheOtherRateAnswersAfterTwoPairsAndTheRateIsSaved) {
    const BaudCase c = GetParam();
    WriteTextFile(Path("tavram.SET"), "PORT=COM1\nBAUD=" + std::to_string(c.stored) + "\n");
    Program program = RandomProgram(12, {{0x300, 65}}, 0x301);
    WriteLanes(program, "PROG");
    StartBoard({"--once", "--baud", std::to_string(c.board), "--ram-image", Path("ram.txt")});
    PointCom1AtBoard();
    RunResult run = Run(tavram_, {"-I", "PROG"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Twice At Timestamp "), std::string::npos);
    EXPECT_NE(run.output.find(" With " + std::to_string(c.board) + " Baud"), std::string::npos);
    EXPECT_GE(SyncAttempts(run.output), 3) << run.output;  // two pairs at the stored rate
    EXPECT_EQ(ReadTextFile(Path("tavram.SET")),
              "PORT=COM1\nBAUD=" + std::to_string(c.board) + "\n");
    EXPECT_EQ(WaitBoardEnd(), 0);
    ExpectLoadedIntoRam(program);
}

INSTANTIATE_TEST_SUITE_P(BothRates, TavramBaudE2e,
                         ::testing::Values(BaudCase{115200, 38400}, BaudCase{38400, 115200}),
                         [](const ::testing::TestParamInfo<BaudCase>& info) {
                             return "Stored" + std::to_string(info.param.stored) + "Board" +
                                    std::to_string(info.param.board);
                         });

struct ProgramCase {
    uint32_t seed;
    std::vector<std::pair<uint32_t, size_t>> layout;
    uint32_t entry;
    size_t wordsPerRecord;
    std::vector<std::string> lanegenOptions;
};

void PrintTo(const ProgramCase& c, std::ostream* os) {
    *os << "seed " << c.seed << ", " << c.layout.size() << " segments, " << c.wordsPerRecord
        << " words per record";
}

class TavramProgramE2e : public TavramE2e, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(TavramProgramE2e, RandomProgramLandsInRamExactlyAndStartsAtItsEntry) {
    const ProgramCase& c = GetParam();
    Program program = RandomProgram(c.seed, c.layout, c.entry);
    std::vector<std::string> options = c.lanegenOptions;
    options.push_back("--words-per-record");
    options.push_back(std::to_string(c.wordsPerRecord));
    WriteLanes(program, "PROG", options);
    StartBoard({"--once", "--ram-image", Path("ram.txt")});
    PointCom1AtBoard();
    RunResult run = Run(tavram_, {"prog"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("\nConnected To Target\n"), std::string::npos);
    EXPECT_NE(run.output.find("\rWriting Target Address: "), std::string::npos);
    EXPECT_NE(run.output.find(BytesLoadedLine(program.BytesLoaded(c.wordsPerRecord)) +
                              "\nPROG Started At Address " + Hex6(c.entry) + "(HEX)\n" +
                              "\nDownload Time = "),
              std::string::npos)
        << run.output.substr(run.output.rfind('\r') + 1);
    EXPECT_EQ(run.output.back(), '\n');
    EXPECT_EQ(run.output.substr(run.output.size() - 9), " Seconds\n");
    EXPECT_EQ(WaitBoardEnd(), 0);
    ExpectLoadedIntoRam(program);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, TavramProgramE2e,
    ::testing::Values(
        ProgramCase{1, {{0x000100, 300}, {0x008000, 77}, {0xFF0000, 5}}, 0x8003, 32, {}},
        ProgramCase{2, {{0x400000, 1}, {0x001000, 1000}}, 0x1000, 41, {"--lower"}},
        ProgramCase{3, {{0x123456, 250}, {0x200000, 64}, {0x300000, 3}}, 0x123456, 7, {"--crlf"}},
        ProgramCase{4, {{0x000000, 200}}, 0xABCDEF, 1, {}},
        // The top of the 24-bit address space: the last word lands at FFFFFF.
        ProgramCase{5, {{0xFFFFA6, 90}}, 0xFFFFA6, 16, {}}),
    [](const ::testing::TestParamInfo<ProgramCase>& info) {
        return "Seed" + std::to_string(info.param.seed);
    });

// lanegen writes nothing that the reader refuses: no address above FFFFFF.
TEST_F(TavramE2e, LanegenRefusesAddressesPast24Bits) {
    const std::vector<std::string> cases[] = {{"--random", "1", "--address", "1000000", "HI"},
                                              {"--random", "4", "--address", "FFFFFE", "HI"},
                                              {"--segment", "100:1", "--entry", "1000000", "HI"}};
    for (const std::vector<std::string>& args : cases) {
        EXPECT_EQ(Run(LANEGEN_PATH, args).exitCode, 2) << args[3];
        EXPECT_FALSE(fs::exists(Path("HI.X0")));
    }
}

TEST_F(TavramE2e, HundredThousandWordsLoadIntact) {
    Program program = RandomProgram(100000, {{0x010000, 60000}, {0x800000, 40000}}, 0x010000);
    WriteLanes(program, "BIG");
    StartBoard({"--once", "--ram-image", Path("ram.txt")});
    PointCom1AtBoard();
    RunResult run = Run(tavram_, {"big"});
    EXPECT_EQ(run.exitCode, 0) << run.output.substr(run.output.rfind('\r') + 1);
    EXPECT_NE(run.output.find(BytesLoadedLine(program.BytesLoaded(32)) +
                              "\nBIG Started At Address 010000(HEX)\n\nDownload Time = "),
              std::string::npos);
    EXPECT_EQ(WaitBoardEnd(), 0);
    ExpectLoadedIntoRam(program);
}

TEST_F(TavramE2e, LaneFilesAreFoundWhateverTheirLetterCase) {
    Program program = RandomProgram(6, {{0x4000, 100}}, 0x4010);
    WriteLanes(program, "prog");
    for (int lane = 0; lane < 4; ++lane) {
        std::string from = Path("prog.X" + std::to_string(lane));
        std::string to = Path("prog.x" + std::to_string(lane));
        ASSERT_EQ(rename(from.c_str(), to.c_str()), 0);
    }
    StartBoard({"--once", "--ram-image", Path("ram.txt")});
    PointCom1AtBoard();
    RunResult run = Run(tavram_, {"prog"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("\nPROG Started At Address 004010(HEX)\n"), std::string::npos);
    EXPECT_EQ(WaitBoardEnd(), 0);
    ExpectLoadedIntoRam(program);
}

TEST_F(TavramE2e, WrongChecksumAnswerEndsTheDownload) {
    WriteLanes(RandomProgram(8, {{0x100, 200}}, 0x100), "PROG");
    StartBoard({"--once", "--ram-bad-checksum", "2", "--ram-image", Path("ram.txt")});
    PointCom1AtBoard();
    RunResult run = Run(tavram_, {"PROG"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.output.find("\nTARGET COMMUNICATION CHECKSUM ERROR"), std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("Started At Address"), std::string::npos);
    EXPECT_EQ(WaitBoardEnd(), 0);
    EXPECT_FALSE(fs::exists(Path("ram.txt"))) << "the program must not have started";
}

TEST_F(TavramE2e, SilentBoardIsATimeoutNotASuccess) {
    WriteLanes(RandomProgram(9, {{0x100, 20}}, 0x100), "PROG");
    StartBoard({"--once", "--ram-silent-from", "1", "--ram-image", Path("ram.txt")});
    PointCom1AtBoard();
    RunResult run = Run(tavram_, {"PROG"}, 20000);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.output.find("\nReceiveWait(): Timeout, No Answer From Target\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("Started At Address"), std::string::npos);
}

TEST_F(TavramE2e, CtrlCWhileWaitingForCtsEndsWithCode2) {
    WriteLanes(RandomProgram(10, {{0x100, 20}}, 0x100), "PROG");
    StartBoard({"--cts-never"});
    PointCom1AtBoard();
    Child tavram;
    ASSERT_TRUE(tavram.Start({tavram_, "PROG"}, dir_, {}, Path("stderr.txt")));
    ASSERT_TRUE(tavram.ReadUntil("Loading File: PROG.X3\n*", 10000)) << tavram.output();
    tavram.Signal(SIGINT);
    EXPECT_EQ(tavram.Wait(5000), 2) << tavram.output();
    EXPECT_EQ(tavram.output().find("Connected"), std::string::npos);
    // On its way out the loader hands the line back: flow control off, then RTS low.
    ExpectLinesHandedBack(WaitForLog("client disconnected"));
}

TEST_F(TavramE2e, SignalBeforeThePortIsOpenEndsWithCode2) {
    // Both programs wait at the name prompt, long before any port; a signal there used to
    // end them by its default action.
    const std::string tavfla = Install(TAVFLA_PATH, "tavfla");
    const std::pair<std::string, int> runs[] = {
        {tavram_, SIGINT}, {tavram_, SIGTERM}, {tavram_, SIGHUP}, {tavfla, SIGINT}};
    for (const auto& [program, signal] : runs) {
        Child child;
        ASSERT_TRUE(child.Start({program}, dir_, {}, Path("stderr.txt"), true));
        ASSERT_TRUE(child.ReadUntil("File To Load : ", 10000)) << child.output();
        child.Signal(signal);
        EXPECT_EQ(child.Wait(5000), 2) << program << " signal " << signal;
    }
}

TEST_F(TavramE2e, BoardGoneMidDownloadIsACommunicationErrorNotAHang) {
    // About 7 s on a paced line: long enough to pull the board away in the middle.
    WriteLanes(RandomProgram(13, {{0x100, 20000}}, 0x100), "PROG");
    StartBoard({"--pacing", "--ram-image", Path("ram.txt")});
    PointCom1AtBoard();
    Child tavram;
    ASSERT_TRUE(tavram.Start({tavram_, "PROG"}, dir_, {}, Path("stderr.txt")));
    ASSERT_TRUE(tavram.ReadUntil("\nConnected To Target\n\rWriting Target Address: ", 10000))
        << tavram.output();
    board_->Signal(SIGKILL);
    StopBoard();
    int code = tavram.Wait(10000);
    std::string tail = tavram.output().substr(tavram.output().rfind('\r') + 1);
    EXPECT_EQ(code, 2) << tail;
    EXPECT_EQ(tail.find("Started At Address"), std::string::npos) << tail;
    // The read or write that met the closed connection names the failure (what ExitLoader
    // then meets on the dead port may follow).
    bool named = tail.find("(): Communiction Error: ") != std::string::npos ||
                 tail.find("(): Timeout, No Answer From Target\n") != std::string::npos;
    EXPECT_TRUE(named) << tail;
    EXPECT_FALSE(fs::exists(Path("ram.txt")));
}

}  // namespace
}  // namespace e2e

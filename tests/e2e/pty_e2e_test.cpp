// The real loaders on a pty with modem lines (libptylines.so preloaded), the board on its
// master: the termios path that a USB serial adapter takes, end to end.
#include <sys/ioctl.h>
#include <unistd.h>

#include "e2e_support.h"
#include "targetsim/ptylines_state.h"

namespace e2e {
namespace {

class PtyE2e : public E2eTest {
  protected:
    void SetUp() override {
        E2eTest::SetUp();
        UsePty();
        tavram_ = Install(TAVRAM_PATH, "tavram");
        tavfla_ = Install(TAVFLA_PATH, "tavfla");
    }

    std::string tavram_;
    std::string tavfla_;
};

struct RateCase {
    int stored;
    int board;
};

void PrintTo(const RateCase& c, std::ostream* os) {
    *os << "stored " << c.stored << ", board " << c.board;
}

class PtyRamE2e : public PtyE2e, public ::testing::WithParamInterface<RateCase> {};

TEST_P(PtyRamE2e, ProgramLandsInRamAndTheAnsweringRateIsSaved) {
    const RateCase c = GetParam();
    WriteTextFile(Path("tavram.SET"), "PORT=COM1\nBAUD=" + std::to_string(c.stored) + "\n");
    Program program = RandomProgram(31, {{0x300, 400}, {0x8000, 33}}, 0x301);
    WriteLanes(program, "PROG");
    StartBoard({"--once", "--baud", std::to_string(c.board), "--ram-image", Path("ram.txt")});
    PointCom1AtBoard();
    RunResult run = Run(tavram_, {"-I", "PROG"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_GE(SyncAttempts(run.output), 3) << run.output;  // two pairs at the stored rate
    EXPECT_NE(run.output.find(BytesLoadedLine(program.BytesLoaded(32)) +
                              "\nPROG Started At Address 000301(HEX)\n"),
              std::string::npos);
    EXPECT_EQ(ReadTextFile(Path("tavram.SET")),
              "PORT=COM1\nBAUD=" + std::to_string(c.board) + "\n");
    EXPECT_EQ(WaitBoardEnd(), 0);
    ExpectLoadedIntoRam(program);
    // The port was asked to pass received bytes on at once (ASYNC_LOW_LATENCY).
    PtyLinesState* lines = PtyLinesMap(Path("lines").c_str());
    ASSERT_NE(lines, nullptr);
    EXPECT_EQ(lines->lowLatency.load(), 1u);
    PtyLinesUnmap(lines);
}

INSTANTIATE_TEST_SUITE_P(BothRates, PtyRamE2e,
                         ::testing::Values(RateCase{115200, 38400}, RateCase{38400, 115200}),
                         [](const ::testing::TestParamInfo<RateCase>& info) {
                             return "Board" + std::to_string(info.param.board);
                         });

class PtyFlashE2e : public PtyE2e, public ::testing::WithParamInterface<const char*> {};

TEST_P(PtyFlashE2e, ProgramIsStoredWithItsDateStamp) {
    const std::string mode = GetParam();
    Program program = RandomProgram(32, {{0x200, 300}, {0x7FFFF0, 16}}, 0x201);
    WriteLanes(program, "PROG");
    StampX0("PROG");
    StartBoard({"--once", "--flash-dir", Path("flash")});
    PointCom1AtBoard();
    RunResult run = Run(tavfla_, {"PROG", mode});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find(BytesLoadedLine(program.BytesLoaded(32)) +
                              "\nPROG Started At Address 000201(HEX)\n"),
              std::string::npos)
        << run.output.substr(run.output.rfind('\r') + 1);
    EXPECT_EQ(WaitBoardEnd(), 0);
    FlashProgram stored = ReadFlashProgram("flash", "PROG");
    ASSERT_TRUE(stored.present) << "nothing stored under PROG";
    EXPECT_EQ(stored.stamp, kStoredStamp);
    EXPECT_EQ(stored.entry, 0x000201u);
    EXPECT_TRUE(stored.words == program.Words()) << "stored words differ";
}

INSTANTIATE_TEST_SUITE_P(SaveAndFast, PtyFlashE2e, ::testing::Values("-Ms", "-Mf"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param[2] == 's' ? "Save" : "Fast");
                         });

struct PtyFault {
    const char* name;
    std::vector<std::string> boardOptions;
    const char* message;
};

void PrintTo(const PtyFault& c, std::ostream* os) {
    *os << c.name;
}

class PtyFaultE2e : public PtyE2e, public ::testing::WithParamInterface<PtyFault> {};

TEST_P(PtyFaultE2e, FailureIsReportedAndTheProgramNeverStarts) {
    const PtyFault& c = GetParam();
    WriteLanes(RandomProgram(33, {{0x100, 100}}, 0x100), "PROG");
    std::vector<std::string> options = {"--once", "--ram-image", Path("ram.txt")};
    options.insert(options.end(), c.boardOptions.begin(), c.boardOptions.end());
    StartBoard(options);
    PointCom1AtBoard();
    RunResult run = Run(tavram_, {"PROG"}, 20000);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Started At Address"), std::string::npos);
    EXPECT_EQ(WaitBoardEnd(), 0);
    EXPECT_FALSE(fs::exists(Path("ram.txt")));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PtyFaultE2e,
    ::testing::Values(PtyFault{"SilentBoard",
                               {"--ram-silent-from", "1"},
                               "\nReceiveWait(): Timeout, No Answer From Target\n"},
                      PtyFault{"WrongChecksum",
                               {"--ram-bad-checksum", "2"},
                               "\nTARGET COMMUNICATION CHECKSUM ERROR"}),
    [](const ::testing::TestParamInfo<PtyFault>& info) { return std::string(info.param.name); });

TEST_F(PtyE2e, SecondLoaderIsRefusedAndSigtermHandsTheLineBack) {
    // About 7 s on a paced line: time for a second loader and a signal in the middle.
    WriteLanes(RandomProgram(34, {{0x100, 20000}}, 0x100), "PROG");
    StartBoard({"--pacing", "--ram-image", Path("ram.txt")});
    PointCom1AtBoard();
    Child first;
    ASSERT_TRUE(first.Start({tavram_, "PROG"}, dir_, RunEnvironment(), Path("stderr.txt")));
    ASSERT_TRUE(first.ReadUntil("\nConnected To Target\n\rWriting Target Address: ", 10000))
        << first.output();

    // TIOCEXCL refuses it with EBUSY; a process that may pass that (root) meets the lock.
    RunResult second = Run(tavram_, {"PROG"});
    EXPECT_EQ(second.exitCode, 2);
    const bool refused = second.output.find("\nOpen Of COM1 Failed: 16\n") != std::string::npos ||
                         second.output.find("\nOpen Of COM1 Failed: 11\n") != std::string::npos;
    EXPECT_TRUE(refused) << second.output;

    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(5000), 2) << first.output();
    ExpectLinesHandedBack(WaitForLog("client disconnected"));
    PtyLinesState* lines = PtyLinesMap(Path("lines").c_str());
    ASSERT_NE(lines, nullptr);
    EXPECT_EQ(lines->hostLines.load() & TIOCM_RTS, 0u);
    PtyLinesUnmap(lines);
    EXPECT_FALSE(fs::exists(Path("ram.txt")));
}

// A state file that is not this tavsim's to take is refused with a message and left as it
// was, before the pty link is made.
struct LinesCase {
    const char* name;
    const char* message;
};

class PtyLinesFileE2e : public PtyE2e, public ::testing::WithParamInterface<LinesCase> {};

TEST_P(PtyLinesFileE2e, RefusedAndLeftAsItWas) {
    const std::string name = GetParam().name;
    std::string lines = Path("victim.txt");
    WriteTextFile(lines, "notes\n");
    if (name == "InUseByAnotherTavsim") {
        StartBoard({});
        lines = Path("lines");
    } else if (name == "SymbolicLink") {
        lines = Path("second.lines");  // the default for --pty second
        ASSERT_EQ(symlink("victim.txt", lines.c_str()), 0);
    } else if (name == "AnotherUsersFile") {
        if (geteuid() != 0) {
            GTEST_SKIP() << "only root can give a file to another user";
        }
        ASSERT_EQ(chown(lines.c_str(), 65534, 65534), 0);
    }
    const std::string before = ReadTextFile(lines);
    Child second;
    ASSERT_TRUE(second.Start({TAVSIM_PATH, "--pty", Path("second"), "--lines", lines}, dir_, {},
                             Path("second.err")));
    EXPECT_EQ(second.Wait(5000), 2);
    const std::string message = ReadTextFile(Path("second.err"));
    EXPECT_NE(message.find(GetParam().message), std::string::npos) << message;
    EXPECT_NE(message.find(lines), std::string::npos) << message;
    EXPECT_EQ(ReadTextFile(lines), before);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Path("second"))));
    if (board_) {
        EXPECT_EQ(StopBoard(), 0);  // the first tavsim ran on and ends at SIGTERM
    }
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, PtyLinesFileE2e,
    ::testing::Values(LinesCase{"InUseByAnotherTavsim", " is in use by another tavsim\n"},
                      LinesCase{"SymbolicLink", " is a symbolic link or no regular file"},
                      LinesCase{"AnotherUsersFile", " belongs to another user: not used\n"}),
    [](const ::testing::TestParamInfo<LinesCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e

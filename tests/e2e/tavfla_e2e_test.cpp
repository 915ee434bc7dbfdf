// The real tavfla against the simulated board: random programs stored in its flash folder
// in Save and Fast mode with the date stamp of the .X0 file, a name stored twice, and the
// failures of the flash protocol.
#include "e2e_support.h"

namespace e2e {
namespace {

class TavflaE2e : public E2eTest {
  protected:
    void SetUp() override {
        E2eTest::SetUp();
        tavfla_ = Install(TAVFLA_PATH, "tavfla");
    }

    std::string tavfla_;
};

class TavflaModeE2e : public TavflaE2e, public ::testing::WithParamInterface<const char*> {};

TEST_P(TavflaModeE2e, RandomProgramIsStoredIntactWithItsDateStampAndOnlyOnce) {
    const std::string mode = GetParam();
    Program program =
        RandomProgram(mode == "-Ms" ? 21 : 22,
                      {{0x000200, 500}, {0x00F000, 33}, {0x7FFFF0, 16}, {0x050000, 1}}, 0x00F001);
    WriteLanes(program, "PROG");
    StampX0("PROG");
    StartBoard({"--flash-dir", Path("flash")});
    PointCom1AtBoard();

    RunResult run = Run(tavfla_, {"prog", mode});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("\nConnected To Target\n"), std::string::npos);
    EXPECT_NE(run.output.find(BytesLoadedLine(program.BytesLoaded(32)) +
                              "\nPROG Started At Address 00F001(HEX)\n\nDownload Time = "),
              std::string::npos)
        << run.output.substr(run.output.rfind('\r') + 1);
    EXPECT_EQ(ReadTextFile(Path("tavfla.SET")),
              std::string("PORT=COM1\nBAUD=115200\nMODE=") + mode[2] + "\n");

    FlashProgram stored = ReadFlashProgram("flash", "PROG");
    ASSERT_TRUE(stored.present) << "nothing stored under PROG";
    EXPECT_EQ(stored.name, "PROG");
    EXPECT_EQ(stored.stamp, kStoredStamp);
    EXPECT_EQ(stored.entry, 0x00F001u);
    EXPECT_TRUE(stored.words == program.Words()) << "stored words differ";

    // The same name again: refused, and the stored program stays as it was.
    std::string before = ReadTextFile(Path("flash") + "/prog_50524F47.txt");
    run = Run(tavfla_, {"PROG"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.output.find("\nConnected To Target\nFilename PROG Already Exists On Target\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("Started At Address"), std::string::npos);
    EXPECT_EQ(ReadTextFile(Path("flash") + "/prog_50524F47.txt"), before);
    EXPECT_EQ(StopBoard(), 0);
}

INSTANTIATE_TEST_SUITE_P(SaveAndFast, TavflaModeE2e, ::testing::Values("-Ms", "-Mf"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param[2] == 's' ? "Save" : "Fast");
                         });

struct FaultCase {
    const char* name;
    std::vector<std::string> boardOptions;
    const char* mode;
    const char* message;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class TavflaFaultE2e : public TavflaE2e, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(TavflaFaultE2e, FailureIsReportedAndEndsWithCode2) {
    const FaultCase& c = GetParam();
    WriteLanes(RandomProgram(23, {{0x100, 300}}, 0x100), "PROG");
    std::vector<std::string> options = {"--once", "--flash-dir", Path("flash")};
    options.insert(options.end(), c.boardOptions.begin(), c.boardOptions.end());
    StartBoard(options);
    PointCom1AtBoard();
    RunResult run = Run(tavfla_, {"PROG", c.mode}, 20000);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.output.find(std::string("\nConnected To Target\n")), std::string::npos);
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Started At Address"), std::string::npos);
    EXPECT_EQ(WaitBoardEnd(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TavflaFaultE2e,
    ::testing::Values(FaultCase{"FlashFull",
                                {"--flash-end-status", "3"},
                                "-Mf",
                                "More Than 63 Programs Present In Flash\n"},
                      FaultCase{"FastEchoError",
                                {"--flash-corrupt-echo", "70"},
                                "-Mf",
                                "\n\nERROR AT RECEIVED ECHO: \nTRANSMITTED DATA:0x"},
                      FaultCase{
                          "FastEchoErrorAdvice",
                          {"--flash-corrupt-echo", "70"},
                          "-Mf",
                          "\n\nPlease Try Again With Security Option: \"TAVFLA <NAME> -Ms\"\n\n"},
                      FaultCase{"SaveEchoError",
                                {"--flash-corrupt-echo", "70"},
                                "-Ms",
                                "\n\nERROR AT RECEIVED ECHO: TRANSMITTED DATA:0x"},
                      FaultCase{"FastEchoesStop",
                                {"--flash-silent-from", "60"},
                                "-Mf",
                                "\nReceiveBlock(): Timeout, No Answer From Target\n"},
                      FaultCase{"SaveEchoesStop",
                                {"--flash-silent-from", "60"},
                                "-Ms",
                                "\nReceiveWait(): Timeout, No Answer From Target\n"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e

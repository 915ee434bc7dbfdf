// The trace of a run (TAVLOADER_TRACE) and tavsim --replay: runs against the board's faults
// are traced, stretched as a slow host would have traced them, and made again against the
// replay of that trace; the loader must not tell the two apart.
#include <sys/stat.h>

#include <regex>
#include <sstream>

#include "e2e_support.h"

namespace e2e {
namespace {

struct ReplayCase {
    const char* name;
    const char* tool;   // "tavram" or "tavfla"
    const char* mode;   // tavfla's -Ms or -Mf; "" for tavram
    const char* board;  // tavsim's fault options
    int exitCode;
};

void PrintTo(const ReplayCase& c, std::ostream* os) {
    *os << c.name;
}

// The trace as a host that read every board byte 300 ms late would have written it.
std::string Stretched(const std::string& trace) {
    std::istringstream lines(trace);
    std::string out;
    long long shift = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t sign = line.find(' ', line.find_first_not_of(' '));
        shift += line.compare(sign, 3, " < ") == 0 ? 300000 : 0;
        char stamp[24];
        snprintf(stamp, sizeof stamp, "%10lld", std::stoll(line.substr(0, sign)) + shift);
        out += stamp + line.substr(sign) + "\n";
    }
    return out;
}

// The download time is the one line a replay need not repeat.
std::string WithoutTime(const std::string& output) {
    return std::regex_replace(output, std::regex("Download Time = [0-9.]+"), "Download Time =");
}

class TraceE2e : public E2eTest {
  protected:
    void Trace(const std::string& name) { env_ = {"TAVLOADER_TRACE=" + Path(name)}; }
};

class ReplayE2e : public TraceE2e, public ::testing::WithParamInterface<ReplayCase> {};

TEST_P(ReplayE2e, ReplayOfTheStretchedTraceGivesTheLoaderTheSameRun) {
    const ReplayCase& c = GetParam();
    const bool ram = std::string(c.tool) == "tavram";
    const std::string tool = Install(ram ? TAVRAM_PATH : TAVFLA_PATH, c.tool);
    WriteLanes(RandomProgram(31, {{0x100, 150}}, 0x100), "PROG");
    StampX0("PROG");
    const std::vector<std::string> args =
        ram ? std::vector<std::string>{"PROG"} : std::vector<std::string>{"PROG", c.mode};
    std::vector<std::string> options = {"--once", "--flash-dir", Path("flash")};
    std::istringstream board(c.board);
    for (std::string option; board >> option;) {
        options.push_back(option);
    }
    StartBoard(options);
    PointCom1AtBoard();
    Trace("trace.txt");
    const RunResult traced = Run(tool, args, 20000);
    EXPECT_EQ(traced.exitCode, c.exitCode) << traced.output;
    EXPECT_EQ(WaitBoardEnd(), 0);
    const std::string trace = ReadTextFile(Path("trace.txt"));
    const std::string end = "! exit " + std::to_string(c.exitCode) + "\n";
    ASSERT_EQ(trace.compare(trace.size() - end.size(), end.size(), end), 0) << trace;
    WriteTextFile(Path("stretched.txt"), Stretched(trace));

    env_.clear();
    StartBoard({"--once", "--replay", Path("stretched.txt")});
    const RunResult replayed = Run(tool, args, 20000);
    EXPECT_EQ(replayed.exitCode, traced.exitCode);
    EXPECT_EQ(WithoutTime(replayed.output), WithoutTime(traced.output));
    EXPECT_EQ(WaitBoardEnd(), 0);
    const std::string log = ReadTextFile(Path("tavsim.log"));
    EXPECT_EQ(log.find("no more answers"), std::string::npos) << log;
    EXPECT_NE(log.find("replay: end of the trace"), std::string::npos) << log;
    EXPECT_NE(log.find("client disconnected (closed)\n"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    RunsAndFaults, ReplayE2e,
    ::testing::Values(ReplayCase{"RamLoaded", "tavram", "", "", 0},
                      ReplayCase{"RamOtherRateAndNoise", "tavram", "",
                                 "--baud 38400 --noise-after-sync 3", 0},
                      ReplayCase{"RamChecksumError", "tavram", "", "--ram-bad-checksum 3", 2},
                      ReplayCase{"SaveStored", "tavfla", "-Ms", "", 0},
                      ReplayCase{"SaveEchoError", "tavfla", "-Ms", "--flash-corrupt-echo 70", 2},
                      ReplayCase{"FastStoredWithFillers", "tavfla", "-Mf", "--flash-fillers 3", 0},
                      ReplayCase{"FastChecksumError", "tavfla", "-Mf", "--flash-bad-checksum 2", 2},
                      ReplayCase{"FastBoardSilent", "tavfla", "-Mf", "--flash-silent-from 60", 2}),
    [](const ::testing::TestParamInfo<ReplayCase>& info) { return std::string(info.param.name); });

// A FIFO without a reader would hold tavsim's start up: as its log or its trace it is refused.
TEST_F(TraceE2e, TavsimRefusesALogOrTraceThatIsNoRegularFile) {
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    for (const char* option : {"--log", "--replay"}) {
        Child sim;
        ASSERT_TRUE(sim.Start({TAVSIM_PATH, "--socket", Path("sim.sock"), option, Path("fifo")},
                              dir_, {}, Path("sim.err")));
        EXPECT_EQ(sim.Wait(5000), 2) << option;
        EXPECT_NE(ReadTextFile(Path("sim.err")).find("not a regular file"), std::string::npos);
    }
}

TEST_F(TraceE2e, UnwritableFileOnlyWarnsAndCtrlCStillWritesTheTrace) {
    const std::string tavram = Install(TAVRAM_PATH, "tavram");
    Trace("no such folder/trace.txt");
    EXPECT_EQ(Run(tavram, {"PROG", "-H"}).exitCode, 0);
    EXPECT_TRUE(std::regex_match(ReadTextFile(Path("stderr.txt")),
                                 std::regex("Warning: Can't Write Trace File [^\n]*\n")));

    WriteLanes(RandomProgram(34, {{0x100, 20}}, 0x100), "PROG");
    StartBoard({"--cts-never"});
    PointCom1AtBoard();
    Trace("trace.txt");
    Child child;
    ASSERT_TRUE(child.Start({tavram, "PROG"}, dir_, RunEnvironment(), Path("stderr.txt")));
    ASSERT_TRUE(child.ReadUntil("Loading File: PROG.X3\n*", 10000)) << child.output();
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(5000), 2);
    const std::string trace = ReadTextFile(Path("trace.txt"));
    EXPECT_TRUE(
        std::regex_search(trace, std::regex("! CTS off\n *[0-9]+ ! interrupted, exit 2\n$")))
        << trace;
}

}  // namespace
}  // namespace e2e

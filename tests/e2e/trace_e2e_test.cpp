// The trace of a run (TAVLOADER_TRACE) and tavsim --replay: runs against the board's faults
// are traced, then made again against the replay of their trace, and the loader must not
// tell the two apart; a changed program is caught at its first differing byte.
#include <regex>
#include <sstream>

#include "e2e_support.h"

namespace e2e {
namespace {

struct ReplayCase {
    const char* name;
    const char* tool;  // "tavram" or "tavfla"
    const char* mode;  // tavfla's -Ms or -Mf; "" for tavram
    std::vector<std::string> fault;
    int exitCode;
    bool atOnce;
};

void PrintTo(const ReplayCase& c, std::ostream* os) {
    *os << c.name;
}

// The download time is the one line a replay at once need not repeat.
std::string WithoutTime(const std::string& output) {
    return std::regex_replace(output, std::regex("Download Time = [0-9.]+"), "Download Time =");
}

class TraceE2e : public E2eTest {
  protected:
    void Trace(const std::string& name) { env_ = {"TAVLOADER_TRACE=" + Path(name)}; }
};

class ReplayE2e : public TraceE2e, public ::testing::WithParamInterface<ReplayCase> {};

TEST_P(ReplayE2e, ReplayOfTheTraceGivesTheLoaderTheSameRun) {
    const ReplayCase& c = GetParam();
    const bool ram = std::string(c.tool) == "tavram";
    const std::string tool = Install(ram ? TAVRAM_PATH : TAVFLA_PATH, c.tool);
    WriteLanes(RandomProgram(31, {{0x100, 150}}, 0x100), "PROG");
    StampX0("PROG");
    const std::vector<std::string> args =
        ram ? std::vector<std::string>{"PROG"} : std::vector<std::string>{"PROG", c.mode};
    std::vector<std::string> options = {"--once", "--flash-dir", Path("flash")};
    options.insert(options.end(), c.fault.begin(), c.fault.end());
    StartBoard(options);
    PointCom1AtBoard();
    Trace("trace.txt");
    const RunResult traced = Run(tool, args, 20000);
    EXPECT_EQ(traced.exitCode, c.exitCode) << traced.output;
    EXPECT_EQ(WaitBoardEnd(), 0);

    const std::string trace = ReadTextFile(Path("trace.txt"));
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line, std::regex(" {0,9}[0-9]{1,10} [#!<>] .*"))) << line;
    }
    EXPECT_TRUE(std::regex_search(trace, std::regex("^ *[0-9]+ # TAV(RAM|FLA) V 3.0; command "
                                                    "line: [^\n]*; port [^\n]*COM1 -> ")));
    EXPECT_TRUE(std::regex_search(trace, std::regex(" > 7F 7F\n *[0-9]+ < 7F\n| > 0F 0F\n *[0-9]+ "
                                                    "< 0F\n")));
    const std::string end = "! exit " + std::to_string(c.exitCode) + "\n";
    EXPECT_EQ(trace.compare(trace.size() - end.size(), end.size(), end), 0) << trace;

    // The replay, and the same run without a trace.
    env_.clear();
    std::vector<std::string> replay = {"--once", "--replay", Path("trace.txt")};
    if (c.atOnce) {
        replay.push_back("--at-once");
    }
    StartBoard(replay);
    const RunResult replayed = Run(tool, args, 20000);
    EXPECT_EQ(replayed.exitCode, traced.exitCode);
    EXPECT_EQ(WithoutTime(replayed.output), WithoutTime(traced.output));
    EXPECT_EQ(WaitBoardEnd(), 0);
    const std::string log = ReadTextFile(Path("tavsim.log"));
    EXPECT_EQ(log.find("differs from the trace"), std::string::npos) << log;
    EXPECT_NE(log.find("replay: end of the trace"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    RunsAndFaults, ReplayE2e,
    ::testing::Values(
        ReplayCase{"RamLoaded", "tavram", "", {}, 0, false},
        ReplayCase{"RamChecksumError", "tavram", "", {"--ram-bad-checksum", "3"}, 2, true},
        ReplayCase{"RamBoardSilent", "tavram", "", {"--ram-silent-from", "3"}, 2, true},
        ReplayCase{"SaveStored", "tavfla", "-Ms", {}, 0, false},
        ReplayCase{"SaveEchoError", "tavfla", "-Ms", {"--flash-corrupt-echo", "70"}, 2, true},
        ReplayCase{"SaveChecksumError", "tavfla", "-Ms", {"--flash-bad-checksum", "2"}, 2, true},
        ReplayCase{"SaveBoardSilent", "tavfla", "-Ms", {"--flash-silent-from", "60"}, 2, true},
        ReplayCase{"FastStored", "tavfla", "-Mf", {}, 0, true},
        ReplayCase{"FastEchoError", "tavfla", "-Mf", {"--flash-corrupt-echo", "70"}, 2, true},
        ReplayCase{"FastChecksumError", "tavfla", "-Mf", {"--flash-bad-checksum", "2"}, 2, false},
        ReplayCase{"FastBoardSilent", "tavfla", "-Mf", {"--flash-silent-from", "60"}, 2, true}),
    [](const ::testing::TestParamInfo<ReplayCase>& info) { return std::string(info.param.name); });

TEST_F(TraceE2e, ChangedProgramIsCaughtAtItsFirstDifferingByte) {
    const std::string tavram = Install(TAVRAM_PATH, "tavram");
    WriteLanes(RandomProgram(32, {{0x100, 40}}, 0x100), "PROG");
    StartBoard({"--once"});
    PointCom1AtBoard();
    Trace("trace.txt");
    EXPECT_EQ(Run(tavram, {"PROG"}).exitCode, 0);
    EXPECT_EQ(WaitBoardEnd(), 0);

    env_.clear();
    WriteLanes(RandomProgram(33, {{0x100, 40}}, 0x100), "PROG");
    StartBoard({"--once", "--replay", Path("trace.txt"), "--at-once"});
    const RunResult run = Run(tavram, {"PROG"}, 20000);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.output.find("\nReceiveWait(): Timeout, No Answer From Target\n"),
              std::string::npos);
    EXPECT_EQ(WaitBoardEnd(), 0);
    // Where, both bytes, and the trace's lines around them with the differing one marked.
    const std::string log = ReadTextFile(Path("tavsim.log"));
    EXPECT_TRUE(std::regex_search(
        log,
        std::regex("replay: host byte [0-9]+ differs from the trace \\(line [0-9]+, byte "
                   "[0-9]+ of it\\): trace 0x[0-9A-F]{2}, host 0x[0-9A-F]{2}; no more answers")))
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("replay: => +[0-9]+ +[0-9]+ > 00 "))) << log;
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

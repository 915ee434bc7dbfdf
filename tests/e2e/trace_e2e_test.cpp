// The trace of a run (TAVLOADER_TRACE) and tavsim --replay: runs against the board's faults
// are traced, stretched as a slow host would have traced them, and made again against the
// replay of that trace; the loader must not tell the two apart.
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

// What the trace may be named: anything but a regular file no other run holds gives one
// warning line, the run goes on untraced, and what is there stays as it was.
struct TraceFileCase {
    const char* name;
    const char* make;   // a shell command in the folder
    const char* trace;  // TAVLOADER_TRACE
    const char* why;
};

void PrintTo(const TraceFileCase& c, std::ostream* os) {
    *os << c.name;
}

class TraceFileE2e : public TraceE2e, public ::testing::WithParamInterface<TraceFileCase> {};

TEST_P(TraceFileE2e, OnlyWarnsAndTheRunGoesOnUntraced) {
    const TraceFileCase& c = GetParam();
    const std::string tavram = Install(TAVRAM_PATH, "tavram");
    WriteTextFile(Path("held.txt"), "another run's trace\n");
    const int held = open(Path("held.txt").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    ASSERT_EQ(std::system(("cd '" + dir_ + "' && " + c.make).c_str()), 0);
    env_ = {std::string("TAVLOADER_TRACE=") + c.trace};
    EXPECT_EQ(Run(tavram, {"PROG", "-H"}, 10000).exitCode, 0);
    close(held);
    EXPECT_EQ(ReadTextFile(Path("stderr.txt")),
              std::string("Warning: Can't Write Trace File ") + c.trace + ": " + c.why + "\n");
    EXPECT_EQ(ReadTextFile(Path("held.txt")), "another run's trace\n");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TraceFileE2e,
    ::testing::Values(
        TraceFileCase{"FifoWithoutReader", "mkfifo fifo", "fifo", "Not A Regular File"},
        TraceFileCase{"LinkToAnotherFile", "ln -s held.txt link", "link",
                      "A Symbolic Link (Not Followed)"},
        TraceFileCase{"FullDevice", "true", "/dev/full", "Not A Regular File"},
        TraceFileCase{"HeldByAnotherRun", "true", "held.txt", "In Use By Another Run"},
        TraceFileCase{"Folder", "mkdir folder", "folder", "Not A Regular File"},
        TraceFileCase{"InAMissingFolder", "true", "no such folder/trace",
                      "No such file or directory"}),
    [](const ::testing::TestParamInfo<TraceFileCase>& info) {
        return std::string(info.param.name);
    });

TEST_F(TraceE2e, FailedWriteWarnsOnceAndTheDownloadGoesOn) {
    const std::string tavram = Install(TAVRAM_PATH, "tavram");
    const Program program = RandomProgram(35, {{0x100, 2000}}, 0x100);
    WriteLanes(program, "PROG");
    StartBoard({"--once", "--ram-image", Path("ram.txt")});
    PointCom1AtBoard();
    Trace("trace.txt");
    // Files of at most 1 KB: a longer write fails with EFBIG (SIGXFSZ is ignored).
    const RunResult run =
        Run("/bin/sh", {"-c", "ulimit -f 2 && exec \"$0\" \"$@\"", tavram, "PROG"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(ReadTextFile(Path("stderr.txt")),
              "Warning: Can't Write Trace File " + Path("trace.txt") + ": File too large\n");
    EXPECT_EQ(WaitBoardEnd(), 0);  // the board writes its RAM image as the loader ends
    ExpectLoadedIntoRam(program);
}

// A signal at a moment of a traced download: the run ends with code 2, the line released and
// the trace's last line; SIGPIPE is ignored; a killed run leaves what it did.
struct SignalCase {
    const char* name;
    int signal;
    const char* board;   // tavsim's option
    const char* output;  // sent when the output shows this, or
    const char* trace;   // when the trace file exists and holds this
    int exitCode;
    const char* traceEnd;  // a pattern
    bool lineReleased;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.name;
}

class SignalE2e : public TraceE2e, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(SignalE2e, EndsTheTraceAndReleasesTheLine) {
    const SignalCase& c = GetParam();
    struct sigaction current;
    if (sigaction(c.signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
        GTEST_SKIP() << "ignored by whoever started the tests";
    }
    const std::string tavram = Install(TAVRAM_PATH, "tavram");
    WriteLanes(RandomProgram(36, {{0x100, 8000}}, 0x100), "PROG");  // 3 s on a paced line
    StartBoard({c.board});
    PointCom1AtBoard();
    Trace("trace.txt");
    Child child;
    ASSERT_TRUE(child.Start({tavram, "PROG"}, dir_, RunEnvironment(), Path("stderr.txt")));
    if (c.trace == nullptr) {
        ASSERT_TRUE(child.ReadUntil(c.output, 10000)) << child.output();
    } else {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while ((!fs::exists(Path("trace.txt")) ||
                ReadTextFile(Path("trace.txt")).find(c.trace) == std::string::npos) &&
               MsLeft(deadline) > 0) {
            usleep(1000);  // the trace is a file: polled, bounded
        }
        ASSERT_TRUE(fs::exists(Path("trace.txt")));
    }
    child.Signal(c.signal);
    EXPECT_EQ(child.Wait(20000), c.exitCode) << child.output();
    const std::string trace = ReadTextFile(Path("trace.txt"));
    EXPECT_TRUE(std::regex_search(trace, std::regex("^ *[0-9]+ # TAVRAM"))) << trace;
    EXPECT_TRUE(std::regex_search(trace, std::regex(c.traceEnd))) << trace;
    if (c.lineReleased) {
        ExpectLinesHandedBack(WaitForLog("client disconnected"));
    }
}

const char kWriting[] = "\rWriting Target Address: ";
const char kInterrupted[] = "! interrupted, exit 2\n$";

INSTANTIATE_TEST_SUITE_P(
    Moments, SignalE2e,
    ::testing::Values(SignalCase{"AsTheTraceOpens", SIGINT, "--cts-never", nullptr, "", 2,
                                 kInterrupted, false},
                      SignalCase{"CtrlCWhileCtsIsAwaited", SIGINT, "--cts-never", "*", nullptr, 2,
                                 "! CTS off\n *[0-9]+ ! interrupted, exit 2\n$", true},
                      SignalCase{"TermMidDownload", SIGTERM, "--pacing", kWriting, nullptr, 2,
                                 kInterrupted, true},
                      SignalCase{"HangUpMidDownload", SIGHUP, "--pacing", kWriting, nullptr, 2,
                                 kInterrupted, true},
                      SignalCase{"QuitMidDownload", SIGQUIT, "--pacing", kWriting, nullptr, 2,
                                 kInterrupted, true},
                      SignalCase{"PipeMidDownloadIsIgnored", SIGPIPE, "--pacing", kWriting, nullptr,
                                 0, "! exit 0\n$", true},
                      SignalCase{"KilledWhileCtsIsAwaited", SIGKILL, "--cts-never", nullptr,
                                 "! CTS off\n", 128 + SIGKILL, "! CTS off\n$", false}),
    [](const ::testing::TestParamInfo<SignalCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e

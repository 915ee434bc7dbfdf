// Helpers of the end-to-end tests: a temporary folder per test that holds a copy of the
// tool under test (so its settings file and COM entries live there), child processes with
// captured output and bounded waits, the simulated board, and the files they exchange.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/files.h"

namespace e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline int MsLeft(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A child process with standard input from /dev/null, standard output on a pipe that the
// test reads, and standard error into a file. It is always reaped: killed if still running.
class Child {
  public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    // With `holdInput` standard input is a pipe that stays open (and empty) while the
    // process runs, so a read from it waits.
    bool Start(const std::vector<std::string>& args, const std::string& cwd,
               const std::vector<std::string>& extraEnv, const std::string& errorFile,
               bool holdInput = false);

    // Reads output until it contains the text, within the bound.
    bool ReadUntil(const std::string& text, int timeoutMs);

    // Reads the rest of the output and reaps the process. Returns the exit code, 128 + the
    // signal number for a process ended by a signal, or -1 when it did not end within the
    // bound (it is then killed).
    int Wait(int timeoutMs);

    void Signal(int signal) {
        if (pid_ > 0) {
            kill(pid_, signal);
        }
    }

    const std::string& output() const { return output_; }

  private:
    // Takes in whatever the pipe holds; closes it at its end.
    void Drain();
    void CloseFds();

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int exitFd_ = -1;
    std::string output_;
};

struct RunResult {
    int exitCode = -1;
    std::string output;
};

// The board's RAM as tavsim writes it when the loaded program starts.
struct RamImage {
    bool present = false;
    uint32_t entry = 0;
    std::map<uint32_t, uint32_t> words;
};

// One program of the simulated flash folder.
struct FlashProgram {
    bool present = false;
    std::string name;
    std::vector<unsigned> stamp;
    uint32_t entry = 0;
    std::map<uint32_t, uint32_t> words;
};

// A program as the test knows it: segments of words at their load addresses.
struct Program {
    struct Segment {
        uint32_t address;
        std::vector<uint32_t> words;
    };
    std::vector<Segment> segments;
    uint32_t entry = 0;

    std::map<uint32_t, uint32_t> Words() const;
    // What the loaders report: every data packet (7 bytes plus 4 per word) plus 4.
    uint64_t BytesLoaded(size_t wordsPerRecord) const;
};

Program RandomProgram(uint32_t seed, const std::vector<std::pair<uint32_t, size_t>>& layout,
                      uint32_t entry);

std::string BytesLoadedLine(uint64_t bytes);

std::string Hex6(uint32_t value);

// The sync pairs a run with -I reports before "Connected To Target" (-1: no such line). How
// many go out before the answer is read depends on the machine's load, so tests bound it
// from below; the exact counts are the virtual-clock tests' to prove.
int SyncAttempts(const std::string& output);

// 5 March 2001 14:07:09 UTC (the runs get TZ=UTC), and how the board stores it.
constexpr time_t kStampTime = 983801229;
const std::vector<unsigned> kStoredStamp = {5, 3, 1, 14, 7, 9, 1};

// The line handed back on a loader's way out, as the board's log shows it: flow control
// off after it was last switched on, then RTS low, and RTS not raised after flow control.
void ExpectLinesHandedBack(const std::string& log);

// A temporary folder with a copy of one tool, a simulated board on a socket in it (or on a
// pty, see UsePty), and COM1 pointing at that board.
class E2eTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string Path(const std::string& name) const { return folder_.Path(name); }

    // Copies the tool beside its settings file; returns its path in the folder.
    std::string Install(const std::string& source, const std::string& name);

    // The board on a pty instead of the socket (before StartBoard): every run then gets
    // libptylines.so preloaded with the board's line state.
    void UsePty() { pty_ = true; }

    // Starts tavsim on the folder's socket (or pty) and waits for its listening line.
    void StartBoard(const std::vector<std::string>& options);

    // What a run of a loader gets in its environment besides what the test has (runEnv_
    // last).
    std::vector<std::string> RunEnvironment() const;

    // Polls the board's log until it holds the text, within the bound; returns the log.
    std::string WaitForLog(const std::string& text, int timeoutMs = 5000) const;

    // Waits for a board started with --once to end by itself after its client left, so
    // that it has taken in everything the client sent; returns its exit code.
    int WaitBoardEnd();

    // Ends the board (SIGTERM) and reaps it; returns its exit code.
    int StopBoard();

    void PointCom1AtBoard();

    // Runs a program in the folder to its end, within the bound.
    RunResult Run(const std::string& program, const std::vector<std::string>& args,
                  int timeoutMs = 60000);

    // Writes the program's lane files NAME.X0..X3 with lanegen from binary images.
    void WriteLanes(const Program& program, const std::string& name,
                    const std::vector<std::string>& extra = {});

    RamImage ReadRamImage(const std::string& name = "ram.txt") const;
    // The board's RAM image holds exactly the program's words and its entry.
    void ExpectLoadedIntoRam(const Program& program);

    // Gives NAME.X0 the time kStampTime.
    void StampX0(const std::string& name);

    // The stored program of that name in the board's flash folder (its file name is
    // "prog_" + the name in hex + ".txt").
    FlashProgram ReadFlashProgram(const std::string& folder, const std::string& name) const;

    std::vector<std::string> env_;  // more environment for every run of a loader
    TempFolder folder_{"tave2e"};
    std::string dir_;
    std::string socket_;
    bool pty_ = false;
    std::vector<std::string> runEnv_;
    std::unique_ptr<Child> board_;
};

}  // namespace e2e

// libptylines.so seen from both ends: a helper process with the library preloaded works a
// pty slave as a loader or Wine would, and the test plays the board on the master and on
// the shared line state.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/files.h"
#include "targetsim/ptylines_state.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBoundMs = 10000;

int MsLeft(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The helper with the library preloaded; its output is read as it comes.
struct Helper {
    pid_t pid = -1;
    int out = -1;
    std::string output;

    ~Helper() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) {
            close(out);
        }
    }

    bool Start(const std::vector<std::string>& steps, const std::vector<std::string>& env) {
        std::vector<std::string> store = {PTYLINES_HELPER};
        store.insert(store.end(), steps.begin(), steps.end());
        std::vector<char*> argv;
        for (std::string& s : store) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> envStore = env;
        std::vector<char*> envp;
        for (std::string& s : envStore) {
            envp.push_back(s.data());
        }
        envp.push_back(nullptr);
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            return false;
        }
        pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], 1);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(pipeFds[1]);
        out = pipeFds[0];
        return pid > 0;
    }

    // Reads until the output holds the text or the helper's output ends, within the bound.
    bool ReadUntil(const std::string& text) {
        auto deadline = Clock::now() + std::chrono::milliseconds(kBoundMs);
        while (output.find(text) == std::string::npos) {
            pollfd p = {out, POLLIN, 0};
            char buffer[512];
            ssize_t n = 0;
            if (MsLeft(deadline) == 0 || poll(&p, 1, MsLeft(deadline)) <= 0 ||
                (n = read(out, buffer, sizeof buffer)) <= 0) {
                return false;
            }
            output.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    // Reads the rest and reaps the helper within the bound; its exit code, or -1.
    int Wait() {
        ReadUntil(std::string(1, '\0'));  // to the end of its output
        auto deadline = Clock::now() + std::chrono::milliseconds(kBoundMs);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (MsLeft(deadline) == 0) {
                return -1;  // killed by the destructor
            }
            poll(nullptr, 0, 1);
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

class PtyLinesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/ptylinesXXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
        ASSERT_EQ(PtyLinesTakeBoard((dir_ + "/state").c_str(), &state_, &lock_), kPtyLinesTaken);
        master_ = OpenPty(&slave_);
        ASSERT_GE(master_, 0);
        struct stat st;
        ASSERT_EQ(stat(slave_.c_str(), &st), 0);
        PtyLinesAttachBoard(state_, st.st_rdev);
    }

    void TearDown() override {
        PtyLinesUnmap(state_);
        close(lock_);
        close(master_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    static int OpenPty(std::string* slave) {
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            return -1;
        }
        *slave = ptsname(master);
        return master;
    }

    std::vector<std::string> Env(const std::string& preload) const {
        return {"LD_PRELOAD=" + preload, "PTYLINES_STATE=" + dir_ + "/state",
                "PTYLINES_DRAIN_MS=60000"};
    }

    // Runs the helper to its end; its output, or a failure.
    std::string Run(const std::vector<std::string>& steps) {
        Helper helper;
        EXPECT_TRUE(helper.Start(steps, Env(PTYLINES_LIBRARY)));
        EXPECT_EQ(helper.Wait(), 0) << helper.output;
        return helper.output;
    }

    std::string dir_;
    PtyLinesState* state_ = nullptr;
    int lock_ = -1;
    int master_ = -1;
    std::string slave_;
};

TEST_F(PtyLinesTest, ModemLinesOnTheLinePtyOnly) {
    std::string other;
    int otherMaster = OpenPty(&other);
    ASSERT_GE(otherMaster, 0);
    PtyLinesSetBoardLines(state_, TIOCM_CTS | TIOCM_DSR, true);
    Helper helper;
    // Wine sets one line by reading all of them and writing them back with TIOCMSET.
    ASSERT_TRUE(helper.Start({"open", slave_, "get", "bis", "6", "get", "waitcts", "get", "set",
                              "124", "get", "open", other, "bis", "4", "get"},
                             Env(PTYLINES_LIBRARY)));
    ASSERT_TRUE(helper.ReadUntil("waiting\n")) << helper.output;
    EXPECT_EQ(state_->hostLines.load(), uint32_t{TIOCM_RTS | TIOCM_DTR});
    auto deadline = Clock::now() + std::chrono::milliseconds(kBoundMs);
    while (state_->lineWaiters.load() == 0 && MsLeft(deadline) > 0) {
        poll(nullptr, 0, 1);  // until the helper's TIOCMIWAIT has taken its first look
    }
    PtyLinesSetBoardLines(state_, TIOCM_CTS, false);
    EXPECT_EQ(helper.Wait(), 0);
    close(otherMaster);
    EXPECT_EQ(helper.output,
              "open ok\nlines 120\nbis ok\nlines 126\nwaiting\nwaitcts ok\nlines 106\n"
              "set ok\nlines 104\nopen ok\nbis errno 25\nget errno 25\n");
    EXPECT_EQ(state_->hostLines.load(), uint32_t{TIOCM_RTS});
    EXPECT_EQ(state_->dtrRises.load(), 1u);
    EXPECT_EQ(state_->dtrFalls.load(), 1u);
    EXPECT_EQ(state_->ctsChanges.load(), 2u);
}

TEST_F(PtyLinesTest, BackToBackRtsPulsesAreCounted) {
    EXPECT_EQ(Run({"open", slave_, "pulse", "set", "4", "set", "0"}),
              "open ok\npulse ok\nset ok\nset ok\n");
    EXPECT_EQ(state_->rtsRises.load(), 2u);
    EXPECT_EQ(state_->rtsFalls.load(), 2u);
    EXPECT_EQ(state_->hostLines.load(), 0u);
}

TEST_F(PtyLinesTest, LowLatencyRequestIsRecorded) {
    EXPECT_EQ(Run({"open", slave_, "lowlatency"}), "open ok\nlowlatency ok\n");
    EXPECT_EQ(state_->lowLatency.load(), 1u);
    EXPECT_EQ(state_->serialSets.load(), 1u);
    EXPECT_NE(state_->serialFlags.load() & ASYNC_LOW_LATENCY, 0u);
}

TEST_F(PtyLinesTest, RateChangeWaitsUntilTheBoardReadTheBytesBeforeIt) {
    struct termios tio;
    ASSERT_EQ(tcgetattr(master_, &tio), 0);
    ASSERT_EQ(cfgetospeed(&tio), speed_t{B38400});
    Helper helper;
    ASSERT_TRUE(
        helper.Start({"open", slave_, "write", "abc", "rate", "115200"}, Env(PTYLINES_LIBRARY)));
    ASSERT_TRUE(helper.ReadUntil("write ok\n")) << helper.output;
    std::string received;
    auto deadline = Clock::now() + std::chrono::milliseconds(kBoundMs);
    while (received.size() < 3 && MsLeft(deadline) > 0) {
        pollfd p = {master_, POLLIN, 0};
        char buffer[8];
        if (poll(&p, 1, MsLeft(deadline)) == 1) {
            ssize_t n = read(master_, buffer, sizeof buffer);
            received.append(buffer, static_cast<size_t>(n > 0 ? n : 0));
        }
    }
    ASSERT_EQ(received, "abc");
    // The helper is in its rate change; the bytes are read but not yet counted, so the
    // rate is still the old one.
    while (state_->rateChanges.load() == 0 && MsLeft(deadline) > 0) {
        poll(nullptr, 0, 1);
    }
    ASSERT_EQ(state_->rateChanges.load(), 1u);
    ASSERT_EQ(tcgetattr(master_, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), speed_t{B38400});
    EXPECT_EQ(state_->hostWritten.load(), 3u);
    PtyLinesBoardRead(state_, 3);
    EXPECT_EQ(helper.Wait(), 0);
    EXPECT_EQ(helper.output, "open ok\nwrite ok\nrate ok\n");
    ASSERT_EQ(tcgetattr(master_, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), speed_t{B115200});
    EXPECT_EQ(state_->rateChanges.load(), 1u);
    EXPECT_EQ(state_->drainTimeouts.load(), 0u);
}

// The board takes only its own state files, one board at a time, and grows them only.
TEST_F(PtyLinesTest, BoardTakesOnlyAFreeStateOfItsOwn) {
    const std::string text = "notes\n";
    WriteTextFile(dir_ + "/notes", text);
    ASSERT_EQ(symlink("notes", (dir_ + "/link").c_str()), 0);
    ASSERT_EQ(truncate((dir_ + "/state").c_str(), 16), 0);  // as a careless user might
    const struct {
        const char* name;
        PtyLinesRefusal expected;
    } cases[] = {{"state", kPtyLinesInUse},
                 {"link", kPtyLinesNotAFile},
                 {"notes", kPtyLinesNotState},
                 {"", kPtyLinesNotAFile},
                 {"new", kPtyLinesTaken}};
    for (const auto& c : cases) {
        PtyLinesState* state = nullptr;
        int lock = -1;
        EXPECT_EQ(PtyLinesTakeBoard((dir_ + "/" + c.name).c_str(), &state, &lock), c.expected)
            << c.name;
        PtyLinesUnmap(state);
        close(lock);
    }
    EXPECT_EQ(ReadTextFile(dir_ + "/notes"), text);
    // Given up by its board, the cut state is taken again and grown back.
    close(lock_);
    PtyLinesUnmap(state_);
    ASSERT_EQ(PtyLinesTakeBoard((dir_ + "/state").c_str(), &state_, &lock_), kPtyLinesTaken);
    EXPECT_EQ(std::filesystem::file_size(dir_ + "/state"), kPtyLinesFileSize);
}

TEST(PtyLinesEdges, CountersThatGoBackStartAgainAndBurstsAreBounded) {
    const struct {
        uint32_t seen, now, edges;
    } cases[] = {{7, 7, 0}, {7, 8, 1}, {7, 9, 2}, {4000, 1, 1}, {4000, 0, 0}, {2, 1u << 31, 2}};
    for (const auto& c : cases) {
        EXPECT_EQ(PtyLinesEdgesSince(c.seen, c.now), c.edges) << c.seen << " -> " << c.now;
    }
}

// Every open function is tried on a stand-in for the console, a file of the test's own that
// the library refuses in its place; the tripwire behind the library answers any open that
// gets past it, so nothing reaches even the stand-in. The console rule itself is asked about
// names and device numbers alone: no device is opened or linked to here.
TEST_F(PtyLinesTest, ConsoleOpensAreRefusedByNameLinkAndDeviceNumber) {
    const std::string standIn = std::filesystem::canonical(dir_).string() + "/stand-in";
    WriteTextFile(standIn, "");
    const std::string link = dir_ + "/alias";
    ASSERT_EQ(symlink(standIn.c_str(), link.c_str()), 0);
    std::vector<std::string> steps = {"refuse",    standIn, "refuse",  link,
                                      "refuse-at", dir_,    "stand-in"};
    std::string expected = "refused " + standIn + "\nrefused " + link + "\nrefused stand-in\n";
    const struct {
        const char* name;
        unsigned major, minor;
        bool console;
    } rules[] = {{"/dev/ttyS0", 0, 0, true},      {"/dev/ttyS17", 0, 0, true},
                 {"/run/serial", 4, 64, true},    {"/run/alias", 5, 1, true},
                 {"/dev/ttyUSB0", 188, 0, false}, {"/dev/tty1", 4, 1, false},
                 {"/dev/pts/3", 136, 3, false}};
    for (const auto& rule : rules) {
        steps.insert(steps.end(), {"classify", rule.name, std::to_string(rule.major),
                                   std::to_string(rule.minor)});
        expected += std::string(rule.console ? "console " : "other ") + rule.name + "\n";
    }
    Helper helper;
    std::vector<std::string> env =
        Env(std::string(PTYLINES_LIBRARY) + " " + std::string(PTYLINES_TRIPWIRE));
    env.push_back("PTYLINES_STAND_IN=" + standIn);
    ASSERT_TRUE(helper.Start(steps, env));
    int code = helper.Wait();
    if (code == 4) {
        GTEST_SKIP() << "the library did not load: " << helper.output;
    }
    EXPECT_EQ(code, 0);
    EXPECT_EQ(helper.output, expected);
}

}  // namespace

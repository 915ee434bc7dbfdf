// The real tavram on a terminal: a key press while it waits for CTS ends it with code 2 and
// no message, without echoing the key, and the terminal gets its old mode back.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "e2e_support.h"

namespace e2e {
namespace {

class TerminalE2e : public E2eTest {
  protected:
    void TearDown() override {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        if (master_ >= 0) {
            close(master_);
        }
        E2eTest::TearDown();
    }

    // Reads the terminal until `text` shows or the time is up.
    bool ReadUntil(const std::string& text, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (screen_.find(text) == std::string::npos) {
            pollfd fd{master_, POLLIN, 0};
            const int left = MsLeft(deadline);
            if (left <= 0 || poll(&fd, 1, left) <= 0) {
                return false;
            }
            char buffer[256];
            const ssize_t got = read(master_, buffer, sizeof buffer);
            if (got <= 0) {
                return false;
            }
            screen_.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }

    int WaitExit(int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (waitpid(child_, &status, WNOHANG) == 0) {
            if (MsLeft(deadline) <= 0) {
                return -1;
            }
            ReadUntil("\x01never", 20);  // keeps the terminal drained while waiting
        }
        child_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t child_ = -1;
    int master_ = -1;
    std::string screen_;
};

TEST_F(TerminalE2e, KeyPressWhileWaitingForCtsEndsTheRunAndRestoresTheTerminal) {
    const std::string tavram = Install(TAVRAM_PATH, "tavram");
    WriteLanes(RandomProgram(5, {{0x100, 8}}, 0x100), "PROG");
    StartBoard({"--cts-never"});
    PointCom1AtBoard();

    child_ = forkpty(&master_, nullptr, nullptr, nullptr);
    ASSERT_GE(child_, 0) << strerror(errno);
    if (child_ == 0) {
        if (chdir(dir_.c_str()) == 0) {
            execl(tavram.c_str(), tavram.c_str(), "PROG", static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    termios before{};
    ASSERT_EQ(tcgetattr(master_, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u);
    ASSERT_NE(before.c_lflag & ECHO, 0u);

    ASSERT_TRUE(ReadUntil("*", 10000)) << screen_;
    termios waiting{};
    ASSERT_EQ(tcgetattr(master_, &waiting), 0);
    EXPECT_EQ(waiting.c_lflag & (ICANON | ECHO), 0u);  // keys taken at once, unechoed
    const size_t marks = screen_.size();
    ASSERT_EQ(write(master_, "x", 1), 1);
    EXPECT_EQ(WaitExit(5000), 2) << screen_;

    // No message and no echo of the key after the marks; the terminal is cooked again.
    const std::string after = screen_.substr(marks);
    EXPECT_EQ(after.find_first_not_of("*"), std::string::npos) << after;
    termios restored{};
    ASSERT_EQ(tcgetattr(master_, &restored), 0);
    EXPECT_EQ(restored.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
    EXPECT_EQ(restored.c_cc[VMIN], before.c_cc[VMIN]);

    // The port was handed back with RTS low.
    std::string log;
    for (int i = 0; i < 500 && log.find("client disconnected") == std::string::npos; ++i) {
        usleep(10000);  // polling the board's log for its disconnect line, bounded
        log = ReadTextFile(Path("tavsim.log"));
    }
    const size_t rtsOff = log.rfind("line: RTS off");
    ASSERT_NE(rtsOff, std::string::npos) << log;
    EXPECT_GT(rtsOff, log.rfind("line: hardware flow control on")) << log;
}

}  // namespace
}  // namespace e2e

// Clock, sleep and console key on POSIX. The key tests run in a child process with a pty as
// its standard input, so the terminal mode they change dies with the child.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <functional>

#include "platform/system.h"

namespace {

uint64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

TEST(SystemPosixTest, ClockAndSleepAgree) {
    // The loader's readings lie within the system clock's: load can only widen both.
    const uint64_t start = NowMs();
    const uint32_t before = PlatformMilliseconds();
    PlatformSleep(30);
    const uint32_t after = PlatformMilliseconds();
    const uint64_t slept = NowMs() - start;
    EXPECT_GE(after - before, 29u);
    EXPECT_LE(after - before, slept + 1);
    // Counted from the start of the process, not from the first call.
    EXPECT_LT(before, 60u * 60u * 1000u);
    PlatformSleep(0);
    PlatformSleep(-5);
}

TEST(SystemPosixTest, NoKeyWhenInputIsNotATerminal) {
    int saved = dup(STDIN_FILENO);
    ASSERT_GE(saved, 0);
    int null = open("/dev/null", O_RDONLY);
    ASSERT_GE(null, 0);
    ASSERT_EQ(dup2(null, STDIN_FILENO), STDIN_FILENO);
    close(null);
    EXPECT_FALSE(ConsoleKeyWaiting());
    EXPECT_FALSE(ConsoleKeyWaiting());
    ASSERT_EQ(dup2(saved, STDIN_FILENO), STDIN_FILENO);
    close(saved);
}

// No key can come from the null device or a pipe whose writer has gone; a terminal or an
// open pipe may still bring one.
TEST(SystemPosixTest, InputEndedOnlyWhenNoKeyCanCome) {
    int openPipe[2], closedPipe[2];
    ASSERT_EQ(pipe(openPipe), 0);
    ASSERT_EQ(pipe(closedPipe), 0);
    close(closedPipe[1]);
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const struct {
        const char* input;
        int fd;
        bool ended;
    } rows[] = {{"/dev/null", open("/dev/null", O_RDONLY), true},
                {"pipe, writer gone", closedPipe[0], true},
                {"open pipe", openPipe[0], false},
                {"terminal", open(ptsname(terminal), O_RDWR | O_NOCTTY), false}};
    const int saved = dup(STDIN_FILENO);
    for (const auto& row : rows) {
        ASSERT_EQ(dup2(row.fd, STDIN_FILENO), STDIN_FILENO) << row.input;
        EXPECT_EQ(ConsoleInputEnded(), row.ended) << row.input;
        close(row.fd);
    }
    ASSERT_EQ(dup2(saved, STDIN_FILENO), STDIN_FILENO);
    close(saved);
    close(openPipe[1]);
    close(terminal);
}

class ConsoleKeyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
    }
    void TearDown() override {
        close(slave_);
        close(master_);
    }

    // Runs `body` in a child whose standard input is the pty; returns its exit code, or
    // 100 + signal when it was killed. The child's checks end it with codes 10 and up.
    int RunInChild(const std::function<void()>& body) {
        fflush(stdout);
        pid_t child = fork();
        if (child == 0) {
            dup2(slave_, STDIN_FILENO);
            body();
            _exit(99);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    }

    bool InKeyMode() {
        struct termios tio;
        return tcgetattr(master_, &tio) == 0 && !(tio.c_lflag & (ICANON | ECHO)) &&
               (tio.c_lflag & ISIG);
    }

    int master_ = -1;
    int slave_ = -1;
};

// Waits up to two seconds for a key to show.
bool KeyWithin2s() {
    const uint64_t deadline = NowMs() + 2000;
    while (NowMs() < deadline) {
        if (ConsoleKeyWaiting()) {
            return true;
        }
        PlatformSleep(1);
    }
    return false;
}

TEST_F(ConsoleKeyTest, KeysReadOneAtATimeAndTerminalGivenBack) {
    int code = RunInChild([this] {
        if (ConsoleKeyWaiting()) {
            _exit(10);
        }
        if (!InKeyMode()) {
            _exit(11);
        }
        // A cursor key (three bytes) and a letter: two keys, no Enter needed.
        if (write(master_, "\x1b[Ax", 4) != 4) {
            _exit(12);
        }
        if (!KeyWithin2s()) {
            _exit(13);
        }
        ConsoleReadKey();
        if (!ConsoleKeyWaiting()) {
            _exit(14);
        }
        ConsoleReadKey();
        if (ConsoleKeyWaiting()) {
            _exit(15);
        }
        PlatformExit(3);
    });
    EXPECT_EQ(code, 3);
    struct termios tio;
    ASSERT_EQ(tcgetattr(master_, &tio), 0);
    EXPECT_NE(tio.c_lflag & ICANON, 0u);
    EXPECT_NE(tio.c_lflag & ECHO, 0u);
}

TEST_F(ConsoleKeyTest, TerminationSignalRestoresTerminalAndExitsWith2) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            continue;  // ignored by whoever started the tests: left ignored on purpose
        }
        int code = RunInChild([this, sig] {
            ConsoleKeyWaiting();
            if (!InKeyMode()) {
                _exit(11);
            }
            raise(sig);
            _exit(12);
        });
        EXPECT_EQ(code, 2) << "signal " << sig;
        struct termios tio;
        ASSERT_EQ(tcgetattr(master_, &tio), 0);
        EXPECT_NE(tio.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    }
}

TEST_F(ConsoleKeyTest, NormalEndRestoresTerminal) {
    int code = RunInChild([this] {
        ConsoleKeyWaiting();
        if (!InKeyMode()) {
            _exit(11);
        }
        exit(0);  // the end of main
    });
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(InKeyMode());
}

}  // namespace

// The network serial port client against the real simulated-board server: reset through
// RTS, CTS reported by the server, and a sync pair answered at the board's rate.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform_testing.h"
#include "platform/rfc2217_client.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// tavsim in its own temporary folder, started and waited for by its "listening" line.
class Tavsim {
  public:
    explicit Tavsim(std::vector<std::string> extra) {
        char folder[] = "/tmp/tavsimtestXXXXXX";
        folder_ = mkdtemp(folder);
        socket_ = folder_ + "/COM1";
        log_ = folder_ + "/tavsim.log";
        std::vector<std::string> args = {TAVSIM_PATH, "--socket", socket_, "--log", log_};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);

        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&pid_, TAVSIM_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        stdout_ = out[0];
    }
    ~Tavsim() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            Wait(5000);
        }
        if (stdout_ >= 0) {
            close(stdout_);
        }
        unlink(log_.c_str());
        unlink(socket_.c_str());
        rmdir(folder_.c_str());
    }
    // Reads its standard output until the listening line, within the bound.
    bool Listening(int timeoutMs = 5000) {
        auto start = Clock::now();
        while (output_.find('\n') == std::string::npos) {
            int left = timeoutMs - static_cast<int>(MsSince(start));
            pollfd p = {stdout_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0) {
                return false;
            }
            char buffer[256];
            ssize_t n = read(stdout_, buffer, sizeof buffer);
            if (n <= 0) {
                return false;
            }
            output_.append(buffer, static_cast<size_t>(n));
        }
        return output_ == "tavsim: listening on " + socket_ + "\n";
    }
    // Waits for the exit; -1 when it did not end within the bound.
    int Wait(int timeoutMs) {
        auto start = Clock::now();
        while (MsSince(start) < timeoutMs) {
            int status = 0;
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            pollfd none = {-1, 0, 0};
            poll(&none, 0, 5);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }
    const char* socket() const { return socket_.c_str(); }
    // The most memory it has held, from the kernel's account (VmHWM); -1 when unknown.
    long PeakRssKb() const {
        FILE* status = fopen(("/proc/" + std::to_string(pid_) + "/status").c_str(), "r");
        long kb = -1;
        char line[256];
        while (status != nullptr && fgets(line, sizeof line, status) != nullptr) {
            sscanf(line, "VmHWM: %ld kB", &kb);
        }
        if (status != nullptr) {
            fclose(status);
        }
        return kb;
    }
    const std::string& output() const { return output_; }

  private:
    std::string folder_, socket_, log_, output_;
    pid_t pid_ = -1;
    int stdout_ = -1;
};

bool WaitForCts(Rfc2217Connection* c, bool wanted, int timeoutMs) {
    auto start = Clock::now();
    while (MsSince(start) < timeoutMs) {
        bool cts = !wanted;
        if (!Rfc2217GetCts(c, &cts)) {
            return false;
        }
        if (cts == wanted) {
            return true;
        }
        uint8_t byte = 0;
        uint32_t got = 0;
        Rfc2217Read(c, &byte, &got, 5);  // a bounded wait that also takes in news
    }
    return false;
}

TEST(Rfc2217Tavsim, ResetThroughRtsThenSyncPairIsAnswered) {
    Tavsim sim({"--once"});
    ASSERT_TRUE(sim.Listening()) << sim.output();
    Rfc2217Connection* c = Rfc2217Open(sim.socket(), nullptr, nullptr);
    ASSERT_NE(c, nullptr) << SerialLastError();

    SerialSettings settings;
    settings.BaudRate = 115200;
    ASSERT_TRUE(Rfc2217Apply(c, settings)) << SerialLastError();
    ASSERT_TRUE(Rfc2217Purge(c, 15)) << SerialLastError();
    ASSERT_TRUE(Rfc2217SetRts(c, true)) << SerialLastError();
    ASSERT_TRUE(Rfc2217SetRts(c, false)) << SerialLastError();
    settings.fOutxCtsFlow = true;
    settings.fRtsControl = kRtsControlHandshake;
    ASSERT_TRUE(Rfc2217Apply(c, settings)) << SerialLastError();

    EXPECT_TRUE(WaitForCts(c, false, 3000));
    ASSERT_TRUE(WaitForCts(c, true, 3000));

    for (int i = 0; i < 2; ++i) {
        uint32_t written = 0;
        ASSERT_TRUE(Rfc2217Write(c, 0x0F, &written, true, 100)) << SerialLastError();
        EXPECT_EQ(written, 1u);
    }
    uint8_t byte = 0;
    uint32_t got = 0;
    ASSERT_TRUE(Rfc2217Read(c, &byte, &got, 2000)) << SerialLastError();
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(byte, 0x0F);

    Rfc2217Close(c);
    EXPECT_EQ(sim.Wait(5000), 0) << "--once ends the server after the client";
    struct stat st;
    EXPECT_NE(lstat(sim.socket(), &st), 0) << "the socket file is removed";
}

TEST(Rfc2217Tavsim, OneClientAtATime) {
    Tavsim sim({});
    ASSERT_TRUE(sim.Listening()) << sim.output();
    Rfc2217Connection* first = Rfc2217Open(sim.socket(), nullptr, nullptr);
    ASSERT_NE(first, nullptr) << SerialLastError();
    Rfc2217Connection* second = Rfc2217Open(sim.socket(), nullptr, nullptr);
    const std::string said = SerialLastRefusal().said;
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(said.find("port busy"), std::string::npos) << said;
    Rfc2217Close(first);
    Rfc2217Connection* third = Rfc2217Open(sim.socket(), nullptr, nullptr);
    EXPECT_NE(third, nullptr) << "the port is free again once the first client left";
    Rfc2217Close(third);
}

// A client that sends port commands and garbage but never reads: once the answers back up,
// tavsim stops reading it, so its reply queue stays small and the sender is held back; its
// log keeps no line per byte in memory.
TEST(Rfc2217Tavsim, ClientThatNeverReadsIsHeldBack) {
    Tavsim sim({});
    ASSERT_TRUE(sim.Listening()) << sim.output();
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, sim.socket());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::vector<uint8_t> chunk;
    for (int i = 0; i < 2048; ++i) {  // signature requests, answered with a dozen bytes each
        chunk.insert(chunk.end(), {255, 250, 44, 0, 255, 240, 0x55, 0xAA});
    }
    constexpr size_t kMost = 16u << 20;
    size_t sent = 0;
    while (sent < kMost) {
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, 1000) <= 0) {
            break;  // tavsim no longer takes anything
        }
        ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    EXPECT_LT(sent, 4u << 20);
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's own bookkeeping weighs more
    EXPECT_LT(sim.PeakRssKb(), 64 * 1024);
#endif
    close(fd);
    Rfc2217Connection* next = Rfc2217Open(sim.socket(), nullptr, nullptr);
    EXPECT_NE(next, nullptr) << "the next client is served: " << SerialLastError();
    Rfc2217Close(next);
}

}  // namespace

// The POSIX serial port on a pty that stands in for the device behind COMn.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace {

uint64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

class SerialPosixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slavePath_ = ptsname(master_);
        // The master side raw too, so bytes pass unchanged both ways.
        struct termios tio;
        ASSERT_EQ(tcgetattr(master_, &tio), 0);
        cfmakeraw(&tio);
        ASSERT_EQ(tcsetattr(master_, TCSANOW, &tio), 0);
        char folder[] = "/tmp/serialtestXXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        ASSERT_EQ(symlink(slavePath_.c_str(), (folder_ + "/COM1").c_str()), 0);
        SerialSetDeviceFolder(folder_.c_str(), -1);
    }

    void TearDown() override {
        if (master_ >= 0) {
            close(master_);
        }
        for (const char* name : {"/COM1", "/COM2", "/COM3", "/COM4", "/board.sock"}) {
            unlink((folder_ + name).c_str());
        }
        rmdir(folder_.c_str());
    }

    SerialPort* OpenWithTimeouts(uint32_t readMs, uint32_t writeMs = 100) {
        SerialPort* port = SerialOpen("COM1");
        if (port != nullptr) {
            SerialTimeouts t;
            t.ReadIntervalTimeout = readMs;
            t.ReadTotalTimeoutConstant = readMs;
            t.WriteTotalTimeoutConstant = writeMs;
            EXPECT_TRUE(SerialSetTimeouts(port, t));
        }
        return port;
    }

    // Reads `count` bytes from the master, waiting at most two seconds in all.
    std::vector<uint8_t> ReadMaster(size_t count) {
        std::vector<uint8_t> bytes;
        const uint64_t deadline = NowMs() + 2000;
        while (bytes.size() < count && NowMs() < deadline) {
            struct pollfd pfd = {master_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(deadline - NowMs())) <= 0) {
                break;
            }
            uint8_t buffer[256];
            ssize_t n = read(master_, buffer, sizeof(buffer));
            if (n <= 0) {
                break;
            }
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }

    // Waits until the port reports `count` received bytes (the pty passes them on later).
    uint32_t WaitQueued(SerialPort* port, uint32_t count) {
        uint32_t queued = 0;
        const uint64_t deadline = NowMs() + 2000;
        while (SerialQueuedInput(port, &queued) && queued < count && NowMs() < deadline) {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
        return queued;
    }

    int master_ = -1;
    std::string slavePath_;
    std::string folder_;
};

TEST_F(SerialPosixTest, EveryByteValuePassesBothWays) {
    SerialPort* port = OpenWithTimeouts(2000);
    ASSERT_NE(port, nullptr);

    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    for (uint8_t byte : all) {
        uint32_t written = 0;
        ASSERT_TRUE(SerialWrite(port, byte, &written));
        ASSERT_EQ(written, 1u);
    }
    EXPECT_EQ(ReadMaster(all.size()), all);

    ASSERT_EQ(write(master_, all.data(), all.size()), 256);
    for (uint8_t expected : all) {
        uint8_t byte = 0;
        uint32_t got = 0;
        ASSERT_TRUE(SerialRead(port, &byte, &got));
        ASSERT_EQ(got, 1u);
        EXPECT_EQ(byte, expected);
    }
}

TEST_F(SerialPosixTest, ReadTimeOutReturnsNoByteAndNoFailure) {
    SerialPort* port = OpenWithTimeouts(50);
    ASSERT_NE(port, nullptr);
    uint8_t byte = 0x5A;
    uint32_t got = 7;
    const uint64_t start = NowMs();
    EXPECT_TRUE(SerialRead(port, &byte, &got));
    EXPECT_GE(NowMs() - start, 45u);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(byte, 0x5A);
}

TEST_F(SerialPosixTest, HangUpIsAFailureNotATimeOut) {
    SerialPort* port = OpenWithTimeouts(2000);
    ASSERT_NE(port, nullptr);
    close(master_);
    master_ = -1;
    uint8_t byte = 0;
    uint32_t got = 0;
    EXPECT_FALSE(SerialRead(port, &byte, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(SerialLastError(), EIO);
}

TEST_F(SerialPosixTest, OpenFailures) {
    SerialPort* port = SerialOpen("COM1");
    ASSERT_NE(port, nullptr);
    // A second user of the same device is refused.
    EXPECT_EQ(SerialOpen("COM1"), nullptr);
    EXPECT_NE(SerialLastError(), 0);

    // No entry: no fallback to any default device.
    EXPECT_EQ(SerialOpen("COM3"), nullptr);
    EXPECT_EQ(SerialLastError(), ENOENT);

    // An entry whose device is not there.
    ASSERT_EQ(symlink("/dev/no-such-serial-device", (folder_ + "/COM2").c_str()), 0);
    EXPECT_EQ(SerialOpen("COM2"), nullptr);
    EXPECT_EQ(SerialLastError(), ENOENT);
}

// Ctrl-C ends the run with code 2 and switches the port's hardware flow control off.
TEST_F(SerialPosixTest, InterruptReleasesFlowControlAndExitsWith2) {
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        if (SerialOpen("COM1") == nullptr) {
            _exit(10);
        }
        struct termios tio;
        tcgetattr(master_, &tio);
        tio.c_cflag |= CRTSCTS;
        tcsetattr(master_, TCSANOW, &tio);
        if (tcgetattr(master_, &tio) != 0 || !(tio.c_cflag & CRTSCTS)) {
            _exit(12);
        }
        raise(SIGINT);
        _exit(11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    struct termios tio;
    ASSERT_EQ(tcgetattr(master_, &tio), 0);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
}

// Socket entries and "rfc2217://" links go to the network client, never to termios: with
// nobody listening the open is refused (a socket opened as a tty would give ENXIO).
TEST_F(SerialPosixTest, NetworkEntriesReachTheNetworkClient) {
    std::string socketPath = folder_ + "/board.sock";
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
    strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(listener);  // the socket file stays, nobody accepts

    ASSERT_EQ(symlink(socketPath.c_str(), (folder_ + "/COM2").c_str()), 0);
    EXPECT_EQ(SerialOpen("COM2"), nullptr);
    EXPECT_EQ(SerialLastError(), ECONNREFUSED);

    ASSERT_EQ(symlink("rfc2217://127.0.0.1:1?poll-ms=1000", (folder_ + "/COM3").c_str()), 0);
    EXPECT_EQ(SerialOpen("COM3"), nullptr);
    EXPECT_EQ(SerialLastError(), ECONNREFUSED);

    ASSERT_EQ(symlink("rfc2217://no-port-given", (folder_ + "/COM4").c_str()), 0);
    EXPECT_EQ(SerialOpen("COM4"), nullptr);
    EXPECT_EQ(SerialLastError(), EINVAL);
}

// A port outside 1..65535 (or not a number) never reaches the network: 99999 would wrap;
// neither does an entry with an unknown or malformed option.
TEST_F(SerialPosixTest, NetworkPortOutsideTheRangeIsRefused) {
    const char* urls[] = {"rfc2217://127.0.0.1:99999",       "rfc2217://127.0.0.1:0",
                          "rfc2217://127.0.0.1:65536",       "rfc2217://127.0.0.1:-1",
                          "rfc2217://127.0.0.1:telnet",      "rfc2217://[::1]:123456",
                          "rfc2217://127.0.0.1:1?poll-ms=",  "rfc2217://127.0.0.1:1?poll-ms=60001",
                          "rfc2217://127.0.0.1:1?poll=1000", "rfc2217://127.0.0.1:1?poll-ms=1s"};
    for (const char* url : urls) {
        std::string entry = folder_ + "/COM4";
        unlink(entry.c_str());
        ASSERT_EQ(symlink(url, entry.c_str()), 0);
        EXPECT_EQ(SerialOpen("COM4"), nullptr) << url;
        EXPECT_EQ(SerialLastError(), EINVAL) << url;
    }
}

TEST_F(SerialPosixTest, QueuedInputCountsAndPurgeDrops) {
    SerialPort* port = OpenWithTimeouts(50);
    ASSERT_NE(port, nullptr);
    uint32_t queued = 99;
    ASSERT_TRUE(SerialQueuedInput(port, &queued));
    EXPECT_EQ(queued, 0u);

    ASSERT_EQ(write(master_, "abcde", 5), 5);
    EXPECT_EQ(WaitQueued(port, 5), 5u);

    ASSERT_TRUE(SerialPurge(port, kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear));
    ASSERT_TRUE(SerialQueuedInput(port, &queued));
    EXPECT_EQ(queued, 0u);
    uint8_t byte = 0;
    uint32_t got = 1;
    EXPECT_TRUE(SerialRead(port, &byte, &got));
    EXPECT_EQ(got, 0u);

    // Reading one byte leaves the rest counted.
    ASSERT_EQ(write(master_, "xyz", 3), 3);
    EXPECT_EQ(WaitQueued(port, 3), 3u);
    ASSERT_TRUE(SerialRead(port, &byte, &got));
    EXPECT_EQ(byte, 'x');
    ASSERT_TRUE(SerialQueuedInput(port, &queued));
    EXPECT_EQ(queued, 2u);
}

TEST_F(SerialPosixTest, SettingsReachTheLine) {
    SerialPort* port = SerialOpen("COM1");
    ASSERT_NE(port, nullptr);
    SerialSettings settings;
    ASSERT_TRUE(SerialGetSettings(port, &settings));
    settings.BaudRate = 115200;
    settings.ByteSize = 8;
    settings.Parity = 0;
    settings.StopBits = 0;
    settings.fOutxCtsFlow = false;
    settings.fRtsControl = kRtsControlDisable;
    settings.fDtrControl = kDtrControlDisable;
    // A pty has no modem lines: lowering them must still succeed, as the loaders do at open.
    ASSERT_TRUE(SerialSetSettings(port, settings));

    struct termios tio;
    ASSERT_EQ(tcgetattr(master_, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | IXOFF), 0u);

    SerialSettings back;
    ASSERT_TRUE(SerialGetSettings(port, &back));
    EXPECT_EQ(back.BaudRate, 115200);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_FALSE(back.fOutxCtsFlow);

    settings.BaudRate = 38400;
    ASSERT_TRUE(SerialSetSettings(port, settings));
    ASSERT_TRUE(SerialGetSettings(port, &back));
    EXPECT_EQ(back.BaudRate, 38400);

    settings.BaudRate = 12345;
    EXPECT_FALSE(SerialSetSettings(port, settings));
    EXPECT_EQ(SerialLastError(), EINVAL);
    EXPECT_TRUE(SerialSetRts(port, false));
}

TEST_F(SerialPosixTest, WriteThatCannotCompleteIsDropped) {
    SerialPort* port = OpenWithTimeouts(50, 20);
    ASSERT_NE(port, nullptr);
    // Nobody reads the master: the pty's buffer fills and a write finally times out.
    uint32_t written = 1;
    int accepted = 0;
    for (; accepted < 1000000; ++accepted) {
        ASSERT_TRUE(SerialWrite(port, 'w', &written));
        if (written == 0) {
            break;
        }
    }
    EXPECT_EQ(written, 0u);
    EXPECT_GT(accepted, 0);
}

}  // namespace

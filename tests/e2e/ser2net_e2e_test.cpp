// The loaders through a third-party RFC 2217 server: ser2net on a TCP port of 127.0.0.1, the
// board on a pty behind it (libptylines.so preloaded into ser2net gives the pty its lines).
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <tuple>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

std::string FindSer2net() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return "";
}

// A port of 127.0.0.1 free at the moment of asking.
int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// Listening is seen in the kernel's table, not by connecting: a connection would make the
// server open the pty and reset the board.
bool Listening(int port) {
    char entry[32];
    snprintf(entry, sizeof entry, ":%04X 00000000:0000 0A", port);
    return ReadTextFile("/proc/net/tcp").find(entry) != std::string::npos;
}

class Ser2netE2e : public E2eTest,
                   public ::testing::WithParamInterface<std::tuple<const char*, const char*>> {
  protected:
    void SetUp() override {
        E2eTest::SetUp();
        ser2net_ = FindSer2net();
        if (ser2net_.empty()) {
            GTEST_SKIP() << "ser2net is not installed: the third-party server case is skipped";
        }
        UsePty();
    }

    void TearDown() override {
        server_.reset();  // killed and reaped
        E2eTest::TearDown();
    }

    // ser2net with its stock settings for the board's pty, on a TCP port of its own.
    void StartServer() {
        port_ = FreePort();
        ASSERT_GT(port_, 0);
        WriteTextFile(Path("ser2net.yaml"),
                      "connection: &board\n    accepter: telnet(rfc2217),tcp,127.0.0.1," +
                          std::to_string(port_) + "\n    connector: serialdev," + Path("pty") +
                          ",115200n81,local\n    options:\n      kickolduser: false\n");
        server_.reset(new Child);
        // -n: in the foreground; -u: no lock file in /var/lock; -c: this file only.
        ASSERT_TRUE(server_->Start(
            {ser2net_, "-n", "-u", "-c", Path("ser2net.yaml"), "-P", Path("ser2net.pid")}, dir_,
            RunEnvironment(), Path("ser2net.err")));
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!Listening(port_) && MsLeft(deadline) > 0) {
            usleep(10000);  // polling the kernel's table of listeners, bounded
        }
        ASSERT_TRUE(Listening(port_)) << ReadTextFile(Path("ser2net.err"));
    }

    std::string ser2net_;
    int port_ = -1;
    std::unique_ptr<Child> server_;
};

// ser2net looks at the modem lines about once a second and does not acknowledge the modem
// state mask: a board whose CTS dip after the reset (150 ms by default) falls between two
// looks is seen to reset by asking again; a dip longer than a look is seen as it is.
TEST_P(Ser2netE2e, DownloadThroughSer2netWithStockSettings) {
    const auto [tool, readyMs] = GetParam();
    const bool flash = std::string(tool) == "tavfla";
    const std::string loader = Install(flash ? TAVFLA_PATH : TAVRAM_PATH, tool);
    Program program = RandomProgram(41, {{0x400, 300}}, 0x401);
    WriteLanes(program, "PROG");
    StartBoard(
        {"--ready-ms", readyMs, "--ram-image", Path("ram.txt"), "--flash-dir", Path("flash")});
    StartServer();
    ASSERT_EQ(
        symlink(("rfc2217://127.0.0.1:" + std::to_string(port_)).c_str(), Path("COM1").c_str()), 0);
    // How many sync pairs go out before the answer is seen depends on the machine's load.
    RunResult run = Run(loader, {"PROG", flash ? "-Mf" : "-C1"}, 60000);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find(BytesLoadedLine(program.BytesLoaded(32)) +
                              "\nPROG Started At Address 000401(HEX)\n"),
              std::string::npos)
        << run.output;
    if (flash) {
        FlashProgram stored = ReadFlashProgram("flash", "PROG");
        EXPECT_TRUE(stored.present && stored.words == program.Words()) << "stored words differ";
    } else {
        WaitForLog("RAM image written");
        ExpectLoadedIntoRam(program);
    }
}

INSTANTIATE_TEST_SUITE_P(RamAndFlash, Ser2netE2e,
                         ::testing::Combine(::testing::Values("tavram", "tavfla"),
                                            ::testing::Values("150", "2500")),
                         [](const ::testing::TestParamInfo<Ser2netE2e::ParamType>& info) {
                             return std::string(std::get<0>(info.param)) + "_dip" +
                                    std::get<1>(info.param) + "ms";
                         });

}  // namespace
}  // namespace e2e

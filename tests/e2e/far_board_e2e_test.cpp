// A board far away: tavsim's TCP port behind netdelay, which holds every chunk half the
// round trip in each direction.
#include <unistd.h>

#include <tuple>

#include "e2e_support.h"

namespace e2e {
namespace {

// The port in a listening line "... 127.0.0.1:PORT".
int PortIn(const std::string& line) {
    const size_t at = line.find("127.0.0.1:");
    return at == std::string::npos ? -1 : std::stoi(line.substr(at + 10));
}

class FarBoardE2e : public E2eTest,
                    public ::testing::WithParamInterface<std::tuple<const char*, int>> {
  protected:
    void TearDown() override {
        relay_.reset();  // killed and reaped
        E2eTest::TearDown();
    }

    std::unique_ptr<Child> relay_;
};

// The answer to the first pair at the stored rate comes within its wait: one attempt (no
// stray second pair), and the download ends well.
TEST_P(FarBoardE2e, ConnectsOnTheFirstPairAndLoads) {
    const auto [tool, roundTripMs] = GetParam();
    const bool flash = std::string(tool) == "tavfla";
    const std::string loader = Install(flash ? TAVFLA_PATH : TAVRAM_PATH, tool);
    WriteLanes(RandomProgram(52, {{0x400, 100}}, 0x400), "PROG");
    StartBoard({"--tcp", "0"});
    relay_.reset(new Child);
    ASSERT_TRUE(relay_->Start(
        {NETDELAY_PATH, "--to", "127.0.0.1:" + std::to_string(PortIn(board_->output())),
         "--one-way-ms", std::to_string(roundTripMs / 2)},
        dir_, {}, Path("netdelay.err")));
    ASSERT_TRUE(relay_->ReadUntil("\n", 5000)) << ReadTextFile(Path("netdelay.err"));
    const std::string entry = "rfc2217://127.0.0.1:" + std::to_string(PortIn(relay_->output()));
    ASSERT_EQ(symlink(entry.c_str(), Path("COM1").c_str()), 0);

    RunResult run = Run(loader, {"PROG", "-I", flash ? "-Mf" : "-C1"}, 60000);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find(" Milliseconds, 1 Attempt(s) Required\n"), std::string::npos)
        << run.output;
}

INSTANTIATE_TEST_SUITE_P(ToolAndRoundTrip, FarBoardE2e,
                         ::testing::Combine(::testing::Values("tavram", "tavfla"),
                                            ::testing::Values(150, 400)),
                         [](const ::testing::TestParamInfo<FarBoardE2e::ParamType>& info) {
                             return std::string(std::get<0>(info.param)) + "_rtt" +
                                    std::to_string(std::get<1>(info.param)) + "ms";
                         });

}  // namespace
}  // namespace e2e

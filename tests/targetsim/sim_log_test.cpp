// The log of a tavsim run: one bound over every host that comes and goes.
#include <gtest/gtest.h>

#include "support/files.h"
#include "targetsim/sim_core.h"

namespace {

TEST(SimLog, WholeRunStopsAtTheBoundWithALineSayingSo) {
    TempFolder folder("simlog");
    SimOptions options;
    options.log = fopen(folder.Path("log").c_str(), "w");
    ASSERT_NE(options.log, nullptr);
    options.logLimitBytes = 4000;
    SimInit(BoardOptions{}, options);
    // Each host alone stays far below the bound; together they are ten times over it.
    for (int host = 0; host < 40; ++host) {
        SimHostAttached("client connected");
        for (int line = 0; line < 10; ++line) {
            SimLog("board: %s", std::string(80, 'x').c_str());
        }
        SimHostDetached("closed");
    }
    fclose(options.log);
    const std::string log = ReadTextFile(folder.Path("log"));
    EXPECT_LE(log.size(), options.logLimitBytes + 100);
    const size_t last = log.rfind('\n', log.size() - 2) + 1;
    EXPECT_EQ(log.substr(last + 13),
              "log stopped here: it reached its bound of 4000 bytes "
              "(--log-limit)\n");
}

}  // namespace
